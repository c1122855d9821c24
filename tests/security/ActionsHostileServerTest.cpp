// A hostile update server writes the product files: they are not signed, and
// their registry entries run as root. Whole runs against a loopback HTTP
// server show that such a file cannot repoint what decides where files go and
// whose signatures count, that its other actions still run, and that the
// refusal is reported.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "apply/CQUpdateActions.h"
#include "platform/registry/RegistryKey.h"
#include "platform/shell/Launcher.h"
#include "tests/apply/RecordingLauncher.h"
#include "tests/apply/ApplyFixtures.h"
#include "tests/e2e/E2eRunFixture.h"
#include "tests/support/CabinetFixtures.h"
#include "tests/support/DiagnosticsRecorder.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using platform::RegAccess;
using platform::RegistryKey;
using platform::RegStatus;
using test::ReadFile;

constexpr uint32_t kFinalizeError = 155;
const std::string kMainKey(CQUpdateUtilRegistry::kMainKey);
const std::string kWriterKey = kMainKey + "\\Writer";
const std::string kInfoKey(CQUpdateUtilRegistry::kInstallInfoKey);

using test::RecordingLauncher;

// One registry entry of a product file.
struct Entry {
  std::string root, key, name, value;
  int type;
};

std::string RegistryLines(const std::vector<Entry>& entries) {
  std::string text = "REGISTRYCOUNT=" + std::to_string(entries.size()) + "\n";
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::string n = "REGISTRY" + std::to_string(i);
    const Entry& e = entries[i];
    text += n + "ROOT=" + e.root + "\n" + n + "KEY=" + e.key + "\n" + n + "NAME=" + e.name + "\n" + n +
            "VALUE=" + e.value + "\n" + n + "TYPE=" + std::to_string(e.type) + "\n";
  }
  return text;
}

class ActionsHostileServerTest : public test::E2eRunFixture {
 protected:
  void SetUp() override {
    E2eRunFixture::SetUp();
    ASSERT_EQ(UseTransport(test::Transport::kHttp), "");
    m_oldLauncher = platform::Launcher::Install(m_launcher);
    Installed("Writer", "Qorvane Writer");
    // the installers' record of Writer, and a replacement already queued
    RegistryKey record, queued;
    ASSERT_EQ(RegistryKey::Create(platform::kRootLocalMachine, kInfoKey + "\\Writer", record), RegStatus::kOk);
    record.SetString("Path", Install("Writer").string() + "/");
    ASSERT_EQ(RegistryKey::Create(platform::kRootLocalMachine, kMainKey + "\\PendingReplace\\00000001", queued),
              RegStatus::kOk);
    queued.SetString("Target", (Install("Writer") / "main.bin").string());
  }
  void TearDown() override {
    platform::Launcher::Install(m_oldLauncher);
    E2eRunFixture::TearDown();
  }

  // Writer from level 5 to `level`, its cabinet signed by the maker.
  void ServeWriter(uint32_t level, const std::string& productFileBody) {
    const std::string v = std::to_string(level);
    Serve("qupdate_s.ini", "[VersionInfo]\nWriter=" + v + ".0\n[UpdateVersionInfo]\nWriter=" + v +
                               "\n[COUNT]\nWriter=1\n");
    ServeCabinet("writer.cab", {{"bin/Writer.exe", "writer program " + v}});
    Serve("Writer.ini", "[Writer]\nWriterCOUNT=1\nWriter0FILE=writer.cab\n" + productFileBody);
  }

  // The values a product file must not change, as they stand.
  std::vector<std::string> Protected() {
    std::vector<std::string> all;
    for (const auto& [key, names] : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {kMainKey, {"TrustAnchors", "DownloadPath", "ServerPath"}},
             {kWriterKey, {"ProductPath", "FilePath"}},
             {kMainKey + "\\PendingReplace\\00000001", {"Target", "Source"}},
             {kMainKey + "\\PendingReplace\\00000002", {"Source"}},
             {kInfoKey + "\\Writer", {"Path"}},
             {kInfoKey + "\\Draw", {"Path"}}}) {
      for (const std::string& name : names) {
        all.push_back(key + "!" + name + "=" + RegistryText(key, name).value_or("<none>"));
      }
    }
    return all;
  }

  std::shared_ptr<RecordingLauncher> m_launcher = std::make_shared<RecordingLauncher>();
  std::shared_ptr<platform::Launcher> m_oldLauncher;
  test::DiagnosticsRecorder m_diagnostics;
};

