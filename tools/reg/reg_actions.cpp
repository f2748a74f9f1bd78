// query, add, delete, import and export on the settings hive.
#include "reg_actions.h"

#include "settings/proxy_settings.h"
#include "settings/reg_store.h"
#include "tools/tool_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qbreg {

namespace {

using qbhive::Hive;
using qbhive::Key;
using qbhive::Value;

const char kDone[] = "The operation completed successfully.\n";

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string Shown(const std::string& valueName) { return valueName.empty() ? "(Default)" : valueName; }

bool IsCurrentUserRoot(const std::string& key) { return key == qbhive::kCurrentUserRoot; }

// Why a file is not .reg text that a reader takes (FileHeader's rule).
std::string NotRegText(const std::string& file) {
  return file + " is not a registry file (its first line is not \"" + std::string(qbhive::kHeader5) + "\" or \"" +
         std::string(qbhive::kHeader4) + "\", in UTF-8 or in UTF-16LE with a byte-order mark)";
}

// A key path or value name that the file cannot carry as it is.
std::string Unstorable(const char* what) {
  return std::string("the ") + what + " has a line break or a NUL in it, which a reader would not read back " +
         "as the same name; nothing was written";
}

// The hive as it is now; a missing file is an empty hive, an unreadable one
// is an error (rather than an empty hive that would hide the settings).
std::string LoadForReading(const std::string& path, Hive& hive) {
  qbhive::ReadFailure failure;
  const LONG rc = qbhive::LoadHive(path, hive, &failure);
  if (rc == ERROR_SUCCESS) return {};
  if (failure.open_error != 0) return "cannot read " + path + ": " + std::strerror(failure.open_error);
  if (failure.not_regular) return path + " is not a regular file";
  if (failure.no_header) return NotRegText(path) + "; it was left as it was";
  if (failure.unfollowable)
    return "cannot read " + path + ": a link on its path leads nowhere (or a file stands for a folder)";
  return "cannot read " + path + " (error " + std::to_string(rc) + ")";
}

const char kCaps[] = "65536 keys, 262144 values and 8 MiB of key paths";

// A key that the caps may have left out of the hive read: not missing, unread.
std::string CutShort(const std::string& what, const std::string& path) {
  return "cannot read " + what + ": " + path + " holds more than a reader takes (" + kCaps +
         "), and it may be in the rest; delete keys to bring the file within them";
}

std::string UpdateFailure(LONG rc, const std::string& path, const std::string& capsPassed) {
  switch (rc) {
    case ERROR_NOT_ENOUGH_QUOTA:
      return "refusing to write " + path + ": it would then hold " + capsPassed + "; it was left as it was";
    case ERROR_INVALID_PARAMETER:
      return "a key or value name is beyond Windows' limits on a key or has a line break or a NUL in it; nothing was "
             "written";
    case ERROR_CANTREAD: return "cannot read " + path + "; it was left as it was";
    case ERROR_CANTWRITE: return "cannot write " + path + " (or create its folder)";
    case ERROR_FILE_NOT_FOUND: return "the key or value was removed meanwhile by another program";
    default: return "updating " + path + " failed (error " + std::to_string(rc) + ")";
  }
}

std::string Update(const std::string& path, const std::function<LONG(Hive&)>& edit, std::ostream& out) {
  std::string capsPassed;  // what the edited hive passes, should the write be refused for it
  const LONG rc = qbhive::UpdateHive(path, [&](Hive& hive) -> LONG {
    const LONG edited = edit(hive);
    if (edited == ERROR_SUCCESS) capsPassed = qbhive::CapsPassed(hive);
    return edited;
  });
  if (rc != ERROR_SUCCESS)
    return UpdateFailure(rc, path,
                         capsPassed.empty() ? std::string("more than a reader takes (") + kCaps + ")" : capsPassed);
  out << kDone;
  return {};
}

// Asks before a destructive step unless /f was given; the reason to stop,
// or an empty string to go on.
std::string Permission(bool force, const Confirm& confirm, const std::string& question, const std::string& refusal) {
  if (force) return {};
  const std::optional<bool> yes = confirm(question);
  if (!yes) return refusal;
  return *yes ? std::string() : "cancelled";
}

std::string HexUpper(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

uint64_t LittleEndian(const std::vector<uint8_t>& bytes) {
  uint64_t v = 0;
  for (size_t i = bytes.size(); i-- > 0;) v = v << 8 | bytes[i];
  return v;
}

// The data column of reg.exe's query output.
std::string DataText(const Value& value) {
  const std::string raw(value.data.begin(), value.data.end());
  char number[24];
  switch (value.type) {
    case REG_SZ:
    case REG_EXPAND_SZ: return raw.substr(0, raw.find('\0'));
    case REG_MULTI_SZ: {
      std::string joined;
      for (size_t start = 0; start < raw.size() && raw[start] != '\0';) {
        const size_t end = std::min(raw.find('\0', start), raw.size());
        joined += (joined.empty() ? "" : "\\0") + raw.substr(start, end - start);
        start = end + 1;
      }
      return joined;
    }
    case REG_DWORD:
    case REG_QWORD:
      if (value.data.size() == (value.type == REG_DWORD ? 4u : 8u)) {
        std::snprintf(number, sizeof number, "0x%llx", static_cast<unsigned long long>(LittleEndian(value.data)));
        return number;
      }
      return HexUpper(value.data);
    default: return HexUpper(value.data);
  }
}

std::string ValueLine(const Value& value) {
  return "    " + Shown(value.name) + "    " + TypeName(value.type) + "    " + DataText(value) + "\n";
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && qbhive::NoCaseEqual(s.substr(0, prefix.size()), prefix);
}

std::vector<std::string> ImmediateSubkeys(const Hive& hive, const std::string& key) {
  const std::string prefix = key + '\\';
  std::vector<std::string> out;
  for (auto it = hive.Keys().lower_bound(prefix); it != hive.Keys().end() && StartsWithNoCase(it->first, prefix);
       ++it) {
    if (it->first.find('\\', prefix.size()) == std::string::npos) out.push_back(it->second.path);
  }
  return out;
}

// What CSocks does with each of its six values (settings/proxy_settings.h
// has the names, kinds and widths, and what it takes): one it leaves unread
// keeps its field as it was, for a new socket nothing.
struct ProxyField {
  qbsettings::ValueIndex index;
  std::string_view whenUnread;  // what follows for a new socket
  std::string_view fixData;     // /d of the fixing command, when the value gives none

  std::string_view name() const { return qbsettings::kValues[index].lpszName; }
  DWORD type() const { return qbsettings::kValues[index].dwType; }
};

constexpr ProxyField kProxyFields[] = {
    {qbsettings::kSocksServer, "a new socket has no server, so the proxy is off", "ADDRESS"},
    {qbsettings::kSocksPort, "a new socket has port 0, so the proxy is off", "PORT"},
    {qbsettings::kProxyEnable, "the proxy is off", "1"},
    {qbsettings::kSocksVersion, "a new socket has version 0, so the proxy is off", "5"},
    {qbsettings::kUserName, "a new socket sends an empty user name, which a proxy that checks it refuses", "NAME"},
    {qbsettings::kPassword, "a new socket sends an empty password, which a proxy that checks it refuses", "PASSWORD"},
};

bool IsProxyKey(const std::string& key) { return qbhive::NoCaseEqual(key, qbsettings::kProxyKeyWithRoot); }

std::string FixCommand(const ProxyField& field, std::string_view data, std::string_view condition = {}) {
  return "; run: qbsocks-reg add 'HKCU\\" + std::string(qbsettings::kProxyKey) + "' /v " + std::string(field.name()) +
         (field.type() == REG_DWORD ? " /t REG_DWORD" : "") + " /d " + std::string(data) + " /f" +
         std::string(condition);
}

// Whether the number n in this field leaves the proxy off. ProxyEnable's 0
// is the user's own choice, not a mistake to warn about.
bool OffBy(const ProxyField& field, uint32_t n) {
  return field.index != qbsettings::kProxyEnable && qbsettings::WhyNumberLeavesProxyOff(field.index, n) != 0;
}

// The number a text stored by mistake for a number means, when it is one
// the field can use; otherwise the field's placeholder.
std::string NumberToStore(const ProxyField& field, const std::string& text) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::string(field.fixData);
  }
  const unsigned long n = std::stoul(text);
  const bool usable = field.index == qbsettings::kSocksPort      ? n <= 65535 && !OffBy(field, n)
                      : field.index == qbsettings::kSocksVersion ? !OffBy(field, n)
                                                                 : true;
  return usable ? std::to_string(n) : std::string(field.fixData);
}

