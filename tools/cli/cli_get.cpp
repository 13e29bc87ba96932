// get: handset files into a local folder.
#include <algorithm>
#include <set>

#include "cli/cli_commands.h"
#include "cli/local_file.h"
#include "text/cp932.h"

namespace mirvo::cli {

std::vector<RequestedFile> CheckGetNames(CliRun& run, const std::vector<std::string>& names) {
  std::vector<RequestedFile> requested;
  std::set<std::string> locals;
  for (const std::string& arg : names) {
    const std::string what = "get " + arg;
    const auto cp932 = text::Utf8ToCp932(arg);
    if (!cp932) {
      run.Fail(what, "the name has no code page 932 form");
      continue;
    }
    std::string why;
    const auto local = LocalNameFor(WithoutTag(*cp932), why);
    if (!local) {
      run.Fail(what, "refused: " + why);
      continue;
    }
    if (why = CommandTooLong("GET_FILE", cp932->size()); !why.empty()) {
      run.Fail(what, "refused: " + why);
      continue;
    }
    if (!locals.insert(*local).second) {
      run.Fail(what, "refused: " + *local + " is written by this run already");
      continue;
    }
    requested.push_back({arg, *cp932, *local});
  }
  return requested;
}

int RunGet(CliRun& run, Session& session, const std::vector<RequestedFile>& names, const std::string& dir) {
  for (const RequestedFile& file : names) {
    // A stop is heeded between files: what has arrived is kept whole.
    if (run.Stopped()) break;
    const std::string what = "get " + file.given;
    std::string data, why;
    const bool fetched = WithListFallback(
        session, run, file,
        [&](const std::string& path) {
          run.progress.Show(file.given + ": receiving");
          ReceiveProgress shown(run, session, file.given, std::nullopt);
          HandsetWait waiting(run, "GET_FILE " + file.given,
                              std::max(run.options.timeouts.reply, run.options.timeouts.first_frame));
          data.clear();
          return session.engine.GetFile(data, path);
        },
        why);
    run.progress.Clear();
    if (!fetched) {
      run.Fail(what, why);
      continue;
    }
    if (!WriteFileInDir(dir, file.local_name, data, why))
      run.Fail(what, "fetched, but not written to " + dir + ": " + why);
  }
  return run.failed ? kExitFileFailed : kExitOk;
}

}  // namespace mirvo::cli
