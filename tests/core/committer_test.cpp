#include "core/committer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

namespace {

using mirvo::Committer;

TEST(CommitterTest, RunsJobsInOrderReportsEachAndHoldsAtMostItsBound) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> ran{0};
  {
    Committer committer(2);
    committer.Submit(7, [&](std::string&) {
      released.wait();
      return ++ran == 1;
    });
    committer.Submit(8, [&](std::string& why) {
      ++ran;
      why = "disk full";
      return false;
    });
    // A third waits for room: the first still holds the worker.
    auto third = std::async(std::launch::async, [&] {
      committer.Submit(9, [&](std::string&) { return ++ran == 3; });
    });
    EXPECT_EQ(third.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    EXPECT_TRUE(committer.TakeDone().empty());
    release.set_value();
    third.get();
    const std::vector<Committer::Result> done = committer.Finish();
    ASSERT_EQ(done.size(), 3u);
    EXPECT_EQ(done[0].tag, 7u);
    EXPECT_TRUE(done[0].ok);
    EXPECT_EQ(done[1].tag, 8u);
    EXPECT_FALSE(done[1].ok);
    EXPECT_EQ(done[1].why, "disk full");
    EXPECT_EQ(done[2].tag, 9u);
    EXPECT_TRUE(done[2].ok);
    EXPECT_EQ(committer.Pending(), 0u);

    // Dropped with a job still queued: it runs all the same.
    committer.Submit(10, [&](std::string&) { return ++ran == 4; });
  }
  EXPECT_EQ(ran, 4);
}

}  // namespace