// The fixing command's condition on its /d, for a field's placeholder.
std::string FixCondition(const ProxyField& field) {
  switch (field.index) {
    case qbsettings::kSocksPort: return ", with a PORT from 1 to 65535";
    case qbsettings::kSocksVersion: return " (or /d 4 for SOCKS4)";
    default: return {};
  }
}

// The warning for a value just stored in the proxy key, when CSocks will
// not read it or will not use it as the user meant; nullopt otherwise. Why
// a value is not taken or leaves the proxy off is said in the words of
// the route (qbsettings::DescribeValue).
std::optional<std::string> ProxyValueWarning(const Value& value) {
  const auto field = std::find_if(std::begin(kProxyFields), std::end(kProxyFields),
                                  [&](const ProxyField& f) { return qbhive::NoCaseEqual(f.name(), value.name); });
  if (field == std::end(kProxyFields)) return std::nullopt;
  const DWORD size = static_cast<DWORD>(value.data.size());
  char why[128];
  qbsettings::DescribeStoredValue(field->index, value.type, value.data.data(), size, why, sizeof(why));
  if (!qbsettings::IsTaken(field->index, value.type, value.data.data(), size)) {
    const std::string ignored = std::string(why) + ", so CSocks ignores the value: " + std::string(field->whenUnread);
    if (value.type == field->type() && field->type() == REG_SZ) {  // a text longer than its field
      const size_t longest = qbsettings::kValues[field->index].cbWidth - 1;
      return ignored + FixCommand(*field, field->fixData, ", with at most " + std::to_string(longest) + " bytes");
    }
    const bool numberAsText = field->type() == REG_DWORD && value.type == REG_SZ;
    return ignored +
           FixCommand(*field, numberAsText ? NumberToStore(*field, DataText(value)) : std::string(field->fixData));
  }
  if (why[0] != '\0')
    return std::string(why) + ", so CSocks turns the proxy off" +
           FixCommand(*field, field->fixData, FixCondition(*field));
  const uint32_t port = field->index == qbsettings::kSocksPort ? static_cast<uint32_t>(LittleEndian(value.data)) : 0;
  if (port > 65535) {
    return "SocksPort is " + std::to_string(port) +
           ", above 65535: CSocks takes its low 16 bits and connects to the " + "proxy's port " +
           std::to_string(port & 0xFFFF) + FixCommand(*field, "PORT", FixCondition(*field));
  }
  return std::nullopt;
}

