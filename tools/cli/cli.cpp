#include "cli/cli.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <limits>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "app/settings_file.h"
#include "cli/cli_args.h"
#include "cli/cli_format.h"
#include "cli/local_file.h"
#include "core/paths.h"
#include "core/ui_hooks.h"
#include "pattern/wildcard.h"
#include "protocol/list_records.h"
#include "protocol/protocol_engine.h"
#include "serial/port_diagnosis.h"
#include "serial/probe.h"
#include "serial/serial_port.h"
#include "text/cp932.h"

namespace mirvo::cli {
namespace {

namespace fs = std::filesystem;

constexpr const char* kProgram = "mirvo-cli";
constexpr int kFrameBytes = 1024;  // data bytes per upload frame

// One line on standard error that is rewritten in place; cleared before
// anything else is written there. The wait watch writes from its own
// thread, hence the lock.
class Progress {
 public:
  Progress(std::ostream& err, bool on) : err_(err), on_(on) {}
  ~Progress() { Clear(); }
  bool on() const { return on_; }
  void Show(const std::string& line) {
    std::lock_guard lock(mutex_);
    if (!on_) return;
    err_ << "\r\033[K" << line << std::flush;
    shown_ = true;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    ClearLocked();
  }
  // A line of its own, after clearing the progress line.
  void Print(const std::string& line) {
    std::lock_guard lock(mutex_);
    ClearLocked();
    err_ << line << '\n' << std::flush;
  }

 private:
  void ClearLocked() {
    if (!shown_) return;
    err_ << "\r\033[K" << std::flush;
    shown_ = false;
  }
  std::ostream& err_;
  bool on_;
  bool shown_ = false;
  std::mutex mutex_;
};

// Names what the run waits for once the handset has been silent for a
// while, so that a long time-out does not look like a hang.
class WaitWatch {
 public:
  WaitWatch(Progress& progress, std::chrono::milliseconds after) : progress_(progress), after_(after) {
    if (progress_.on()) thread_ = std::thread([this] { Watch(); });
  }
  ~WaitWatch() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  WaitWatch(const WaitWatch&) = delete;
  WaitWatch& operator=(const WaitWatch&) = delete;

  void Begin(std::string what) {
    {
      std::lock_guard lock(mutex_);
      what_ = std::move(what);
      since_ = std::chrono::steady_clock::now();
      armed_ = true;
      noticed_ = false;
    }
    wake_.notify_all();
  }
  // Bytes moved: the silence starts again.
  void Touch() {
    {
      std::lock_guard lock(mutex_);
      since_ = std::chrono::steady_clock::now();
      noticed_ = false;
    }
    wake_.notify_all();
  }
  void End() {
    std::lock_guard lock(mutex_);
    armed_ = false;
  }

 private:
  void Watch() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
      if (!armed_ || noticed_) {
        wake_.wait(lock);
        continue;
      }
      const auto due = since_ + after_;
      if (std::chrono::steady_clock::now() < due) {
        wake_.wait_until(lock, due);
        continue;
      }
      const std::string line = "waiting for " + what_;
      noticed_ = true;
      lock.unlock();
      progress_.Show(line);
      lock.lock();
    }
  }

  Progress& progress_;
  const std::chrono::milliseconds after_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::string what_;
  std::chrono::steady_clock::time_point since_;
  bool armed_ = false;
  bool noticed_ = false;  // said once for this silence
  bool stop_ = false;
  std::thread thread_;
};

// No window here: the engine's message boxes become lines on standard
// error, and a question is never agreed to, since nobody can answer it.
class CliUi final : public UiHooks {
 public:
  explicit CliUi(Progress& progress) : progress_(progress) { SetUiHooks(this); }
  ~CliUi() override { SetUiHooks(nullptr); }
  CliUi(const CliUi&) = delete;
  CliUi& operator=(const CliUi&) = delete;

