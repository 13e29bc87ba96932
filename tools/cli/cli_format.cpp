#include "cli/cli_format.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "protocol/list_records.h"
#include "text/cp932.h"
#include "text/handset_name.h"

namespace mirvo::cli {
namespace {

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

// The day before the list dates' day zero: as a list date it is shown only
// when written as kDayBeforeZeroText, and never trusted for a time stamp.
constexpr ListDate kDayBeforeZero{1899, 12, 29, 0, 0};
constexpr std::string_view kDayBeforeZeroText = "1899/12/29/0000";

}  // namespace

std::string SizeCell(std::int32_t size) { return FormatThousands(std::to_string(size), ",") + " B"; }

std::string DateCell(std::string_view list_date) {
  if (list_date.empty()) return {};
  const std::optional<ListDate> date = ParseListDate(list_date);
  if (!date || (*date == kDayBeforeZero && list_date != kDayBeforeZeroText)) return {};
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d/%02d/%02d %02d:%02d", date->year, date->month, date->day, date->hour,
                date->minute);
  return buffer;
}

std::optional<std::string> ListRow(const ListRecord& item) {
  auto name = text::Cp932ToUtf8(item.name);
  if (!name) return std::nullopt;
  for (char& c : *name)
    if (IsControl(static_cast<unsigned char>(c))) c = '?';
  return *name + '\t' + SizeCell(item.size) + '\t' + DateCell(item.date) + '\t' +
         FlagText(FlagAt(item.attributes, kProtectionFlag)) + '\t' + FlagText(FlagAt(item.attributes, kCopyGuardFlag));
}

std::string WrapPattern(std::string pattern) {
  if (pattern.find('*') == std::string::npos) pattern = "*" + pattern + "*";
  return pattern;
}

std::optional<std::vector<std::string>> LocalPathFor(std::string_view handset_name, std::string& why) {
  text::LocalNameCheck local = text::CheckLocalPath(handset_name);
  switch (local.fault) {
    case text::LocalNameFault::kNone: return std::move(local.parts);
    case text::LocalNameFault::kEmptyOrDotPart: why = "the name has an empty, \".\" or \"..\" folder part"; break;
    case text::LocalNameFault::kNoUtf8: why = "the name has no UTF-8 form"; break;
    case text::LocalNameFault::kSlashOrControl: why = "the name holds \"/\" or a control character"; break;
  }
  return std::nullopt;
}

std::optional<std::string> LocalNameFor(std::string_view handset_name, std::string& why) {
  auto parts = LocalPathFor(handset_name, why);
  if (!parts) return std::nullopt;
  return std::move(parts->back());
}

std::optional<std::string> HandsetFolderFor(std::string_view utf8_folder, std::string& why) {
  std::string folder(utf8_folder);
  for (char& c : folder)
    if (c == '\\') c = '/';
  while (!folder.empty() && folder.back() == '/') folder.pop_back();
  if (folder.empty()) return std::string();
  const text::HandsetNameCheck check = text::CheckHandsetPath(folder);
  if (!check.IsSendable()) {
    why = check.Describe("the folder");
    return std::nullopt;
  }
  return check.handset_name + '\\';
}

std::optional<std::time_t> HandsetDateTime(std::string_view list_date) {
  const std::optional<ListDate> date = ParseListDate(list_date);
  if (!date || *date == kDayBeforeZero) return std::nullopt;
  std::tm tm{};
  if (std::sscanf(std::string(list_date).c_str(), "%4d/%2d/%2d/%2d%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                  &tm.tm_hour, &tm.tm_min) != 5)
    return std::nullopt;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return std::nullopt;
  return t;
}

std::optional<std::string> HandsetNameFor(std::string_view utf8_file_name, std::string& why) {
  text::HandsetNameCheck check = text::CheckHandsetName(utf8_file_name);
  if (!check.IsSendable()) {
    why = check.Describe("the file name");
    return std::nullopt;
  }
  return std::move(check.handset_name);
}

std::string CommandTooLong(std::string_view command, std::size_t argument_bytes) {
  const std::size_t bytes = command.size() + 2 + argument_bytes;
  if (bytes <= ProtocolEngine::kMaxCommandBytes) return {};
  return "the name is too long for the handset (" + std::string(command) + " would take " +
         FormatThousands(std::to_string(bytes), ",") + " bytes; a frame carries " +
         FormatThousands(std::to_string(ProtocolEngine::kMaxCommandBytes), ",") + ")";
}

std::string ResultText(ExchangeResult result) {
  switch (result) {
    case ExchangeResult::Failed:
      return "the handset answered \"ERROR\"";
    case ExchangeResult::Refused:
      return "the handset answered \"REJ\"";
    case ExchangeResult::HandsetEnded:
      return "the handset ended the session";
    case ExchangeResult::DataRefused:
      return "the handset refused the file data (NAK)";
    case ExchangeResult::FrameLost:
      return "a file data frame from the handset was lost";
    case ExchangeResult::UnknownReply:
      return "the handset gave an unrecognised answer";
    default:
      return "the exchange with the handset broke off (result " + std::to_string(static_cast<int>(result)) + ")";
  }
}

std::string ShowText(std::string_view cp932) {
  // Text from the handset must not move the terminal's cursor or colours.
  if (auto utf8 = text::Cp932ToUtf8(cp932)) {
    for (char& c : *utf8)
      if (IsControl(static_cast<unsigned char>(c))) c = '?';
    return *utf8;
  }
  std::string shown;
  for (const char ch : cp932) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7F) {
      shown += ch;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      shown += hex;
    }
  }
  return shown;
}

}  // namespace mirvo::cli
