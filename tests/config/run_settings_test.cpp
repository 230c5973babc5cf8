// Defaults, derived sizes and time limits of the run settings.
#include "config/run_settings.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

namespace iochurn {
namespace {

TEST(RunSettings, ResetRestoresEveryDefault) {
  RunSettings s;
  reset_run_settings(&s);
  RunSettings clean = s;
  // Dirty every field, then reset again.
  s.filecount = 7;
  s.bufsize = 9;
  s.filesize = 11;
  s.threads = 13;
  s.open_flags |= O_DIRECT;
  s.open_mode = 0777;
  s.workdir = "/elsewhere";
  s.passive_wait_ms = -1;
  s.delete_files = false;
  s.shadow_enabled = false;
  s.io_tmout_secs = 5;
  s.async_break = false;
  s.collect_stats = false;
  s.passes = 3;
  s.logfile = "log";
  s.verbose = s.alarm_control = s.run_forever = s.separate_buffers = true;
  s.sync_writes = s.random_fill = s.random_sleep = true;
  s.usec = 10;
  s.max_int_num = 10000;
  reset_run_settings(&s);

  EXPECT_EQ(s.filecount, 1);
  EXPECT_EQ(s.bufsize, 4);
  EXPECT_EQ(s.filesize, 16u);
  EXPECT_EQ(s.threads, 1);
  // Never follows a planted link, never leaks into a child.
  EXPECT_EQ(s.open_flags, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
  EXPECT_EQ(s.open_mode, 0600u);
  EXPECT_EQ(s.workdir, nullptr);
  EXPECT_STREQ(effective_workdir(s), "/tmp");
  EXPECT_EQ(s.passive_wait_ms, 7200000);
  EXPECT_TRUE(s.delete_files);
  EXPECT_TRUE(s.shadow_enabled);
  EXPECT_EQ(s.io_tmout_secs, 3600);
  EXPECT_TRUE(s.async_break);
  EXPECT_TRUE(s.collect_stats);
  EXPECT_EQ(s.passes, 1);
  EXPECT_EQ(s.logfile, nullptr);
  EXPECT_FALSE(s.verbose || s.alarm_control || s.run_forever ||
               s.separate_buffers || s.sync_writes || s.random_fill ||
               s.random_sleep);
  EXPECT_EQ(s.usec, 0);
  EXPECT_EQ(s.max_int_num, 0u);
  EXPECT_EQ(s.open_flags, clean.open_flags);

  s.workdir = "";
  EXPECT_STREQ(effective_workdir(s), "");  // an empty -t counts
}

TEST(TimeoutMs, EdgesNeverOverflow) {
  struct {
    int32_t seconds;
    int32_t factor;
    int64_t expected;
  } rows[] = {
      {0, 1000, 0},
      {0, 2000, 0},
      {1, 1000, 1000},
      {3600, 1000, 3600000},
      {3600, 2000, 7200000},
      {4294967 / 2, 2000, int64_t{2147483} * 2000},
      {2147484, 1000, 2147484000},  // past 32 bits
      {INT32_MAX, 1000, int64_t{INT32_MAX} * 1000},
      {INT32_MAX, 2000, int64_t{INT32_MAX} * 2000},
      {-1, 1000, -1},
      {-1, 2000, -1},
      {-5, 2000, -1},
      {INT32_MIN, 2000, -1},
  };
  for (const auto& r : rows)
    EXPECT_EQ(timeout_ms(r.seconds, r.factor), r.expected)
        << r.seconds << " x " << r.factor;
}

TEST(RunSettings, ByteSizes) {
  RunSettings s;
  reset_run_settings(&s);
  EXPECT_EQ(buffer_bytes(s), 4u << 20);
  EXPECT_EQ(file_bytes(s), uint64_t{16} << 20);

  struct {
    int32_t bufsize;
    uint32_t expected;
  } buffers[] = {{1, 1u << 20}, {2047, 2146435072u}, {4095, 4293918720u}};
  for (const auto& r : buffers) {
    s.bufsize = r.bufsize;
    EXPECT_EQ(buffer_bytes(s), r.expected) << r.bufsize;
  }

  struct {
    uint32_t filesize;
    uint64_t expected;
  } files[] = {
      {1, 1048576},
      {4096, uint64_t{1} << 32},  // would be 0 in 32 bits
      {6500, uint64_t{6500} << 20},
      {4294967295u, uint64_t{4294967295u} << 20},
  };
  for (const auto& r : files) {
    s.filesize = r.filesize;
    EXPECT_EQ(file_bytes(s), r.expected) << r.filesize;
  }
}

TEST(FillThreadParams, CopiesTheNineFields) {
  RunSettings s;
  reset_run_settings(&s);
  s.filesize = 4294967295u;
  s.passes = -1;
  s.run_forever = true;
  s.random_fill = false;
  s.separate_buffers = true;
  s.sync_writes = true;
  s.open_flags |= O_DIRECT;
  ThreadParams p{};
  fill_thread_params(s, 499, &p);
  EXPECT_EQ(p.thread_index, 499);
  EXPECT_EQ(static_cast<uint32_t>(p.passes), 4294967295u);
  EXPECT_EQ(p.run_forever, 1);
  EXPECT_EQ(p.random_fill, 0);
  EXPECT_EQ(p.separate_buffers, 1);
  EXPECT_EQ(p.sync_writes, 1);
  EXPECT_EQ(p.open_flags, s.open_flags);
  EXPECT_NE(p.open_flags & O_DIRECT, 0);
  EXPECT_EQ(p.open_mode, 0600);
}

}  // namespace
}  // namespace iochurn
