#include "cli/cli_progress.h"

namespace mirvo::cli {

WaitWatch::WaitWatch(Progress& progress, std::chrono::milliseconds after) : progress_(progress), after_(after) {
  if (progress_.IsOn()) thread_ = std::thread([this] { Watch(); });
}

WaitWatch::~WaitWatch() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void WaitWatch::Begin(std::string what) {
  {
    std::lock_guard lock(mutex_);
    what_ = std::move(what);
    since_ = std::chrono::steady_clock::now();
    armed_ = true;
    noticed_ = false;
  }
  wake_.notify_all();
}

void WaitWatch::Touch() {
  {
    std::lock_guard lock(mutex_);
    since_ = std::chrono::steady_clock::now();
    noticed_ = false;
  }
  wake_.notify_all();
}

void WaitWatch::End() {
  std::lock_guard lock(mutex_);
  armed_ = false;
}

void WaitWatch::Watch() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    if (!armed_ || noticed_) {
      wake_.wait(lock);
      continue;
    }
    const auto due = since_ + after_;
    if (std::chrono::steady_clock::now() < due) {
      wake_.wait_until(lock, due);
      continue;
    }
    const std::string line = "waiting for " + what_;
    noticed_ = true;
    lock.unlock();
    progress_.Show(line);
    lock.lock();
  }
}

}  // namespace mirvo::cli