  void ProcessMessages() override {
    std::deque<std::function<void()>> work;
    {
      std::lock_guard lock(mutex_);
      work.swap(queue_);
    }
    for (auto& fn : work) fn();
    if (on_process) on_process();
  }
  void PostToMainThread(std::function<void()> fn) override {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(fn));
  }
  MsgAnswer MessageBox(const void*, const std::string&, const std::string& text, MsgIcon,
                       MsgButtons buttons) override {
    std::string line = text;
    for (std::size_t p; (p = line.find("\r\n")) != std::string::npos;) line.replace(p, 2, "\n");
    progress_.Print(std::string(kProgram) + ": " + line);
    switch (buttons) {
      case MsgButtons::Ok:
        return MsgAnswer::Ok;
      case MsgButtons::YesNo:
      case MsgButtons::YesNoCancel:
        return MsgAnswer::No;
      default:
        return MsgAnswer::Cancel;
    }
  }
  void ReleaseCapture() override {}

  std::function<void()> on_process;

 private:
  Progress& progress_;
  std::mutex mutex_;
  std::deque<std::function<void()>> queue_;
};

struct Run {
  std::ostream& out;
  const CliOptions& options;
  Progress& progress;
  CliUi& ui;
  WaitWatch& watch;
  bool failed = false;

  void Fail(const std::string& what, const std::string& why) {
    progress.Print(std::string(kProgram) + ": " + what + ": " + why);
    failed = true;
  }
  void Error(const std::string& why) { progress.Print(std::string(kProgram) + ": " + why); }
};

// Names the exchange for the wait watch while it runs.
class Waiting {
 public:
  Waiting(Run& run, const std::string& what, int at_most_ms) : watch_(run.watch) {
    watch_.Begin("the handset (" + what + "), at most " + std::to_string((at_most_ms + 999) / 1000) + " s");
  }
  ~Waiting() { watch_.End(); }
  Waiting(const Waiting&) = delete;
  Waiting& operator=(const Waiting&) = delete;

 private:
  WaitWatch& watch_;
};

// An open session: the port, the engine on it and what the run learnt of
// the session's state.
struct Session {
  explicit Session(const CliTimeouts& t) : engine(port) {
    port.Bps = 115200;
    port.rxBuffSize = 8192;
    port.txBuffSize = 4096;
    port.ReadInterval = t.port_read;
    port.rxTimeOut = t.port_read;
    port.txTimeOut = t.port_write;
    engine.SetTimeouts({.ack = t.ack, .data = t.data, .reply = t.reply, .first_frame = t.first_frame});
    engine.On().handset_ended = [this] { ended = true; };
  }

  SerialPort port;
  ProtocolEngine engine;
  std::vector<std::string> lines;
  bool listed = false;     // lines hold the handset's list
  bool ended = false;      // the handset ended the session by itself
  bool link_down = false;  // the handset closed the link after "ERROR"
  bool broken = false;     // an exchange broke off: try nothing more

  // Whether the next file may be tried; why not otherwise.
  bool Ready(std::string& why) {
    if (ended) {
      why = "not tried: the handset ended the session";
      return false;
    }
    if (broken) {
      why = "not tried: an earlier exchange broke off";
      return false;
    }
    if (link_down) {
      if (engine.EstablishLink() != ExchangeResult::Ok) {
        broken = true;
        why = "not tried: the link to the handset could not be restored";
        return false;
      }
      link_down = false;
    }
    return true;
  }

  void Note(ExchangeResult result) {
    if (result == ExchangeResult::Failed) {
      link_down = true;
    } else if (result != ExchangeResult::Refused && result != ExchangeResult::DataRefused &&
               result != ExchangeResult::FrameLost) {
      // A refusal leaves the session as it was; after refused data or a
      // lost frame the engine has already linked up again.
      broken = true;
    }
  }

  // FT_END (after a new link when the handset had closed it) and close.
  bool End() {
    bool ok = true;
    if (port.Opened() && !ended) {
      if (link_down && engine.EstablishLink() != ExchangeResult::Ok) ok = false;
      if (ok && engine.FtEnd() != ExchangeResult::Ok) ok = false;
    }
    port.Close();
    return ok;
  }
};

bool ConnectionSettings(const CliArgs& args, std::string& port_name, std::string& password, std::string& error) {
  WindowSettings settings;
  const std::string path = SettingsDir() + "config.ini";
  if (!args.port || !args.password) {
    SettingsLines lines;
    const SettingsLoadResult loaded = LoadSettingsFile(path, lines, settings);
    if (loaded.status == SettingsLoad::Unreadable) {
      error = "cannot read the settings: " + loaded.error;
      return false;
    }
  }
  if (args.port) {
    port_name = *args.port;
  } else {
    const auto name = text::Cp932ToUtf8(settings.ComPort);
    if (!name || name->empty()) {
      error = "no port: give --port, or set COM in " + path;
      return false;
    }
    port_name = *name;
  }
  if (args.password) {
    const auto cp932 = text::Utf8ToCp932(*args.password);
    if (!cp932) {
      error = "the password has no code page 932 form";
      return false;
    }
    password = *cp932;
  } else {
    password = settings.Password;
  }
  return true;
}

