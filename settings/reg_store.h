// The settings store on systems without a registry: the current user's
// settings as a .reg text file (the format regedit exports, not a binary
// registry hive), and an in-memory model of it.
//
// The model keeps every key of the file under its full path with the root
// spelled out ("HKEY_CURRENT_USER\Software\..."). Key paths and value names
// compare case-insensitively (ASCII letters), as on Windows, and keep the
// spelling they were first written with. Value data is held as the bytes an
// "A" caller of RegQueryValueExA receives: strings are 8-bit (UTF-8) with
// their terminator.
//
// Readers call LoadHive and never write or lock. Writers go through
// UpdateHive, which replaces the file atomically under an advisory lock.
//
// The store is a static library of its own (qbsettings_store), linked into
// qbafx, whose registry functions read the settings through it, and into
// qbsocks-reg; nothing of it is exported from qbafx. Its names keep the
// registry's words (qbhive::Hive, LoadHive): the file stands in for the
// user's registry hive.
#ifndef QBSOCKS_SETTINGS_REG_STORE_H
#define QBSOCKS_SETTINGS_REG_STORE_H

#include "read_bound.h"
#include "win32.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qbhive {

inline constexpr std::string_view kCurrentUserRoot = "HKEY_CURRENT_USER";

// Orders strings as Windows compares registry names: ASCII letters without
// regard to case, every other byte as it is.
struct NoCaseLess {
  using is_transparent = void;
  static unsigned char Fold(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
  }
  bool operator()(std::string_view a, std::string_view b) const {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
      const unsigned char ca = Fold(static_cast<unsigned char>(a[i]));
      const unsigned char cb = Fold(static_cast<unsigned char>(b[i]));
      if (ca != cb) return ca < cb;
    }
    return a.size() < b.size();
  }
};

bool NoCaseEqual(std::string_view a, std::string_view b);

// Whether a .reg file carries `name` (a key's path or a value's name) so
// that a reader reads it back as the same name: no line break (CR or LF),
// which would end its line and give the text a structure of its own, and
// no NUL, which no caller of the A functions can name. The model, and so
// every writer, takes no other name; the parser skips a line that brings
// one; the writer never emits one.
bool IsStorableName(std::string_view name);

// Overwrites n bytes at p in a way the compiler cannot leave out.
void Wipe(void* p, size_t n);

// The data may be a password: a value wipes it before its memory goes back
// to the heap (when destroyed or assigned over), as CSocks wipes its own
// buffers.
struct Value {
  std::string name;  // "" is the key's default value ("@" in the file)
  DWORD type = REG_NONE;
  std::vector<uint8_t> data;

  Value() = default;
  Value(const Value&) = default;
  Value(Value&&) = default;
  Value& operator=(const Value& other);
  Value& operator=(Value&& other) noexcept;
  ~Value();
};

struct Key {
  std::string path;  // full path, root included, components joined by '\'
  std::map<std::string, Value, NoCaseLess> values;
  // A cap of the reader left values of this key out: one it lacks may be
  // one of them, so it cannot be said to be missing.
  bool values_cut = false;

  const Value* FindValue(std::string_view name) const;
  // Replaces the data and type of an existing value (keeping its spelling)
  // or adds a new one; false, and nothing changed, for a name that is not
  // IsStorableName.
  bool SetValue(std::string_view name, DWORD type, std::vector<uint8_t> data);
  bool DeleteValue(std::string_view name);
};

class Hive {
 public:
  using KeyMap = std::map<std::string, Key, NoCaseLess>;

  // Paths given to these are canonicalised first (see CanonicalKeyPath);
  // a path that has no known root finds nothing and creates nothing.
  const Key* FindKey(std::string_view path) const;
  Key* FindKey(std::string_view path);
  // Creates the key and any missing ancestors below the root; returns the
  // existing key when there is one. nullptr for a path without a known root,
  // beyond Windows' limits on a key (WithinKeyLimits) or not IsStorableName.
  Key* CreateKey(std::string_view path);
  // Deletes the key with all its subkeys; false when the key was not there.
  bool DeleteKey(std::string_view path);
  bool HasSubkeys(std::string_view path) const;

