// Threads: start with an argument, a non-zero id, a finished flag that turns
// only after the routine returned, join and release.
#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/no_destructor.h"

namespace iochurn {
namespace {

struct Gate {
  AutoResetEvent started;
  AutoResetEvent release;
  AutoResetEvent leaving;
  std::atomic<int> runs{0};
};

void gated_routine(void* arg) {
  auto* g = static_cast<Gate*>(arg);
  g->runs.fetch_add(1);
  g->started.set();
  g->release.wait(-1);
  g->leaving.set();
}

// Polls the flag, which never blocks, until it turns or a generous limit.
bool becomes_finished(const ThreadHandle* h) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!thread_finished(h)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(Thread, FinishedTurnsOnlyAfterTheRoutineReturns) {
  Gate g;
  ThreadHandle* h = nullptr;
  unsigned long id = 0;
  ASSERT_EQ(start_thread(gated_routine, &g, &h, &id), 0);
  ASSERT_NE(h, nullptr);
  EXPECT_NE(id, 0ul);
  ASSERT_EQ(g.started.wait(20000), WaitResult::kSignalled);
  EXPECT_EQ(g.runs.load(), 1);  // the argument reached the routine
  EXPECT_FALSE(thread_finished(h));  // blocked inside the routine
  g.release.set();
  ASSERT_EQ(g.leaving.wait(20000), WaitResult::kSignalled);
  EXPECT_TRUE(becomes_finished(h));
  join_thread(h);
}

TEST(Thread, ConcurrentThreadsHaveDistinctIds) {
  constexpr int kThreads = 8;
  Gate gates[kThreads];
  ThreadHandle* handles[kThreads];
  std::set<unsigned long> ids;
  for (int i = 0; i < kThreads; ++i) {
    unsigned long id = 0;
    ASSERT_EQ(start_thread(gated_routine, &gates[i], &handles[i], &id), 0);
    EXPECT_NE(id, 0ul);
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), static_cast<size_t>(kThreads));
  for (auto& g : gates) ASSERT_EQ(g.started.wait(20000), WaitResult::kSignalled);
  for (auto& h : handles) EXPECT_FALSE(thread_finished(h));
  for (auto& g : gates) g.release.set();
  for (auto& h : handles) join_thread(h);  // join waits for the end itself
  for (auto& g : gates) EXPECT_EQ(g.runs.load(), 1);
}

TEST(Thread, ReleasedThreadRunsToItsEnd) {
  // Released while still running: the thread must still be able to finish
  // and free its own record (a use after free shows under the sanitizers).
  // Nobody waits for its very end, so its gates outlive the test.
  static NoDestructor<Gate> released_gate;
  Gate& g = *released_gate;
  ThreadHandle* h = nullptr;
  unsigned long id = 0;
  ASSERT_EQ(start_thread(gated_routine, &g, &h, &id), 0);
  ASSERT_EQ(g.started.wait(20000), WaitResult::kSignalled);
  release_thread(h);
  g.release.set();
  EXPECT_EQ(g.leaving.wait(20000), WaitResult::kSignalled);

  // Released after it has already ended.
  static NoDestructor<Gate> quick_gate;
  Gate& quick = *quick_gate;
  quick.release.set();
  ASSERT_EQ(start_thread(gated_routine, &quick, &h, &id), 0);
  ASSERT_EQ(quick.leaving.wait(20000), WaitResult::kSignalled);
  ASSERT_TRUE(becomes_finished(h));
  release_thread(h);
}

}  // namespace
}  // namespace iochurn
