// The text forms of IP addresses, read without the system: inet_pton is
// not had everywhere the library runs (Windows XP's ws2_32 lacks it), and
// the settings and the protocol must agree on what is an address.
#ifndef QBSOCKS_PLATFORM_AFX_ADDRESS_TEXT_H
#define QBSOCKS_PLATFORM_AFX_ADDRESS_TEXT_H

#include <stddef.h>
#include <string.h>

namespace qbafx {

// The value of a hex digit, or -1.
inline int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "1.2.3.4", all of text[0, n): four decimal numbers of 0 to 255, none
// with a leading zero (as inet_pton, not inet_addr, which reads octal).
// Its 4 bytes, in network order, to out.
inline bool ParseDottedDecimal(const char* text, size_t n, unsigned char* out) {
  unsigned char bytes[4];
  size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && (at == n || text[at++] != '.')) return false;
    const size_t start = at;
    unsigned value = 0;
    while (at < n && at - start < 3 && text[at] >= '0' && text[at] <= '9')
      value = value * 10 + static_cast<unsigned>(text[at++] - '0');
    if (at == start || value > 255 || (at - start > 1 && text[start] == '0')) return false;
    bytes[part] = static_cast<unsigned char>(value);
  }
  if (at != n) return false;
  memcpy(out, bytes, sizeof(bytes));
  return true;
}

// RFC 4291 2.2's text form of an IPv6 address, all of text[0, n): groups
// of one to four hex digits apart by ':', one "::" in place of one or more
// groups of zeros, the last two groups possibly a dotted IPv4 address. No
// brackets, no zone ("%eth0": a connect cannot use it). Its 16 bytes, in
// network order, to out.
inline bool ParseIpv6Text(const char* text, size_t n, unsigned char* out) {
  unsigned char bytes[16];
  int count = 0, gap = -1;  // gap: where "::" stands, in bytes
  size_t at = 0;
  if (n >= 2 && text[0] == ':' && text[1] == ':') gap = 0, at = 2;
  while (at < n) {
    const size_t start = at;
    unsigned group = 0;
    while (at < n && at - start < 4 && HexValue(text[at]) >= 0)
      group = group << 4 | static_cast<unsigned>(HexValue(text[at++]));
    if (at < n && text[at] == '.') {  // a dotted IPv4 address ends it
      if (count > 12 || !ParseDottedDecimal(text + start, n - start, bytes + count)) return false;
      count += 4;
      break;
    }
    if (at == start || count == 16) return false;
    bytes[count++] = static_cast<unsigned char>(group >> 8);
    bytes[count++] = static_cast<unsigned char>(group);
    if (at == n) break;
    if (text[at++] != ':' || at == n) return false;  // a ':' between groups, not at the end
    if (text[at] == ':') {
      if (gap >= 0) return false;
      gap = count, ++at;
    }
  }
  if (gap < 0 ? count != 16 : count > 14) return false;
  if (gap < 0) gap = count;
  memset(out, 0, 16);
  memcpy(out, bytes, static_cast<size_t>(gap));
  memcpy(out + 16 - (count - gap), bytes + gap, static_cast<size_t>(count - gap));
  return true;
}

}  // namespace qbafx

#endif  // QBSOCKS_PLATFORM_AFX_ADDRESS_TEXT_H
