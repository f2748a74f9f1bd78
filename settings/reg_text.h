// What the pieces of the .reg store share, inside it only: the small
// text helpers of the parser and the writer, and the text encodings
// (reg_encoding.cpp). The pieces: reg_model.cpp (keys and
// values in memory), reg_parser.cpp (.reg text in), reg_writer.cpp (.reg
// text out), reg_file.cpp (the file, its path and its lock).
#ifndef QBSOCKS_SETTINGS_REG_TEXT_H
#define QBSOCKS_SETTINGS_REG_TEXT_H

#include "reg_store.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qbhive {

inline bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

inline std::string_view TrimLeft(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsSpace(s[i])) ++i;
  return s.substr(i);
}

inline std::string_view TrimRight(std::string_view s) {
  size_t n = s.size();
  while (n > 0 && IsSpace(s[n - 1])) --n;
  return s.substr(0, n);
}

inline std::string_view Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

inline bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && NoCaseEqual(s.substr(0, prefix.size()), prefix);
}

inline bool IsStringKind(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// ---- Buffers that may hold the password ----
//
// The file's text and the parser's and writer's working copies of values
// are held in these, which wipe every block before it goes back to the
// heap (a string that grows frees its old block too).
template <typename T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <typename U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, size_t n) noexcept {
    Wipe(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }
  template <typename U>
  bool operator==(const WipingAllocator<U>&) const noexcept {
    return true;
  }
  template <typename U>
  bool operator!=(const WipingAllocator<U>&) const noexcept {
    return false;
  }
};

// A short text lives inside the string object itself (the small-string
// buffer), where no allocator sees it, and a move leaves its bytes behind
// there: the object wipes that buffer too when it goes.
class WipedString : public std::basic_string<char, std::char_traits<char>, WipingAllocator<char>> {
  using Base = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

 public:
  using Base::Base;
  WipedString(const WipedString&) = default;
  WipedString(WipedString&&) = default;
  WipedString& operator=(const WipedString&) = default;
  WipedString& operator=(WipedString&&) = default;
  ~WipedString() {
    clear();
    shrink_to_fit();  // back into the inline buffer, the block wiped and freed
    Wipe(data(), capacity() + 1);
  }
};
using WipedBytes = std::vector<uint8_t, WipingAllocator<uint8_t>>;

// ---- Key paths (reg_model.cpp) ----

// Where each level of a canonical key path ends: [0] after the root, [i]
// after the key i levels below it (the whole path last).
std::vector<size_t> LevelEnds(std::string_view canonical);
// How many levels of a canonical path below its root are in the hive, when
// level `absent` is known not to be. A key is only ever created with all
// its ancestors, so the levels present are the first ones: found by
// bisection, not by looking each one up.
size_t LevelsPresent(const Hive::KeyMap& keys, std::string_view canonical, const std::vector<size_t>& ends,
                     size_t absent);
// Whether every level below the root keeps Windows' limits on a key.
bool KeepsKeyLimits(std::string_view canonical, const std::vector<size_t>& ends);

// What a hive brings to a reader once written, in the units of the caps:
// each key (ancestors included, as each is a section of its own), each
// key's full path, and each value once.
struct HiveSize {
  size_t keys = 0;
  size_t values = 0;
  size_t path_bytes = 0;
  bool NoLargerThan(const HiveSize& o) const {
    return keys <= o.keys && values <= o.values && path_bytes <= o.path_bytes;
  }
};
HiveSize SizeOf(const Hive& hive);

// ---- Parser and writer (reg_parser.cpp, reg_writer.cpp) ----

// ApplyRegText; false when a cap on what one text may bring cut it short
// (the hive is then marked so). `scale` multiplies the caps: a writer
// reads a file already past them with larger ones, to mend it. A reader
// with a bound stops, cut short, once the bound gives up.
bool ApplyRegTextUpToCaps(Hive& hive, std::string_view bytes, size_t scale = 1,
                          const qbplatform::ReadBound* bound = nullptr);
// SerializeRegText into a buffer that wipes itself; false when it left out
// a name that is not IsStorableName.
bool SerializeWiped(const Hive& hive, WipedString& out);

// ---- The file (reg_file.cpp) ----

// A failed file call's errno as the registry's result: ERROR_FILE_NOT_FOUND
// for a file (or folder) that is not there, otherwise the error Windows
// gives for such a cause.
LONG RegistryErrorOf(int error);
// After a call on the hive file at `path` said "not found" (ENOENT,
// ENOTDIR): ERROR_FILE_NOT_FOUND when the file is simply absent, its
// folder there; ERROR_CANTOPEN when a part of the path exists but
// cannot be followed (a link that leads nowhere, a file for a folder); or
// why the path cannot be looked at.
LONG NotFoundError(const std::string& path);
// HivePath, with ERROR_SUCCESS, or the error when the password database
// could not be read (an empty path with ERROR_SUCCESS: no home at all).
LONG HivePathOf(std::string& path);

// ---- Text encodings (reg_encoding.cpp) ----
//
// Bytes that are not valid UTF-8 travel through UTF-16 as the lone low
// surrogates U+DC80..U+DCFF (one per byte) and come back as the same byte,
// so that any 8-bit string survives a trip through regedit's UTF-16 form.

// An odd trailing byte has no UTF-16 unit and is dropped.
WipedString Utf16LeToUtf8(const uint8_t* p, size_t n);
bool IsValidUtf8(std::string_view s);
WipedBytes Utf8ToUtf16Le(std::string_view s);
// How many UTF-16 units Utf8ToUtf16Le gives for s.
size_t Utf16Length(std::string_view s);
// The file as UTF-8 text, whatever it was stored as: a view of `bytes`
// past any byte-order mark, or of `converted` when it was UTF-16.
std::string_view DecodeFile(std::string_view bytes, WipedString& converted);

}  // namespace qbhive

#endif  // QBSOCKS_SETTINGS_REG_TEXT_H