TEST_F(ActionsHostileServerTest, AProductFileCannotRepointTrustFoldersOrTheQueueAndItsOtherActionsRun) {
  const fs::path planted = m_root / "srv-planted";
  test::WriteFile(planted / "bin" / "Writer.exe", "the server's program");
  const std::vector<Entry> hostile = {
      {"2", "SOFTWARE\\QRV\\Shared\\QrvUpdate", "TrustAnchors", (m_root / "dl/evil.pem").string(), 1},
      {"0x2", "software\\qrv\\shared\\qrvupdate\\", "TRUSTANCHORS", "/srv/evil.pem", 1},
      {"2", "SOFTWARE/QRV/Shared/QrvUpdate", "DownloadPath", planted.string(), 1},
      {"2", "SOFTWARE\\\\QRV\\\\Shared\\\\QrvUpdate", "ServerPath", "http://evil.example/", 1},
      {"2", "SOFTWARE\\QRV\\Shared\\QrvUpdate", "UpdateRemainDest", "/etc", 1},
      {"2", "SOFTWARE\\QRV\\SHARED\\QRVUPDATE\\WRITER", "productpath", planted.string() + "/", 1},
      {"2", "SOFTWARE\\QRV\\Shared\\QrvUpdate\\Writer", "FilePath", (planted / "bin/Writer.exe").string(), 1},
      {"2", "SOFTWARE\\QRV\\Shared\\QrvUpdate\\Writer", "ProductVersion", "1", 4},
      {"2", "SOFTWARE\\QRV\\Shared\\QrvUpdate\\PendingReplace\\00000001", "Target", "/etc/passwd", 1},
      {"2", "Software\\Qrv\\Shared\\QrvUpdate\\pendingreplace\\00000002", "Source", "/srv/evil", 1},
      {"2", "SOFTWARE\\QRV\\Shared\\Install Information\\Writer", "Path", planted.string() + "/", 1},
      {"2", "SOFTWARE\\QRV\\Shared\\Install Information\\Draw\\", "Path", planted.string() + "/", 1},
  };
  std::vector<Entry> entries = hostile;
  entries.push_back({"2", kWriterKey, "Channel", "stable-7", 1});
  ServeWriter(7, RegistryLines(entries) +
                     "REMREGISTRYCOUNT=2\n"
                     "REMREGISTRY0ROOT=2\nREMREGISTRY0KEY=SOFTWARE\\QRV\\Shared\\QrvUpdate\n"
                     "REMREGISTRY0NAME=TrustAnchors\n"
                     "REMREGISTRY1ROOT=2\nREMREGISTRY1KEY=SOFTWARE\\QRV\\Shared\\Install Information\\Writer\n"
                     "REMREGISTRY1NAME=Path\n"
                     "SHORTCUTCOUNT=1\nSHORTCUT0DIR=1\nSHORTCUT0FILEPATH=bin\\Writer.exe\nSHORTCUT0NAME=Writer\n"
                     "EXECCOUNT=0\nEXEC0FILEPATH=bin\\Writer.exe\n");
  const std::vector<std::string> before = Protected();

  ASSERT_TRUE(RunAll({"Writer"}));

  EXPECT_EQ(Protected(), before);
  EXPECT_EQ(RegistryText(kMainKey, "UpdateRemainDest"), Install("Writer").string()) << "as the update set it";
  EXPECT_EQ(Version("Writer"), 7u) << "the level the update recorded, not the file's 1";
  EXPECT_EQ(RegistryText(kWriterKey, "Channel"), "stable-7") << "the product's own values are written";
  EXPECT_EQ(ReadFile(Install("Writer") / "bin" / "Writer.exe"), "writer program 7");

  // shortcut and program start point into the product's folder as it was
  const std::string program = (Install("Writer") / "bin" / "Writer.exe").string();
  const std::string shortcut = ReadFile(Desktop() / "Writer.desktop");
  EXPECT_NE(shortcut.find(program), std::string::npos) << shortcut;
  EXPECT_EQ(shortcut.find(planted.string()), std::string::npos) << shortcut;
  EXPECT_EQ(m_launcher->opened,
            (std::vector<std::pair<std::string, std::string>>{{program, (Install("Writer") / "bin").string()}}));

  // refused, said so, and the run still ends
  EXPECT_TRUE(m_diagnostics.Has("registry entry 1 of product Writer refused: root 2 (HKLM), key "
                                "\"software\\qrv\\shared\\qrvupdate\\\", value \"TRUSTANCHORS\""))
      << m_diagnostics.Text();
  EXPECT_TRUE(m_diagnostics.Has("registry removal entry 1 of product Writer refused"));
  EXPECT_EQ(CQUpdateActions::TakeRefusedCount(), 0u) << "the run took the count";
  EXPECT_NE(std::find(m_messages->shown.begin(), m_messages->shown.end(), kFinalizeError), m_messages->shown.end())
      << ::testing::PrintToString(m_messages->shown);
  EXPECT_EQ(State(), 0u);
}

