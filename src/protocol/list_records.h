// ListRecord is one entry of the handset's file list. The list comes as one
// line per file and is parsed into a record when needed; beside it are the
// helpers that show and build list entries.
//
// Line: ["#" tag "#"] path "," size "," date "," attributes ","
// The path separates folders with the byte 0xA5; the date is
// yyyy/mm/dd/hhmm or empty; the attributes are 32 flag characters, the
// first being protection, the second copy guard. Records keep the flags in
// reverse order, so protection is record position 32.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mirvo {

struct ListRecord {
  std::string tag;     // "#...#" with both "#", or empty
  std::string folder;  // left empty by ParseListLine
  std::string name;    // the whole path, "\" between folders
  std::int32_t size = 0;
  std::string date;        // as it came
  std::string attributes;  // flag characters in record order
};

// A list date as it reads: yyyy/mm/dd/hhmm.
struct ListDate {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  friend auto operator<=>(const ListDate&, const ListDate&) = default;
};

// Record positions (from 1) of the flags, and flag values.
inline constexpr int kProtectionFlag = 32;
inline constexpr int kCopyGuardFlag = 31;
inline constexpr int kFlagCount = 32;
inline constexpr int kFlagOn = 0;        // "1"
inline constexpr int kFlagOff = 1;       // "0"
inline constexpr int kFlagNone = -1;     // "-": not applicable
inline constexpr int kFlagUnknown = -255;  // any other character, or none there

// 0, or -1 when the size field is not a decimal integer (sign allowed) in
// 32 bits. On failure the fields read before the size keep their values and
// the later ones stay empty or zero.
int ParseListLine(std::string_view line, ListRecord& item);

// The date of a list line; nullopt for a text that is not 15 characters, a
// part that is not a number, or a date or time that does not exist (years
// 1 to 9999).
std::optional<ListDate> ParseListDate(std::string_view date);

// A list line ending in CR LF; the tag is given without its "#", attributes
// in record order.
std::string MakeListLine(std::string_view tag, std::string_view name, std::int64_t size,
                         std::string_view date, std::string_view attributes);

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
std::string BlankAttributes();

// Writes value -1 as "-", 0 as "1", 1 as "0" at position (from 1); other
// values write nothing. A text shorter than 32 is first filled up with "-";
// a position outside the text writes nothing.
void SetFlag(std::string& attributes, int position, int value);

// "-" -1, "0" 1, "1" 0, any other character -255; a position outside the
// text (a handset that sends fewer flags) is -255 too.
int FlagAt(std::string_view attributes, int position);

// 0 "ON", 1 "OFF", anything else empty.
std::string FlagText(int value);

}  // namespace mirvo
