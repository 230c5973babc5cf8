// The mount table as sample mountinfo texts give it, the mount that holds a
// path, and what each magic number is taken for.
#include "platform/fs_info.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/scratch_dir.h"

namespace iochurn {
namespace {

TEST(FsInfo, ParsesMountinfoLinesWithOptionalFieldsAndEscapes) {
  const char* text =
      "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw,errors=remount-ro\n"
      "35 22 0:31 / /mnt/my\\040disk rw master:2 propagate_from:1 - vfat "
      "/dev/sd\\134b1 rw,fmask=0022\n"
      "not a mount line\n"
      "40 22 0:40 / /no/dash rw shared:3 ext4 /dev/sdc1 rw\n"
      "41  22  0:41 /sub /bind  ro - tmpfs tmpfs\n"
      "42 22 0:42 / /last rw - xfs /dev/sdd1 rw";
  std::vector<MountEntry> m = parse_mountinfo(text);
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[0].dev_major, 8u);
  EXPECT_EQ(m[0].dev_minor, 1u);
  EXPECT_EQ(m[0].mount_point, "/");
  EXPECT_EQ(m[0].mount_options, "rw,relatime");
  EXPECT_EQ(m[0].fs_type, "ext4");
  EXPECT_EQ(m[0].source, "/dev/sda1");
  EXPECT_EQ(m[0].super_options, "rw,errors=remount-ro");
  // Two optional fields before the dash; escapes undone in point and source.
  EXPECT_EQ(m[1].mount_point, "/mnt/my disk");
  EXPECT_EQ(m[1].source, "/dev/sd\\b1");
  EXPECT_EQ(m[1].fs_type, "vfat");
  // Doubled spaces, a sub-tree root and no super options.
  EXPECT_EQ(m[2].root, "/sub");
  EXPECT_EQ(m[2].mount_point, "/bind");
  EXPECT_EQ(m[2].super_options, "");
  // The last line needs no newline.
  EXPECT_EQ(m[3].mount_point, "/last");
  EXPECT_TRUE(parse_mountinfo("").empty());
}

TEST(FsInfo, TheHoldingMountIsTheDevicesLongestPrefixAtAPathBoundary) {
  std::vector<MountEntry> m = parse_mountinfo(
      "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
      "2 1 8:2 / /data rw - xfs /dev/sdb1 rw\n"
      "3 1 8:2 /x /data/ab rw - xfs /dev/sdb1 rw\n"
      "4 1 8:2 / /data/a rw - xfs /dev/sdb1 rw\n"
      "5 1 8:3 / /elsewhere rw - xfs /dev/sdc1 rw\n");
  EXPECT_EQ(mount_holding(m, 8, 1, "/home/u"), 0);
  EXPECT_EQ(mount_holding(m, 8, 2, "/data/a/run"), 3);
  EXPECT_EQ(mount_holding(m, 8, 2, "/data/a"), 3);
  // "/data/ab" is no prefix of "/data/abc" at a boundary: "/data" holds it.
  EXPECT_EQ(mount_holding(m, 8, 2, "/data/abc"), 1);
  // The device's first entry when none of its mount points is a prefix
  // (the path seen through a mount namespace, say).
  EXPECT_EQ(mount_holding(m, 8, 3, "/somewhere/else"), 4);
  EXPECT_EQ(mount_holding(m, 9, 9, "/"), -1);
}

TEST(FsInfo, MagicNumbersNameTheirFileSystems) {
  EXPECT_STREQ(fs_type_name(0xEF53), "ext4");
  EXPECT_STREQ(fs_type_name(0x01021994), "tmpfs");
  EXPECT_EQ(fs_type_name(0x517B), nullptr);  // shared, but not named
  EXPECT_EQ(fs_type_name(0x1000000000000000ull | 0xEF53), nullptr);
  EXPECT_STREQ(shared_fs_name(0x517B), "CIFS/SMB");
  EXPECT_STREQ(shared_fs_name(static_cast<int32_t>(0xFE534D42)), "CIFS/SMB");
  EXPECT_STREQ(shared_fs_name(0x19830326), "BeeGFS");
  EXPECT_EQ(shared_fs_name(0x58465342), nullptr);  // xfs
  EXPECT_TRUE(memory_backed_fs(0x01021994));
  EXPECT_TRUE(memory_backed_fs(0x858458F6));
  EXPECT_FALSE(memory_backed_fs(0xEF53));
  EXPECT_FALSE(memory_backed_fs(0x12345));
}

TEST(FsInfo, ThisMachinesDirectoriesHaveAMountAndAType) {
  testing_support::ScratchDir dir;
  MountEntry mount;
  ASSERT_TRUE(find_mount(dir.path().c_str(), &mount));
  EXPECT_EQ(dir.path().compare(0, mount.mount_point.size(), mount.mount_point), 0)
      << mount.mount_point << " does not hold " << dir.path();
  EXPECT_FALSE(mount.fs_type.empty());
  EXPECT_FALSE(find_mount("/no/such/dir", &mount));
  int64_t magic = 0;
  EXPECT_EQ(fs_magic_of(dir.path().c_str(), &magic), 0);
  EXPECT_NE(magic, 0);
  EXPECT_EQ(fs_magic_of("/no/such/dir", &magic), ENOENT);
  std::string text;
  EXPECT_TRUE(read_text_file("/proc/self/mountinfo", &text));
  EXPECT_FALSE(parse_mountinfo(text.c_str()).empty());
  EXPECT_FALSE(read_text_file("/no/such/file", &text));
}

}  // namespace
}  // namespace iochurn
