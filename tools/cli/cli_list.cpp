// ports and list: what is on the line and what is on the handset.
#include <algorithm>

#include "cli/cli_commands.h"
#include "pattern/wildcard.h"
#include "serial/probe.h"

namespace mirvo::cli {

int RunPorts(CliRun& run) {
  SerialPort probe;
  SerialSettings settings = probe.GetSettings();
  settings.baud_rate = 9600;
  probe.SetSettings(settings);
  probe.SetTimeouts({.read_ms = 150, .write_ms = 150, .read_interval_ms = 0});
  for (const ProbedPort& info : ScanHandsetPorts(probe)) run.out << ShowText(ProbedPortLine(info)) << '\n';
  run.out.flush();
  return kExitOk;
}

int RunList(CliRun& run, Session& session, const std::optional<std::string>& pattern) {
  if (const ExchangeResult r = FetchList(session, run); r != ExchangeResult::Ok) {
    run.Error("cannot fetch the file list: " + run.Outcome(r));
    return kExitUsage;
  }
  {
    // The handset is let go before the rows are made: the line never
    // waits on the formatting.
    HandsetWait waiting(run, "FT_END", run.options.timeouts.reply);
    session.End();
  }
  struct Row {
    std::string name, text;
  };
  std::vector<Row> rows;
  for (const ListEntry& entry : ParseListEntries(session.lines, &run)) {
    if (pattern) {
      try {
        if (!MatchFileName(entry.item.name, *pattern)) continue;
      } catch (const WildcardError& error) {
        run.Fail("list " + ShowText(entry.item.name), error.what());
        continue;
      }
    }
    auto row = ListRow(entry.item);
    if (!row) {
      run.Fail("list", "a handset name has no UTF-8 form: " + ShowText(entry.item.name));
      continue;
    }
    rows.push_back({*entry.name, std::move(*row)});
  }
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.name < b.name; });
  for (const Row& r : rows) run.out << r.text << '\n';
  run.out.flush();
  return run.failed ? kExitFileFailed : kExitOk;
}

}  // namespace mirvo::cli
