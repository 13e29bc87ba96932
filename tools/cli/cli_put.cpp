// put: local files onto the handset.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>

#include "cli/cli_commands.h"
#include "cli/local_file.h"
#include "protocol/handset_listing.h"

namespace mirvo::cli {
namespace {

namespace fs = std::filesystem;


// Why a local file cannot be sent; empty when it can. The file is opened
// once, without waiting on a FIFO or device, and that descriptor is what
// is checked: a path swapped after a look at it cannot slip through.
// read_all reads it through, to tell a local read failure from the
// handset's refusal.
std::string WhyNotSendable(const std::string& file, bool read_all = false) {
  const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.IsOpen()) return errno == ENOENT ? "no such file" : std::string("cannot open it: ") + std::strerror(errno);
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return std::string("cannot read its size: ") + std::strerror(errno);
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  if (st.st_size > std::numeric_limits<std::int32_t>::max()) return "too large for the handset";
  std::string why;
  if (!HandsetNameFor(fs::path(file).filename().string(), why)) return why;
  char buffer[65536];
  for (ssize_t n = 1; read_all && n != 0;) {
    n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n < 0 && errno != EINTR) return "cannot read it";
  }
  return {};
}

// Protection and copy guard off, every other flag not applicable.
std::string UploadAttributes() {
  std::string attr = BlankAttributes();
  SetFlag(attr, kProtectionFlag, kFlagOff);
  SetFlag(attr, kCopyGuardFlag, kFlagOff);
  return attr;
}

// Why PUT_FILE for the file cannot go to the handset: its folder, name,
// size and flags take more than one frame. Empty when they fit.
std::string CommandTooLongFor(const std::string& file, const std::string& prefix) {
  std::string why;
  const auto name = HandsetNameFor(fs::path(file).filename().string(), why);
  std::error_code ec;
  const auto size = fs::file_size(file, ec);
  if (!name || ec) return {};  // told otherwise
  return CommandTooLong("PUT_FILE", prefix.size() + name->size() + 1 + std::to_string(size).size() + 1 +
                                        UploadAttributes().size());
}

}  // namespace

std::vector<std::string> CheckPutFiles(CliRun& run, const std::vector<std::string>& files, const std::string& prefix) {
  std::vector<std::string> ready;
  for (const std::string& file : files) {
    if (const std::string why = WhyNotSendable(file); !why.empty())
      run.Fail("put " + file, why);
    else if (const std::string too_long = CommandTooLongFor(file, prefix); !too_long.empty())
      run.Fail("put " + file, "refused: " + too_long);
    else
      ready.push_back(file);
  }
  return ready;
}

int RunPut(CliRun& run, Session& session, const std::vector<std::string>& files, const std::string& prefix,
           bool no_clobber) {
  const std::string attr = UploadAttributes();
  ListingSnapshot held;
  if (no_clobber) {
    // What is there already is known before anything is sent.
    if (const ExchangeResult r = FetchList(session, run); r != ExchangeResult::Ok) {
      for (const std::string& file : files) run.Fail("put " + file, "not sent: the handset's list did not come");
      return kExitFileFailed;
    }
    held = HandsetListing::FromLines(session.lines);
  }

  for (const std::string& file : files) {
    if (run.Stopped()) break;
    const std::string what = "put " + file;
    std::string why;
    if (!session.MayTryNext(why)) {
      run.Fail(what, why);
      continue;
    }
    if (held) {
      std::string why_not;
      const auto name = HandsetNameFor(fs::path(file).filename().string(), why_not);
      const auto& listed = held->Files();
      if (name && std::any_of(listed.begin(), listed.end(), [&](const HandsetFile& f) {
            return f.record.tag.empty() && SameHandsetName(f.record.name, prefix + *name);
          })) {
        run.Error(what + ": passed over: the handset has a file of that name (--no-clobber)");
        continue;
      }
    }
    std::error_code ec;
    const auto size = static_cast<std::int64_t>(fs::file_size(file, ec));
    const std::string total = SizeCell(static_cast<std::int32_t>(size));
    session.engine.On().progress = [&](std::int64_t sent) {
      run.watch.Touch();
      run.progress.Show(file + ": " + FormatThousands(std::to_string(sent), ",") + " / " + total);
    };
    ExchangeResult r = ExchangeResult::Ok;
    {
      HandsetWait waiting(run, "PUT_FILE " + file, run.options.timeouts.reply);
      try {
        r = session.engine.PutFile(prefix, file, attr);
      } catch (const std::bad_alloc&) {
        r = ExchangeResult::Broken;  // where the exchange stood is unknown
      }
    }
    session.engine.On().progress = nullptr;
    run.progress.Clear();
    if (r != ExchangeResult::Ok) {
      session.NoteResult(r);
      // The engine reports a local file it could not read as the handset's
      // refusal; look again before blaming the handset.
      const std::string local = !run.Stopped() && (r == ExchangeResult::Failed || r == ExchangeResult::Refused)
                                    ? WhyNotSendable(file, true)
                                    : std::string();
      run.Fail(what, local.empty() ? run.Outcome(r) : "not sent: " + local);
    }
  }
  return run.failed ? kExitFileFailed : kExitOk;
}

}  // namespace mirvo::cli
