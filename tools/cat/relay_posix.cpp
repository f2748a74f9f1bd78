// The relay loop. Input and output may be pipes, terminals, files or
// sockets we did not open, and may be shared with other processes, so
// they are left in the blocking mode they came in; instead, each is only
// read or written after poll said it is ready, and a write to anything but
// a regular file is either marked not to wait (RWF_NOWAIT, which a pipe
// or socket ends where it is full) or at most PIPE_BUF bytes, which a
// ready pipe always takes without blocking.
#include "relay.h"

#include "posix/wsa_errors.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/uio.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

namespace qbcat {

namespace {

constexpr size_t kBufferSize = 64 * 1024;

// Bytes read from one side and not yet written to the other. The buffer
// is left uninitialised: its pages are only touched as bytes come, so a
// short session does not fault in 64 KiB it never uses.
struct Pending {
  std::unique_ptr<char[]> bytes{new char[kBufferSize]};
  size_t begin = 0;
  size_t end = 0;

  bool Empty() const { return begin == end; }
  size_t Size() const { return end - begin; }
  void Filled(size_t n) { begin = 0, end = n; }
  void Drained(size_t n) { begin += n; }
};

bool Retryable(int error) { return error == EINTR || error == EAGAIN || error == EWOULDBLOCK; }

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string SocketError(const std::string& what) {
  return what + " failed (" + ErrorText("socket error", WSAGetLastError()) + ")";
}

// Whether two descriptors name one open file, socket or pipe.
bool SameFile(int a, int b) {
  struct stat sa, sb;
  return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

size_t LargestSafeWrite(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? kBufferSize : PIPE_BUF;
}

class Relayer {
 public:
  Relayer(CAsyncSocket& socket, int input, int output)
      : socket_(socket), input_(input), output_(output), outputChunk_(LargestSafeWrite(output)) {}

  std::string Run() {
    while (!(sendsShutDown_ && peerClosed_ && down_.Empty())) {
      pollfd fds[3] = {
          {WantInput() ? input_ : -1, POLLIN, 0},
          {SocketEvents() != 0 ? Socket() : -1, SocketEvents(), 0},
          {down_.Empty() ? -1 : output_, POLLOUT, 0},
      };
      if (::poll(fds, 3, -1) < 0) {
        if (errno == EINTR) continue;
        return SystemError("poll");
      }
      std::string failure;
      if (fds[0].revents != 0) failure = ReadInput(fds[0].revents);
      if (failure.empty() && (fds[1].revents & ~POLLIN) != 0 && !up_.Empty()) failure = SendToPeer();
      if (failure.empty() && (fds[1].revents & ~POLLOUT) != 0 && WantPeer()) failure = ReceiveFromPeer();
      if (failure.empty() && fds[2].revents != 0) failure = WriteOutput(fds[2].revents);
      if (!failure.empty()) return failure;
      if (peerClosed_ && down_.Empty() && !outputClosed_) {
        EndOutput();
        outputClosed_ = true;
      }
      if (inputEnded_ && up_.Empty() && !sendsShutDown_) {
        socket_.ShutDown(CAsyncSocket::sends);
        sendsShutDown_ = true;
      }
    }
    return {};
  }

 private:
  int Socket() const { return static_cast<int>(socket_.m_hSocket); }
  bool WantInput() const { return !inputEnded_ && up_.Empty(); }
  bool WantPeer() const { return !peerClosed_ && down_.Empty(); }
  short SocketEvents() const { return static_cast<short>((up_.Empty() ? 0 : POLLOUT) | (WantPeer() ? POLLIN : 0)); }

  std::string ReadInput(short revents) {
    if (revents & POLLNVAL) {  // no standard input at all: nothing to send
      inputEnded_ = true;
      return {};
    }
    const ssize_t n = ::read(input_, up_.bytes.get(), kBufferSize);
    if (n > 0) up_.Filled(static_cast<size_t>(n));
    if (n == 0) inputEnded_ = true;
    if (n < 0 && !Retryable(errno)) return SystemError("reading standard input");
    return {};
  }

  std::string SendToPeer() {
    const int n = socket_.CAsyncSocket::Send(up_.bytes.get() + up_.begin, static_cast<int>(up_.Size()));
    if (n > 0) up_.Drained(static_cast<size_t>(n));
    if (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) return SocketError("sending to the peer");
    return {};
  }

  std::string ReceiveFromPeer() {
    const int n = socket_.CAsyncSocket::Receive(down_.bytes.get(), static_cast<int>(kBufferSize));
    if (n > 0) down_.Filled(static_cast<size_t>(n));
    if (n == 0) peerClosed_ = true;
    if (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) return SocketError("receiving from the peer");
    return {};
  }

  std::string WriteOutput(short revents) {
    if (revents & POLLNVAL) return "standard output is closed";
    const ssize_t n = WriteWithoutWaiting(down_.bytes.get() + down_.begin, down_.Size());
    if (n > 0) down_.Drained(static_cast<size_t>(n));
    if (n < 0 && !Retryable(errno)) return SystemError("writing standard output");
    return {};
  }

  // Writes what output takes of `size` bytes now. Where the system marks a
  // single write not to wait (a pipe on a recent Linux, a socket), all
  // of it that fits, so that a download costs one write per receive rather
  // than one per PIPE_BUF; where it cannot (a terminal, an older kernel:
  // EOPNOTSUPP, ENOSYS, and from then on for this output) or the output
  // filled up since poll (EAGAIN), at most the chunk a ready output takes.
  ssize_t WriteWithoutWaiting(const char* data, size_t size) {
    if (size > outputChunk_ && mayWriteWithoutWaiting_) {
      iovec part{const_cast<char*>(data), size};
      const ssize_t n = ::pwritev2(output_, &part, 1, -1, RWF_NOWAIT);
      if (n >= 0 || (errno != EAGAIN && errno != EOPNOTSUPP && errno != ENOSYS)) return n;
      if (errno != EAGAIN) mayWriteWithoutWaiting_ = false;
    }
    return ::write(output_, data, size < outputChunk_ ? size : outputChunk_);
  }

  // The peer's end of stream, passed on while the input may stay open (as
  // ssh's ProxyCommand, whose ssh waits for it). The descriptor number is
  // kept on /dev/null so that nothing opened later takes it. Closing one
  // descriptor of a socket that is standard input too would not end it, so
  // that socket's sending side is shut down. Shutting down acts on the
  // socket, not on our descriptor: any other socket, standard error's
  // above all, may carry others' output (a journal stream, a supervisor's
  // socket pair, 2>&1) and is only closed here.
  void EndOutput() {
    if (SameFile(output_, input_) && !SameFile(output_, STDERR_FILENO)) ::shutdown(output_, SHUT_WR);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
      ::dup2(null, output_);
      ::close(null);
    } else {
      ::close(output_);
    }
  }

  CAsyncSocket& socket_;
  const int input_;
  const int output_;
  const size_t outputChunk_;
  Pending up_;    // input -> peer
  Pending down_;  // peer -> output
  bool inputEnded_ = false;
  bool sendsShutDown_ = false;
  bool peerClosed_ = false;
  bool outputClosed_ = false;
  bool mayWriteWithoutWaiting_ = true;
};

}  // namespace

const char* WhyNoSocketPassing() {
  int domain = 0;
  socklen_t size = sizeof(domain);
  if (::getsockopt(STDOUT_FILENO, SOL_SOCKET, SO_DOMAIN, &domain, &size) == 0 && domain == AF_UNIX) return nullptr;
  return "-F needs standard output to be a Unix-domain socket, as ssh's ProxyUseFdpass gives it";
}

// As ssh's mm_receive_fd takes it: one byte with the descriptor (SCM_RIGHTS).
std::string PassSocketOnStandardOutput(SOCKET socket) {
  const int fd = static_cast<int>(socket);
  char byte = '\0';
  iovec data{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof(control);
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(header), &fd, sizeof(int));
  ssize_t sent;
  do {
    sent = ::sendmsg(STDOUT_FILENO, &message, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  const std::string failure = sent == 1 ? "" : SystemError("cannot pass the socket on standard output");
  ::close(fd);
  return failure;
}

// The errno value the socket layer translated the number from, as strerror
// says it.
std::string ErrorInWords(int error) {
  const int errnum = qbplatform::ErrnoFromWsaError(error);
  return errnum != 0 ? std::strerror(errnum) : "";
}

void PrepareStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1) ::open("/dev/null", O_RDWR);
  }
  ::signal(SIGPIPE, SIG_IGN);
}

std::string RelayStandardStreams(const std::shared_ptr<CAsyncSocket>& socket) {
  return Relayer(*socket, STDIN_FILENO, STDOUT_FILENO).Run();
}

}  // namespace qbcat
