#include "platform/dispatch/serial_queue.hpp"

#include <gtest/gtest.h>

#include <set>

#include "support/queue_drain.hpp"

TEST(SerialQueue, RunsBlocksInSubmissionOrderOnItsOneWorker) {
  SerialQueue q("test.order");
  std::vector<int> seen;              // only touched on q
  std::set<std::thread::id> threads;  // only touched on q
  auto submit = [&](int base) {       // two submitters interleave
    for (int i = 0; i < 500; ++i) {
      q.async([&, v = base + i] {
        seen.push_back(v);
        threads.insert(std::this_thread::get_id());
      });
    }
  };
  std::thread a(submit, 0), b(submit, 10000);
  a.join();
  b.join();
  drain(q);
  EXPECT_EQ(threads.size(), 1u);  // hence one block at a time
  ASSERT_EQ(seen.size(), 1000u);
  int last[2] = {-1, 9999};  // each submitter's blocks keep their order
  for (int v : seen) {
    EXPECT_GT(v, last[v >= 10000]);
    last[v >= 10000] = v;
  }
}