// Link, FT_START and nothing more: the list is fetched only by the commands
// that need it. False after telling why; the port is closed again then.
bool OpenSession(Session& s, const std::string& port_name, const std::string& password, Run& run) {
  s.port.PortName = port_name;
  if (!s.port.Open()) {
    const PortOpenDiagnosis why = DiagnosePortOpen(port_name);
    run.Error("cannot open the port " + PortOpenFailureReason(port_name, why));
    if (const std::string hint = PortOpenHint(why, HintLanguage::English); !hint.empty()) run.Error(hint);
    return false;
  }
  std::string vendor, model;
  ProbeHandset(s.port, vendor, model);
  ExchangeResult linked = ExchangeResult::Ok;
  {
    Waiting waiting(run, "link", run.options.timeouts.ack);
    linked = s.engine.EstablishLink();
  }
  if (linked != ExchangeResult::Ok) {
    run.Error("no handset answers on " + port_name);
    s.port.Close();
    return false;
  }
  ExchangeResult started = ExchangeResult::Ok;
  {
    Waiting waiting(run, "FT_START", run.options.timeouts.reply);
    started = s.engine.FtStart(password);
  }
  if (started != ExchangeResult::Ok) {
    run.Error(started == ExchangeResult::Failed
                  ? "the handset refused the password (give --password, or set PASSWORD in config.ini)"
                  : "the handset did not open a session (result " + std::to_string(static_cast<int>(started)) + ")");
    s.port.Close();
    return false;
  }
  return true;
}

// The handset's list, fetched at the first need. The result of GetList.
ExchangeResult FetchList(Session& s, Run& run) {
  if (s.listed) return ExchangeResult::Ok;
  std::string why;
  if (!s.Ready(why)) return ExchangeResult::Broken;
  ExchangeResult r = ExchangeResult::Ok;
  {
    Waiting waiting(run, "GET_LIST", std::max(run.options.timeouts.reply, run.options.timeouts.first_frame));
    r = s.engine.GetList(s.lines);
  }
  if (r != ExchangeResult::Ok) {
    s.Note(r);
  } else {
    s.listed = true;
  }
  return r;
}

// A line of the handset's list with its names in UTF-8.
struct Entry {
  ListRecord item;
  std::optional<std::string> name;    // Name
  std::optional<std::string> tagged;  // Tag + Folder + Name
};

std::vector<Entry> ParseEntries(const std::vector<std::string>& lines, Run* report) {
  std::vector<Entry> entries;
  for (const std::string& line : lines) {
    if (line.empty()) continue;
    Entry e;
    if (ParseListLine(line, e.item) != 0) {
      if (report) report->Fail("list", "unreadable list line: " + ShowText(line));
      continue;
    }
    e.name = text::Cp932ToUtf8(e.item.name);
    e.tagged = text::Cp932ToUtf8(e.item.tag + e.item.folder + e.item.name);
    entries.push_back(std::move(e));
  }
  return entries;
}

// The handset path of the list entry a user's name means, when that is not
// the name as given: the name shown by list, unique among the entries.
// Matching on the UTF-8 text the list printed keeps the handset's own
// bytes, which a conversion back might not give.
std::optional<std::string> ListedPath(const std::vector<Entry>& entries, const std::string& wanted, std::string& why) {
  for (const Entry& e : entries)
    if (e.tagged && *e.tagged == wanted) return e.item.tag + e.item.folder + e.item.name;
  const Entry* found = nullptr;
  for (const Entry& e : entries) {
    if (!e.name || *e.name != wanted) continue;
    if (found) {
      why = "more than one handset file has that name; give it with its tag (\"#...#\" + name)";
      return std::nullopt;
    }
    found = &e;
  }
  if (found) return found->item.tag + found->item.folder + found->item.name;
  return std::nullopt;
}

// A name from the command line: the handset path it gives as it stands.
struct Wanted {
  std::string arg;    // as given (UTF-8)
  std::string path;   // code page 932
  std::string local;  // get: the local file name
};

// The name without a leading "#tag#".
std::string_view Untagged(std::string_view path) {
  if (path.size() > 1 && path[0] == '#') {
    if (const std::size_t end = path.find('#', 1); end != std::string_view::npos) path.remove_prefix(end + 1);
  }
  return path;
}

