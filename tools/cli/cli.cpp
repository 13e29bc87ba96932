#include "cli/cli.h"

#include <unistd.h>

#include <chrono>
#include <iostream>
#include <optional>

#include "cli/cli_args.h"
#include "cli/cli_commands.h"
#include "cli/cli_format.h"
#include "cli/cli_mount.h"
#include "cli/cli_signals.h"
#include "cli/local_file.h"
#include "pattern/wildcard.h"
#include "text/cp932.h"

namespace mirvo::cli {

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
  put FILE... [--to FOLDER] [--no-clobber]
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
  mount FOLDER [--foreground]
                     Show the handset's files as a folder tree at FOLDER
                     until unmounted (see "Mounting" in the manual). Goes
                     to the background once mounted unless --foreground,
                     where Ctrl+C unmounts.
  unmount FOLDER     Unmount it (the same as fusermount3 -u FOLDER); the
                     session ends with FT_END.

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
  --no-clobber       put passes over a file the handset has already
                     (without it, put replaces such a file).
  --foreground       mount stays in the foreground.
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
a session that could not be opened; 130 (143) when stopped by Ctrl+C
(SIGTERM): the exchange under way is given up, the session ended with
FT_END and only whole files are left (a second signal gives up the end
too). A listing whose session does not end cleanly still exits 0, with a
warning.
)";
}

namespace {

std::string SignalName(int signal) {
  if (signal == SIGINT) return "SIGINT";
  if (signal == SIGTERM) return "SIGTERM";
  return "signal " + std::to_string(signal);
}

// Every command that may use the line; stop, when given, may stop it.
int RunLineCommand(const CliArgs& parsed, std::ostream& out, std::ostream& err, const CliOptions& options,
                   const CliStop* stop) {
  Progress progress(err, options.progress);
  WaitWatch watch(progress, std::chrono::milliseconds(options.wait_notice_ms));
  CliRun run{out, options, progress, watch};
  run.stop = stop;

  if (parsed.command == CliCommand::Ports) return RunPorts(run);

  // Everything the user can get wrong, and every local file, is checked
  // before the line is used; with nothing left to do the run does not
  // connect.
  std::string error;
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
  std::vector<RequestedFile> names;
  std::vector<std::string> files;
  if (parsed.command == CliCommand::Get) names = CheckGetNames(run, parsed.operands);
  if (parsed.command == CliCommand::Del) names = CheckDelNames(run, parsed.operands);
  if (parsed.command == CliCommand::Put) files = CheckPutFiles(run, parsed.operands, prefix);
  if (run.failed && names.empty() && files.empty()) return kExitFileFailed;

  std::string port_name, password;
  if (!ReadConnectionSettings(parsed, port_name, password, error)) {
    run.Error(error);
    return kExitUsage;
  }

  Session session(options.timeouts, stop);
  const bool opened = OpenSession(session, port_name, password, run);
  // A stop while the session opened still ends what the handset may have begun.
  if (!opened && !run.Stopped()) return kExitUsage;

  int status = kExitOk;
  switch (opened ? parsed.command : CliCommand::None) {
    case CliCommand::List:
      status = RunList(run, session, pattern);
      break;
    case CliCommand::Get:
      status = RunGet(run, session, names, dir);
      break;
    case CliCommand::Put:
      status = RunPut(run, session, files, prefix, parsed.no_clobber);
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
    HandsetWait waiting(run, "FT_END", run.options.timeouts.reply);
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

}  // namespace

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  CliOptions options;
  options.progress = err.rdbuf() == std::cerr.rdbuf() && ::isatty(STDERR_FILENO);
  options.stop_on_signals = true;
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
  // Before any thread starts: the mount may fork.
  if (parsed.command == CliCommand::Mount) return RunMount(parsed, out, err, options);
  if (parsed.command == CliCommand::Unmount) return RunUnmount(parsed, err);

  CliStop stop;
  int status = kExitOk;
  {
    // Before any thread starts, so that every thread leaves the signals to
    // it. A scan of the ports has no session to end: a signal ends it as ever.
    std::optional<SignalStop> signals;
    if (options.stop_on_signals && parsed.command != CliCommand::Ports) signals.emplace(stop);
    status = RunLineCommand(parsed, out, err, options, signals ? &stop : nullptr);
  }
  if (stop.Signal() == 0) return status;
  err << kProgram << ": interrupted by " << SignalName(stop.Signal()) << "\n" << std::flush;
  return 128 + stop.Signal();
}

}  // namespace mirvo::cli
