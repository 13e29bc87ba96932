// del: handset files deleted.
#include "cli/cli_commands.h"
#include "text/cp932.h"

namespace mirvo::cli {

int RunDel(CliRun& run, Session& session, const std::vector<RequestedFile>& names) {
  for (const RequestedFile& file : names) {
    if (run.Stopped()) break;
    std::string why;
    const bool deleted = WithListFallback(
        session, run, file,
        [&](const std::string& path) {
          HandsetWait waiting(run, "DEL " + file.given, run.options.timeouts.reply);
          return session.engine.DelFile(path);
        },
        why);
    if (!deleted) run.Fail("del " + file.given, why);
  }
  return run.failed ? kExitFileFailed : kExitOk;
}

std::vector<RequestedFile> CheckDelNames(CliRun& run, const std::vector<std::string>& names) {
  std::vector<RequestedFile> requested;
  for (const std::string& arg : names) {
    const auto cp932 = text::Utf8ToCp932(arg);
    if (!cp932) {
      run.Fail("del " + arg, "the name has no code page 932 form");
      continue;
    }
    if (const std::string why = CommandTooLong("DEL", cp932->size()); !why.empty()) {
      run.Fail("del " + arg, "refused: " + why);
      continue;
    }
    requested.push_back({arg, *cp932, {}});
  }
  return requested;
}

}  // namespace mirvo::cli
