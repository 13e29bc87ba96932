// Test stand-in for the thread that owns a port: what the port's event
// thread posts waits here until the test runs it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "serial/serial_port.h"

namespace mirvo::testing {

class PostedQueue {
 public:
  // The poster to give a port; this queue must outlive the port.
  SerialPort::EventPoster Poster() {
    return [this](std::function<void()> fn) { Post(std::move(fn)); };
  }
  void Post(std::function<void()> fn);
  // Runs what has been posted so far; the number run.
  int RunPending();
  // Runs posted functions until pred() holds or the bound runs out; waits
  // on the posting itself, never by sleeping. Returns pred().
  bool RunUntil(const std::function<bool()>& pred, std::chrono::milliseconds bound = std::chrono::seconds(5));
  // Waits, running nothing, until n functions have been posted in all.
  bool WaitForPosts(int n, std::chrono::milliseconds bound = std::chrono::seconds(5));

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> queue_;
  int posts_ = 0;
};

}  // namespace mirvo::testing
