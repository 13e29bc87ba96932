// SIGINT and SIGTERM as requests to stop a run, taken by a thread of its
// own: no handler interrupts the line's waits, and the run stops only at
// points where nothing is left half done.
#pragma once

#include <signal.h>

#include <thread>

#include "cli/cli.h"

namespace mirvo::cli {

class SignalStop {
 public:
  // Made on the main thread before any other thread starts: the threads
  // started later inherit the blocked signals and leave them to the watcher.
  explicit SignalStop(CliStop& stop);
  ~SignalStop();
  SignalStop(const SignalStop&) = delete;
  SignalStop& operator=(const SignalStop&) = delete;

 private:
  CliStop& stop_;
  sigset_t signals_{};
  sigset_t saved_{};
  std::thread thread_;
};

}  // namespace mirvo::cli
