#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/core/MessageService.h"
#include "apply/ListedFilesDownload.h"
#include "apply/CQUpdateActions.h"
#include "apply/CQUpdateApplier.h"
#include "apply/UpdateFiles.h"
#include "platform/profile/ProfileFile.h"
#include "platform/registry/RegistryKey.h"
#include "platform/shell/ShellFolders.h"
#include "tests/support/DemoTreeFixture.h"
#include "tests/support/ProcessRunner.h"
#include "tests/support/RecordingMessages.h"
#include "tests/support/SandboxRoot.h"
#include "transfer/CQUpdateDownloadMgr.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using platform::ProfileFile;
using test::ReadFile;

// The demo's tree, served and applied by the updater's own parts.
class DemoTreeTest : public test::DemoTreeFixture {
 protected:
  std::string Info(const std::string& section, const std::string& product) const {
    return ProfileFile::GetString((Served() / "qupdate_s.ini").string(), section, product, "<none>");
  }
  test::ProcessResult Qrvctl(const std::vector<std::string>& args) const {
    std::vector<std::string> all{"--root", Root()};
    all.insert(all.end(), args.begin(), args.end());
    return test::RunProcess(QRVCTL_PATH, all);
  }
  // The cabinets a product file lists, over every feature the product has.
  std::vector<std::string> ListedFiles(const std::string& product, const std::vector<std::string>& features) const {
    const std::string file = (Served() / (product + ".ini")).string();
    std::vector<std::string> names;
    for (const std::string& feature : features) {
      const uint32_t count = ProfileFile::GetInt(file, product, feature + "COUNT", 0);
      for (uint32_t i = 0; i < count; ++i) {
        names.push_back(ProfileFile::GetString(file, product, feature + std::to_string(i) + "FILE", "-"));
      }
    }
    return names;
  }
};

TEST_F(DemoTreeTest, TheTreeIsConsistentServedOnlyBelowUpdatesAndEveryCabinetIsAccepted) {
  // What qupdate_s.ini promises, the product files keep.
  const std::vector<std::pair<std::string, std::vector<std::string>>> products{
      {"QrvBase", {"QrvBase"}}, {"QrvWriter", {"QrvWriter", "Spell"}}};
  std::vector<std::string> cabinets;
  for (const auto& [product, features] : products) {
    SCOPED_TRACE(product);
    EXPECT_EQ(Info("UpdateVersionInfo", product), "2");
    const std::vector<std::string> listed = ListedFiles(product, features);
    EXPECT_EQ(Info("COUNT", product), std::to_string(listed.size()));
    EXPECT_TRUE(fs::is_regular_file(Served() / Info("UPDATEINFOPATH", product)));
    const std::string file = (Served() / (product + ".ini")).string();
    EXPECT_EQ(ProfileFile::GetInt(file, product, "EXECCOUNT", -1), static_cast<uint32_t>(-1)) << "no program starts";
    for (std::string name : listed) {
      EXPECT_TRUE(UpdateFiles::IsCabinetName(name)) << name;
      std::replace(name.begin(), name.end(), '\\', '/');
      EXPECT_TRUE(fs::is_regular_file(Served() / name)) << name;
      cabinets.push_back(name);
    }
  }
  EXPECT_EQ(cabinets.size(), 3u);
  EXPECT_EQ(Info("UpdateDependency", "QrvWriter"), "QrvBase");
  EXPECT_EQ(Info("UpdateDependency", "QrvBase"), "<none>");

  // Fetched through the service endpoint with the sandbox's settings, and
  // accepted both with the anchors named and through TrustAnchors alone.
  const fs::path fetched = m_root / "fetched";
  fs::create_directories(fetched);
  test::ProcessResult info = Qrvctl({"fetch", "qupdate_s.ini", fetched.string()});
  EXPECT_EQ(info.exitCode, 0) << info.out << info.err;
  EXPECT_EQ(ReadFile(fetched / "qupdate_s.ini"), ReadFile(Served() / "qupdate_s.ini"));
  for (const std::string& cabinet : cabinets) {
    SCOPED_TRACE(cabinet);
    fs::create_directories((fetched / cabinet).parent_path());
    test::ProcessResult got = Qrvctl({"fetch", cabinet, fetched.string()});
    ASSERT_EQ(got.exitCode, 0) << got.out << got.err;
    EXPECT_EQ(ReadFile(fetched / cabinet), ReadFile(Served() / cabinet));
    test::ProcessResult named =
        Qrvctl({"verify", "--anchors", (m_out / "anchors.pem").string(), (fetched / cabinet).string()});
    EXPECT_EQ(named.exitCode, 0) << named.out << named.err;
    EXPECT_NE(named.out.find("CN=\"QORVANE. INC, Ltd\""), std::string::npos) << named.out;
    EXPECT_NE(named.out.find("accepted"), std::string::npos) << named.out;
    test::ProcessResult trusted = Qrvctl({"verify", (fetched / cabinet).string()});
    EXPECT_EQ(trusted.exitCode, 0) << trusted.out << trusted.err;
  }

  // The service names the files' location for any product; nothing outside
  // updates/ (the CA's and the maker's keys lie next to it) is ever served.
  const int port = m_server->Port();
  std::string body, error;
  EXPECT_EQ(test::DemoTreeGet(port, "/x/AUpdate70.jsp?product=QrvWriter&pidkey=&productversion=1", body, error), 200)
      << error;
  EXPECT_NE(body.find("<$URL_DOWNLOAD$>http://127.0.0.1:" + std::to_string(port) + "/updates/<$/URL_DOWNLOAD$>"),
            std::string::npos)
      << body;
  for (const char* escape : {"/updates/../pki/maker.key", "/updates/%2e%2e/pki/maker.key",
                                    "/updates/QrvWriter/..%2f..%2fpki/ca.key", "/pki/maker.key", "/anchors.pem",
                                    "/updates/QrvWriter/missing.cab"}) {
    SCOPED_TRACE(escape);
    EXPECT_EQ(test::DemoTreeGet(port, escape, body, error), 404) << error;
    EXPECT_EQ(body.find("PRIVATE KEY"), std::string::npos);
  }
}

