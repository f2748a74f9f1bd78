// What the pieces of the hive share, inside platform/ only: the two .reg
// headers, the small text helpers of the parser and the writer, and the
// text encodings (hive_encoding.cpp). The pieces: hive_model.cpp (keys and
// values in memory), hive_parser.cpp (.reg text in), hive_writer.cpp (.reg
// text out), hive_file.cpp (the file, its path and its lock).
#ifndef QBSOCKS_PLATFORM_POSIX_HIVE_TEXT_H
#define QBSOCKS_PLATFORM_POSIX_HIVE_TEXT_H

#include "posix/registry_hive.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qbhive {

inline constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
inline constexpr std::string_view kHeader4 = "REGEDIT4";

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

// ---- Text encodings (hive_encoding.cpp) ----
//
// Bytes that are not valid UTF-8 travel through UTF-16 as the lone low
// surrogates U+DC80..U+DCFF (one per byte) and come back as the same byte,
// so that any 8-bit string survives a trip through regedit's UTF-16 form.

// An odd trailing byte has no UTF-16 unit and is dropped.
std::string Utf16LeToUtf8(const uint8_t* p, size_t n);
bool IsValidUtf8(std::string_view s);
std::vector<uint8_t> Utf8ToUtf16Le(std::string_view s);
// The file as UTF-8 text, whatever it was stored as.
std::string DecodeFile(std::string_view bytes);

}  // namespace qbhive

#endif  // QBSOCKS_PLATFORM_POSIX_HIVE_TEXT_H
