// mirvo-cli: the handset's files from a shell. RunCli is the whole program
// but for the process set-up, so tests run it in-process.
//
// Main thread only; a run installs its own user-interface hooks and removes
// them before it returns.
#pragma once

#include <atomic>
#include <iosfwd>
#include <stop_token>
#include <string>
#include <vector>

namespace mirvo::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFileFailed = 1;  // some file (or list line) failed
inline constexpr int kExitUsage = 2;       // bad command line, or no session

// Time-outs in ms. The defaults are the window's; tests shrink them.
struct CliTimeouts {
  int port_read = 180000;  // the port's read time-out and read interval at open
  int port_write = 60000;
  int ack = 5000;
  int data = 5000;
  int reply = 180000;
  int first_frame = 300000;
};

// A run asked to stop, from any thread, by a signal: the exchange under way
// ends at once, the run ends the session with FT_END at its next safe point
// and exits with 128 + the signal. A second request gives up that ending.
class CliStop {
 public:
  void Request(int signal) {
    int none = 0;
    if (signal_.compare_exchange_strong(none, signal))
      run_.request_stop();
    else
      end_.request_stop();
  }
  int Signal() const { return signal_.load(); }  // 0 until asked
  std::stop_token RunToken() const { return run_.get_token(); }
  std::stop_token EndToken() const { return end_.get_token(); }

 private:
  std::atomic<int> signal_{0};
  std::stop_source run_, end_;
};

struct CliOptions {
  CliTimeouts timeouts;
  // SIGINT and SIGTERM stop the run as a CliStop (not the mount, which has
  // its own way). Only where nothing else in the process waits for them.
  bool stop_on_signals = false;
  // A progress line on err while a file moves (err is a terminal).
  bool progress = false;
  // With progress: a wait for the handset longer than this is named.
  int wait_notice_ms = 3000;
};

// args: the command line without the program name. Output is UTF-8.
// Progress is shown when err is std::cerr and standard error is a terminal;
// signals stop the run (stop_on_signals).
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, const CliOptions& options);

std::string HelpText();

}  // namespace mirvo::cli