// For the values a change stored in `key`.
void WarnAboutProxyValues(const Key& key, std::vector<std::string>& warnings) {
  if (!IsProxyKey(key.path)) return;
  for (const auto& entry : key.values)
    if (auto warning = ProxyValueWarning(entry.second)) warnings.push_back("warning: " + *warning);
}

// ProxyEnable on with no SocksServer that CSocks takes: it then turns the
// proxy off, and every connect goes direct to its target. Said of the key
// as a change left it; nullopt when the proxy has a server or is off.
std::optional<std::string> OnWithoutServer(const Key& key) {
  const ProxyField& server = kProxyFields[0];
  static_assert(kProxyFields[0].index == qbsettings::kSocksServer, "the server's field comes first");
  const Value* enable = key.FindValue(qbsettings::kValues[qbsettings::kProxyEnable].lpszName);
  if (enable == nullptr || LittleEndian(enable->data) == 0 ||
      !qbsettings::IsTaken(qbsettings::kProxyEnable, enable->type, enable->data.data(),
                           static_cast<DWORD>(enable->data.size()))) {
    return std::nullopt;
  }
  const Value* stored = key.FindValue(server.name());
  qbsettings::ProxySettings settings{};  // the server as a read leaves it, in the route's words
  settings.dwStoredType[server.index] = stored ? stored->type : REG_NONE;
  settings.cbStored[server.index] = stored ? static_cast<DWORD>(stored->data.size()) : 0;
  settings.bTaken[server.index] =
      stored && qbsettings::IsTaken(server.index, stored->type, stored->data.data(), settings.cbStored[server.index]);
  if (settings.bTaken[server.index] && !stored->data.empty() && stored->data[0] != 0) return std::nullopt;
  settings.nWhyOff = qbsettings::kNoServer;
  char why[128];
  qbsettings::DescribeValue(settings, server.index, why, sizeof(why));
  return "warning: ProxyEnable is " + std::to_string(LittleEndian(enable->data)) + " but " + why +
         ", so CSocks turns the proxy off and every connect goes direct to its target" +
         FixCommand(server, server.fixData);
}

