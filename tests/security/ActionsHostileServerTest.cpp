// A hostile server writes the product files: they are not signed, and their
// registry entries run as root. Whole runs against loopback HTTP show that
// such a file cannot repoint what decides where files go and whose signatures
// count, cannot make a product record that installs anywhere, and that every
// refusal is reported while the product's own actions still run.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "apply/CQUpdateActions.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/registry/RegistryKey.h"
#include "platform/shell/Launcher.h"
#include "tests/apply/ApplyFixtures.h"
#include "tests/apply/RecordingLauncher.h"
#include "tests/e2e/E2eRunFixture.h"
#include "tests/support/DiagnosticsRecorder.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using platform::RegistryKey;
using platform::RegStatus;
using test::ReadFile;

constexpr uint32_t kFinalizeError = 155;
const std::string kMainKey(CQUpdateUtilRegistry::kMainKey);
const std::string kWriterKey = kMainKey + "\\Writer";
const std::string kInfoKey(CQUpdateUtilRegistry::kInstallInfoKey);

// One registry entry of a product file.
struct Entry {
  std::string key, name, value;
  int type = 1;
  std::string root = "2";
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
    fs::create_directories(m_outside);
  }
  void TearDown() override {
    platform::Launcher::Install(m_oldLauncher);
    E2eRunFixture::TearDown();
  }

  // The served update information: each product at its level with one cabinet.
  void ServeLevels(const std::vector<std::pair<std::string, uint32_t>>& levels, const std::string& extra = "") {
    std::string versions = "[VersionInfo]\n", updates = "[UpdateVersionInfo]\n", counts = "[COUNT]\n";
    for (const auto& [product, level] : levels) {
      versions += product + "=" + std::to_string(level) + ".0\n";
      updates += product + "=" + std::to_string(level) + "\n";
      counts += product + "=1\n";
    }
    Serve("qupdate_s.ini", versions + updates + counts + extra);
  }
  // Writer at level, its cabinet (signed by the maker) at cabinet.
  void ServeWriter(uint32_t level, const std::string& body, const std::string& cabinet = "writer.cab") {
    ServeCabinet(cabinet, {{"bin/Writer.exe", "writer program " + std::to_string(level)}});
    Serve("Writer.ini", "[Writer]\nWriterCOUNT=1\nWriter0FILE=" + cabinet + "\n" + body);
  }
  // A genuinely signed cabinet of the maker offered for a fake product ('\'
  // as written, '/' as the store and the download folder would spell it).
  void ServeFake(const std::string& product) {
    ServeCabinet("fake.cab", {{"lib/preload.so", "a genuine file of the maker"}});
    std::string file = product;
    std::replace(file.begin(), file.end(), '\\', '/');
    Serve(file + ".ini", "[" + product + "]\n" + product + "COUNT=1\n" + product + "0FILE=fake.cab\n");
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
  // The names of the record values the store holds below key.
  std::vector<std::string> Record(const std::string& key) {
    std::vector<std::string> values;
    RegistryKey k;
    if (RegistryKey::Open(platform::kRootLocalMachine, key, platform::RegAccess::kRead, k) != RegStatus::kOk) {
      return values;
    }
    for (const char* name : {"Product", "ProductPath", "FilePath", "ProductVersion"}) {
      platform::RegValue v;
      if (k.Query(name, v) == RegStatus::kOk) values.push_back(name);
    }
    return values;
  }
  // A run as the window runs it, every phase even after a failure; the list
  // it offered.
  std::vector<std::string> RunWhatIsOffered() {
    NewProcess(0);
    if (!m_window->UpdatePrepare(0)) return {};
    std::vector<std::string> listed = m_window->Products();
    std::vector<std::string> products;
    for (const std::string& entry : listed) products.push_back(entry.substr(0, entry.rfind('=')));
    m_window->UpdateDownload(products);
    m_window->UpdateWait();
    m_window->UpdateCopyFile();
    m_window->UpdateFinalize();
    m_window->UpdateFinish(0);
    return listed;
  }

  const fs::path m_outside = m_root / "anywhere";
  std::shared_ptr<test::RecordingLauncher> m_launcher = std::make_shared<test::RecordingLauncher>();
  std::shared_ptr<platform::Launcher> m_oldLauncher;
  test::DiagnosticsRecorder m_diagnostics;
};

