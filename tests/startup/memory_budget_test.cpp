// The memory budget: where the cgroup's figures are read, how the figures
// make the budget, and the allocator holding to it under contention.
#include "startup/memory_budget.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "platform/buffer.h"

namespace iochurn {
namespace {

constexpr int64_t kMB = int64_t{1} << 20;

TEST(MemoryBudget, FindsTheCgroupAndMakesTheBudget) {
  const char* cgroups = "4:memory:/batch/job7\n0::/user.slice/s3.scope\n";
  const char* mounts =
      "34 25 0:31 / /sys/fs/cgroup/memory rw shared:9 - cgroup cgroup "
      "rw,memory\n"
      "41 25 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n";
  EXPECT_EQ(memory_cgroup_dir(cgroups, mounts, 1),
            "/sys/fs/cgroup/memory/batch/job7");
  EXPECT_EQ(memory_cgroup_dir(cgroups, mounts, 2),
            "/sys/fs/cgroup/unified/user.slice/s3.scope");
  // A container's own sub-tree mounted as the root of its hierarchy.
  EXPECT_EQ(memory_cgroup_dir(
                "0::/docker/abc/sub\n",
                "50 40 0:40 /docker/abc /sys/fs/cgroup rw - cgroup2 c rw\n", 2),
            "/sys/fs/cgroup/sub");
  EXPECT_EQ(cgroup_bytes("max\n"), -1);
  EXPECT_EQ(cgroup_bytes("9223372036854771712\n"), -1);  // v1's "no limit"

  // The lower figure, less files on tmpfs, less 64 MB and 1/32 of the room.
  EXPECT_EQ(budget_from_figures({8000 * kMB, 1064 * kMB, 0}),
            1000 * kMB - 1064 * kMB / 32);
  EXPECT_EQ(budget_from_figures({2064 * kMB, -1, 1000 * kMB}),
            1000 * kMB - 1064 * kMB / 32);
  EXPECT_EQ(budget_from_figures({1000 * kMB, -1, 5000 * kMB}), 0);
  EXPECT_EQ(budget_from_figures({-1, -1, 0}), -1);
}

TEST(MemoryBudget, ThreadsNeverHoldMoreThanTheBudgetTogether) {
  constexpr int kThreads = 8, kRounds = 2000;
  const uint64_t limit = buffer_bytes_held() + 3 * 4096;
  set_buffer_budget(static_cast<int64_t>(limit));
  uint8_t* held[3];
  for (auto& p : held) ASSERT_NE(p = allocate_buffer(4096), nullptr);
  errno = 0;
  EXPECT_EQ(allocate_buffer(1), nullptr);  // not a byte past it
  EXPECT_EQ(errno, ENOMEM);
  for (auto* p : held) release_buffer(p);

  std::atomic<int> granted{0}, over{0}, wrong_errno{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&] {
      for (int r = 0; r < kRounds; ++r) {
        errno = 0;
        uint8_t* p = allocate_buffer(4096);
        if (p == nullptr) {
          if (errno != ENOMEM) wrong_errno.fetch_add(1);
          continue;
        }
        granted.fetch_add(1);
        if (buffer_bytes_held() > limit) over.fetch_add(1);
        release_buffer(p);
      }
    });
  for (auto& t : threads) t.join();
  set_buffer_budget(-1);
  EXPECT_EQ(over.load(), 0);
  EXPECT_EQ(wrong_errno.load(), 0);
  EXPECT_GT(granted.load(), 0);
  EXPECT_EQ(buffer_bytes_held(), limit - 3 * 4096);
}

}  // namespace
}  // namespace iochurn
