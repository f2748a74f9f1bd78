#include "tools/tool_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace qbtest {

namespace {

using Clock = std::chrono::steady_clock;

void CloseIfOpen(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

struct Pipe {
  int read = -1;
  int write = -1;
  bool Open() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
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
  if (!in.Open() || !out.Open() || !err.Open()) {
    result.err = std::string("pipe: ") + std::strerror(errno);
    in.Close(), out.Close(), err.Close();
    return result;
  }
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
    if (in.write >= 0 && written == run.input.size() && result.out.size() >= run.closeInputAfterOutput) {
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

std::string Describe(const ToolResult& result) {
  std::string text = "exit " + std::to_string(result.exitCode) + (result.timedOut ? " (killed at the time limit)" : "");
  text += ", stdout " + std::to_string(result.out.size()) + " bytes";
  if (result.out.size() <= 400) text += " [" + result.out + "]";
  return text + ", stderr [" + result.err + "]";
}

}  // namespace qbtest