TEST_F(ActionsHostileServerTest, AProductFileCannotRepointTrustFoldersOrTheQueueAndItsOtherActionsRun) {
  RegistryKey record, queued;
  ASSERT_EQ(RegistryKey::Create(platform::kRootLocalMachine, kInfoKey + "\\Writer", record), RegStatus::kOk);
  record.SetString("Path", Install("Writer").string() + "/");
  ASSERT_EQ(RegistryKey::Create(platform::kRootLocalMachine, kMainKey + "\\PendingReplace\\00000001", queued),
            RegStatus::kOk);
  queued.SetString("Target", (Install("Writer") / "main.bin").string());
  const fs::path planted = m_root / "srv-planted";
  test::WriteFile(planted / "bin" / "Writer.exe", "the server's program");
  // every spelling of the protected keys: case, '/', doubled and trailing '\', hex root
  const std::vector<Entry> entries = {
      {"SOFTWARE\\QRV\\Shared\\QrvUpdate", "TrustAnchors", (m_root / "dl/evil.pem").string()},
      {"software\\qrv\\shared\\qrvupdate\\", "TRUSTANCHORS", "/srv/evil.pem", 1, "0x2"},
      {"SOFTWARE/QRV/Shared/QrvUpdate", "DownloadPath", planted.string()},
      {"SOFTWARE\\\\QRV\\\\Shared\\\\QrvUpdate", "ServerPath", "http://evil.example/"},
      {"SOFTWARE\\QRV\\Shared\\QrvUpdate", "UpdateRemainDest", "/etc"},
      {"SOFTWARE\\QRV\\SHARED\\QRVUPDATE\\WRITER", "productpath", planted.string() + "/"},
      {"SOFTWARE\\QRV\\Shared\\QrvUpdate\\Writer", "FilePath", (planted / "bin/Writer.exe").string()},
      {"SOFTWARE\\QRV\\Shared\\QrvUpdate\\Writer", "ProductVersion", "1", 4},
      {"SOFTWARE\\QRV\\Shared\\QrvUpdate\\PendingReplace\\00000001", "Target", "/etc/passwd"},
      {"Software\\Qrv\\Shared\\QrvUpdate\\pendingreplace\\00000002", "Source", "/srv/evil"},
      {"SOFTWARE\\QRV\\Shared\\Install Information\\Writer", "Path", planted.string() + "/"},
      {"SOFTWARE\\QRV\\Shared\\Install Information\\Draw\\", "Path", planted.string() + "/"},
      {kWriterKey, "Channel", "stable-7"},
  };
  ServeLevels({{"Writer", 7}});
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
  EXPECT_TRUE(m_diagnostics.Has("registry entry 1 of product Writer refused: root 2 (HKLM), key "
                                "\"software\\qrv\\shared\\qrvupdate\\\", value \"TRUSTANCHORS\""))
      << m_diagnostics.Text();
  EXPECT_TRUE(m_diagnostics.Has("registry removal entry 1 of product Writer refused"));
  EXPECT_EQ(CQUpdateActions::TakeRefusedCount(), 0u) << "the run took the count";
  EXPECT_NE(std::find(m_messages->shown.begin(), m_messages->shown.end(), kFinalizeError), m_messages->shown.end())
      << ::testing::PrintToString(m_messages->shown);
  EXPECT_EQ(State(), 0u);
}

// The first run points TrustAnchors at a file the updater keeps
// (qupdate_s.ini, with the server's root certificate in it: PEM readers skip
// the INI lines, INI readers the certificate); the second brings a cabinet
// signed under that root.
TEST_F(ActionsHostileServerTest, AServedFileNeverBecomesATrustAnchorForTheNextRun) {
  const fs::path served = Download() / "qupdate_s.ini";
  const std::string serverRoot = ReadFile(m_fixtures / "untrusted-anchor.pem");
  ServeLevels({{"Writer", 6}}, serverRoot);
  ServeWriter(6, RegistryLines({{kMainKey, "TrustAnchors", served.string()}}));
  const std::string anchors = RegistryText(kMainKey, "TrustAnchors").value_or("");
  ASSERT_TRUE(RunAll({"Writer"}));
  ASSERT_EQ(Version("Writer"), 6u);
  EXPECT_EQ(RegistryText(kMainKey, "TrustAnchors"), anchors);

  ServeLevels({{"Writer", 7}}, serverRoot);
  ASSERT_NO_FATAL_FAILURE(test::ApplyFixtures::MakeSignedCabinet(
      m_fixtures, m_root / "srv" / "writer.cab.new", {{"bin/Writer.exe", "the server's program"}}, "untrusted"));
  fs::rename(m_root / "srv" / "writer.cab.new", m_root / "srv" / "writer.cab");
  Serve("Writer.ini", "[Writer]\nWriterCOUNT=1\nWriter0FILE=writer.cab\n");
  EXPECT_EQ(RunWhatIsOffered(), std::vector<std::string>{"Writer=7.0"});
  EXPECT_EQ(ReadFile(Install("Writer") / "bin" / "Writer.exe"), "writer program 6") << "never installed";
  EXPECT_EQ(Version("Writer"), 6u);
  EXPECT_EQ(RegistryText(kMainKey, "TrustAnchors"), anchors);

  // the control: had that anchor been trusted, the same cabinet would go in
  m_main.SetString("TrustAnchors", served.string());
  NewProcess(0);
  ASSERT_TRUE(RunAll({"Writer"}));
  EXPECT_EQ(ReadFile(Install("Writer") / "bin" / "Writer.exe"), "the server's program");
}

