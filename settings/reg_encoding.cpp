// Text encodings of the .reg file: UTF-16LE and UTF-8 both ways, with raw
// bytes kept through the trip (see reg_text.h), and the file's bytes as
// text.
#include "reg_text.h"

namespace qbhive {

namespace {

void AppendUtf8(WipedString& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not one.
size_t Utf8SequenceAt(std::string_view s, size_t i, uint32_t& cp) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  size_t len;
  uint32_t min;
  if ((c & 0xE0) == 0xC0) {
    len = 2, min = 0x80, cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3, min = 0x800, cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4, min = 0x10000, cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

}  // namespace

WipedString Utf16LeToUtf8(const uint8_t* p, size_t n) {
  WipedString out;
  out.reserve(n);
  const size_t units = n / 2;
  auto unit_at = [p](size_t i) { return static_cast<uint32_t>(p[2 * i] | (p[2 * i + 1] << 8)); };
  for (size_t i = 0; i < units; ++i) {
    const uint32_t u = unit_at(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      const uint32_t low = unit_at(i + 1);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    if (u >= 0xDC80 && u <= 0xDCFF) {
      out += static_cast<char>(u - 0xDC00);  // an escaped raw byte
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

bool IsValidUtf8(std::string_view s) {
  uint32_t cp;
  for (size_t i = 0; i < s.size();) {
    const size_t len = Utf8SequenceAt(s, i, cp);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

WipedBytes Utf8ToUtf16Le(std::string_view s) {
  WipedBytes out;
  out.reserve(s.size() * 2);
  auto put = [&out](uint32_t u) {
    out.push_back(static_cast<uint8_t>(u & 0xFF));
    out.push_back(static_cast<uint8_t>(u >> 8));
  };
  uint32_t cp;
  for (size_t i = 0; i < s.size();) {
    const size_t len = Utf8SequenceAt(s, i, cp);
    if (len == 0) {
      put(0xDC00 + static_cast<unsigned char>(s[i]));
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      put(0xD800 + ((cp - 0x10000) >> 10));
      put(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      put(cp);
    }
    i += len;
  }
  return out;
}

size_t Utf16Length(std::string_view s) {
  size_t units = 0;
  uint32_t cp;
  for (size_t i = 0; i < s.size();) {
    const size_t len = Utf8SequenceAt(s, i, cp);
    units += len == 4 ? 2 : 1;  // an invalid byte travels as one unit
    i += len == 0 ? 1 : len;
  }
  return units;
}

std::string_view DecodeFile(std::string_view bytes, WipedString& converted) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  if (bytes.size() >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
    converted = Utf16LeToUtf8(p + 2, bytes.size() - 2);
    return converted;
  }
  if (bytes.size() >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) return bytes.substr(3);
  return bytes;
}

}  // namespace qbhive
