// One run of mirvo-cli against the handset: the run's output and failures,
// the user-interface hooks the engine calls while no window exists, and the
// session (the port, the engine on it and what the run learnt of its state).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/cli_args.h"
#include "cli/cli_progress.h"
#include "core/ui_hooks.h"
#include "protocol/protocol_engine.h"
#include "serial/serial_port.h"

namespace mirvo::cli {

inline constexpr const char* kProgram = "mirvo-cli";

// No window here: the engine's message boxes become lines on standard
// error, and a question is never agreed to, since nobody can answer it.
class CliUi final : public UiHooks {
 public:
  explicit CliUi(Progress& progress) : progress_(progress) { SetUiHooks(this); }
  ~CliUi() override { SetUiHooks(nullptr); }
  CliUi(const CliUi&) = delete;
  CliUi& operator=(const CliUi&) = delete;

  void ProcessMessages() override;
  void PostToMainThread(std::function<void()> fn) override;
  MsgAnswer MessageBox(const void*, const std::string&, const std::string& text, MsgIcon,
                       MsgButtons buttons) override;
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
  bool Ready(std::string& why);
  void Note(ExchangeResult result);
  // FT_END (after a new link when the handset had closed it) and close.
  bool End();
};

bool ConnectionSettings(const CliArgs& args, std::string& port_name, std::string& password, std::string& error);

// Link, FT_START and nothing more: the list is fetched only by the commands
// that need it. False after telling why; the port is closed again then.
bool OpenSession(Session& s, const std::string& port_name, const std::string& password, Run& run);

// The handset's list, fetched at the first need. The result of GetList.
ExchangeResult FetchList(Session& s, Run& run);

// Bytes received so far on the progress line, frame by frame, while a
// file comes in.
class ShowReceived {
 public:
  ShowReceived(Run& run, Session& s, const std::string& what, std::optional<std::int64_t> size);
  ~ShowReceived() { s_.engine.On().progress = nullptr; }
  ShowReceived(const ShowReceived&) = delete;
  ShowReceived& operator=(const ShowReceived&) = delete;

 private:
  Session& s_;
};

}  // namespace mirvo::cli
