// backup: every handset file into a local folder tree, skipping the copies
// that are already there.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <set>

#include "cli/cli_commands.h"
#include "cli/local_file.h"
#include "core/committer.h"

namespace mirvo::cli {
namespace {

// Where a handset file goes below the backup folder: its tag (if any) as a
// first folder, then its own folder parts. nullopt with why when a part is
// unsafe here.
std::optional<std::vector<std::string>> BackupPathParts(const ListRecord& item, std::string& why) {
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

std::vector<BackupItem> PlanBackup(const std::vector<std::string>& lines) {
  std::vector<BackupItem> plan;
  std::set<std::vector<std::string>> taken;
  for (const std::string& line : lines) {
    if (line.empty()) continue;
    BackupItem& entry = plan.emplace_back();
    if (ParseListLine(line, entry.item) != 0) {
      entry.what = "list";
      entry.refusal = "unreadable list line: " + ShowText(line);
      continue;
    }
    entry.what = "backup " + ShowText(entry.item.tag + entry.item.folder + entry.item.name);
    std::string why;
    auto parts = BackupPathParts(entry.item, why);
    if (!parts) {
      entry.refusal = "refused: " + why;
      continue;
    }
    if (why = CommandTooLong("GET_FILE", (entry.item.tag + entry.item.folder + entry.item.name).size()); !why.empty()) {
      entry.refusal = "refused: " + why;
      continue;
    }
    // Names that differ on the handset may convert to one local name: the
    // first keeps it, so no copy overwrites another of the same run.
    if (!taken.insert(*parts).second) {
      std::string joined;
      for (const std::string& p : *parts) joined += "/" + p;
      entry.refusal = "refused: another handset file is written to ." + joined;
      continue;
    }
    entry.name = std::move(parts->back());
    parts->pop_back();
    entry.folders = std::move(*parts);
  }
  return plan;
}

int RunBackup(CliRun& run, Session& session, const std::string& dir) {
  const auto start = std::chrono::steady_clock::now();
  std::string why;
  const UniqueFd root = OpenFolder(dir, why);
  if (!root.IsOpen()) {
    run.Error(dir + ": " + why);
    return kExitUsage;
  }
  if (const ExchangeResult r = FetchList(session, run); r != ExchangeResult::Ok) {
    run.Error("cannot fetch the file list: " + run.Outcome(r));
    return kExitUsage;
  }
  BackupCount count;
  const std::vector<BackupItem> plan = PlanBackup(session.lines);
  // Each copy is written while the next file comes; it counts as fetched
  // only once its write, fsync and rename have been seen to succeed.
  std::vector<std::int64_t> written(plan.size(), 0);
  Committer committer;
  auto collect = [&](const std::vector<Committer::Result>& results) {
    for (const Committer::Result& r : results) {
      if (!r.ok) {
        run.Fail(plan[r.tag].what, "fetched, but not written: " + r.why);
        ++count.failed;
        continue;
      }
      ++count.fetched;
      count.bytes += written[r.tag];
    }
  };
  std::size_t index = 0;
  for (const BackupItem& entry : plan) {
    collect(committer.TakeDone());
    // A stop is heeded between files: the copies under way are finished.
    if (run.Stopped()) break;
    ++index;
    auto fail = [&](const std::string& reason) {
      run.Fail(entry.what, reason);
      ++count.failed;
    };
    if (!entry.refusal.empty()) {
      fail(entry.refusal);
      continue;
    }
    const std::string shown = ShowText(entry.item.tag + entry.item.folder + entry.item.name);
    const std::string& name = entry.name;
    UniqueFd folder = OpenSubFolders(root.Get(), entry.folders, why);
    if (!folder.IsOpen()) {
      fail("cannot make its folder: " + why);
      continue;
    }
    const auto date = HandsetDateTime(entry.item.date);
    const auto local = FileInfoAt(folder.Get(), name);
    if (local && date && local->size == entry.item.size && local->mtime == *date) {
      ++count.skipped;
      continue;
    }
    if (!session.MayTryNext(why)) {
      fail(why);
      continue;
    }
    const std::string counter = "[" + std::to_string(index) + "/" + std::to_string(plan.size()) + "] " + shown;
    run.progress.Show(counter);
    auto data = std::make_shared<std::string>();
    ExchangeResult r = ExchangeResult::Ok;
    {
      ReceiveProgress received(run, session, counter, entry.item.size);
      HandsetWait waiting(run, "GET_FILE " + shown,
                          std::max(run.options.timeouts.reply, run.options.timeouts.first_frame));
      r = session.engine.GetFile(*data, entry.item.tag + entry.item.folder + entry.item.name);
    }
    run.progress.Clear();
    if (r != ExchangeResult::Ok) {
      session.NoteResult(r);
      fail(run.Outcome(r));
      continue;
    }
    written[index - 1] = static_cast<std::int64_t>(data->size());
    auto dir = std::make_shared<UniqueFd>(std::move(folder));
    committer.Submit(index - 1, [dir, name, data, date](std::string& failure) {
      return WriteFileAt(dir->Get(), name, *data, date, failure);
    });
  }
  collect(committer.Finish());
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  char summary[160];
  std::snprintf(summary, sizeof summary, "backup: %d fetched, %d skipped, %d failed, %s B, %.1f s", count.fetched,
                count.skipped, count.failed, FormatThousands(std::to_string(count.bytes), ",").c_str(), seconds);
  run.out << summary << '\n';
  run.out.flush();
  return count.failed > 0 ? kExitFileFailed : kExitOk;
}

}  // namespace mirvo::cli
