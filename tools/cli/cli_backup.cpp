// backup: every handset file into a local folder tree, skipping the copies
// that are already there.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>

#include "cli/cli_commands.h"
#include "cli/local_file.h"

namespace mirvo::cli {
namespace {

// Where a handset file goes below the backup folder: its tag (if any) as a
// first folder, then its own folder parts. nullopt with why when a part is
// unsafe here.
std::optional<std::vector<std::string>> BackupPath(const ListRecord& item, std::string& why) {
  auto parts = LocalPathFor(item.name, why);
  if (!parts) return std::nullopt;
  if (!item.tag.empty()) {
    auto tag = LocalPathFor(item.tag, why);
    if (!tag || tag->size() != 1) {
      if (tag) why = "the tag holds \"\\\"";
      return std::nullopt;
    }
    parts->insert(parts->begin(), std::move(tag->front()));
  }
  return parts;
}

struct BackupCount {
  int fetched = 0, skipped = 0, failed = 0;
  std::int64_t bytes = 0;
};

}  // namespace

int RunBackup(Run& run, Session& s, const std::string& dir) {
  const auto start = std::chrono::steady_clock::now();
  std::string why;
  const UniqueFd root = OpenFolder(dir, why);
  if (!root.valid()) {
    run.Error(dir + ": " + why);
    return kExitUsage;
  }
  if (const ExchangeResult r = FetchList(s, run); r != ExchangeResult::Ok) {
    run.Error("cannot fetch the file list: " + ResultText(r));
    return kExitUsage;
  }
  BackupCount count;
  const std::size_t failed_lines = std::count_if(s.lines.begin(), s.lines.end(), [](const std::string& l) {
    ListRecord unused;
    return !l.empty() && ParseListLine(l, unused) != 0;
  });
  count.failed = static_cast<int>(failed_lines);
  const std::vector<Entry> entries = ParseEntries(s.lines, &run);
  std::set<std::string> taken;
  std::size_t index = 0;
  for (const Entry& e : entries) {
    ++index;
    const std::string shown = ShowText(e.item.tag + e.item.folder + e.item.name);
    const std::string what = "backup " + shown;
    auto fail = [&](const std::string& reason) {
      run.Fail(what, reason);
      ++count.failed;
    };
    auto parts = BackupPath(e.item, why);
    if (!parts) {
      fail("refused: " + why);
      continue;
    }
    std::string joined;
    for (const std::string& p : *parts) joined += "/" + p;
    if (!taken.insert(joined).second) {
      fail("refused: another handset file is written to ." + joined);
      continue;
    }
    const std::string name = parts->back();
    parts->pop_back();
    const UniqueFd folder = OpenSubFolders(root.get(), *parts, why);
    if (!folder.valid()) {
      fail("cannot make its folder: " + why);
      continue;
    }
    const auto date = HandsetDateTime(e.item.date);
    const auto local = FileInfoAt(folder.get(), name);
    if (local && date && local->size == e.item.size && local->mtime == *date) {
      ++count.skipped;
      continue;
    }
    if (!s.Ready(why)) {
      fail(why);
      continue;
    }
    const std::string counter = "[" + std::to_string(index) + "/" + std::to_string(entries.size()) + "] " + shown;
    run.progress.Show(counter);
    std::string data;
    ExchangeResult r = ExchangeResult::Ok;
    {
      ShowReceived received(run, s, counter, e.item.size);
      Waiting waiting(run, "GET_FILE " + shown, std::max(run.options.timeouts.reply, run.options.timeouts.first_frame));
      r = s.engine.GetFile(data, e.item.tag + e.item.folder + e.item.name);
    }
    run.progress.Clear();
    if (r != ExchangeResult::Ok) {
      s.Note(r);
      fail(ResultText(r));
      continue;
    }
    if (!WriteFileAt(folder.get(), name, data, date, why)) {
      fail("fetched, but not written: " + why);
      continue;
    }
    ++count.fetched;
    count.bytes += static_cast<std::int64_t>(data.size());
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  char summary[160];
  std::snprintf(summary, sizeof summary, "backup: %d fetched, %d skipped, %d failed, %s B, %.1f s", count.fetched,
                count.skipped, count.failed, FormatThousands(std::to_string(count.bytes), ",").c_str(), seconds);
  run.out << summary << '\n';
  run.out.flush();
  return count.failed > 0 ? kExitFileFailed : kExitOk;
}

}  // namespace mirvo::cli
