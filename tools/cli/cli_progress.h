// What mirvo-cli shows on standard error while the line is in use: a
// progress line rewritten in place, and a notice naming what the run waits
// for once the handset has been silent for a while.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

namespace mirvo::cli {

// One line on standard error that is rewritten in place; cleared before
// anything else is written there. The wait watch writes from its own
// thread, hence the lock.
class Progress {
 public:
  Progress(std::ostream& err, bool on) : err_(err), on_(on) {}
  ~Progress() { Clear(); }
  bool IsOn() const { return on_; }
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
  WaitWatch(Progress& progress, std::chrono::milliseconds after);
  ~WaitWatch();
  WaitWatch(const WaitWatch&) = delete;
  WaitWatch& operator=(const WaitWatch&) = delete;

  void Begin(std::string what);
  // Bytes moved: the silence starts again.
  void Touch();
  void End();

 private:
  void Watch();

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

}  // namespace mirvo::cli
