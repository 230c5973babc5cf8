// Auto-reset event: pending signals, time-outs, one wake per signal, and no
// lost wake-up under many threads.
#include "platform/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace iochurn {
namespace {

TEST(AutoResetEvent, SetBeforeWaitIsKeptAndConsumedOnce) {
  AutoResetEvent e;
  EXPECT_EQ(e.wait(0), WaitResult::kTimedOut);  // created non-signalled
  e.set();
  EXPECT_EQ(e.wait(0), WaitResult::kSignalled);
  EXPECT_EQ(e.wait(0), WaitResult::kTimedOut);  // auto-reset

  // Several sets before one wait wake that wait only.
  e.set();
  e.set();
  e.set();
  EXPECT_EQ(e.wait(20), WaitResult::kSignalled);
  EXPECT_EQ(e.wait(20), WaitResult::kTimedOut);

  // Limits too large for the clock wait for ever, without overflowing into
  // an immediate time-out.
  e.set();
  EXPECT_EQ(e.wait(INT64_MAX), WaitResult::kSignalled);
  e.set();
  EXPECT_EQ(e.wait(-1), WaitResult::kSignalled);
}

TEST(AutoResetEvent, NegativeAndHugeLimitsWaitForASetFromAnotherThread) {
  for (int64_t limit : {int64_t{-1}, int64_t{-1000}, INT64_MAX}) {
    AutoResetEvent e;
    std::thread setter([&e] {
      // Give the waiter time to block; the result holds either way.
      AutoResetEvent never;
      never.wait(50);
      e.set();
    });
    EXPECT_EQ(e.wait(limit), WaitResult::kSignalled) << limit;
    setter.join();
  }
}

TEST(AutoResetEvent, OneSetReleasesExactlyOneOfManyWaiters) {
  constexpr int kWaiters = 4;
  AutoResetEvent gate, woke;
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters + 1; ++i) {
    waiters.emplace_back([&] {
      ASSERT_EQ(gate.wait(-1), WaitResult::kSignalled);
      released.fetch_add(1);
      woke.set();
    });
  }
  for (int i = 0; i < kWaiters; ++i) {
    gate.set();
    ASSERT_EQ(woke.wait(10000), WaitResult::kSignalled);
  }
  // One waiter is left: no set woke two.
  EXPECT_EQ(woke.wait(50), WaitResult::kTimedOut);
  EXPECT_EQ(released.load(), kWaiters);
  gate.set();
  ASSERT_EQ(woke.wait(10000), WaitResult::kSignalled);
  for (auto& w : waiters) w.join();
  EXPECT_EQ(released.load(), kWaiters + 1);
}

TEST(AutoResetEvent, NoLostWakeUpInPingPongUnderLoad) {
  constexpr int kPairs = 8;
  constexpr int kHandoffs = 2000;
  struct Pair {
    AutoResetEvent ping, pong;
  };
  std::vector<std::unique_ptr<Pair>> pairs;
  for (int i = 0; i < kPairs; ++i) pairs.push_back(std::make_unique<Pair>());
  // A lost wake-up shows as a time-out instead of a hang.
  std::atomic<int> timeouts{0};
  std::atomic<long> handoffs{0};
  std::vector<std::thread> threads;
  for (auto& p : pairs) {
    Pair* pair = p.get();
    threads.emplace_back([pair, &timeouts] {
      for (int i = 0; i < kHandoffs; ++i) {
        pair->ping.set();
        if (pair->pong.wait(20000) != WaitResult::kSignalled) {
          timeouts.fetch_add(1);
          return;
        }
      }
    });
    threads.emplace_back([pair, &timeouts, &handoffs] {
      for (int i = 0; i < kHandoffs; ++i) {
        if (pair->ping.wait(20000) != WaitResult::kSignalled) {
          timeouts.fetch_add(1);
          return;
        }
        handoffs.fetch_add(1);
        pair->pong.set();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(timeouts.load(), 0);
  EXPECT_EQ(handoffs.load(), long{kPairs} * kHandoffs);
  // Every signal was consumed exactly once: nothing left pending.
  for (auto& p : pairs) {
    EXPECT_EQ(p->ping.wait(0), WaitResult::kTimedOut);
    EXPECT_EQ(p->pong.wait(0), WaitResult::kTimedOut);
  }
}

}  // namespace
}  // namespace iochurn
