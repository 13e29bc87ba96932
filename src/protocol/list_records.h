// The handset's file list: one line per file, parsed into a record when
// needed, and the helpers that show and build list entries.
//
// Line: ["#" tag "#"] path "," size "," date "," attributes ","
// The path separates folders with the byte 0xA5; the date is
// yyyy/mm/dd/hhmm or empty; the attributes are 32 flag characters, the
// first being protection, the second copy guard. Records keep the flags in
// reverse order, so protection is record position 32.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mirvo {

struct ListRecord {
  std::string Tag;     // "#...#" with both "#", or empty
  std::string Folder;  // left empty by ParseListLine
  std::string Name;    // the whole path, "\" between folders
  std::int32_t Size = 0;
  std::string Date;    // as it came
  std::string Attr;    // flag characters in record order
};

// Record positions (from 1) and flag values.
inline constexpr int kAttrProtection = 32;
inline constexpr int kAttrCopyGuard = 31;
inline constexpr int kAttrLength = 32;
inline constexpr int kFlagOn = 0;        // "1"
inline constexpr int kFlagOff = 1;       // "0"
inline constexpr int kFlagNone = -1;     // "-": not applicable
inline constexpr int kFlagUnknown = -255;  // any other character, or none there

// 0, or -1 when the size field is not a decimal integer (sign allowed) in
// 32 bits. On failure the fields read before the size keep their values and
// the later ones stay empty or zero.
int ParseListLine(std::string_view line, ListRecord& item);

// Days since 1899-12-30 with the time of day as fraction; -1 for a text
// that is not 15 characters, a part that is not a number, or a date or time
// that does not exist.
double ListDateToDateTime(std::string_view date);

// A list line ending in CR LF; the tag is given without its "#", attr in
// record order.
std::string MakeListLine(std::string_view tag, std::string_view name, std::int64_t size,
                         std::string_view date, std::string_view attr);

// A decimal number rounded to a whole number (halves away from zero) with
// digits grouped by three. The separator is the C library locale's
// thousands separator, "," where the locale has none (the "C" locale), and
// a blank where it has no code page 932 form. A text that is not a number
// comes back unchanged.
std::string FormatThousands(std::string_view number);
// The same with a given separator.
std::string FormatThousands(std::string_view number, std::string_view separator);

std::string ReverseText(std::string_view text);

// 32 "-".
std::string BlankAttr();

// Writes value -1 as "-", 0 as "1", 1 as "0" at position (from 1); other
// values write nothing. A text shorter than 32 is first filled up with "-";
// a position outside the text writes nothing.
void SetAttrFlag(std::string& attr, int position, int value);

// "-" -1, "0" 1, "1" 0, any other character -255; a position outside the
// text (a handset that sends fewer flags) is -255 too.
int GetAttrFlag(std::string_view attr, int position);

// 0 "ON", 1 "OFF", anything else empty.
std::string FlagText(int value);

}  // namespace mirvo
