#include "platform/dispatch/serial_queue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace {

TEST(SerialQueue, RunsBlocksOneAtATimeInSubmissionOrderOnItsWorker) {
  SerialQueue q("test.order");
  std::vector<int> seen;  // only touched on q
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  std::atomic<bool> offWorker{false};
  // Two submitters interleave; each one's blocks must keep their order and no
  // two blocks may overlap.
  auto submit = [&](int base) {
    for (int i = 0; i < 500; ++i) {
      q.async([&, v = base + i] {
        if (running.fetch_add(1) != 0) overlapped = true;
        if (!q.isCurrent()) offWorker = true;
        seen.push_back(v);
        running.fetch_sub(1);
      });
    }
  };
  std::thread a(submit, 0);
  std::thread b(submit, 10000);
  a.join();
  b.join();
  q.sync([] {});
  EXPECT_FALSE(overlapped);
  EXPECT_FALSE(offWorker);
  ASSERT_EQ(seen.size(), 1000u);
  int lastA = -1, lastB = 9999;
  for (int v : seen) {
    if (v < 10000) {
      EXPECT_GT(v, lastA);
      lastA = v;
    } else {
      EXPECT_GT(v, lastB);
      lastB = v;
    }
  }
  EXPECT_FALSE(q.isCurrent());
}

TEST(SerialQueue, SyncReturnsOnlyAfterEarlierBlocksAndItsOwnHaveRun) {
  SerialQueue q("test.sync");
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  std::vector<int> seen;
  q.async([&, opened] {
    opened.wait();
    seen.push_back(1);
  });
  std::thread opener([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    gate.set_value();
  });
  q.sync([&] { seen.push_back(2); });
  // Read right after sync: both blocks must already be done.
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
  opener.join();
}

TEST(SerialQueue, DestructorRunsWhatIsQueuedThenJoins) {
  std::atomic<int> ran{0};
  {
    SerialQueue q("test.drain");
    for (int i = 0; i < 100; ++i) {
      q.async([&] {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        ran.fetch_add(1);
      });
    }
  }
  EXPECT_EQ(ran.load(), 100);
}

TEST(SerialQueue, LastOwnerReleasedOnItsOwnWorkerFinishesTheQueue) {
  // An object that owns its queue and is last held by a block running on that
  // queue: the worker must not join itself, and must still run what follows.
  auto q = std::make_shared<SerialQueue>("test.self");
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  std::promise<void> done;
  q->async([opened] { opened.wait(); });
  q->async([keep = q] {});  // holds the last reference once the test drops its own
  q->async([&done] { done.set_value(); });
  q.reset();
  gate.set_value();
  EXPECT_EQ(done.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

}  // namespace
