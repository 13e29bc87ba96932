#include "cli/cli_signals.h"

#include <pthread.h>
#include <unistd.h>

namespace mirvo::cli {

SignalStop::SignalStop(CliStop& stop) : stop_(stop) {
  sigemptyset(&signals_);
  sigaddset(&signals_, SIGINT);
  sigaddset(&signals_, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals_, &saved_);
  thread_ = std::thread([this] {
    for (;;) {
      siginfo_t info{};
      const int signal = sigwaitinfo(&signals_, &info);
      if (signal < 0) continue;
      // The destructor's wake-up: no one else in this process sends these.
      if (info.si_pid == ::getpid()) return;
      stop_.Request(signal);
    }
  });
}

SignalStop::~SignalStop() {
  pthread_kill(thread_.native_handle(), SIGTERM);
  thread_.join();
  pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

}  // namespace mirvo::cli
