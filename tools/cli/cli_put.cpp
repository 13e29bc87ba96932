// put: local files onto the handset.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>

#include "cli/cli_commands.h"

namespace mirvo::cli {
namespace {

namespace fs = std::filesystem;

constexpr int kUploadFrameBytes = 1024;  // data bytes per upload frame

// Why a local file cannot be sent; empty when it can. read_all reads it
// through, to tell a local read failure from the handset's refusal.
std::string WhyNotSendable(const std::string& file, bool read_all = false) {
  std::error_code ec;
  const fs::file_status status = fs::status(file, ec);
  if (!fs::exists(status)) return "no such file";
  if (!fs::is_regular_file(status)) return "not a regular file";
  const std::uintmax_t size = fs::file_size(file, ec);
  if (ec) return "cannot read its size: " + ec.message();
  if (size > static_cast<std::uintmax_t>(std::numeric_limits<std::int32_t>::max())) return "too large for the handset";
  std::string why;
  if (!HandsetNameFor(fs::path(file).filename().string(), why)) return why;
  std::ifstream in(file, std::ios::binary);
  if (!in) return "cannot open it for reading";
  char buffer[65536];
  while (read_all && in.read(buffer, sizeof buffer)) {
  }
  if (read_all && in.bad()) return "cannot read it";
  return {};
}

}  // namespace

std::vector<std::string> CheckPutFiles(CliRun& run, const std::vector<std::string>& files) {
  std::vector<std::string> ready;
  for (const std::string& file : files) {
    if (const std::string why = WhyNotSendable(file); !why.empty())
      run.Fail("put " + file, why);
    else
      ready.push_back(file);
  }
  return ready;
}

int RunPut(CliRun& run, Session& session, const std::vector<std::string>& files, const std::string& prefix) {
  // Protection and copy guard off, every other flag not applicable.
  std::string attr = BlankAttributes();
  SetFlag(attr, kProtectionFlag, kFlagOff);
  SetFlag(attr, kCopyGuardFlag, kFlagOff);

  for (const std::string& file : files) {
    const std::string what = "put " + file;
    std::string why;
    if (!session.MayTryNext(why)) {
      run.Fail(what, why);
      continue;
    }
    std::error_code ec;
    const auto size = static_cast<std::int64_t>(fs::file_size(file, ec));
    // The engine asks for messages to run before each data frame.
    const std::string total = SizeCell(static_cast<std::int32_t>(size));
    std::int64_t frames = 0;
    session.engine.On().progress = [&](std::int64_t) { run.watch.Touch(); };
    run.ui.on_process = [&] {
      const std::int64_t sent = std::min<std::int64_t>(frames++ * kUploadFrameBytes, size);
      run.progress.Show(file + ": " + FormatThousands(std::to_string(sent), ",") + " / " + total);
    };
    ExchangeResult r = ExchangeResult::Ok;
    {
      HandsetWait waiting(run, "PUT_FILE " + file, run.options.timeouts.reply);
      r = session.engine.PutFile(prefix, file, attr);
    }
    run.ui.on_process = nullptr;
    session.engine.On().progress = nullptr;
    run.progress.Clear();
    if (r != ExchangeResult::Ok) {
      session.NoteResult(r);
      // The engine reports a local file it could not read as the handset's
      // refusal; look again before blaming the handset.
      const std::string local =
          (r == ExchangeResult::Failed || r == ExchangeResult::Refused) ? WhyNotSendable(file, true) : std::string();
      run.Fail(what, local.empty() ? ResultText(r) : "not sent: " + local);
    }
  }
  return run.failed ? kExitFileFailed : kExitOk;
}

}  // namespace mirvo::cli
