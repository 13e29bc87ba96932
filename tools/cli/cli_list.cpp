// ports and list: what is on the line and what is on the handset.
#include <algorithm>

#include "cli/cli_commands.h"
#include "pattern/wildcard.h"
#include "serial/probe.h"

namespace mirvo::cli {

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

}  // namespace mirvo::cli
