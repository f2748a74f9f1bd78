// What qbsocks-reg does with a parsed command, on the hive file at a given
// path. Reads go through qbhive::LoadHive; every change goes through
// qbhive::UpdateHive, so it is atomic, locked and keeps the file private.
#ifndef QBSOCKS_TOOLS_REG_ACTIONS_H
#define QBSOCKS_TOOLS_REG_ACTIONS_H

#include "reg_args.h"

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace qbreg {

// Asks the user a yes/no question; nullopt when nobody can be asked.
using Confirm = std::function<std::optional<bool>(const std::string& question)>;

// Runs the command; writes reg.exe's output to `out`. Returns the reason
// on failure (one line), an empty string on success. When add or import
// stored one of CSocks's six proxy values in a way that leaves the proxy
// off or the value unread (a kind CSocks does not read, a text longer than
// its field, a port of 0 or above 65535, a version other than 4 or 5), one
// line per value goes to `warnings`, saying what CSocks does with it and
// which command fixes it; the value is stored all the same, as reg.exe
// would store it. So does an add or delete that leaves ProxyEnable on with
// no server CSocks takes (every connect then goes direct).
std::string Run(const Command& command, const std::string& hivePath, std::ostream& out, const Confirm& confirm,
                std::vector<std::string>& warnings);

// A warning line when the hive file can be read or changed by other users,
// as ssh warns about a private key; nullopt when it is private or missing.
std::optional<std::string> PermissionWarning(const std::string& hivePath);

}  // namespace qbreg

#endif  // QBSOCKS_TOOLS_REG_ACTIONS_H
