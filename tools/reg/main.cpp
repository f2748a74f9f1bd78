// qbsocks-reg: reads and writes the QBSocks32 settings on systems without a
// registry, with reg.exe's commands. See UsageText() for the command line.
#include "reg_actions.h"
#include "reg_args.h"

#include "settings/reg_store.h"
#include "tools/tool_text.h"

#include <csignal>
#include <iterator>
#include <termios.h>
#include <unistd.h>

#include <iostream>

namespace {

// Questions go to a person at a terminal only; a script without /f gets a
// refusal rather than a hang or a guess.
std::optional<bool> AskOnTerminal(const std::string& question) {
  if (::isatty(STDIN_FILENO) == 0) return std::nullopt;
  std::cerr << question << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

// The terminal's settings while the prompt hides what is typed, so that a
// Ctrl-C (or a hang-up) at the prompt gives the terminal its echo back.
termios terminalBeforePrompt{};
constexpr int kPromptSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
void (*handlersBeforePrompt[std::size(kPromptSignals)])(int) = {};

extern "C" void RestoreTerminalAndDie(int signalNumber) {
  ::tcsetattr(STDIN_FILENO, TCSANOW, &terminalBeforePrompt);  // async-signal-safe
  std::signal(signalNumber, SIG_DFL);
  std::raise(signalNumber);
}

void HideTyping() {
  for (std::size_t i = 0; i < std::size(kPromptSignals); ++i) {
    handlersBeforePrompt[i] = std::signal(kPromptSignals[i], RestoreTerminalAndDie);
    if (handlersBeforePrompt[i] == SIG_IGN) std::signal(kPromptSignals[i], SIG_IGN);  // nohup and the like
  }
  termios hidden = terminalBeforePrompt;
  hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden);
}

void ShowTyping() {
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &terminalBeforePrompt);
  for (std::size_t i = 0; i < std::size(kPromptSignals); ++i) std::signal(kPromptSignals[i], handlersBeforePrompt[i]);
}

// /d -: one line of standard input without its line end; at a terminal
// asked for on standard error and typed without echo, as a password is.
std::optional<std::string> ReadDataLine(const std::string& valueName) {
  const bool terminal = ::tcgetattr(STDIN_FILENO, &terminalBeforePrompt) == 0;
  if (terminal) {
    std::cerr << "Data of " << (valueName.empty() ? "(Default)" : valueName) << " (not shown): " << std::flush;
    HideTyping();
  }
  std::string line;
  const bool got = static_cast<bool>(std::getline(std::cin, line));
  if (terminal) {
    ShowTyping();
    std::cerr << '\n';
  }
  if (!got) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();  // a line from a Windows file
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const qbreg::ParseResult parsed = qbreg::ParseCommandLine(args, ReadDataLine);
  if (!parsed.command) {
    std::cerr << "qbsocks-reg: " << parsed.error << '\n' << qbtool::TryHelpLine("qbsocks-reg");
    return 1;
  }
  const std::string hivePath = qbhive::HivePath();
  std::vector<std::string> warnings;
  const std::string failure = qbreg::Run(*parsed.command, hivePath, std::cout, AskOnTerminal, warnings);
  std::cout.flush();
  for (const std::string& warning : warnings) std::cerr << "qbsocks-reg: " << warning << '\n';
  if (parsed.command->verb != qbreg::Verb::kHelp && parsed.command->verb != qbreg::Verb::kVersion) {
    if (const auto warning = qbreg::PermissionWarning(hivePath)) std::cerr << "qbsocks-reg: " << *warning << '\n';
  }
  if (!failure.empty()) {
    std::cerr << "qbsocks-reg: " << failure << '\n';
    return 1;
  }
  return std::cout ? 0 : 1;
}
