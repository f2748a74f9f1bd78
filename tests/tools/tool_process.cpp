#include "tools/tool_process.h"

#ifdef _WIN32
#include "support/stream_io.h"
#include "support/test_platform.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;
#endif

namespace qbtest {

#ifndef _WIN32

namespace {

using Clock = std::chrono::steady_clock;

void CloseIfOpen(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

struct Pipe {
  int read = -1;
  int write = -1;
  bool Open(bool socket = false) {
    int ends[2];
    if ((socket ? ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) : ::pipe2(ends, O_CLOEXEC)) != 0) {
      return false;
    }
    read = ends[0];
    write = ends[1];
    return true;
  }
  void Close() {
    CloseIfOpen(read);
    CloseIfOpen(write);
  }
};

void SetNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Appends what is there; closes the descriptor at end of stream.
void Drain(int& fd, std::string& into) {
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
      into.append(chunk, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EINTR)) continue;
    if (n < 0 && errno == EAGAIN) return;
    CloseIfOpen(fd);  // end of stream or an error
    return;
  }
}

}  // namespace

ToolResult RunTool(const std::string& program, const ToolRun& run) {
  ToolResult result;
  Pipe in, out, err;
  if (!in.Open() || !out.Open(run.streams != ToolRun::Streams::kPipes) || !err.Open()) {
    result.err = std::string("pipe: ") + std::strerror(errno);
    in.Close(), out.Close(), err.Close();
    return result;
  }
  if (run.streams == ToolRun::Streams::kOneSocket)
    ::dup3(out.read, in.write, O_CLOEXEC),
        ::dup3(out.write, in.read, O_CLOEXEC);  // ours is shut down to end the input
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, in.read, STDIN_FILENO);
  ::posix_spawn_file_actions_adddup2(&actions, out.write, STDOUT_FILENO);
  ::posix_spawn_file_actions_adddup2(&actions, err.write, STDERR_FILENO);
  std::vector<std::string> args{program};
  args.insert(args.end(), run.args.begin(), run.args.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  CloseIfOpen(in.read);
  CloseIfOpen(out.write);
  CloseIfOpen(err.write);
  if (spawned != 0) {
    result.err = "cannot run " + program + ": " + std::strerror(spawned);
    in.Close(), out.Close(), err.Close();
    return result;
  }
  SetNonBlocking(in.write);
  SetNonBlocking(out.read);
  SetNonBlocking(err.read);
  // A child that stops reading must not kill the test with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);

  size_t written = 0;
  const auto deadline = Clock::now() + run.limit;
  while (out.read >= 0 || err.read >= 0) {
    if (in.write >= 0 && written == run.input.size() &&
        (result.out.size() >= run.closeInputAfterOutput || out.read < 0)) {
      ::shutdown(in.write, SHUT_WR);  // fails harmlessly on a pipe
      CloseIfOpen(in.write);
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      result.timedOut = true;
      break;
    }
    pollfd fds[3] = {{written < run.input.size() ? in.write : -1, POLLOUT, 0},
                     {out.read, POLLIN, 0},
                     {err.read, POLLIN, 0}};
    if (::poll(fds, 3, static_cast<int>(left)) < 0 && errno != EINTR) break;
    if (fds[0].revents != 0) {
      const ssize_t n = ::write(in.write, run.input.data() + written, run.input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) written = run.input.size();  // the child closed its input
    }
    if (fds[1].revents != 0) Drain(out.read, result.out);
    if (fds[2].revents != 0) Drain(err.read, result.err);
  }
  in.Close(), out.Close(), err.Close();
  if (result.timedOut) ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!result.timedOut && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

#else  // _WIN32

namespace {

// A command line that the C run-time splits back into these arguments
// (none of ours holds a quote or ends in a backslash).
std::string CommandLine(const std::string& program, const std::vector<std::string>& args) {
  std::string line = "\"" + program + "\"";
  for (const std::string& arg : args) line += " \"" + arg + "\"";
  return line;
}

// One pipe to or from the child: the child's end inheritable, ours not.
struct Pipe {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  bool Open(bool childReads) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(&read, &write, &inherit, 0)) return false;
    return SetHandleInformation(childReads ? write : read, HANDLE_FLAG_INHERIT, 0) != 0;
  }
};

void CloseIfOpen(HANDLE& handle) {
  if (handle != nullptr) CloseHandle(handle);
  handle = nullptr;
}

