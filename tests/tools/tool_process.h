// Runs a built tool as a child process, feeding its standard input and
// collecting its standard output and error, all at once (one poll loop on
// POSIX, a thread per pipe on Windows) so that no amount of data can stall
// either side.
//
// The child inherits the environment, so a TempHive of the test decides
// which settings it sees.
#ifndef QBSOCKS_TESTS_TOOLS_TOOL_PROCESS_H
#define QBSOCKS_TESTS_TOOLS_TOOL_PROCESS_H

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace qbtest {

struct ToolRun {
  std::vector<std::string> args;  // after the program's name
  std::string input;              // written to standard input
  // Standard input is closed once the input is written and this much
  // output has arrived: a client that half-closes early would lose the
  // rest of the reply through a proxy that drops the whole connection at
  // the first end of stream (microsocks does). It is closed in any case
  // once standard output has ended, as ssh closes a ProxyCommand's input.
  size_t closeInputAfterOutput = 0;
  // Then the child is killed: a guard against a hang, not a measure of
  // speed, so it leaves room for a sanitizer build on a loaded machine.
  std::chrono::milliseconds limit = std::chrono::seconds(180);
  // Standard output a pipe; a socket (as a journal stream, POSIX only); one
  // socket that is standard input too (as a supervisor's socket pair).
  enum class Streams { kPipes, kOutputSocket, kOneSocket } streams = Streams::kPipes;
};

struct ToolResult {
  int exitCode = -1;  // -1 when killed or not run
  std::string out;
  std::string err;
  bool timedOut = false;
};

ToolResult RunTool(const std::string& program, const ToolRun& run);

// A one-line view of a result for assertion messages.
std::string Describe(const ToolResult& result);

}  // namespace qbtest

#endif  // QBSOCKS_TESTS_TOOLS_TOOL_PROCESS_H
