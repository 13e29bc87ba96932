#include "protocol/list_records.h"

#include <algorithm>
#include <clocale>

#include "text/fields.h"
#include "text/cp932.h"

namespace mirvo {
namespace {

constexpr char kHandsetSeparator = '\xA5';

// Digits only, at most `max_digits` of them.
bool ReadDigits(std::string_view s, std::size_t max_digits, std::int64_t& value) {
  if (s.empty() || s.size() > max_digits) return false;
  value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

unsigned DaysInMonth(std::int64_t y, unsigned m) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

std::string LocaleThousandsSeparator() {
  const char* sep = std::localeconv()->thousands_sep;
  if (!sep || !*sep) return ",";
  const std::string_view s(sep);
  if (std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    return std::string(s);
  }
  // Beyond ASCII the separator is in the locale's encoding, UTF-8 on the
  // systems we run on; what has no code page 932 form is one of the narrow
  // or no-break blanks some locales use.
  if (auto cp = text::Utf8ToCp932(s)) return *cp;
  return " ";
}

}  // namespace

int ParseListLine(std::string_view line, ListRecord& item) {
  item = ListRecord{};
  if (!line.empty() && line[0] == '#') {
    const std::size_t close = line.find('#', 1);
    if (close != std::string_view::npos) {
      item.tag = line.substr(0, close + 1);
      line.remove_prefix(close + 1);
    }
  }
  std::string rest(line);
  // Only a 0xA5 of its own is the handset's separator; as a second byte it
  // is part of a character.
  text::ForEachChar(rest, [&](std::size_t pos, std::size_t len) {
    if (len == 1 && rest[pos] == kHandsetSeparator) rest[pos] = '\\';
  });

  const std::vector<std::string> fields = SplitFields(rest);
  auto field = [&](std::size_t i) { return i < fields.size() ? fields[i] : std::string{}; };
  item.name = field(0);
  // Signed: an entry of size -1 still has its date and flags.
  const std::string size_field = field(1);
  std::string_view size_text = size_field;
  const bool negative = !size_text.empty() && size_text[0] == '-';
  if (!size_text.empty() && (size_text[0] == '-' || size_text[0] == '+')) size_text.remove_prefix(1);
  std::int64_t size = 0;
  if (!ReadDigits(size_text, 10, size)) return -1;
  if (negative) size = -size;
  if (size > INT32_MAX || size < INT32_MIN) return -1;
  item.size = static_cast<std::int32_t>(size);
  item.date = field(2);
  item.attributes = ReverseText(field(3));
  return 0;
}

std::optional<ListDate> ParseListDate(std::string_view date) {
  if (date.size() != 15) return std::nullopt;
  const std::string time = FieldAt(date, "/", 3);
  std::int64_t y = 0, mo = 0, d = 0, h = 0, mi = 0;
  if (!ReadDigits(FieldAt(date, "/", 0), 9, y) || !ReadDigits(FieldAt(date, "/", 1), 9, mo) ||
      !ReadDigits(FieldAt(date, "/", 2), 9, d) || !ReadDigits(std::string_view(time).substr(0, 2), 2, h) ||
      !ReadDigits(std::string_view(time).substr(std::min<std::size_t>(2, time.size()), 2), 2, mi)) {
    return std::nullopt;
  }
  if (y < 1 || y > 9999 || mo < 1 || mo > 12 || d < 1 || d > DaysInMonth(y, static_cast<unsigned>(mo)) || h > 23 ||
      mi > 59) {
    return std::nullopt;
  }
  return ListDate{static_cast<int>(y), static_cast<int>(mo), static_cast<int>(d), static_cast<int>(h),
                  static_cast<int>(mi)};
}

std::string MakeListLine(std::string_view tag, std::string_view name, std::int64_t size,
                         std::string_view date, std::string_view attributes) {
  std::string line;
  if (!tag.empty()) {
    line += '#';
    line += tag;
    line += '#';
  }
  line += name;
  line += ',';
  line += std::to_string(size);
  line += ',';
  line += date;
  line += ',';
  line += ReverseText(attributes);
  line += ",\r\n";
  return line;
}

std::string FormatThousands(std::string_view number) {
  return FormatThousands(number, LocaleThousandsSeparator());
}

std::string FormatThousands(std::string_view number, std::string_view separator) {
  std::string_view s = number;
  bool negative = false;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  const std::size_t point = s.find('.');
  const std::string_view whole = s.substr(0, point);
  const std::string_view fraction = point == std::string_view::npos ? std::string_view{} : s.substr(point + 1);
  auto digits = [](std::string_view t) {
    return std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (whole.empty() && fraction.empty()) return std::string(number);
  if (!digits(whole) || !digits(fraction)) return std::string(number);

  // Round on the digits themselves: exact for any length.
  std::string n(whole.empty() ? "0" : whole);
  if (!fraction.empty() && fraction[0] >= '5') {
    std::size_t i = n.size();
    while (i > 0 && n[i - 1] == '9') n[--i] = '0';
    if (i == 0) {
      n.insert(n.begin(), '1');
    } else {
      ++n[i - 1];
    }
  }
  const std::size_t first = std::min(n.find_first_not_of('0'), n.size() - 1);
  n.erase(0, first);

  std::string out;
  if (negative && n != "0") out += '-';
  for (std::size_t i = 0; i < n.size(); ++i) {
    if (i > 0 && (n.size() - i) % 3 == 0) out += separator;
    out += n[i];
  }
  return out;
}

std::string ReverseText(std::string_view text) { return std::string(text.rbegin(), text.rend()); }

std::string BlankAttributes() { return std::string(kFlagCount, '-'); }

void SetFlag(std::string& attributes, int position, int value) {
  if (attributes.size() < kFlagCount) attributes.resize(kFlagCount, '-');
  char c;
  switch (value) {
    case kFlagNone: c = '-'; break;
    case kFlagOn: c = '1'; break;
    case kFlagOff: c = '0'; break;
    default: return;
  }
  if (position < 1 || static_cast<std::size_t>(position) > attributes.size()) return;
  attributes[static_cast<std::size_t>(position) - 1] = c;
}

int FlagAt(std::string_view attributes, int position) {
  if (position < 1 || static_cast<std::size_t>(position) > attributes.size()) return kFlagUnknown;
  switch (attributes[static_cast<std::size_t>(position) - 1]) {
    case '-': return kFlagNone;
    case '0': return kFlagOff;
    case '1': return kFlagOn;
    default: return kFlagUnknown;
  }
}

std::string FlagText(int value) {
  switch (value) {
    case kFlagOn: return "ON";
    case kFlagOff: return "OFF";
    default: return {};
  }
}

}  // namespace mirvo