// For a change of the value `changed` that may have left the proxy key
// (as written, when it was that key) switched on without a server: the
// ProxyEnable added, or the SocksServer deleted.
void WarnIfOnWithoutServer(const std::optional<Key>& proxyKey, const std::string& changed,
                           qbsettings::ValueIndex risky, std::vector<std::string>& warnings) {
  if (!proxyKey || !qbhive::NoCaseEqual(changed, qbsettings::kValues[risky].lpszName)) return;
  if (auto warning = OnWithoutServer(*proxyKey)) warnings.push_back(*warning);
}

std::string MissingKey(const std::string& key) { return "cannot find the key " + key; }

std::string MissingValue(const Command& c) { return "cannot find the value " + Shown(*c.valueName) + " in " + c.key; }

std::string Query(const Command& c, const std::string& path, std::ostream& out) {
  Hive hive;
  if (std::string why = LoadForReading(path, hive); !why.empty()) return why;
  Key rootStandIn{c.key, {}};  // HKEY_CURRENT_USER exists even when the file has no section for it
  const Key* key = hive.FindKey(c.key);
  if (key == nullptr && hive.CutShort()) return CutShort("the key " + c.key, path);
  if (key == nullptr && IsCurrentUserRoot(c.key)) key = &rootStandIn;
  if (key == nullptr) return MissingKey(c.key);

  if (c.valueName) {
    const Value* value = key->FindValue(*c.valueName);
    if (value == nullptr && key->values_cut) return CutShort("the value " + Shown(*c.valueName), path);
    if (value == nullptr) return MissingValue(c);
    out << '\n' << key->path << '\n' << ValueLine(*value) << '\n';
    return {};
  }
  out << '\n' << key->path << '\n';
  for (const auto& entry : key->values) out << ValueLine(entry.second);
  if (!key->values.empty()) out << '\n';
  for (const std::string& sub : ImmediateSubkeys(hive, key->path)) out << sub << '\n';
  return {};
}