  const KeyMap& Keys() const { return keys_; }
  bool Empty() const { return keys_.empty(); }

  // A cap on what one text may bring left keys or values out of the text
  // this hive was read from: a key it lacks may be one of them.
  bool CutShort() const { return cut_short_; }
  void MarkCutShort() { cut_short_ = true; }

  // Sections that the parser skipped (a malformed section line, a path
  // without a known root or beyond Windows' limits on a key), each with
  // its lines as the text had them (`name` is the section line, `data`
  // the whole text). A writer puts them back, so that a rewrite loses
  // nothing the user wrote; readers skip them again.
  const std::vector<Value>& SkippedSections() const { return skipped_; }
  void KeepSkippedSection(std::string_view section_line, std::string_view text);

  // The text this hive was read from named a key or value with a name that
  // is not IsStorableName; the parser took none of them (import refuses
  // such a text).
  bool SkippedUnstorableNames() const { return skipped_unstorable_; }
  void MarkSkippedUnstorableName() { skipped_unstorable_ = true; }

 private:
  KeyMap keys_;
  bool cut_short_ = false;
  bool skipped_unstorable_ = false;
  std::vector<Value> skipped_;
};

// "HKCU\\Software\\\\X\\" -> "HKEY_CURRENT_USER\Software\X": the root
// spelled out (HKCU, HKLM, HKCR, HKU, HKCC accepted), empty components
// dropped. nullopt when the first component is not a known root.
std::optional<std::string> CanonicalKeyPath(std::string_view path);

// Windows' own limits on a key, kept by the parser: a name (one level of a
// path) of at most 255 characters (UTF-16 units, as Windows counts them),
// at most 512 levels below the root.
inline constexpr size_t kMaxKeyNameLength = 255;
inline constexpr size_t kMaxKeyDepth = 512;
// Whether a key path keeps those limits (false for a path without a known
// root).
bool WithinKeyLimits(std::string_view path);
// What one .reg text may add to a hive: keys (the ancestors a section
// creates included), values, and the bytes of the new keys' paths (each key
// is held under its full path, so a deep key costs the sum of its
// ancestors' paths). They keep a parse linear in the text's size.
inline constexpr size_t kMaxKeysPerText = 65536;
inline constexpr size_t kMaxValuesPerText = 262144;
inline constexpr size_t kMaxKeyPathBytesPerText = 8u << 20;
// Why a reader would not take all of `hive` once written (which of the caps
// above it passes); empty when it would.
std::string CapsPassed(const Hive& hive);

// The header line that .reg text starts with: "Windows Registry Editor
// Version 5.00" (string data in UTF-16, as regedit 5 writes it) or
// "REGEDIT4" (8-bit).
enum class RegHeader { kNone, kVersion5, kRegedit4 };
inline constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
inline constexpr std::string_view kHeader4 = "REGEDIT4";
// Which header `line` is, blanks and a CR at its end aside.
RegHeader HeaderOf(std::string_view line);
// Which header the first line of a file's bytes is, whether they are
// UTF-16LE with a byte-order mark (what regedit writes) or 8-bit text with
// or without a UTF-8 one.
RegHeader FileHeader(std::string_view bytes);

// Applies .reg text to a hive as regedit imports it: sections create keys,
// "[-KEY]" deletes a key with its subkeys, "Name"=- deletes a value, later
// lines override earlier ones. Accepts UTF-16LE with a byte-order mark,
// UTF-8 with or without one, the "Windows Registry Editor Version 5.00" and
// "REGEDIT4" headers (or none), CRLF or LF. A line that cannot be parsed is
// skipped, and so is a section beyond the limits above (with its values;
// kept in SkippedSections), or a key or value beyond the caps (the hive is
// then CutShort); nothing is read or written outside the input for any
// bytes.
void ApplyRegText(Hive& hive, std::string_view bytes);
Hive ParseRegText(std::string_view bytes);