// The whole run of the demo is QrvupdateConsoleTest's; here the parts that
// finish it: the demo's registry entries and shortcut land in the sandbox.
TEST_F(DemoTreeTest, TheAppliedTreesActionsStayInsideTheSandbox) {
  auto messages = std::make_shared<test::RecordingMessages>();
  platform::MessageService::Install(messages);
  CQUpdateDownloadMgr manager;
  EXPECT_EQ(manager.Connect(), 1u);
  ASSERT_FALSE(manager.GetUpdateInfo().empty());
  std::vector<std::string> products{"QrvBase", "QrvWriter"};
  ASSERT_EQ(ListedFilesDownload(manager.Transport()).DownloadUpdateFiles(manager, products), DownloadResult::kDone);
  EXPECT_EQ(ProfileFile::GetString(UpdateFiles::LogPath(), "Spell", "FILE0", ""), "QrvWriter\\spell.cab")
      << "the feature comes from the registry subkey the sandbox installed";
  CQUpdateApplier applier;
  ASSERT_EQ(applier.ApplyUpdates(), CopyResult::kDone);
  EXPECT_EQ(ReadFile(Installed("QrvBase") / "lib/qrvbase.conf"), "level=2\n") << "a level-1 file is replaced";
  EXPECT_EQ(applier.Commit(), 1);

  for (const std::string product : {"QrvBase", "QrvWriter"}) {
    SCOPED_TRACE(product);
    EXPECT_EQ(CQUpdateActions::ApplyRegistryAdditions(product), 1);
    EXPECT_EQ(CQUpdateActions::CreateShortcuts(product), 1);
    platform::RegistryKey demo;
    platform::RegValue version;
    ASSERT_EQ(platform::RegistryKey::Open(platform::kRootLocalMachine, "SOFTWARE\\QRV\\Demo\\" + product,
                                          platform::RegAccess::kRead, demo),
              platform::RegStatus::kOk);
    ASSERT_EQ(demo.Query("Version", version), platform::RegStatus::kOk);
    EXPECT_EQ(version.AsString(), "2");
  }
  const fs::path shortcut = fs::path(platform::ShellFolders::ApplicationsFolder()) / "Qorvane Writer (demo).desktop";
  ASSERT_TRUE(fs::is_regular_file(shortcut)) << shortcut;
  EXPECT_EQ(shortcut.string().rfind(Root(), 0), 0u) << "the shortcut must stay inside the sandbox";
  const std::string entry = ReadFile(shortcut);
  EXPECT_NE(entry.find((Installed("QrvWriter") / "Bin/qrvwriter").string()), std::string::npos) << entry;
  EXPECT_TRUE(messages->shown.empty()) << "first message: " << messages->shown.front();
  platform::MessageService::Install(nullptr);
}

}  // namespace
}  // namespace qrv