std::string Add(const Command& c, const std::string& path, std::ostream& out, const Confirm& confirm,
                std::vector<std::string>& warnings) {
  if (!qbhive::IsStorableName(c.key)) return Unstorable("key");
  if (!qbhive::IsStorableName(*c.valueName)) return Unstorable("value name");
  if (!qbhive::WithinKeyLimits(c.key)) {
    return "the key " + c.key + " is beyond Windows' limits on a key (names of at most " +
           std::to_string(qbhive::kMaxKeyNameLength) + " characters, at most " +
           std::to_string(qbhive::kMaxKeyDepth) + " levels below the root): no reader would find it; error " +
           std::to_string(ERROR_INVALID_PARAMETER) + " (ERROR_INVALID_PARAMETER)";
  }
  Hive hive;
  if (std::string why = LoadForReading(path, hive); !why.empty()) return why;
  const Key* key = hive.FindKey(c.key);
  if (key != nullptr && key->FindValue(*c.valueName) != nullptr) {
    const std::string name = Shown(*c.valueName);
    if (std::string why = Permission(c.force, confirm, "Value " + name + " exists, overwrite(Yes/No)? ",
                                     "the value " + name + " exists in " + c.key + "; add /f to overwrite it");
        !why.empty()) {
      return why;
    }
  }
  std::optional<Key> proxyKey;  // as the write leaves it
  std::string failure = Update(
      path,
      [&](Hive& h) -> LONG {
        Key* key = h.CreateKey(c.key);
        if (key == nullptr || !key->SetValue(*c.valueName, c.type, c.data)) return ERROR_INVALID_PARAMETER;
        if (IsProxyKey(key->path)) proxyKey = *key;
        return ERROR_SUCCESS;
      },
      out);
  if (failure.empty()) {
    Key written{c.key, {}};
    written.SetValue(*c.valueName, c.type, c.data);
    WarnAboutProxyValues(written, warnings);
    WarnIfOnWithoutServer(proxyKey, *c.valueName, qbsettings::kProxyEnable, warnings);
  }
  return failure;
}

std::string Delete(const Command& c, const std::string& path, std::ostream& out, const Confirm& confirm,
                   std::vector<std::string>& warnings) {
  if (!c.valueName && IsCurrentUserRoot(c.key)) return "refusing to delete HKEY_CURRENT_USER itself";
  Hive hive;
  if (std::string why = LoadForReading(path, hive); !why.empty()) return why;
  // In a file past the caps, what to delete may lie beyond them: the write,
  // which reads it whole to mend it, is what finds out.
  const Key* key = hive.FindKey(c.key);
  if (key == nullptr && !hive.CutShort()) return MissingKey(c.key);

  if (c.valueName) {
    if (key != nullptr && !key->values_cut && key->FindValue(*c.valueName) == nullptr) return MissingValue(c);
    const std::string name = Shown(*c.valueName);
    if (std::string why = Permission(c.force, confirm, "Delete the registry value " + name + " (Yes/No)? ",
                                     "not deleting " + name + " without confirmation; add /f");
        !why.empty()) {
      return why;
    }
    std::optional<Key> proxyKey;  // as the delete leaves it
    std::string failure = Update(
        path,
        [&](Hive& h) -> LONG {
          Key* k = h.FindKey(c.key);
          if (k == nullptr || !k->DeleteValue(*c.valueName)) return ERROR_FILE_NOT_FOUND;
          if (IsProxyKey(k->path)) proxyKey = *k;
          return ERROR_SUCCESS;
        },
        out);
    if (failure.empty()) WarnIfOnWithoutServer(proxyKey, *c.valueName, qbsettings::kSocksServer, warnings);
    return failure;
  }
  if (std::string why = Permission(c.force, confirm, "Permanently delete the registry key " + c.key + " (Yes/No)? ",
                                   "not deleting " + c.key + " without confirmation; add /f");
      !why.empty()) {
    return why;
  }
  return Update(
      path, [&](Hive& h) -> LONG { return h.DeleteKey(c.key) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND; }, out);
}

constexpr size_t kMaxImportBytes = 16u << 20;

std::string ReadWholeFile(const std::string& file, std::string& bytes) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return SystemError("cannot read " + file);
  struct stat st;
  std::string why;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "cannot read " + file + ": not a regular file";
  } else if (static_cast<uint64_t>(st.st_size) > kMaxImportBytes) {
    why = file + " is too large for a settings file";
  }
  char chunk[65536];
  while (why.empty()) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) why = SystemError("cannot read " + file);
    if (n <= 0) break;
    bytes.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  return why;
}