// Runs op on the name as given; when the handset answers "ERROR" (no such
// file), once more on the listed file the name means, if that is another.
// The list is fetched only then.
// Whether op succeeded; on failure, why says what happened and the session
// has taken note.
template <typename Op>
bool WithListFallback(Session& s, Run& run, const Wanted& w, Op op, std::string& why) {
  if (!s.Ready(why)) return false;
  ExchangeResult r = op(w.path);
  if (r != ExchangeResult::Ok) {
    s.Note(r);
    why = ResultText(r);
  }
  if (r != ExchangeResult::Failed) return r == ExchangeResult::Ok;
  if (FetchList(s, run) != ExchangeResult::Ok) {
    why += "; the list to look the name up in could not be fetched";
    return false;
  }
  std::string ambiguous;
  const auto path = ListedPath(ParseEntries(s.lines, nullptr), w.arg, ambiguous);
  if (!ambiguous.empty()) why = ambiguous;
  if (!path || *path == w.path || !s.Ready(why)) return false;
  r = op(*path);
  if (r != ExchangeResult::Ok) {
    s.Note(r);
    why = ResultText(r);
  }
  return r == ExchangeResult::Ok;
}

// Bytes received so far on the progress line, frame by frame, while a
// file comes in.
class ShowReceived {
 public:
  ShowReceived(Run& run, Session& s, const std::string& what, std::optional<std::int64_t> size) : s_(s) {
    const std::string total = size ? " / " + SizeCell(static_cast<std::int32_t>(*size)) : std::string(" B");
    s_.engine.On().progress = [&run, what, total](std::int64_t done) {
      run.watch.Touch();
      run.progress.Show(what + ": " + FormatThousands(std::to_string(done), ",") + total);
    };
  }
  ~ShowReceived() { s_.engine.On().progress = nullptr; }
  ShowReceived(const ShowReceived&) = delete;
  ShowReceived& operator=(const ShowReceived&) = delete;

 private:
  Session& s_;
};

int RunPorts(Run& run) {
  SerialPort probe;
  probe.Bps = 9600;
  probe.rxTimeOut = 150;
  probe.txTimeOut = 150;
  for (const ProbedPort& info : ScanHandsetPorts(probe)) run.out << ShowText(ComInfoLine(info)) << '\n';
  run.out.flush();
  return kExitOk;
}

int RunList(Run& run, Session& s, const std::optional<std::string>& pattern) {
  if (const ExchangeResult r = FetchList(s, run); r != ExchangeResult::Ok) {
    run.Error("cannot fetch the file list: " + ResultText(r));
    return kExitUsage;
  }
  struct Row {
    std::string name, text;
  };
  std::vector<Row> rows;
  for (const Entry& e : ParseEntries(s.lines, &run)) {
    if (pattern) {
      try {
        if (!MatchFileName(e.item.name, *pattern)) continue;
      } catch (const WildcardError& error) {
        run.Fail("list " + ShowText(e.item.name), error.what());
        continue;
      }
    }
    auto row = ListRow(e.item);
    if (!row) {
      run.Fail("list", "a handset name has no UTF-8 form: " + ShowText(e.item.name));
      continue;
    }
    rows.push_back({*e.name, std::move(*row)});
  }
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.name < b.name; });
  for (const Row& r : rows) run.out << r.text << '\n';
  run.out.flush();
  return run.failed ? kExitFileFailed : kExitOk;
}

// The names to fetch, checked before the line is used.
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

