// Code page 932 (Shift_JIS) byte-string rules and the UTF-8 border.
//
// Every text the core handles is a std::string of raw code page 932 bytes.
// Conversion to UTF-8 happens only where a text meets the user or a local
// file name; a text with no form on the other side is an error, never a
// substitution.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace mirvo::text {

// 0x81-0x9F and 0xE0-0xFC start a double-byte character.
constexpr bool IsLeadByte(unsigned char c) {
  return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// Byte length of the character at pos: 2 for a lead byte with a byte after
// it, otherwise 1 (a lead byte at the very end stands alone). pos < size.
constexpr std::size_t CharLength(std::string_view s, std::size_t pos) {
  return IsLeadByte(static_cast<unsigned char>(s[pos])) && pos + 1 < s.size() ? 2 : 1;
}

// Calls f(pos, len) for every character in order.
template <class F>
void ForEachChar(std::string_view s, F&& f) {
  for (std::size_t pos = 0; pos < s.size();) {
    const std::size_t len = CharLength(s, pos);
    f(pos, len);
    pos += len;
  }
}

// Number of characters (a double-byte character counts once).
std::size_t CharCount(std::string_view s);

// Removes leading and trailing bytes with codes up to 0x20 (blanks and
// control characters, CR and LF included). No second byte of a double-byte
// character is ever that low, so characters are never cut.
std::string_view TrimBlanks(std::string_view s);

// Strict conversions through iconv "CP932": nullopt when any byte sequence
// has no form on the other side (invalid, truncated or unmappable).
std::optional<std::string> Cp932ToUtf8(std::string_view cp932);
std::optional<std::string> Utf8ToCp932(std::string_view utf8);

// The code page 932 form of a fixed UTF-8 text of the program (a message,
// trace line or name), converted at first use and kept for the whole run.
// The returned reference stays valid for the life of the process.
const std::string& Cp932(std::string_view utf8_literal);

}  // namespace mirvo::text
