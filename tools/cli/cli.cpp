#include "cli/cli.h"

#include <unistd.h>

#include <algorithm>
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

#include "app/settings_file.h"
#include "cli/cli_args.h"
#include "cli/cli_format.h"
#include "cli/local_file.h"
#include "core/paths.h"
#include "core/ui_hooks.h"
#include "pattern/wildcard.h"
#include "protocol/list_records.h"
#include "protocol/engine.h"
#include "serial/probe.h"
#include "serial/serial_port.h"
#include "text/cp932.h"

namespace mirvo::cli {
namespace {

namespace fs = std::filesystem;

constexpr const char* kProgram = "mirvo-cli";
constexpr int kFrameBytes = 1024;  // data bytes per upload frame

// One line on standard error that is rewritten in place; cleared before
// anything else is written there.
class Progress {
 public:
  Progress(std::ostream& err, bool on) : err_(err), on_(on) {}
  ~Progress() { Clear(); }
  void Show(const std::string& line) {
    if (!on_) return;
    err_ << "\r\033[K" << line << std::flush;
    shown_ = true;
  }
  void Clear() {
    if (!shown_) return;
    err_ << "\r\033[K" << std::flush;
    shown_ = false;
  }

 private:
  std::ostream& err_;
  bool on_;
  bool shown_ = false;
};

// No window here: the engine's message boxes become lines on standard
// error, and a question is never agreed to, since nobody can answer it.
class CliUi final : public UiHooks {
 public:
  CliUi(std::ostream& err, Progress& progress) : err_(err), progress_(progress) { SetUiHooks(this); }
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
    progress_.Clear();
    std::string line = text;
    for (std::size_t p; (p = line.find("\r\n")) != std::string::npos;) line.replace(p, 2, "\n");
    err_ << kProgram << ": " << line << '\n';
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
  std::ostream& err_;
  Progress& progress_;
  std::mutex mutex_;
  std::deque<std::function<void()>> queue_;
};

struct Run {
  std::ostream& out;
  std::ostream& err;
  const CliOptions& options;
  Progress& progress;
  CliUi& ui;
  bool failed = false;

  void Fail(const std::string& what, const std::string& why) {
    progress.Clear();
    err << kProgram << ": " << what << ": " << why << '\n';
    failed = true;
  }
  void Error(const std::string& why) {
    progress.Clear();
    err << kProgram << ": " << why << '\n';
  }
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
    engine.AckTimeout = t.ack;
    engine.DataTimeout = t.data;
    engine.ReplyTimeout = t.reply;
    engine.FirstFrameTimeout = t.first_frame;
    engine.OnHandsetDisconnect = [this](TKivPP&) { ended = true; };
  }

  TRS232C port;
  TKivPP engine;
  std::vector<std::string> lines;
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
      if (engine.EstablishLink() < 0) {
        broken = true;
        why = "not tried: the link to the handset could not be restored";
        return false;
      }
      link_down = false;
    }
    return true;
  }

  void Note(int result) {
    if (result == -1) {
      link_down = true;
    } else if (result != -2 && result != -7 && result != -8) {
      // -2 leaves the session as it was; after -7 and -8 the engine has
      // already linked up again.
      broken = true;
    }
  }

  // FT_END (after a new link when the handset had closed it) and close.
  bool End() {
    bool ok = true;
    if (port.Opened() && !ended) {
      if (link_down && engine.EstablishLink() < 0) ok = false;
      if (ok && engine.FtEnd() < 0) ok = false;
    }
    port.Close();
    return ok;
  }
};

