// One run of mirvo-cli against the handset: the run's output and failures,
// and the session (the port, the engine on it and what the run learnt of its
// state).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/cli_args.h"
#include "cli/cli_progress.h"
#include "protocol/protocol_engine.h"
#include "serial/serial_port.h"

namespace mirvo::cli {

inline constexpr const char* kProgram = "mirvo-cli";

struct CliRun {
  std::ostream& out;
  const CliOptions& options;
  Progress& progress;
  WaitWatch& watch;
  bool failed = false;
  const CliStop* stop = nullptr;  // none: never stopped

  bool Stopped() const { return stop && stop->Signal() != 0; }
  // What a failed exchange means for the user; "interrupted" once stopped.
  std::string Outcome(ExchangeResult result) const;
  void Fail(const std::string& what, const std::string& why) {
    progress.Print(std::string(kProgram) + ": " + what + ": " + why);
    failed = true;
  }
  void Error(const std::string& why) { progress.Print(std::string(kProgram) + ": " + why); }
};

// Names the exchange for the wait watch while it runs.
class HandsetWait {
 public:
  HandsetWait(CliRun& run, const std::string& what, int at_most_ms) : watch_(run.watch) {
    watch_.Begin("the handset (" + what + "), at most " + std::to_string((at_most_ms + 999) / 1000) + " s");
  }
  ~HandsetWait() { watch_.End(); }
  HandsetWait(const HandsetWait&) = delete;
  HandsetWait& operator=(const HandsetWait&) = delete;

 private:
  WaitWatch& watch_;
};

// An open session: the port, the engine on it and what the run learnt of
// the session's state.
struct Session {
  // stop, when given, cuts short the exchange under way once it is asked.
  explicit Session(const CliTimeouts& t, const CliStop* stop = nullptr) : engine(port), stop(stop) {
    SerialSettings settings = port.GetSettings();
    settings.baud_rate = 115200;
    port.SetSettings(settings);
    port.SetTimeouts({.read_ms = t.port_read, .write_ms = t.port_write, .read_interval_ms = t.port_read});
    engine.SetTimeouts({.ack = t.ack, .data = t.data, .reply = t.reply, .first_frame = t.first_frame});
    engine.On().handset_ended = [this] { ended = true; };
    if (stop) port.SetStopToken(stop->RunToken());
  }

  SerialPort port;
  ProtocolEngine engine;
  std::vector<std::string> lines;
  bool listed = false;     // lines hold the handset's list
  bool ended = false;      // the handset ended the session by itself
  bool link_down = false;  // the handset closed the link after "ERROR"
  bool broken = false;     // an exchange broke off: try nothing more
  bool cut = false;        // a stop broke an exchange off: the handset may be mid-way
  const CliStop* stop;

  // Whether the next file may be tried; why not otherwise.
  bool MayTryNext(std::string& why);
  void NoteResult(ExchangeResult result);
  // FT_END (after a new link when the handset had closed it, or a stop
  // had cut an exchange short) and close. After a stop the ending has a
  // stop of its own. Once only: a second call gives the first one's result.
  bool End();
  std::optional<bool> end_result;
};

bool ReadConnectionSettings(const CliArgs& args, std::string& port_name, std::string& password, std::string& error);

// Link, FT_START and nothing more: the list is fetched only by the commands
// that need it. False after telling why; the port is closed again then.
bool OpenSession(Session& session, const std::string& port_name, const std::string& password, CliRun& run);

// The handset's list, fetched at the first need. The result of GetList.
ExchangeResult FetchList(Session& session, CliRun& run);

// Bytes received so far on the progress line, frame by frame, while a
// file comes in.
class ReceiveProgress {
 public:
  ReceiveProgress(CliRun& run, Session& session, const std::string& what, std::optional<std::int64_t> size);
  ~ReceiveProgress() { session_.engine.On().progress = nullptr; }
  ReceiveProgress(const ReceiveProgress&) = delete;
  ReceiveProgress& operator=(const ReceiveProgress&) = delete;

 private:
  Session& session_;
};

}  // namespace mirvo::cli