// A fake record under a key the store takes as one name but a path reader as
// two ("WriterPlus/X"), or Writer's Product value pointed at a deeper key the
// server fills: the next run would unpack a maker-signed cabinet outside every
// installation folder. No such record is made. For the slash, Writer's
// cabinet in a sub-folder makes the download folder the fake's file needs.
TEST_F(ActionsHostileServerTest, NoProductRecordIsMadeThatInstallsOutsideTheProductFolders) {
  const std::string slashed = kMainKey + "\\WriterPlus/X", deeper = kMainKey + "\\QrvBase\\X";
  const std::string existing = (Install("Writer") / "main.bin").string();
  struct Case {
    std::string fakeKey, fakeProduct, writerCabinet, refusal;
    std::vector<Entry> entries;
  };
  const std::vector<Case> cases{
      {slashed, "WriterPlus/X", "WriterPlus/writer.cab", "key \"" + slashed + "\", value \"ProductPath\"",
       {{slashed, "Pidkey", "PID-X"},
        {slashed, "ProductName", "Qorvane Base"},
        {slashed, "Product", "WriterPlus/X"},
        {slashed, "ProductPath", m_outside.string() + "/"},
        {slashed, "FilePath", existing},
        {slashed, "ProductVersion", "0", 4}}},
      {deeper, "QrvBase\\X", "writer.cab", "value \"Product\": it is part of a product record",
       {{deeper, "ProductPath", m_outside.string() + "/"},
        {deeper, "FilePath", existing},
        {deeper, "ProductVersion", "0", 4},
        {kWriterKey, "Product", "QrvBase\\X"}}},
  };
  uint32_t level = 6;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fakeProduct);
    ServeLevels({{"Writer", level}});
    ServeWriter(level, RegistryLines(c.entries));
    NewProcess(0);
    ASSERT_TRUE(RunAll({"Writer"}));
    EXPECT_EQ(Version("Writer"), level);
    EXPECT_EQ(RegistryText(kWriterKey, "Product"), "Writer");
    EXPECT_EQ(Record(c.fakeKey), std::vector<std::string>{}) << "the record values were refused";
    EXPECT_TRUE(m_diagnostics.Has(c.refusal)) << m_diagnostics.Text();

    ++level;
    ServeLevels({{"Writer", level}, {c.fakeProduct, 1}});
    ServeWriter(level, "", c.writerCabinet);
    ServeFake(c.fakeProduct);
    EXPECT_EQ(RunWhatIsOffered(), std::vector<std::string>{"Writer=" + std::to_string(level) + ".0"});
    EXPECT_TRUE(fs::is_empty(m_outside)) << "nothing of the maker's lands outside";
    EXPECT_EQ(ReadFile(Install("Writer") / "bin" / "Writer.exe"), "writer program " + std::to_string(level))
        << "the real update still runs";
    ++level;
  }
}

// Records that got into the store some other way (an older updater, a
// careless installer) are skipped and named, whichever name is unusable.
TEST_F(ActionsHostileServerTest, RecordsFoundWithUnusableNamesAreSkippedAndNamed) {
  const std::string existing = (Install("Writer") / "main.bin").string();
  for (const auto& [keyName, product] : std::vector<std::pair<std::string, std::string>>{
           {"QrvBase/X", "QrvBase/X"}, {"Deep", "QrvBase\\X"}, {"QrvBase\\X", ""}, {"Dots", ".."},
           {"..", "Alias"},  // a usable Product value under an unusable key name
           {"Alias", ""}}) {
    RegistryKey key;
    ASSERT_EQ(m_main.CreateSubKey(keyName, key), RegStatus::kOk);
    if (!product.empty()) {
      key.SetString("Pidkey", "PID-" + product);
      key.SetString("ProductName", "Qorvane " + product);
      key.SetString("Product", product);
    }
    key.SetString("ProductPath", m_outside.string() + "/");
    key.SetString("FilePath", existing);
    key.SetDword("ProductVersion", 0);
  }
  ServeLevels({{"Writer", 6}, {"QrvBase/X", 1}, {"QrvBase\\X", 1}, {"..", 1}, {"Alias", 1}});
  ServeWriter(6, "");
  ServeFake("QrvBase/X");
  EXPECT_EQ(RunWhatIsOffered(), std::vector<std::string>{"Writer=6.0"});
  EXPECT_TRUE(fs::is_empty(m_outside));
  EXPECT_EQ(Version("Writer"), 6u);
  for (const std::string named : {"key name \"QrvBase/X\"", "Product value \"QrvBase\\X\"",
                                  "Product value \"..\"", "key name \"..\""}) {
    EXPECT_TRUE(m_diagnostics.HasTogether({"installed product skipped", named})) << named << "\n"
                                                                                 << m_diagnostics.Text();
  }
}

}  // namespace
}  // namespace qrv
