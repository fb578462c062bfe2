#include "common/report/task_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/child.h"

namespace {

using nimbrel_report::TaskPool;

TEST(TaskPoolTest, DestroyRunsEveryQueuedTaskInOrderBeforeReturning) {
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  std::vector<int> ran;  // touched by the single worker only
  std::thread opener;
  {
    TaskPool pool("", 1);
    EXPECT_EQ(pool.thread_count(), 1u);
    pool.Enqueue([opened] { opened.wait(); }, "blocker");
    for (int i = 0; i < 200; ++i) pool.Enqueue([&ran, i] { ran.push_back(i); });
    // Opened once this thread is blocked in the pool's destruction, so the
    // queue is still full when the stop comes: a stop that discards it
    // loses tasks.
    opener = testenv::WhenThreadBlocks(testenv::CurrentThreadId(), [&gate] { gate.set_value(); });
  }
  opener.join();
  ASSERT_EQ(ran.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(ran[i], i);
}

TEST(TaskPoolTest, RunsExactlyTheRequestedNumberOfThreadsConcurrently) {
  constexpr int kThreads = 3;
  std::mutex mutex;
  std::condition_variable all_in;
  int inside = 0;
  bool timed_out = false;
  std::set<std::thread::id> ids;
  {
    TaskPool pool("probe", kThreads);
    EXPECT_EQ(pool.name(), "probe");
    EXPECT_EQ(pool.thread_count(), static_cast<std::size_t>(kThreads));
    // Each task waits for the others: they can only all finish if all
    // threads run at once.
    for (int i = 0; i < kThreads * 4; ++i) {
      pool.Enqueue([&, round = i / kThreads] {
        std::unique_lock lock(mutex);
        ids.insert(std::this_thread::get_id());
        ++inside;
        all_in.notify_all();
        if (!all_in.wait_for(lock, std::chrono::seconds(20),
                             [&] { return inside >= (round + 1) * kThreads; })) {
          timed_out = true;
        }
      });
    }
  }
  EXPECT_FALSE(timed_out);
  EXPECT_EQ(inside, kThreads * 4);
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(kThreads));
}

TEST(TaskPoolTest, AThrowingTaskDoesNotStopTheWorker) {
  std::atomic<int> after{0};
  {
    TaskPool pool("", 1);
    pool.Enqueue([] { throw std::runtime_error("task failed"); });
    pool.Enqueue([&] { ++after; });
  }
  EXPECT_EQ(after.load(), 1);
}

TEST(TaskPoolTest, APoolDestroyedByItsOwnTaskStillFinishesItsQueue) {
  auto holder = std::make_shared<std::unique_ptr<TaskPool>>(std::make_unique<TaskPool>("", 1));
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  // Owned by the task too: the worker may still be inside set_value when
  // the test goes on.
  auto last_ran = std::make_shared<std::promise<void>>();
  std::future<void> last_done = last_ran->get_future();
  (*holder)->Enqueue([opened] { opened.wait(); });
  (*holder)->Enqueue([holder] { holder->reset(); });  // would join itself
  (*holder)->Enqueue([last_ran] { last_ran->set_value(); });
  gate.set_value();
  EXPECT_EQ(last_done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  // The last reference may go with the worker; give it nothing else to touch.
  holder.reset();
}

}  // namespace
