// Which names the sweep takes for leftovers, and which file systems for
// shared ones: a wrong answer deletes what it must not.
#include "startup/sweep.h"

#include <gtest/gtest.h>

#include "platform/fs_info.h"

namespace iochurn {
namespace {

TEST(Sweep, LeftoverNamesAreExactlyTheOnesARunGives) {
  struct {
    const char* name;
    int64_t pid;
  } rows[] = {
      {"123_0_0.DUMMY", 123}, {"4194304_499_99.DUMMY", 4194304},
      {"0_0_0.DUMMY", -1},    {"01_0_0.DUMMY", -1},
      {"12_00_0.DUMMY", -1},  {"1234567890_0_0.DUMMY", -1},
      {"+5_0_0.DUMMY", -1},   {"12_0_0.DUMMY.3.failed", -1},
      {"12_0_0.dummy", -1},   {"12_0_0.DUMMYX", -1},
      {"12_0.DUMMY", -1},     {"12_0_0_0.DUMMY", -1},
      {"12__0.DUMMY", -1},    {".DUMMY", -1},
  };
  for (const auto& r : rows) EXPECT_EQ(leftover_pid(r.name), r.pid) << r.name;
}

TEST(Sweep, SharedFileSystemsAreRecognised) {
  EXPECT_STREQ(shared_fs_name(0x6969), "NFS");
  EXPECT_STREQ(shared_fs_name(0x0BD00BD0), "Lustre");
  // statfs hands the CIFS magic over as a negative word.
  EXPECT_STREQ(shared_fs_name(static_cast<int32_t>(0xFF534D42)), "CIFS/SMB");
  EXPECT_EQ(shared_fs_name(0x01021994), nullptr);  // tmpfs
  EXPECT_EQ(shared_fs_name(0xEF53), nullptr);      // ext4
}

}  // namespace
}  // namespace iochurn