std::string Import(const Command& c, const std::string& path, std::ostream& out, std::vector<std::string>& warnings) {
  std::string bytes;
  if (std::string why = ReadWholeFile(c.file, bytes); !why.empty()) return why;
  if (qbhive::FileHeader(bytes) == qbhive::RegHeader::kNone) return NotRegText(c.file);
  const std::string root = std::string(qbhive::kCurrentUserRoot);
  const Hive incoming = qbhive::ParseRegText(bytes);
  if (incoming.SkippedUnstorableNames()) {
    return c.file + " names a key or value with a carriage return or a NUL in it, which a reader would not read " +
           "back as the same name; nothing was imported";
  }
  // All of it or nothing: a reader would not take what the caps leave out.
  if (incoming.CutShort()) {
    return c.file + " brings more than one text may (" + kCaps + "); nothing was imported";
  }
  for (const auto& entry : incoming.Keys()) {
    if (entry.first.compare(0, root.size(), root) != 0) {
      return c.file + " has the key " + entry.first + "; only keys under HKEY_CURRENT_USER are kept here";
    }
  }
  Hive current;  // why the settings file cannot be read, said before trying to write it
  if (std::string why = LoadForReading(path, current); !why.empty()) return why;
  std::string failure = Update(
      path,
      [&](Hive& h) -> LONG {
        qbhive::ApplyRegText(h, bytes);
        return ERROR_SUCCESS;
      },
      out);
  if (const Key* proxy = incoming.FindKey(qbsettings::kProxyKeyWithRoot); proxy != nullptr && failure.empty()) {
    WarnAboutProxyValues(*proxy, warnings);
  }
  for (const Value& skipped : incoming.SkippedSections()) {
    if (failure.empty()) {
      warnings.push_back("warning: " + skipped.name + " is no key a reader takes (malformed, or beyond Windows' " +
                         "limits on a key); it was kept in the file as it is, and nothing reads it");
    }
  }
  return failure;
}

// Mode 0600, new file or old: the export holds the password in plain text.
std::string WriteExport(const std::string& file, const std::string& text) {
  return qbhive::WriteFileAtomically(file, text, 0600) ? std::string() : SystemError("cannot write " + file);
}

std::string Export(const Command& c, const std::string& path, std::ostream& out, const Confirm& confirm) {
  Hive hive;
  if (std::string why = LoadForReading(path, hive); !why.empty()) return why;
  if (hive.FindKey(c.key) == nullptr) return MissingKey(c.key);
  struct stat st;
  if (::stat(c.file.c_str(), &st) == 0) {
    if (std::string why = Permission(c.force, confirm, "File " + c.file + " already exists. Overwrite (Yes/No)? ",
                                     c.file + " exists; add /y to replace it");
        !why.empty()) {
      return why;
    }
  }
  if (std::string why = WriteExport(c.file, qbhive::ExportKey(hive, c.key)); !why.empty()) return why;
  out << kDone;
  return {};
}

}  // namespace

std::string Run(const Command& command, const std::string& hivePath, std::ostream& out, const Confirm& confirm,
                std::vector<std::string>& warnings) {
  if (hivePath.empty()) return "cannot find the settings file: neither XDG_CONFIG_HOME nor HOME says where it is";
  switch (command.verb) {
    case Verb::kQuery: return Query(command, hivePath, out);
    case Verb::kAdd: return Add(command, hivePath, out, confirm, warnings);
    case Verb::kDelete: return Delete(command, hivePath, out, confirm, warnings);
    case Verb::kImport: return Import(command, hivePath, out, warnings);
    case Verb::kExport: return Export(command, hivePath, out, confirm);
    case Verb::kVersion: out << qbtool::ReleaseLine("qbsocks-reg"); return {};
    case Verb::kHelp: break;
  }
  out << UsageText();
  return {};
}

std::optional<std::string> PermissionWarning(const std::string& hivePath) {
  return qbhive::OpenToOthersWarning(hivePath);
}

}  // namespace qbreg
