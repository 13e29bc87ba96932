#include "posted_queue.h"

namespace mirvo::testing {

void PostedQueue::Post(std::function<void()> fn) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(fn));
    ++posts_;
  }
  posted_.notify_all();
}

int PostedQueue::RunPending() {
  std::deque<std::function<void()>> ready;
  {
    std::lock_guard lock(mutex_);
    ready.swap(queue_);
  }
  for (auto& fn : ready) fn();
  return static_cast<int>(ready.size());
}

bool PostedQueue::RunUntil(const std::function<bool()>& pred, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (true) {
    RunPending();
    if (pred()) return true;
    std::unique_lock lock(mutex_);
    if (!posted_.wait_until(lock, deadline, [&] { return !queue_.empty(); })) break;
  }
  RunPending();
  return pred();
}

bool PostedQueue::WaitForPosts(int n, std::chrono::milliseconds bound) {
  std::unique_lock lock(mutex_);
  return posted_.wait_for(lock, bound, [&] { return posts_ >= n; });
}

}  // namespace mirvo::testing
