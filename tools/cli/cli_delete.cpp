// del: handset files deleted.
#include "cli/cli_commands.h"
#include "text/cp932.h"

namespace mirvo::cli {

int RunDel(Run& run, Session& s, const std::vector<Wanted>& names) {
  for (const Wanted& w : names) {
    std::string why;
    const bool deleted = WithListFallback(
        s, run, w,
        [&](const std::string& path) {
          Waiting waiting(run, "DEL " + w.arg, run.options.timeouts.reply);
          return s.engine.DelFile(path);
        },
        why);
    if (!deleted) run.Fail("del " + w.arg, why);
  }
  return run.failed ? kExitFileFailed : kExitOk;
}

std::vector<Wanted> CheckDelNames(Run& run, const std::vector<std::string>& names) {
  std::vector<Wanted> wanted;
  for (const std::string& arg : names) {
    if (const auto cp932 = text::Utf8ToCp932(arg))
      wanted.push_back({arg, *cp932, {}});
    else
      run.Fail("del " + arg, "the name has no code page 932 form");
  }
  return wanted;
}

}  // namespace mirvo::cli
