#include "core/committer.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

namespace mirvo {

Committer::Committer(std::size_t max_pending)
    : max_pending_(std::max<std::size_t>(max_pending, 1)),
      worker_([this](std::stop_token stop) { Work(stop); }) {}

Committer::~Committer() {
  worker_.request_stop();
  changed_.notify_all();
  worker_.join();
}

void Committer::Submit(std::size_t tag, Job job) {
  std::unique_lock lock(mutex_);
  WaitUntil(lock, [&] { return queue_.size() + running_ < max_pending_; });
  queue_.push_back({tag, std::move(job)});
  changed_.notify_all();
}

std::vector<Committer::Result> Committer::TakeDone() {
  std::lock_guard lock(mutex_);
  return std::exchange(done_, {});
}

std::vector<Committer::Result> Committer::Finish() {
  std::unique_lock lock(mutex_);
  WaitUntil(lock, [&] { return queue_.empty() && running_ == 0; });
  return std::exchange(done_, {});
}

std::size_t Committer::Pending() const {
  std::lock_guard lock(mutex_);
  return queue_.size() + running_ + done_.size();
}

void Committer::WaitUntil(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready) {
  changed_.wait(lock, ready);
}

void Committer::Work(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  while (true) {
    // A stop ends the worker only once the queue is empty: every job runs.
    changed_.wait(lock, stop, [&] { return !queue_.empty(); });
    if (queue_.empty()) return;
    Entry entry = std::move(queue_.front());
    queue_.pop_front();
    running_ = 1;
    lock.unlock();
    Result result{entry.tag, false, {}};
    try {
      result.ok = entry.job(result.why);
    } catch (const std::exception& e) {
      result.why = e.what();
    } catch (...) {
      result.why = "unknown failure";
    }
    entry.job = nullptr;  // its data goes before the next job's comes
    lock.lock();
    running_ = 0;
    done_.push_back(std::move(result));
    changed_.notify_all();
  }
}

}  // namespace mirvo
