// Committer: the disk work that makes fetched copies durable (write, fsync,
// rename), on a worker thread of its own, so the line goes on with the next
// transfer meanwhile. A copy counts only once its result has been taken and
// says ok: callers act on a file (count it fetched, let a cut delete its
// original) only after that, never at Submit.
//
// Submit, TakeDone and Finish belong to one thread; jobs run on the worker,
// one at a time, in the order submitted, each exactly once (the destructor
// runs those still queued, then joins).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mirvo {

class Committer {
 public:
  // True when the copy is durable; else why (UTF-8).
  using Job = std::function<bool(std::string& why)>;
  struct Result {
    std::size_t tag = 0;  // the caller's, from Submit
    bool ok = false;
    std::string why;
  };

  // max_pending: jobs queued or running before Submit waits; each holds its
  // file's data, so this bounds the memory too. One is enough to overlap a
  // copy's disk work with the next file's transfer.
  explicit Committer(std::size_t max_pending = 1);
  ~Committer();
  Committer(const Committer&) = delete;
  Committer& operator=(const Committer&) = delete;

  void Submit(std::size_t tag, Job job);
  // The results of the jobs finished so far, in the order submitted.
  std::vector<Result> TakeDone();
  // Waits for every job submitted; their results, in order.
  std::vector<Result> Finish();
  // Jobs submitted whose results have not been taken.
  std::size_t Pending() const;

 private:
  struct Entry {
    std::size_t tag;
    Job job;
  };
  void Work(std::stop_token stop);
  void WaitUntil(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready);

  const std::size_t max_pending_;
  mutable std::mutex mutex_;
  std::condition_variable_any changed_;
  std::deque<Entry> queue_;     // not started yet
  std::vector<Result> done_;    // finished, not taken
  std::size_t running_ = 0;     // 0 or 1
  std::jthread worker_;         // last: started once the rest is in place
};

}  // namespace mirvo