// Why a local file cannot be sent; empty when it can. read_all reads it
// through, to tell a local read failure from the handset's refusal.
std::string LocalSendProblem(const std::string& file, bool read_all = false) {
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

std::vector<std::string> CheckPutFiles(Run& run, const std::vector<std::string>& files) {
  std::vector<std::string> ready;
  for (const std::string& file : files) {
    if (const std::string why = LocalSendProblem(file); !why.empty())
      run.Fail("put " + file, why);
    else
      ready.push_back(file);
  }
  return ready;
}

int RunPut(Run& run, Session& s, const std::vector<std::string>& files, const std::string& prefix) {
  // Protection and copy guard off, every other flag not applicable.
  std::string attr = BlankAttributes();
  SetFlag(attr, kProtectionFlag, kFlagOff);
  SetFlag(attr, kCopyGuardFlag, kFlagOff);

  for (const std::string& file : files) {
    const std::string what = "put " + file;
    std::string why;
    if (!s.Ready(why)) {
      run.Fail(what, why);
      continue;
    }
    std::error_code ec;
    const auto size = static_cast<std::int64_t>(fs::file_size(file, ec));
    // The engine asks for messages to run before each data frame.
    const std::string total = SizeCell(static_cast<std::int32_t>(size));
    std::int64_t frames = 0;
    s.engine.On().progress = [&](std::int64_t) { run.watch.Touch(); };
    run.ui.on_process = [&] {
      const std::int64_t sent = std::min<std::int64_t>(frames++ * kFrameBytes, size);
      run.progress.Show(file + ": " + FormatThousands(std::to_string(sent), ",") + " / " + total);
    };
    ExchangeResult r = ExchangeResult::Ok;
    {
      Waiting waiting(run, "PUT_FILE " + file, run.options.timeouts.reply);
      r = s.engine.PutFile(prefix, file, attr);
    }
    run.ui.on_process = nullptr;
    s.engine.On().progress = nullptr;
    run.progress.Clear();
    if (r != ExchangeResult::Ok) {
      s.Note(r);
      // The engine reports a local file it could not read as the handset's
      // refusal; look again before blaming the handset.
      const std::string local = (r == ExchangeResult::Failed || r == ExchangeResult::Refused) ? LocalSendProblem(file, true) : std::string();
      run.Fail(what, local.empty() ? ResultText(r) : "not sent: " + local);
    }
  }
  return run.failed ? kExitFileFailed : kExitOk;
}

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

}  // namespace

