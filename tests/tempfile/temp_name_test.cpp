// Temporary file names: what the workers build is what the readers take
// back, and nothing else is.
#include "tempfile/temp_name.h"

#include <gtest/gtest.h>

#include <string>

namespace iochurn {
namespace {

TEST(TempName, EveryBuiltNameParsesBackToItsNumbers) {
  struct {
    int pid, thread, slot;
  } rows[] = {{1, 0, 0}, {123, 0, 2}, {4194304, 499, 99}, {999999999, 10, 10}};
  for (const auto& r : rows) {
    char path[64];
    ASSERT_TRUE(build_temp_path(path, sizeof path, "/d", r.pid, r.thread, r.slot));
    TempName n{};
    ASSERT_TRUE(parse_temp_name(path + 3, &n)) << path;
    EXPECT_EQ(n.pid, r.pid);
    EXPECT_EQ(n.thread, r.thread);
    EXPECT_EQ(n.slot, r.slot);
  }
}

TEST(TempName, NamesNoWorkerBuildsAreRefusedAndLeaveTheResultAlone) {
  const char* refused[] = {
      "0_0_0.DUMMY",    "01_0_0.DUMMY",  "12_00_0.DUMMY", "12_0_07.DUMMY",
      "1234567890_0_0.DUMMY",            "12_1234567890_0.DUMMY",
      "-5_0_0.DUMMY",   "12_0_0.DUMMY.3.failed",        "12_0_0.dummy",
      "12_0.DUMMY",     "12_0_0_0.DUMMY", "12__0.DUMMY", "",
      "/d/12_0_0.DUMMY",
  };
  for (const char* name : refused) {
    TempName n{7, 8, 9};
    EXPECT_FALSE(parse_temp_name(name, &n)) << name;
    EXPECT_EQ(n.pid + n.thread + n.slot, 24) << name;
  }
}

}  // namespace
}  // namespace iochurn