bool ConnectionSettings(const CliArgs& args, std::string& port_name, std::string& password, std::string& error) {
  TMainSettings settings;
  const std::string path = SettingsDir() + "config.ini";
  if (!args.port || !args.password) {
    TSettingsLines lines;
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

// Link, FT_START and the list, as the window connects. False after telling
// why; the port is closed again then.
bool OpenSession(Session& s, const std::string& port_name, const std::string& password, Run& run) {
  s.port.PortName = port_name;
  if (!s.port.Open()) {
    run.Error("cannot open the port " + port_name + " (missing, in use, or not a serial line)");
    return false;
  }
  std::string vendor, model;
  ProbeHandset(s.port, vendor, model);
  if (s.engine.EstablishLink() < 0) {
    run.Error("no handset answers on " + port_name);
    s.port.Close();
    return false;
  }
  const int started = s.engine.FtStart(password);
  if (started < 0) {
    run.Error(started == -1 ? "the handset refused the password (give --password, or set PASSWORD in config.ini)"
                            : "the handset did not open a session (result " + std::to_string(started) + ")");
    s.port.Close();
    return false;
  }
  const int listed = s.engine.GetList(s.lines);
  if (listed < 0) {
    run.Error("cannot fetch the file list: " + ResultText(listed));
    s.Note(listed);
    s.End();
    return false;
  }
  return true;
}

// A line of the handset's list with its names in UTF-8.
struct Entry {
  TKivPLISTITEM item;
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
    e.name = text::Cp932ToUtf8(e.item.Name);
    e.tagged = text::Cp932ToUtf8(e.item.Tag + e.item.Folder + e.item.Name);
    entries.push_back(std::move(e));
  }
  return entries;
}

// The list entry a user's name means: the full path with its tag first,
// else the name shown by list. Matching on the UTF-8 text the list printed
// keeps the handset's own bytes, which a conversion back might not give.
struct Target {
  std::string path;  // handset path, code page 932
  std::string name;  // the name without its tag
};

std::optional<Target> FindTarget(const std::vector<Entry>& entries, const std::string& wanted, std::string& why) {
  for (const Entry& e : entries)
    if (e.tagged && *e.tagged == wanted) return Target{e.item.Tag + e.item.Folder + e.item.Name, e.item.Name};
  const Entry* found = nullptr;
  for (const Entry& e : entries) {
    if (!e.name || *e.name != wanted) continue;
    if (found) {
      why = "more than one handset file has that name; give it with its tag (\"#...#\" + name)";
      return std::nullopt;
    }
    found = &e;
  }
  if (found) return Target{found->item.Tag + found->item.Folder + found->item.Name, found->item.Name};
  // Not listed: ask the handset anyway and let it answer.
  const auto cp932 = text::Utf8ToCp932(wanted);
  if (!cp932) {
    why = "the name has no code page 932 form";
    return std::nullopt;
  }
  Target t{*cp932, *cp932};
  if (t.name.size() > 1 && t.name[0] == '#') {
    if (const std::size_t end = t.name.find('#', 1); end != std::string::npos) t.name.erase(0, end + 1);
  }
  return t;
}

int RunPorts(Run& run) {
  TRS232C probe;
  probe.Bps = 9600;
  probe.rxTimeOut = 150;
  probe.txTimeOut = 150;
  for (const TComInfo& info : ScanHandsetPorts(probe)) run.out << ShowText(ComInfoLine(info)) << '\n';
  run.out.flush();
  return kExitOk;
}

int RunList(Run& run, Session& s, const std::optional<std::string>& pattern) {
  struct Row {
    std::string name, text;
  };
  std::vector<Row> rows;
  for (const Entry& e : ParseEntries(s.lines, &run)) {
    if (pattern) {
      try {
        if (!MatchFileName(e.item.Name, *pattern)) continue;
      } catch (const WildcardError& error) {
        run.Fail("list " + ShowText(e.item.Name), error.what());
        continue;
      }
    }
    auto row = ListRow(e.item);
    if (!row) {
      run.Fail("list", "a handset name has no UTF-8 form: " + ShowText(e.item.Name));
      continue;
    }
    rows.push_back({*e.name, std::move(*row)});
  }
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.name < b.name; });
  for (const Row& r : rows) run.out << r.text << '\n';
  run.out.flush();
  return run.failed ? kExitFileFailed : kExitOk;
}

int RunGet(Run& run, Session& s, const std::vector<std::string>& names, const std::string& dir) {
  const std::vector<Entry> entries = ParseEntries(s.lines, nullptr);
  std::set<std::string> written;
  for (const std::string& wanted : names) {
    const std::string what = "get " + wanted;
    std::string why;
    const auto target = FindTarget(entries, wanted, why);
    if (!target) {
      run.Fail(what, why);
      continue;
    }
    const auto local = LocalNameFor(target->name, why);
    if (!local) {
      run.Fail(what, "refused: " + why);
      continue;
    }
    if (written.count(*local)) {
      run.Fail(what, "refused: " + *local + " was already written by this run");
      continue;
    }
    if (!s.Ready(why)) {
      run.Fail(what, why);
      continue;
    }
    run.progress.Show(wanted + ": receiving");
    std::string data;
    const int r = s.engine.GetFile(data, target->path);
    run.progress.Clear();
    if (r < 0) {
      s.Note(r);
      run.Fail(what, ResultText(r));
      continue;
    }
    if (!WriteFileInDir(dir, *local, data, why)) {
      run.Fail(what, "fetched, but not written to " + dir + ": " + why);
      continue;
    }
    written.insert(*local);
  }
  return run.failed ? kExitFileFailed : kExitOk;
}