std::string HelpText() {
  return R"(Usage: mirvo-cli [--port PORT] [--password PASSWORD] COMMAND [ARGS...]

Moves files between this PC and the handset on a serial line.

Commands:
  ports              Probe COM1..COM256 and print one line per port that
                     opened: "COMn : VENDOR - MODEL" for the handset's
                     vendor, "COMn : Unknown" otherwise.
  list [PATTERN]     Print the handset's files, sorted by name, one per line,
                     five fields separated by a tab:
                       name (folders separated by "\"), size ("1,234 B"),
                       modified ("yyyy/mm/dd hh:mm", empty when unknown),
                       protection ("ON", "OFF" or empty),
                       copy guard ("ON", "OFF" or empty).
                     No header line. A control character in a name is shown
                     as "?". PATTERN filters by name with wildcards; a
                     pattern without "*" matches names that contain it.
  get NAME... [-o DIR]
                     Fetch handset files into DIR (default: the current
                     folder; created when missing). NAME is a name as list
                     prints it, or "#tag#" + name for a tagged file. Only
                     the last part of a name in a handset folder is kept, so
                     "pics\a.jpg" becomes DIR/a.jpg. Names with an empty,
                     "." or ".." part, or holding "/", are refused. A file
                     appears in DIR only once it has arrived whole; an
                     existing file of that name is replaced.
  put FILE... [--to FOLDER]
                     Send local files to the handset under their file names,
                     into its top folder or into FOLDER ("pics" or
                     "pics\new"; "/" also separates folders).
  del NAME...        Delete handset files.
  backup DIR         Fetch every handset file into DIR under its folders (a
                     tagged file under a folder named after its tag), each
                     with the handset's date as its modification time. A
                     file whose copy already has the same size and date is
                     skipped (one without a date is fetched every time), so
                     a run after a broken one fetches only what is missing.
                     Files in DIR that the handset does not have are left
                     alone. Prints one summary line: fetched, skipped,
                     failed, bytes and seconds.

Only list and backup fetch the handset's file list. get and del ask for a
name as given and fetch the list only when the handset has no file of that
name, to find it by the name list shows; put never fetches it. Local files
and names are checked before the line is used; a run with nothing left to
do does not connect.

Options:
  --port PORT        "COMn" (see ports) or a device path such as
                     /dev/ttyUSB0. Default: COM in config.ini.
  --password TEXT    The handset password. Default: PASSWORD in config.ini.
  -o, --output DIR   Output folder for get.
  --to FOLDER        Handset folder for put.
  -h, --help         Show this text.
  --                 Every later argument is a name, even one starting "-".

config.ini is read from $APPDATA/ZQR/mirvo/ (else $XDG_CONFIG_HOME or
~/.config, then /ZQR/mirvo/) and never written. Names are UTF-8 here and
code page 932 on the handset; a name with no form on the other side fails
with a message. When standard error is a terminal, a progress line shows
while a file moves, and a wait of more than 3 s for the handset says what
it waits for and for how long at most. A port that does not open is
explained: the device, a permission the user lacks and the group to join,
or the user's own program that holds it.

Exit status: 0 when everything succeeded; 1 when some file failed (each
named on standard error with the handset's answer); 2 for a usage error or
a session that could not be opened. A listing whose session does not end
cleanly still exits 0, with a warning.
)";
}

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  CliOptions options;
  options.progress = err.rdbuf() == std::cerr.rdbuf() && ::isatty(STDERR_FILENO);
  return RunCli(args, out, err, options);
}

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, const CliOptions& options) {
  CliArgs parsed;
  std::string error;
  if (!ParseCliArgs(args, parsed, error)) {
    err << kProgram << ": " << error << "\n" << "Try \"" << kProgram << " --help\".\n";
    return kExitUsage;
  }
  if (parsed.command == CliCommand::Help) {
    out << HelpText();
    return kExitOk;
  }

  Progress progress(err, options.progress);
  CliUi ui(progress);
  WaitWatch watch(progress, std::chrono::milliseconds(options.wait_notice_ms));
  Run run{out, options, progress, ui, watch};

  if (parsed.command == CliCommand::Ports) return RunPorts(run);

  // Everything the user can get wrong, and every local file, is checked
  // before the line is used; with nothing left to do the run does not
  // connect.
  std::optional<std::string> pattern;
  if (parsed.command == CliCommand::List && !parsed.operands.empty()) {
    const auto cp932 = text::Utf8ToCp932(parsed.operands[0]);
    if (!cp932) {
      run.Error("the pattern has no code page 932 form");
      return kExitUsage;
    }
    pattern = WrapPattern(*cp932);
    try {
      MatchFileName("", *pattern);
    } catch (const WildcardError& e) {
      run.Error(std::string("bad pattern: ") + e.what());
      return kExitUsage;
    }
  }
  const std::string dir = parsed.command == CliCommand::Backup ? parsed.operands.front() : parsed.output_dir.value_or(".");
  if ((parsed.command == CliCommand::Get || parsed.command == CliCommand::Backup) && !MakeOutputDir(dir, error)) {
    run.Error(error);
    return kExitUsage;
  }
  std::string prefix;
  if (parsed.to_folder) {
    const auto folder = HandsetFolderFor(*parsed.to_folder, error);
    if (!folder) {
      run.Error("--to " + *parsed.to_folder + ": " + error);
      return kExitUsage;
    }
    prefix = *folder;
  }
  std::vector<Wanted> names;
  std::vector<std::string> files;
  if (parsed.command == CliCommand::Get) names = CheckGetNames(run, parsed.operands);
  if (parsed.command == CliCommand::Del) names = CheckDelNames(run, parsed.operands);
  if (parsed.command == CliCommand::Put) files = CheckPutFiles(run, parsed.operands);
  if (run.failed && names.empty() && files.empty()) return kExitFileFailed;

  std::string port_name, password;
  if (!ConnectionSettings(parsed, port_name, password, error)) {
    run.Error(error);
    return kExitUsage;
  }

  Session session(options.timeouts);
  if (!OpenSession(session, port_name, password, run)) return kExitUsage;

  int status = kExitOk;
  switch (parsed.command) {
    case CliCommand::List:
      status = RunList(run, session, pattern);
      break;
    case CliCommand::Get:
      status = RunGet(run, session, names, dir);
      break;
    case CliCommand::Put:
      status = RunPut(run, session, files, prefix);
      break;
    case CliCommand::Del:
      status = RunDel(run, session, names);
      break;
    case CliCommand::Backup:
      status = RunBackup(run, session, dir);
      break;
    default:
      break;
  }
  bool ended = false;
  {
    Waiting waiting(run, "FT_END", run.options.timeouts.reply);
    ended = session.End() || session.ended;
  }
  if (!ended) {
    if (parsed.command == CliCommand::List && status == kExitOk) {
      // Everything asked for has arrived and been printed.
      run.Error("warning: the session did not end cleanly (FT_END); the list is complete");
    } else {
      run.Error("the session did not end cleanly (FT_END)");
      status = kExitFileFailed;
    }
  }
  return status;
}

}  // namespace mirvo::cli
