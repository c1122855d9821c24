#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "tests/support/SandboxRoot.h"
#include "transfer/CQUpdateTransferFile.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;

tagSERVERINFO Setting(const std::string& path, const std::string& user = "", const std::string& password = "") {
  tagSERVERINFO info;
  info.type = kServerTypeNetwork;
  info.path = path;
  info.user = user;
  info.password = password;
  return info;
}

platform::MountTable LocalDisk() { return platform::MountTable::Parse("22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"); }

TEST(CQUpdateTransferFile, ConnectAnswersOneZeroOr147ForFolders) {
  test::SandboxRoot root;
  fs::create_directories(root / "mirror");
  fs::create_directories(root / "empty");
  fs::create_directories(root / "odd/qupdate_s.ini");
  test::WriteFile(root / "mirror/qupdate_s.ini", "[UPDATEINFOPATH]\n");

  CQUpdateTransferFile ready(Setting((root / "mirror").string() + "/"), LocalDisk());
  EXPECT_EQ(ready.Connect(), 1u) << ready.LastFailure();
  EXPECT_EQ(ready.NetworkName(), "");

  CQUpdateTransferFile empty(Setting((root / "empty").string()), LocalDisk());
  EXPECT_EQ(empty.Connect(), CQUpdateTransferFile::kConnectNoUpdateInfo);
  EXPECT_NE(empty.LastFailure().find("qupdate_s.ini"), std::string::npos) << empty.LastFailure();
  CQUpdateTransferFile odd(Setting((root / "odd").string()), LocalDisk());
  EXPECT_EQ(odd.Connect(), CQUpdateTransferFile::kConnectNoUpdateInfo) << "a folder named qupdate_s.ini is no file";

  // the logon fails: no folder, or a path that names no folder here (a drive letter)
  CQUpdateTransferFile missing(Setting((root / "gone").string()));
  EXPECT_EQ(missing.Connect(), 0u);
  EXPECT_EQ(missing.LogonResult(), platform::NetworkFolder::kBadNetName);
  EXPECT_NE(missing.LastFailure().find((root / "gone").string()), std::string::npos) << missing.LastFailure();
  for (const char* path : {"Q:\\updates", "updates", ""}) EXPECT_EQ(CQUpdateTransferFile(Setting(path)).Connect(), 0u);

  // once the file appears, the same transport connects
  test::WriteFile(root / "empty/qupdate_s.ini", "");
  EXPECT_EQ(empty.Connect(), 1u);
}

TEST(CQUpdateTransferFile, ConnectOnANetworkMountProceedsWithTheMountsCredentials) {
  test::SandboxRoot root;
  fs::create_directories(root / "nas/office");
  test::WriteFile(root / "nas/office/qupdate_s.ini", "");
  auto mounts = platform::MountTable::Parse("22 1 8:1 / / rw - ext4 /dev/sda1 rw\n41 22 0:40 / " +
                                            (root / "nas").string() + " rw - cifs //fs01/updates rw\n");
  CQUpdateTransferFile transport(Setting((root / "nas/office").string(), "QRV\\admin", "secret"), mounts);
  EXPECT_EQ(transport.Connect(), 1u) << transport.LastFailure();
  EXPECT_EQ(transport.LogonResult(), platform::NetworkFolder::kSessionCredentialConflict);
  EXPECT_EQ(transport.NetworkName(), "//fs01/updates/office");

  fs::remove(root / "nas/office/qupdate_s.ini");
  EXPECT_EQ(transport.Connect(), CQUpdateTransferFile::kConnectNoUpdateInfo);
}

TEST(CQUpdateTransferFile, DownloadCopiesFromTheFolder) {
  test::SandboxRoot root;
  fs::create_directories(root / "mirror/office");
  fs::create_directories(root / "mirror/folder.cab");
  fs::create_directories(root / "dl/office");
  test::WriteFile(root / "mirror/qupdate_s.ini", "[UPDATEINFOPATH]\nWriter=office\\writer.txt\n");
  test::WriteFile(root / "mirror/office/writer.cab", "cabinet");
  test::WriteFile(root / "secret.txt", "outside the mirror");
  std::string dl = (root / "dl").string();

  CQUpdateTransferFile transport(Setting((root / "mirror").string()));
  ASSERT_EQ(transport.Connect(), 1u) << transport.LastFailure();
  EXPECT_EQ(transport.GetUpdateInfoFile(dl), 1) << transport.LastFailure();
  EXPECT_EQ(test::ReadFile(root / "dl/qupdate_s.ini"), test::ReadFile(root / "mirror/qupdate_s.ini"));
  EXPECT_EQ(transport.DownloadFile(dl, "office\\writer.cab"), 1) << transport.LastFailure();
  EXPECT_EQ(test::ReadFile(root / "dl/office/writer.cab"), "cabinet");

  // a read-only copy from an earlier run is replaced
  chmod((root / "dl/office/writer.cab").c_str(), 0444);
  test::WriteFile(root / "mirror/office/writer.cab", "cabinet v2");
  EXPECT_EQ(transport.DownloadFile(dl + "/", "office/writer.cab"), 1) << transport.LastFailure();
  EXPECT_EQ(test::ReadFile(root / "dl/office/writer.cab"), "cabinet v2");

  // failures: a missing file, a folder, a subfolder missing in the download folder
  EXPECT_EQ(transport.DownloadFile(dl, "office\\missing.cab"), 0);
  EXPECT_NE(transport.LastFailure().find("missing.cab"), std::string::npos) << transport.LastFailure();
  EXPECT_EQ(transport.DownloadFile(dl, "folder.cab"), 0);
  fs::create_directories(root / "mirror/new");
  test::WriteFile(root / "mirror/new/file.cab", "x");
  EXPECT_EQ(transport.DownloadFile(dl, "new\\file.cab"), 0) << "the subfolder is not made";
  EXPECT_FALSE(fs::exists(root / "dl/new"));

  // names that would leave either folder are refused before anything is read
  EXPECT_EQ(transport.DownloadFile(dl, "..\\secret.txt"), 0);
  EXPECT_EQ(transport.DownloadFile(dl, (root / "secret.txt").string()), 0);
  EXPECT_EQ(test::ReadFile(root / "secret.txt"), "outside the mirror");

  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : fs::recursive_directory_iterator(root / "dl")) ++entries;
  EXPECT_EQ(entries, 3u) << "qupdate_s.ini, office, office/writer.cab: no partial files";
}

}  // namespace
}  // namespace qrv
