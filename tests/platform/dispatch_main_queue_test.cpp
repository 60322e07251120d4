#include "platform/dispatch/main_queue.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "main_loop_run.hpp"

namespace {

TEST(MainQueue, RunsBlocksFromOtherThreadsInOrderOnTheLoopThread) {
  MainQueue& mq = MainQueue::shared();
  const std::thread::id me = std::this_thread::get_id();
  std::vector<int> seen;  // only touched by blocks on the loop
  bool allOnLoop = true;
  std::thread poster([&] {
    for (int i = 0; i < 200; ++i) {
      mq.async([&, i] {
        allOnLoop = allOnLoop && std::this_thread::get_id() == me && mq.isCurrent();
        seen.push_back(i);
      });
    }
    mq.async([&] { mq.stop(); });
  });
  EXPECT_TRUE(runMainLoopUntilStopped());
  poster.join();
  ASSERT_EQ(seen.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(seen[i], i);
  EXPECT_TRUE(allOnLoop);
  EXPECT_FALSE(mq.isCurrent());  // outside run()
}

TEST(MainQueue, BlocksQueuedBeforeTheLoopRunWhenItStarts) {
  MainQueue& mq = MainQueue::shared();
  int ran = 0;
  mq.async([&] { ++ran; });
  mq.async([&] { ++ran; });
  EXPECT_EQ(ran, 0);
  mq.async([&] { mq.stop(); });
  EXPECT_TRUE(runMainLoopUntilStopped());
  EXPECT_EQ(ran, 2);
}

TEST(MainQueue, WatchedDescriptorBecomesCallOnTheLoopThread) {
  MainQueue& mq = MainQueue::shared();
  // The watch outlives the test, so what its callback touches lives on the heap
  // and both pipe ends stay open (a closed write end would keep it readable).
  struct Seen {
    int fds[2];
    int bytes = 0;
    std::thread::id calledOn;
  };
  auto seen = std::make_shared<Seen>();
  ASSERT_EQ(::pipe(seen->fds), 0);
  mq.watchReadable(seen->fds[0], [seen] {
    char c;
    if (::read(seen->fds[0], &c, 1) == 1) ++seen->bytes;
    seen->calledOn = std::this_thread::get_id();
    if (seen->bytes == 3) MainQueue::shared().stop();
  });
  std::thread writer([seen] {
    for (int i = 0; i < 3; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      [[maybe_unused]] ssize_t n = ::write(seen->fds[1], "x", 1);
    }
  });
  EXPECT_TRUE(runMainLoopUntilStopped());
  writer.join();
  EXPECT_EQ(seen->bytes, 3);
  EXPECT_EQ(seen->calledOn, std::this_thread::get_id());
}

}  // namespace