// A connected loopback socket pair in the place of the output pipe: the
// child's end, inheritable, is its standard input and output; ours is
// read as the output and written as the input, which ends with a half close.
bool OpenOneSocket(Pipe& out, Pipe& in) {
  uint16_t port = 0;
  const NativeSocket listener = BindLoopback(port);
  const NativeSocket ours = ConnectToLoopback(port);
  const NativeSocket theirs = AcceptConnection(listener);
  CloseNativeSocket(listener);
  out.read = in.write = reinterpret_cast<HANDLE>(ours);
  out.write = in.read = reinterpret_cast<HANDLE>(theirs);
  return ours != kNoSocket && theirs != kNoSocket &&
         SetHandleInformation(out.write, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) != 0;
}

// Output read so far, watched by the thread that feeds the input.
struct Collected {
  std::mutex mutex;
  std::condition_variable grew;
  std::string out;
  std::string err;
  bool outEnded = false;
  bool childGone = false;
};

void ReadAll(HANDLE from, std::string Collected::*into, Collected& collected) {
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(from, chunk, sizeof chunk, &got, nullptr) && got > 0) {
    std::lock_guard<std::mutex> lock(collected.mutex);
    (collected.*into).append(chunk, got);
    collected.grew.notify_all();
  }
  std::lock_guard<std::mutex> lock(collected.mutex);
  collected.outEnded |= into == &Collected::out;
  collected.grew.notify_all();
}

}  // namespace

ToolResult RunTool(const std::string& program, const ToolRun& run) {
  ToolResult result;
  Pipe in, out, err;
  const bool oneSocket = run.streams == ToolRun::Streams::kOneSocket;
  if (oneSocket ? !OpenOneSocket(out, in) || !err.Open(false)
                : !in.Open(true) || !out.Open(false) || !err.Open(false)) {
    result.err = "CreatePipe failed: " + std::to_string(GetLastError());
    return result;
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in.read;
  startup.hStdOutput = out.write;
  startup.hStdError = err.write;
  PROCESS_INFORMATION child{};
  std::string line = CommandLine(program, run.args);
  const BOOL started =
      CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child);
  if (oneSocket) {
    CloseNativeSocket(reinterpret_cast<NativeSocket>(out.write));
    in.read = out.write = nullptr;
  }
  CloseIfOpen(in.read);
  CloseIfOpen(out.write);
  CloseIfOpen(err.write);
  if (!started) {
    result.err = "cannot run " + program + ": error " + std::to_string(GetLastError());
    CloseIfOpen(in.write), CloseIfOpen(out.read), CloseIfOpen(err.read);
    return result;
  }

  Collected collected;
  std::thread outReader(ReadAll, out.read, &Collected::out, std::ref(collected));
  std::thread errReader(ReadAll, err.read, &Collected::err, std::ref(collected));
  std::thread feeder([&] {
    DWORD put = 0;
    for (size_t written = 0; written < run.input.size(); written += put) {
      const DWORD size = static_cast<DWORD>(std::min<size_t>(run.input.size() - written, 1 << 20));
      if (!WriteFile(in.write, run.input.data() + written, size, &put, nullptr)) break;  // the child closed it
    }
    std::unique_lock<std::mutex> lock(collected.mutex);
    collected.grew.wait(lock, [&] {
      return collected.childGone || collected.outEnded || collected.out.size() >= run.closeInputAfterOutput;
    });
    if (oneSocket) {
      shutdown(reinterpret_cast<NativeSocket>(in.write), SD_SEND);
      in.write = nullptr;  // read as the output until the end
    }
    CloseIfOpen(in.write);
  });

  const DWORD limit = static_cast<DWORD>(run.limit.count());
  if (WaitForSingleObject(child.hProcess, limit) != WAIT_OBJECT_0) {
    result.timedOut = true;
    TerminateProcess(child.hProcess, 1);
    WaitForSingleObject(child.hProcess, INFINITE);
  }
  {
    std::lock_guard<std::mutex> lock(collected.mutex);
    collected.childGone = true;
    collected.grew.notify_all();
  }
  feeder.join();  // a write to a child that is gone fails at once
  outReader.join();
  errReader.join();
  DWORD code = 0;
  if (!result.timedOut && GetExitCodeProcess(child.hProcess, &code)) result.exitCode = static_cast<int>(code);
  if (oneSocket) CloseNativeSocket(reinterpret_cast<NativeSocket>(std::exchange(out.read, nullptr)));
  CloseIfOpen(child.hProcess), CloseIfOpen(child.hThread), CloseIfOpen(out.read), CloseIfOpen(err.read);
  result.out = std::move(collected.out);
  result.err = std::move(collected.err);
  return result;
}

#endif  // _WIN32

std::string Describe(const ToolResult& result) {
  std::string text =
      "exit " + std::to_string(result.exitCode) + (result.timedOut ? " (killed at the time limit)" : "");
  text += ", stdout " + std::to_string(result.out.size()) + " bytes";
  if (result.out.size() <= 400) text += " [" + result.out + "]";
  return text + ", stderr [" + result.err + "]";
}

}  // namespace qbtest