// The attack this closes, in full: the first run points TrustAnchors at a
// file the server had the updater keep (qupdate_s.ini, with the server's own
// root certificate in it); the second run brings a cabinet signed under that
// root.
TEST_F(ActionsHostileServerTest, AServedFileNeverBecomesATrustAnchorForTheNextRun) {
  const fs::path served = Download() / "qupdate_s.ini";
  ServeWriter(6, RegistryLines({{"2", kMainKey, "TrustAnchors", served.string(), 1}}));
  // PEM readers skip the lines around a certificate, INI readers the certificate
  Serve("qupdate_s.ini", "[VersionInfo]\nWriter=6.0\n[UpdateVersionInfo]\nWriter=6\n[COUNT]\nWriter=1\n" +
                             ReadFile(m_fixtures / "untrusted-anchor.pem"));
  const std::string anchors = RegistryText(kMainKey, "TrustAnchors").value_or("");
  ASSERT_TRUE(RunAll({"Writer"}));
  ASSERT_EQ(Version("Writer"), 6u);
  EXPECT_EQ(RegistryText(kMainKey, "TrustAnchors"), anchors);

  // the second run: a cabinet signed by the server's own certificate
  NewProcess(0);
  m_messages->shown.clear();
  Serve("qupdate_s.ini", "[VersionInfo]\nWriter=7.0\n[UpdateVersionInfo]\nWriter=7\n[COUNT]\nWriter=1\n" +
                             ReadFile(m_fixtures / "untrusted-anchor.pem"));
  ASSERT_NO_FATAL_FAILURE(test::ApplyFixtures::MakeSignedCabinet(
      m_fixtures, m_root / "srv" / "writer.cab.new", {{"bin/Writer.exe", "the server's program"}}, "untrusted"));
  fs::rename(m_root / "srv" / "writer.cab.new", m_root / "srv" / "writer.cab");
  Serve("Writer.ini", "[Writer]\nWriterCOUNT=1\nWriter0FILE=writer.cab\n");

  ASSERT_TRUE(m_window->UpdatePrepare(0));
  std::vector<std::string> products{"Writer"};
  m_window->UpdateDownload(products);
  m_window->UpdateWait();
  m_window->UpdateCopyFile();
  m_window->UpdateFinalize();
  m_window->UpdateFinish(0);

  EXPECT_EQ(ReadFile(Install("Writer") / "bin" / "Writer.exe"), "writer program 6") << "never installed";
  EXPECT_EQ(Version("Writer"), 6u);
  EXPECT_EQ(RegistryText(kMainKey, "TrustAnchors"), anchors);

  // the control: had that anchor been trusted, the same cabinet would go in
  m_main.SetString("TrustAnchors", served.string());
  NewProcess(0);
  ASSERT_TRUE(RunAll({"Writer"}));
  EXPECT_EQ(ReadFile(Install("Writer") / "bin" / "Writer.exe"), "the server's program");
}

}  // namespace
}  // namespace qrv