// UTF-8 text, "Windows Registry Editor Version 5.00" header, LF line ends.
// ParseRegText(SerializeRegText(h)) gives back h, byte for byte in the data.
// A key or value whose name is not IsStorableName (which the model never
// holds unless its maps were filled by hand) is left out.
std::string SerializeRegText(const Hive& hive);
// The same, restricted to one key and its subkeys (just the header when the
// key is missing).
std::string ExportKey(const Hive& hive, std::string_view path);

// ${XDG_CONFIG_HOME:-$HOME/.config}/qbsocks/user.reg, looked up afresh at
// every call. Empty when no home folder can be found at all.
std::string HivePath();
// Whether HivePath() would give `path` now, decided without allocating (a
// reader's cache asks at every read); false when only the password
// database could tell.
bool IsHivePath(std::string_view path);

// What lies behind a failed read of a file that is there, for a person.
struct ReadFailure {
  int open_error = 0;         // opening it failed with this errno
  bool not_regular = false;   // it is no regular file (a folder, a FIFO)
  bool no_header = false;     // it does not begin with a header (FileHeader)
  bool unfollowable = false;  // a link on its path leads nowhere, or a file stands for a folder
};

// The hive in the file; a missing or unreadable file is an empty hive.
Hive LoadHive(const std::string& path);
// The same, telling the two apart: ERROR_SUCCESS with an empty hive for a
// file that is simply absent (no such file in a folder that is there); for
// a file that exists but cannot be read, the error Windows gives for such
// a cause (ERROR_TOO_MANY_OPEN_FILES, ERROR_ACCESS_DENIED,
// ERROR_NOT_ENOUGH_MEMORY, ERROR_CANTREAD), with the cause behind it in
// `failure` when given. A file that does not begin with a header that
// FileHeader knows (an empty one, UTF-16 without a byte-order mark or
// big-endian) is ERROR_BADDB; a path that exists but cannot be followed (a
// link whose target is missing, at the file or at a folder on the way, or a
// file where a folder should be) is ERROR_CANTOPEN: neither is "no
// settings".
// With a bound, the parse stops once it gives up, the hive cut short.
LONG LoadHive(const std::string& path, Hive& hive, ReadFailure* failure = nullptr,
              const qbplatform::ReadBound* bound = nullptr);

// Read, edit, write back atomically, under an exclusive flock on the
// sibling file "<path>.lock". When `path` is a symbolic link (a dotfile
// manager's), the file it leads to is the one replaced: the temporary file,
// the rename and the lock are beside it, and the link stays; a path that a
// reader cannot follow is not followed to create a file there
// (ERROR_CANTREAD, as for a file that cannot be read). When edit
// returns anything but ERROR_SUCCESS nothing is written and that result is
// returned. The folder is created (0700) when missing, a new file gets mode
// 0600, an existing one keeps its permission bits. A file that exists but
// cannot be read is never replaced (ERROR_CANTREAD). Nothing is written
// that a reader would not take whole: an edit that leaves the hive
// CutShort or past the caps is refused (ERROR_NOT_ENOUGH_QUOTA), except
// that a file already past them (written by hand) may be made smaller,
// so that deleting can mend it; one too far past them even for that is
// ERROR_CANTREAD. A hive that holds a name that is not IsStorableName is
// not written (ERROR_INVALID_PARAMETER). Write failures give ERROR_CANTWRITE.
LONG UpdateHive(const std::string& path, const std::function<LONG(Hive&)>& edit);

// A warning line when the file at `path` can be read or changed by other
// users, as ssh warns about a private key: it holds the password in plain
// text. qbsocks-reg gives it after every command, the C interface after it
// stored the proxy; nullopt when the file is private or missing.
std::optional<std::string> OpenToOthersWarning(const std::string& path);

// Writes `text` as the file at `path` the way UpdateHive does (a temporary
// file beside it, then a rename; through a symbolic link to where it
// leads), with `mode` whether the file is new or not. False when it failed,
// with errno telling why; the old file is then as it was.
bool WriteFileAtomically(const std::string& path, std::string_view text, mode_t mode);

}  // namespace qbhive

#endif  // QBSOCKS_SETTINGS_REG_STORE_H
