// The command line of qbsocks-reg, parsed and checked before anything
// touches the settings file: an action only ever sees a complete, valid
// command.
#ifndef QBSOCKS_TOOLS_REG_ARGS_H
#define QBSOCKS_TOOLS_REG_ARGS_H

#include "win32.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qbreg {

enum class Verb { kHelp, kVersion, kQuery, kAdd, kDelete, kImport, kExport };

struct Command {
  Verb verb = Verb::kHelp;
  std::string key;                       // canonical: "HKEY_CURRENT_USER\..."
  std::optional<std::string> valueName;  // /v NAME, or "" for /ve (the default value)
  DWORD type = REG_SZ;                   // add: /t
  std::vector<uint8_t> data;             // add: /d, as it is stored
  bool force = false;                    // add, delete: /f; export: /y
  std::string file;                      // import, export
};

struct ParseResult {
  std::optional<Command> command;  // set when the line is valid
  std::string error;               // otherwise: one line saying what is wrong
};

// The /d that stands for a line of standard input: a password given there
// stays out of the process's arguments (ps) and the shell's history.
inline constexpr char kDataFromInput[] = "-";

// Reads the data of /d - for the value named; nullopt when no line came.
using DataReader = std::function<std::optional<std::string>(const std::string& valueName)>;

// args excludes the program name. readData is called for /d - only, once
// the rest of the line is known to be valid.
ParseResult ParseCommandLine(const std::vector<std::string>& args, const DataReader& readData);

std::string UsageText();

// "REG_SZ" for REG_SZ, and so on; "REG_0x2a" for a kind without a name.
std::string TypeName(DWORD type);

}  // namespace qbreg

#endif  // QBSOCKS_TOOLS_REG_ARGS_H
