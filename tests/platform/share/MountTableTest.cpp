#include <gtest/gtest.h>

#include <string>

#include "platform/share/MountTable.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::platform {
namespace {

// The layout of /proc/self/mountinfo, with the cases that matter: optional
// fields before the separator, escaped spaces, a bind mount of a folder
// inside a share, two mounts on one point, and lines that are not mounts.
constexpr const char* kSample =
    "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
    "30 22 8:2 / /home rw,relatime shared:2 - ext4 /dev/sda2 rw\n"
    "41 22 0:40 / /mnt/nas rw,relatime shared:20 master:3 - cifs //nas/updates rw,vers=3.1.1\n"
    "42 41 0:41 / /mnt/nas/archive rw - nfs4 backup:/export/archive rw\n"
    "43 22 0:42 / /mnt/with\\040space rw - cifs //nas/with\\040space\\134x rw\n"
    "44 22 0:40 /2024/office /srv/mirror rw - cifs //nas/updates rw\n"
    "45 22 8:17 / /mnt/stack rw - ext4 /dev/sdb1 rw\n"
    "46 45 0:46 / /mnt/stack rw - nfs nas:/stacked rw\n"
    "this is not a mount\n"
    "47 22 0:47 / relative rw - ext4 /dev/sdc1 rw\n"
    "48 22 0:48 / /mnt/short rw shared:9\n"
    "\n";

TEST(MountTable, ParsesMountinfoAndSkipsWhatIsNotAMount) {
  MountTable table = MountTable::Parse(kSample);
  ASSERT_EQ(table.Entries().size(), 8u);

  const MountTable::Entry& nas = table.Entries()[2];
  EXPECT_EQ(nas.mountPoint, "/mnt/nas");
  EXPECT_EQ(nas.fsType, "cifs") << "optional fields before '-' are skipped";
  EXPECT_EQ(nas.source, "//nas/updates");
  EXPECT_EQ(nas.root, "/");

  const MountTable::Entry& spaced = table.Entries()[4];
  EXPECT_EQ(spaced.mountPoint, "/mnt/with space");
  EXPECT_EQ(spaced.source, "//nas/with space\\x");

  EXPECT_EQ(table.Entries()[5].root, "/2024/office");
  EXPECT_TRUE(MountTable::Parse("").Entries().empty());
  EXPECT_TRUE(MountTable::Parse("1 2 3\n- - -\n").Entries().empty());
}

TEST(MountTable, FindsTheLongestMountOnAFolderBoundary) {
  MountTable table = MountTable::Parse(kSample);
  auto pointOf = [&](const char* path) {
    const MountTable::Entry* entry = table.Find(path);
    return entry == nullptr ? std::string("(none)") : entry->mountPoint;
  };
  EXPECT_EQ(pointOf("/mnt/nas/2024/x.cab"), "/mnt/nas");
  EXPECT_EQ(pointOf("/mnt/nas"), "/mnt/nas");
  EXPECT_EQ(pointOf("/mnt/nasty/x"), "/") << "a prefix that is not a whole folder name does not count";
  EXPECT_EQ(pointOf("/mnt/nas/archive/2019"), "/mnt/nas/archive");
  EXPECT_EQ(pointOf("/mnt/nas/archived"), "/mnt/nas");
  EXPECT_EQ(pointOf("/mnt/with space/a"), "/mnt/with space");
  EXPECT_EQ(pointOf("/"), "/");
  EXPECT_EQ(pointOf("relative/path"), "(none)");
  EXPECT_EQ(pointOf(""), "(none)");
  EXPECT_EQ(table.Find("/mnt/stack/x")->fsType, "nfs") << "the mount on top hides the one below";
  EXPECT_EQ(MountTable().Find("/x"), nullptr);
}

TEST(MountTable, NetworkNamesAndTypes) {
  MountTable table = MountTable::Parse(kSample);
  auto nameOf = [&](const char* path) { return MountTable::NetworkName(*table.Find(path), path); };
  EXPECT_EQ(nameOf("/mnt/nas/2024/x"), "//nas/updates/2024/x");
  EXPECT_EQ(nameOf("/mnt/nas"), "//nas/updates");
  EXPECT_EQ(nameOf("/mnt/nas/archive/2019"), "backup:/export/archive/2019");
  EXPECT_EQ(nameOf("/srv/mirror/a.cab"), "//nas/updates/2024/office/a.cab") << "a bind mount keeps its folder";
  EXPECT_EQ(nameOf("/mnt/with space/b"), "//nas/with space\\x/b");

  // a source that already ends in the mounted folder does not get it twice
  MountTable prefixed = MountTable::Parse(
      "50 22 0:50 /sub /mnt/p rw - cifs //nas/share/sub rw\n"
      "51 22 0:51 / /mnt/q rw - cifs //nas/share/ rw\n");
  EXPECT_EQ(MountTable::NetworkName(*prefixed.Find("/mnt/p/x"), "/mnt/p/x"), "//nas/share/sub/x");
  EXPECT_EQ(MountTable::NetworkName(*prefixed.Find("/mnt/q/x"), "/mnt/q/x"), "//nas/share/x");

  for (const char* type : {"cifs", "smb3", "nfs", "nfs4", "fuse.sshfs", "ceph"}) {
    EXPECT_TRUE(MountTable::IsNetworkType(type)) << type;
  }
  for (const char* type : {"ext4", "xfs", "tmpfs", "overlay", "fuse", "", "CIFS"}) {
    EXPECT_FALSE(MountTable::IsNetworkType(type)) << type;
  }
}

TEST(MountTable, ReadsTheTableOfThisProcess) {
  test::SandboxRoot root;
  MountTable table = MountTable::ReadCurrent();
  ASSERT_FALSE(table.Entries().empty());
  ASSERT_NE(table.Find("/"), nullptr);
  const MountTable::Entry* sandbox = table.Find(root.Path().string());
  ASSERT_NE(sandbox, nullptr);
  EXPECT_EQ(root.Path().string().rfind(sandbox->mountPoint, 0), 0u);
}

}  // namespace
}  // namespace qrv::platform
