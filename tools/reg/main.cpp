// qbsocks-reg: reads and writes the QBSocks32 settings on systems without a
// registry, with reg.exe's commands. See UsageText() for the command line.
#include "reg_actions.h"
#include "reg_args.h"

#include "registry_hive.h"

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

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const qbreg::ParseResult parsed = qbreg::ParseCommandLine(args);
  if (!parsed.command) {
    std::cerr << "qbsocks-reg: " << parsed.error << '\n';
    return 1;
  }
  const std::string hivePath = qbhive::HivePath();
  std::vector<std::string> warnings;
  const std::string failure = qbreg::Run(*parsed.command, hivePath, std::cout, AskOnTerminal, warnings);
  std::cout.flush();
  for (const std::string& warning : warnings) std::cerr << "qbsocks-reg: " << warning << '\n';
  if (parsed.command->verb != qbreg::Verb::kHelp) {
    if (const auto warning = qbreg::PermissionWarning(hivePath)) std::cerr << "qbsocks-reg: " << *warning << '\n';
  }
  if (!failure.empty()) {
    std::cerr << "qbsocks-reg: " << failure << '\n';
    return 1;
  }
  return std::cout ? 0 : 1;
}
