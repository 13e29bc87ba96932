#include "app/staging.h"

#include <cstdio>
#include <ctime>
#include <vector>

#include "core/staged_file.h"
#include "protocol/list_records.h"
#include "text/cp932.h"
#include "text/handset_name.h"

namespace mirvo::app {
namespace {

// The parts of a handset name, split at "\" characters of their own.
std::vector<std::string_view> HandsetParts(std::string_view name) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  text::ForEachChar(name, [&](std::size_t pos, std::size_t len) {
    if (len == 1 && name[pos] == '\\') {
      parts.push_back(name.substr(start, pos - start));
      start = pos + 1;
    }
  });
  parts.push_back(name.substr(start));
  return parts;
}

}  // namespace

std::optional<std::string> StagedRelativePath(const ListRecord& item) {
  // The tag is one folder: a "\" in it splits nothing.
  std::vector<std::string> parts;
  if (!item.tag.empty()) {
    text::LocalNameCheck tag = text::CheckLocalPart(item.tag);
    if (!tag.IsUsable()) return std::nullopt;
    parts = std::move(tag.parts);
  }
  text::LocalNameCheck name = text::CheckLocalPath(item.name);
  if (!name.IsUsable()) return std::nullopt;
  parts.insert(parts.end(), name.parts.begin(), name.parts.end());
  std::string path;
  for (const std::string& part : parts) path += (path.empty() ? "" : "/") + part;
  return path;
}

std::string_view BareHandsetName(std::string_view handset_name) { return HandsetParts(handset_name).back(); }

std::optional<timespec> ListDateTime(std::string_view date) {
  const std::optional<ListDate> parsed = ParseListDate(date);
  if (!parsed || *parsed < ListDate{1899, 12, 30, 0, 0}) return std::nullopt;
  std::tm tm{};
  tm.tm_year = parsed->year - 1900;
  tm.tm_mon = parsed->month - 1;
  tm.tm_mday = parsed->day;
  tm.tm_hour = parsed->hour;
  tm.tm_min = parsed->minute;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return std::nullopt;
  return timespec{t, 0};
}

bool WriteStagedFile(const std::string& dir, const std::string& path, std::string_view data, std::string_view date,
                     std::string& why, const std::function<void()>& between_chunks) {
  const std::optional<std::string> relative = RelativeInside(dir, path);
  if (!relative) {
    why = "作業フォルダの外には書き込めません (" + path + ")";
    return false;
  }
  std::optional<PrivateFolder> folder = PrivateFolder::Open(dir, why);
  return folder && WriteStagedCopy(*folder, *relative, data, ListDateTime(date), why, between_chunks);
}

bool StagingRun::Open(const std::string& dir, std::string& why) {
  folder_ = PrivateFolder::Open(dir, why);
  const std::lock_guard lock(mutex_);
  written_.clear();
  return folder_.has_value();
}

std::optional<std::string> StagingRun::Target(const ListRecord& item, std::string& why) const {
  std::optional<std::string> relative = StagedRelativePath(item);
  if (!relative) {
    why = "ファイル名をこのコンピューターの名前にできません";
    return std::nullopt;
  }
  const std::lock_guard lock(mutex_);
  if (written_.count(*relative)) {
    why = "同じ名前のファイルをこの転送で既に保存しました (" + *relative + ")";
    return std::nullopt;
  }
  return relative;
}

bool StagingRun::Write(const std::string& relative, std::string_view data, std::string_view date, std::string& why,
                       const std::function<void()>& between_chunks) {
  {
    const std::lock_guard lock(mutex_);
    if (!folder_ || written_.count(relative)) return false;
  }
  if (!WriteStagedCopy(*folder_, relative, data, ListDateTime(date), why, between_chunks)) return false;
  const std::lock_guard lock(mutex_);
  written_.insert(relative);
  return true;
}

}  // namespace mirvo::app