int RunPut(Run& run, Session& s, const std::vector<std::string>& files) {
  // Protection and copy guard off, every other flag not applicable.
  std::string attr = BlankAttr();
  SetAttrFlag(attr, kAttrProtection, kFlagOff);
  SetAttrFlag(attr, kAttrCopyGuard, kFlagOff);

  for (const std::string& file : files) {
    const std::string what = "put " + file;
    std::error_code ec;
    const fs::file_status status = fs::status(file, ec);
    if (!fs::exists(status)) {
      run.Fail(what, "no such file");
      continue;
    }
    if (!fs::is_regular_file(status)) {
      run.Fail(what, "not a regular file");
      continue;
    }
    const std::uintmax_t size = fs::file_size(file, ec);
    if (ec || size > static_cast<std::uintmax_t>(std::numeric_limits<std::int32_t>::max())) {
      run.Fail(what, ec ? "cannot read its size: " + ec.message() : "too large for the handset");
      continue;
    }
    std::string why;
    if (!HandsetNameFor(fs::path(file).filename().string(), why)) {
      run.Fail(what, why);
      continue;
    }
    if (!std::ifstream(file, std::ios::binary)) {
      run.Fail(what, "cannot open it for reading");
      continue;
    }
    if (!s.Ready(why)) {
      run.Fail(what, why);
      continue;
    }
    // The engine asks for messages to run before each data frame.
    const std::string total = SizeCell(static_cast<std::int32_t>(size));
    std::int64_t frames = 0;
    run.ui.on_process = [&] {
      const std::int64_t sent = std::min<std::int64_t>(frames++ * kFrameBytes, static_cast<std::int64_t>(size));
      run.progress.Show(file + ": " + FormatThousands(std::to_string(sent), ",") + " / " + total);
    };
    const int r = s.engine.PutFile("", file, attr);
    run.ui.on_process = nullptr;
    run.progress.Clear();
    if (r < 0) {
      s.Note(r);
      run.Fail(what, ResultText(r));
    }
  }
  return run.failed ? kExitFileFailed : kExitOk;
}

int RunDel(Run& run, Session& s, const std::vector<std::string>& names) {
  const std::vector<Entry> entries = ParseEntries(s.lines, nullptr);
  for (const std::string& wanted : names) {
    const std::string what = "del " + wanted;
    std::string why;
    const auto target = FindTarget(entries, wanted, why);
    if (!target) {
      run.Fail(what, why);
      continue;
    }
    if (!s.Ready(why)) {
      run.Fail(what, why);
      continue;
    }
    const int r = s.engine.DelFile(target->path);
    if (r < 0) {
      s.Note(r);
      run.Fail(what, ResultText(r));
    }
  }
  return run.failed ? kExitFileFailed : kExitOk;
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
  put FILE...        Send local files to the handset's top folder under
                     their file names.
  del NAME...        Delete handset files.

Options:
  --port PORT        "COMn" (see ports) or a device path such as
                     /dev/ttyUSB0. Default: COM in config.ini.
  --password TEXT    The handset password. Default: PASSWORD in config.ini.
  -o, --output DIR   Output folder for get.
  -h, --help         Show this text.
  --                 Every later argument is a name, even one starting "-".

config.ini is read from $APPDATA/ZQR/mirvo/ (else $XDG_CONFIG_HOME or
~/.config, then /ZQR/mirvo/) and never written. Names are UTF-8 here and
code page 932 on the handset; a name with no form on the other side fails
with a message. A progress line is shown on standard error while a file
moves, when standard error is a terminal.

Exit status: 0 when everything succeeded; 1 when some file failed (each
named on standard error with the handset's answer); 2 for a usage error or
a session that could not be opened.
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
  CliUi ui(err, progress);
  Run run{out, err, options, progress, ui};

  if (parsed.command == CliCommand::Ports) return RunPorts(run);

  // Everything the user can get wrong is checked before the line is used.
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
  std::string dir = parsed.output_dir.value_or(".");
  if (parsed.command == CliCommand::Get && !MakeOutputDir(dir, error)) {
    run.Error(error);
    return kExitUsage;
  }
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
      status = RunGet(run, session, parsed.operands, dir);
      break;
    case CliCommand::Put:
      status = RunPut(run, session, parsed.operands);
      break;
    case CliCommand::Del:
      status = RunDel(run, session, parsed.operands);
      break;
    default:
      break;
  }
  if (!session.End() && !session.ended) {
    run.Error("the session did not end cleanly (FT_END)");
    status = kExitFileFailed;
  }
  return status;
}

}  // namespace mirvo::cli
