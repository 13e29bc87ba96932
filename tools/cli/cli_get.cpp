// get: handset files into a local folder.
#include <algorithm>
#include <set>

#include "cli/cli_commands.h"
#include "cli/local_file.h"
#include "text/cp932.h"

namespace mirvo::cli {

std::vector<Wanted> CheckGetNames(Run& run, const std::vector<std::string>& names) {
  std::vector<Wanted> wanted;
  std::set<std::string> locals;
  for (const std::string& arg : names) {
    const std::string what = "get " + arg;
    const auto cp932 = text::Utf8ToCp932(arg);
    if (!cp932) {
      run.Fail(what, "the name has no code page 932 form");
      continue;
    }
    std::string why;
    const auto local = LocalNameFor(Untagged(*cp932), why);
    if (!local) {
      run.Fail(what, "refused: " + why);
      continue;
    }
    if (!locals.insert(*local).second) {
      run.Fail(what, "refused: " + *local + " is written by this run already");
      continue;
    }
    wanted.push_back({arg, *cp932, *local});
  }
  return wanted;
}

int RunGet(Run& run, Session& s, const std::vector<Wanted>& names, const std::string& dir) {
  for (const Wanted& w : names) {
    const std::string what = "get " + w.arg;
    std::string data, why;
    const bool fetched = WithListFallback(
        s, run, w,
        [&](const std::string& path) {
          run.progress.Show(w.arg + ": receiving");
          ShowReceived shown(run, s, w.arg, std::nullopt);
          Waiting waiting(run, "GET_FILE " + w.arg, std::max(run.options.timeouts.reply, run.options.timeouts.first_frame));
          data.clear();
          return s.engine.GetFile(data, path);
        },
        why);
    run.progress.Clear();
    if (!fetched) {
      run.Fail(what, why);
      continue;
    }
    if (!WriteFileInDir(dir, w.local, data, why)) run.Fail(what, "fetched, but not written to " + dir + ": " + why);
  }
  return run.failed ? kExitFileFailed : kExitOk;
}

}  // namespace mirvo::cli
