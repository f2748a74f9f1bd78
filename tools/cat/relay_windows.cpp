// The relay on Windows. Standard input may be a pipe, a console or a file,
// none of which select() waits on, and reading it blocks: so it is read on
// a thread of its own, which sends what it read and, at its end, shuts the
// connection's sending side down (the half close). The calling thread
// copies the connection to standard output until the peer closes, then
// closes standard output, so the peer's end is passed on while the input
// may still be open; the relay ends once the input thread has ended too.
#include "relay.h"

#include <atomic>
#include <thread>
#include <vector>

namespace qbcat {

namespace {

// Consoles refuse reads much larger than this.
constexpr DWORD kChunk = 16 * 1024;
// How often the receiving side looks whether the input side failed.
constexpr long kLookMicroseconds = 200 * 1000;

std::string SystemError(const std::string& what) {
  return what + " failed (" + ErrorText("error", static_cast<int>(GetLastError())) + ")";
}

std::string SocketError(const std::string& what) {
  return what + " failed (" + ErrorText("socket error", WSAGetLastError()) + ")";
}

// Waits until the socket is ready to read (or to write), at most the
// given time; forever when it is negative.
void WaitFor(SOCKET socket, bool toWrite, long microseconds) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(socket, &set);
  timeval limit{0, microseconds};
  select(0, toWrite ? nullptr : &set, toWrite ? &set : nullptr, nullptr, microseconds < 0 ? nullptr : &limit);
}

std::string SendAll(CAsyncSocket& socket, const char* bytes, DWORD size) {
  for (DWORD sent = 0; sent < size;) {
    const int n = socket.CAsyncSocket::Send(bytes + sent, static_cast<int>(size - sent));
    if (n > 0) {
      sent += static_cast<DWORD>(n);
    } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
      WaitFor(socket.m_hSocket, true, -1);
    } else {
      return SocketError("sending to the peer");
    }
  }
  return {};
}

struct InputSide {
  std::atomic<bool> failed{false};
  std::string failure;  // written before failed is set
};

void CopyInputToPeer(const std::shared_ptr<CAsyncSocket>& socket, HANDLE input, InputSide& side) {
  std::vector<char> buffer(kChunk);
  // Without standard input there is nothing to send.
  while (input != nullptr && input != INVALID_HANDLE_VALUE) {
    DWORD got = 0;
    if (!ReadFile(input, buffer.data(), kChunk, &got, nullptr)) {
      if (GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_HANDLE_EOF) break;  // writer gone
      side.failure = SystemError("reading standard input");
      side.failed = true;
      return;
    }
    if (got == 0) break;  // end of file, or Ctrl+Z on a console
    std::string failure = SendAll(*socket, buffer.data(), got);
    if (!failure.empty()) {
      side.failure = std::move(failure);
      side.failed = true;
      return;
    }
  }
  socket->ShutDown(CAsyncSocket::sends);
}

std::string CopyPeerToOutput(CAsyncSocket& socket, HANDLE output, const InputSide& side) {
  std::vector<char> buffer(kChunk);
  while (!side.failed) {
    const int n = socket.CAsyncSocket::Receive(buffer.data(), static_cast<int>(buffer.size()));
    if (n == 0) return {};
    if (n == SOCKET_ERROR) {
      if (WSAGetLastError() != WSAEWOULDBLOCK) return SocketError("receiving from the peer");
      WaitFor(socket.m_hSocket, false, kLookMicroseconds);
      continue;
    }
    for (DWORD written = 0; written < static_cast<DWORD>(n);) {
      DWORD put = 0;
      if (!WriteFile(output, buffer.data() + written, static_cast<DWORD>(n) - written, &put, nullptr)) {
        return SystemError("writing standard output");
      }
      written += put;
    }
  }
  return {};
}

// A handle that is standard error as well stays open (as on POSIX, where a
// shared descriptor keeps the stream from ending), and so does one that is
// standard input too, which the input thread may still be reading.
void EndOutput(HANDLE output) {
  if (output == nullptr || output == INVALID_HANDLE_VALUE || output == GetStdHandle(STD_ERROR_HANDLE) ||
      output == GetStdHandle(STD_INPUT_HANDLE)) {
    return;
  }
  SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
  CloseHandle(output);
}

}  // namespace

void PrepareStandardStreams() {}

// The system's message for the number, without its closing period and
// line end.
std::string ErrorInWords(int error) {
  char text[256];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(error), 0, text, sizeof(text), nullptr);
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == '.' ||
                        text[length - 1] == ' ')) {
    --length;
  }
  return std::string(text, length);
}

const char* WhyNoSocketPassing() {
  return "-F is not supported on Windows, whose sockets cannot be passed over standard output; "
         "use qbsocks-cat without -F as the ProxyCommand";
}

std::string PassSocketOnStandardOutput(SOCKET socket) {
  closesocket(socket);
  return WhyNoSocketPassing();
}

std::string RelayStandardStreams(const std::shared_ptr<CAsyncSocket>& socket) {
  const auto side = std::make_shared<InputSide>();
  std::thread input([socket, side] { CopyInputToPeer(socket, GetStdHandle(STD_INPUT_HANDLE), *side); });
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  const std::string failure = CopyPeerToOutput(*socket, output, *side);
  if (failure.empty() && !side->failed) EndOutput(output);
  if (!failure.empty()) {
    // The input thread may be waiting on standard input for good; it holds
    // what it uses and ends with the process.
    input.detach();
    return failure;
  }
  input.join();  // as on POSIX, done once the input has ended too
  return side->failure;
}

}  // namespace qbcat
