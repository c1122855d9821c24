#include "apply/CQUpdateActions.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "apply/UpdateFiles.h"
#include "apply/UpdateLog.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/core/Diagnostics.h"
#include "platform/registry/RegistryKey.h"
#include "platform/shell/Launcher.h"
#include "tests/apply/RecordingLauncher.h"
#include "tests/platform/shell/DesktopEntryReader.h"
#include "tests/support/SandboxRoot.h"

namespace qrv {
namespace {

using platform::RegAccess;
using platform::RegistryKey;
using platform::RegStatus;
using platform::RegValue;

using test::RecordingLauncher;

// A product file in the sandbox's download folder, a product with its
// installation folder, a home with a desktop, and recorders for diagnostics
// and opened files.
class CQUpdateActionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegistryKey::Create(platform::kRootLocalMachine, CQUpdateUtilRegistry::kMainKey, m_main),
              RegStatus::kOk);
    m_main.SetString("DownloadPath", m_root.Path().string());
    std::filesystem::create_directories(m_root / "QRVDownload");
    AddProduct("Writer", (m_root / "opt/Writer").string());

    const char* home = getenv("HOME");
    if (home != nullptr) m_oldHome = home;
    setenv("HOME", m_home.c_str(), 1);
    const char* config = getenv("XDG_CONFIG_HOME");
    if (config != nullptr) m_oldConfig = config;
    unsetenv("XDG_CONFIG_HOME");
    std::filesystem::create_directories(Desktop());

    m_previousSink = platform::Diagnostics::SetSink([this](std::string_view m) { m_reports.emplace_back(m); });
    m_previousLauncher = platform::Launcher::Install(m_launcher);
  }
  void TearDown() override {
    platform::Launcher::Install(m_previousLauncher);
    platform::Diagnostics::SetSink(m_previousSink);
    if (m_oldHome) setenv("HOME", m_oldHome->c_str(), 1);
    else unsetenv("HOME");
    if (m_oldConfig) setenv("XDG_CONFIG_HOME", m_oldConfig->c_str(), 1);
  }

  void AddProduct(const std::string& product, const std::string& installFolder) {
    RegistryKey key;
    ASSERT_EQ(m_main.CreateSubKey(product, key), RegStatus::kOk);
    key.SetString("ProductPath", installFolder);
  }
  void ProductFile(const std::string& product, const std::string& body) {
    test::WriteFile(m_root / ("QRVDownload/" + product + ".ini"), "[" + product + "]\n" + body);
  }
  std::filesystem::path Desktop() const { return m_root.Path().string() + m_home + "/Desktop"; }
  std::filesystem::path Menu() const { return m_root / "usr/local/share/applications"; }
  bool Reported(const std::string& part) const {
    for (const auto& r : m_reports) {
      if (r.find(part) != std::string::npos) return true;
    }
    return false;
  }
  std::optional<RegValue> Value(uint32_t root, const std::string& key, const std::string& name) {
    RegistryKey k;
    RegValue v;
    if (RegistryKey::Open(root, key, RegAccess::kRead, k) != RegStatus::kOk || k.Query(name, v) != RegStatus::kOk) {
      return std::nullopt;
    }
    return v;
  }

  test::SandboxRoot m_root;
  RegistryKey m_main;
  std::string m_home = "/home/ann";
  std::optional<std::string> m_oldHome, m_oldConfig;
  std::vector<std::string> m_reports;
  platform::Diagnostics::Sink m_previousSink;
  std::shared_ptr<RecordingLauncher> m_launcher = std::make_shared<RecordingLauncher>();
  std::shared_ptr<platform::Launcher> m_previousLauncher;
};

constexpr const char* kTestKey = "SOFTWARE\\QRV\\Test";

TEST_F(CQUpdateActionsTest, RegistryAdditionsWriteEachTypeAndStopAtAnUnknownOne) {
  EXPECT_EQ(CQUpdateActions::ApplyRegistryAdditions("Writer"), 1) << "no product file: nothing to do";
  std::string longText(300, 'v');
  ProductFile("Writer",
              "REGISTRYCOUNT=9\n"
              "REGISTRY0ROOT=2\nREGISTRY0KEY=SOFTWARE\\QRV\\Test\nREGISTRY0NAME=Text\n"
              "REGISTRY0VALUE=" + longText + "\nREGISTRY0TYPE=1\n"
              "REGISTRY1ROOT=2\nREGISTRY1KEY=SOFTWARE\\QRV\\Test\nREGISTRY1NAME=Count\nREGISTRY1VALUE=42abc\n"
              "REGISTRY1TYPE=4\n"
              "REGISTRY2ROOT=2\nREGISTRY2KEY=SOFTWARE\\QRV\\Test\nREGISTRY2NAME=Hex\nREGISTRY2VALUE=0x1A2b\n"
              "REGISTRY2TYPE=3\n"
              "REGISTRY3ROOT=2\nREGISTRY3KEY=SOFTWARE\\QRV\\Test\nREGISTRY3NAME=Dec\nREGISTRY3VALUE=258\n"
              "REGISTRY3TYPE=3\n"
              // a number into a missing key: not written, the list goes on
              "REGISTRY4ROOT=2\nREGISTRY4KEY=SOFTWARE\\QRV\\Missing\nREGISTRY4NAME=N\nREGISTRY4VALUE=1\n"
              "REGISTRY4TYPE=4\n"
              // no such root: refused by the registry, the list goes on
              "REGISTRY5ROOT=7\nREGISTRY5KEY=SOFTWARE\\QRV\\Test\nREGISTRY5NAME=Root7\nREGISTRY5VALUE=x\n"
              "REGISTRY5TYPE=1\n"
              "REGISTRY6ROOT=1\nREGISTRY6KEY=Software\\QRV\nREGISTRY6NAME=User\nREGISTRY6VALUE=u\nREGISTRY6TYPE=1\n"
              // type 2 is no type we write: the list stops here
              "REGISTRY7ROOT=2\nREGISTRY7KEY=SOFTWARE\\QRV\\Test\nREGISTRY7NAME=Expand\nREGISTRY7VALUE=%x%\n"
              "REGISTRY7TYPE=2\n"
              "REGISTRY8ROOT=2\nREGISTRY8KEY=SOFTWARE\\QRV\\Test\nREGISTRY8NAME=After\nREGISTRY8VALUE=a\n"
              "REGISTRY8TYPE=1\n");

  EXPECT_EQ(CQUpdateActions::ApplyRegistryAdditions("Writer"), 0);
  auto text = Value(2, kTestKey, "Text");
  ASSERT_TRUE(text);
  EXPECT_EQ(text->type, platform::kRegSz);
  EXPECT_EQ(text->AsString(), std::string(259, 'v')) << "values count 259 characters";
  auto count = Value(2, kTestKey, "count");
  ASSERT_TRUE(count);
  EXPECT_EQ(count->type, platform::kRegDword);
  EXPECT_EQ(count->AsDword(), 42u);
  auto hex = Value(2, kTestKey, "Hex");
  ASSERT_TRUE(hex);
  EXPECT_EQ(hex->type, platform::kRegBinary);
  EXPECT_EQ(hex->data, (std::vector<uint8_t>{0x2b, 0x1a, 0, 0}));
  auto dec = Value(2, kTestKey, "Dec");
  ASSERT_TRUE(dec);
  EXPECT_EQ(dec->data, (std::vector<uint8_t>{2, 1, 0, 0}));
  EXPECT_FALSE(Value(2, "SOFTWARE\\QRV\\Missing", "N")) << "numbers need an existing key";
  EXPECT_FALSE(Value(2, kTestKey, "Root7"));
  EXPECT_EQ(Value(1, "Software\\QRV", "User")->AsString(), "u") << "entries after a refused root still run";
  EXPECT_FALSE(Value(2, kTestKey, "Expand")) << "type 2 writes nothing";
  EXPECT_FALSE(Value(2, kTestKey, "After")) << "nothing after the unknown type";
  EXPECT_TRUE(Reported("unknown type 2")) << ::testing::PrintToString(m_reports);
}

TEST_F(CQUpdateActionsTest, RegistryRemovalsNeverFailAndIgnoreHugeCounts) {
  RegistryKey key;
  ASSERT_EQ(RegistryKey::Create(2, kTestKey, key), RegStatus::kOk);
  key.SetString("Old", "x");
  key.SetString("Keep", "y");
  ProductFile("Writer",
              "REMREGISTRYCOUNT=2000000000\n"
              "REMREGISTRY0ROOT=2\nREMREGISTRY0KEY=SOFTWARE\\QRV\\Test\nREMREGISTRY0NAME=old\n"
              "REMREGISTRY1ROOT=2\nREMREGISTRY1KEY=SOFTWARE\\QRV\\Nowhere\nREMREGISTRY1NAME=x\n"
              "REMREGISTRY2ROOT=9\nREMREGISTRY2KEY=SOFTWARE\\QRV\\Test\nREMREGISTRY2NAME=Keep\n"
              "REMREGISTRY3ROOT=2\nREMREGISTRY3KEY=SOFTWARE\\QRV\\Test\nREMREGISTRY3NAME=Absent\n");
  // a count of two billion must end at the last entry present (a run through
  // every index would hit the test's time-out)
  EXPECT_EQ(CQUpdateActions::ApplyRegistryRemovals("Writer"), 1);
  EXPECT_FALSE(Value(2, kTestKey, "Old"));
  EXPECT_TRUE(Value(2, kTestKey, "Keep")) << "root 9 names no root";
  ProductFile("Writer", "REMREGISTRYCOUNT=-5\n");
  EXPECT_EQ(CQUpdateActions::ApplyRegistryRemovals("Writer"), 1);
}

TEST_F(CQUpdateActionsTest, DesktopShortcutPointsIntoTheProductsFolder) {
  ProductFile("Writer",
              "SHORTCUTCOUNT=2\n"
              "SHORTCUT0DIR=1\nSHORTCUT0FILEPATH=Bin\\Writer.exe\nSHORTCUT0NAME=Writer\n"
              "SHORTCUT0DESC=Qorvane Writer\n"
              "SHORTCUT1DIR=0\nSHORTCUT1FILEPATH=Bin\\Tools\\My \"Q\" $Tool's.exe\nSHORTCUT1NAME=My Tool\n");
  ASSERT_EQ(CQUpdateActions::CreateShortcuts("Writer"), 1) << ::testing::PrintToString(m_reports);

  std::string bin = (m_root / "opt/Writer/Bin").string();
  auto writer = test::ReadEntry(test::ReadFile(Desktop() / "Writer.desktop"));
  EXPECT_EQ(test::SplitExec(writer["Exec"]), std::vector<std::string>{bin + "/Writer.exe"});
  EXPECT_EQ(writer["Path"], bin);
  EXPECT_EQ(writer["Name"], "Writer");
  EXPECT_EQ(writer["Comment"], "Qorvane Writer");
  EXPECT_EQ(writer["Type"], "Application");

  auto tool = test::ReadEntry(test::ReadFile(Menu() / "My Tool.desktop"));
  EXPECT_EQ(test::SplitExec(tool["Exec"]), std::vector<std::string>{bin + "/Tools/My \"Q\" $Tool's.exe"})
      << tool["Exec"];
  EXPECT_EQ(tool["Path"], bin + "/Tools");
  EXPECT_EQ(tool.count("Comment"), 0u);
}

TEST_F(CQUpdateActionsTest, BadShortcutEntriesStopOrAreSkipped) {
  // an entry that leaves the product is skipped; the ones after it still count
  ProductFile("Writer",
              "SHORTCUTCOUNT=4\n"
              "SHORTCUT0DIR=0\nSHORTCUT0FILEPATH=..\\..\\..\\etc\\passwd\nSHORTCUT0NAME=Escape\n"
              "SHORTCUT1DIR=0\nSHORTCUT1FILEPATH=/usr/bin/id\nSHORTCUT1NAME=Absolute\n"
              "SHORTCUT2DIR=0\nSHORTCUT2FILEPATH=Bin\\..\\Writer.exe\nSHORTCUT2NAME=Fine\n"
              "SHORTCUT3DIR=2\nSHORTCUT3FILEPATH=Bin\\Writer.exe\nSHORTCUT3NAME=..\\Start\n");
  EXPECT_EQ(CQUpdateActions::CreateShortcuts("Writer"), 1);
  EXPECT_FALSE(std::filesystem::exists(Menu() / "Escape.desktop"));
  EXPECT_FALSE(std::filesystem::exists(Menu() / "Absolute.desktop"));
  EXPECT_TRUE(std::filesystem::exists(Menu() / "Fine.desktop"));
  EXPECT_TRUE(std::filesystem::exists(Menu() / "..\\Start.desktop")) << "a backslash is an ordinary character";
  EXPECT_TRUE(Reported("etc/passwd")) << ::testing::PrintToString(m_reports);
  EXPECT_TRUE(Reported("/usr/bin/id"));

  // an unknown folder code or an impossible name stops the list
  ProductFile("Writer",
              "SHORTCUTCOUNT=2\n"
              "SHORTCUT0DIR=3\nSHORTCUT0FILEPATH=Bin\\Writer.exe\nSHORTCUT0NAME=Code3\n"
              "SHORTCUT1DIR=0\nSHORTCUT1FILEPATH=Bin\\Writer.exe\nSHORTCUT1NAME=AfterCode\n");
  EXPECT_EQ(CQUpdateActions::CreateShortcuts("Writer"), 0);
  EXPECT_FALSE(std::filesystem::exists(Menu() / "AfterCode.desktop"));
  ProductFile("Writer",
              "SHORTCUTCOUNT=2\n"
              "SHORTCUT0DIR=1\nSHORTCUT0FILEPATH=Bin\\Writer.exe\nSHORTCUT0NAME=sub/Writer\n"
              "SHORTCUT1DIR=0\nSHORTCUT1FILEPATH=Bin\\Writer.exe\nSHORTCUT1NAME=AfterName\n");
  EXPECT_EQ(CQUpdateActions::CreateShortcuts("Writer"), 0);
  EXPECT_FALSE(std::filesystem::exists(Menu() / "AfterName.desktop"));
  EXPECT_FALSE(std::filesystem::exists(Desktop() / "sub"));
  ProductFile("Writer", "SHORTCUTCOUNT=1\n");
  EXPECT_EQ(CQUpdateActions::CreateShortcuts("Writer"), 0) << "an entry without a name";

  // a product whose folder is unknown can have no shortcut, however many it lists
  AddProduct("Show", "");
  ProductFile("Show", "SHORTCUTCOUNT=2000000000\nSHORTCUT0DIR=0\nSHORTCUT0FILEPATH=Show\nSHORTCUT0NAME=Show\n");
  EXPECT_EQ(CQUpdateActions::CreateShortcuts("Show"), 0);
  EXPECT_FALSE(std::filesystem::exists(Menu() / "Show.desktop"));

  // no desktop folder: nothing to put the shortcut on, and no failure
  std::filesystem::remove_all(Desktop());
  EXPECT_EQ(CQUpdateActions::CreateShortcut(1, "/opt/x", "Writer", ""), 1);
  EXPECT_FALSE(std::filesystem::exists(Desktop()));
}

TEST_F(CQUpdateActionsTest, DeletingShortcutsSucceedsForAbsentOnesAndTouchesNothingElse) {
  ASSERT_EQ(CQUpdateActions::CreateShortcut(1, "/opt/w/Writer", "Writer", ""), 1);
  ASSERT_EQ(CQUpdateActions::CreateShortcut(2, "/opt/w/Writer", "Writer", ""), 1);
  test::WriteFile(Desktop().parent_path() / "victim.desktop", "keep");

  EXPECT_EQ(CQUpdateActions::DeleteShortcut(1, "Never Made"), 1);
  EXPECT_EQ(CQUpdateActions::DeleteShortcut(4, "Writer"), 0);
  EXPECT_EQ(CQUpdateActions::DeleteShortcut(1, "../victim"), 0);
  EXPECT_EQ(test::ReadFile(Desktop().parent_path() / "victim.desktop"), "keep");

  ProductFile("Writer",
              "DELSHORTCUTCOUNT=4\n"
              "DELSHORTCUT0DIR=7\nDELSHORTCUT0NAME=Writer\n"
              "DELSHORTCUT1DIR=1\nDELSHORTCUT1NAME=Writer\n"
              "DELSHORTCUT2DIR=1\nDELSHORTCUT2NAME=Absent\n"
              "DELSHORTCUT3DIR=0\nDELSHORTCUT3NAME=writer\n");
  EXPECT_EQ(CQUpdateActions::DeleteShortcuts("Writer"), 1);
  EXPECT_FALSE(std::filesystem::exists(Desktop() / "Writer.desktop")) << "entries after an unknown code still run";
  EXPECT_TRUE(std::filesystem::exists(Menu() / "Writer.desktop")) << "file names keep their case";
  EXPECT_EQ(test::ReadFile(Desktop().parent_path() / "victim.desktop"), "keep");
}

TEST_F(CQUpdateActionsTest, StartActionsOpenEachExistingFileOnceAcrossProducts) {
  AddProduct("Calc", (m_root / "opt/Writer/").string());  // shares Writer's folder
  AddProduct("Show", "");                                   // folder unknown
  std::string bin = (m_root / "opt/Writer/Bin").string();
  for (const char* name : {"Shared.exe", "Writer.exe", "Beyond.exe", "Calc.exe"}) {
    test::WriteFile(bin + "/" + name, "x");
  }
  test::WriteFile(m_root / "outside.exe", "x");
  ProductFile("Writer",
              "EXECCOUNT=1\nEXEC0FILEPATH=Bin\\Shared.exe\nEXEC1FILEPATH=Bin\\Writer.exe\n"
              "EXEC2FILEPATH=Bin\\Beyond.exe\n");
  ProductFile("Calc",
              "EXECCOUNT=5\nEXEC0FILEPATH=./Bin/Tools/../Shared.exe\nEXEC1FILEPATH=..\\..\\outside.exe\n"
              "EXEC2FILEPATH=" + (m_root / "outside.exe").string() + "\n"
              "EXEC3FILEPATH=Bin\\Missing.exe\nEXEC4FILEPATH=Bin\nEXEC5FILEPATH=Bin\\Calc.exe\n");
  ProductFile("Show", "EXECCOUNT=0\nEXEC0FILEPATH=Show.exe\n");
  UpdateLog::WriteLogProduct("Writer", 0);
  UpdateLog::WriteLogProduct("Calc", 1);
  UpdateLog::WriteLogProduct("Show", 2);
  UpdateLog::WriteLogCount("PRODUCTLIST", 3, UpdateLog::kCount);

  EXPECT_EQ(CQUpdateActions::RunStartActions(), 1);
  std::vector<std::pair<std::string, std::string>> expected = {
      {bin + "/Shared.exe", bin}, {bin + "/Writer.exe", bin}, {bin + "/Calc.exe", bin}};
  EXPECT_EQ(m_launcher->opened, expected);
  EXPECT_TRUE(Reported("outside.exe")) << ::testing::PrintToString(m_reports);
  EXPECT_TRUE(Reported("product Show is not known")) << "unknown installation folder is reported";

  m_launcher->opened.clear();
  UpdateLog::WriteLogCount("PRODUCTLIST", 0, UpdateLog::kCount);
  EXPECT_EQ(CQUpdateActions::RunStartActions(), 1);
  EXPECT_TRUE(m_launcher->opened.empty());
}

// A product file comes unsigned from the server: whatever it names, the
// values that decide where files go and whom we trust stay as they are,
// while its other entries run.
TEST_F(CQUpdateActionsTest, RegistryEntriesForTheUpdatersOwnValuesAreRefusedInEverySpelling) {
  const std::string writerKey = std::string(CQUpdateUtilRegistry::kMainKey) + "\\Writer";
  const std::string info = std::string(CQUpdateUtilRegistry::kInstallInfoKey) + "\\Writer";
  const std::string queue = std::string(CQUpdateUtilRegistry::kMainKey) + "\\PendingReplace\\00000001";
  m_main.SetString("TrustAnchors", "/etc/qrv/anchors.pem");
  {
    RegistryKey writer, record, entry;
    ASSERT_EQ(RegistryKey::Create(2, writerKey, writer), RegStatus::kOk);
    writer.SetString("FilePath", "/opt/Writer/main.bin");
    writer.SetDword("ProductVersion", 5);
    ASSERT_EQ(RegistryKey::Create(2, info, record), RegStatus::kOk);
    record.SetString("Path", "/opt/Writer/");
    ASSERT_EQ(RegistryKey::Create(2, queue, entry), RegStatus::kOk);
    entry.SetString("Target", "/opt/Writer/main.bin");
  }
  struct Entry {
    const char* root;
    std::string key;
    const char* name;
    const char* value;
    int type;
  };
  const std::vector<Entry> hostile = {
      {"2", "SOFTWARE\\QRV\\Shared\\QrvUpdate", "TrustAnchors", "/srv/evil.pem", 1},
      {"0x2", "software\\qrv\\shared\\QRVUPDATE\\", "trustanchors", "/srv/evil.pem", 1},
      {"+2", "SOFTWARE\\\\QRV\\Shared\\\\QrvUpdate", "TrustAnchors", "/srv/evil.pem", 1},
      {"2", "\\SOFTWARE/QRV/Shared/QrvUpdate//", "TRUSTANCHORS", "/srv/evil.pem", 1},
      {"0b10", "SOFTWARE\\QRV\\Shared\\QrvUpdate", "DownloadPath", "/tmp", 1},
      {"2", "SOFTWARE\\QRV\\Shared\\QrvUpdate\\writer", "PRODUCTPATH", "/srv/evil/", 1},
      {"2", "SOFTWARE\\QRV\\Shared\\QrvUpdate\\Writer\\", "FilePath", "/srv/evil/x", 1},
      {"2", "SOFTWARE\\QRV\\Shared\\QrvUpdate\\Writer", "ProductVersion", "1", 4},
      {"2", "SOFTWARE\\QRV\\Shared\\QrvUpdate\\Writer", "productversion_bak", "0x1", 3},
      {"2", "SOFTWARE\\QRV\\Shared\\QrvUpdate\\Calc", "ProductPath", "/srv/evil/", 1},
      {"2", "SOFTWARE\\QRV\\Shared\\QrvUpdate\\pendingreplace\\00000001", "Target", "/etc/passwd", 1},
      {"2", "SOFTWARE\\QRV\\Shared\\QrvUpdate\\PendingReplace\\00000099", "Source", "/srv/evil", 1},
      {"2", "SOFTWARE\\QRV\\Shared\\Install Information\\Writer", "Path", "/srv/evil/", 1},
      {"2", "software\\qrv\\shared\\install information\\Draw", "Path", "/srv/evil/", 1},
      {"2", "SOFTWARE\\QRV\\Shared\\QrvUpdate\\Writer\\Plugins", "ProductPath", "plugins/", 1},
  };
  const std::vector<Entry> allowed = {
      {"2", "SOFTWARE\\QRV\\Shared\\QrvUpdate\\Writer", "Channel", "stable", 1},
      {"1", "SOFTWARE\\QRV\\Shared\\QrvUpdate", "TrustAnchors", "per-user, never read", 1},
      {"2", "SOFTWARE\\QRV\\Shared\\QrvUpdateX", "TrustAnchors", "another key", 1},
  };
  std::string body;
  int i = 0;
  for (const std::vector<Entry>* list : {&hostile, &allowed}) {
    for (const Entry& e : *list) {
      std::string n = "REGISTRY" + std::to_string(i++);
      body += n + "ROOT=" + e.root + "\n" + n + "KEY=" + e.key + "\n" + n + "NAME=" + e.name + "\n" + n +
              "VALUE=" + e.value + "\n" + n + "TYPE=" + std::to_string(e.type) + "\n";
    }
  }
  body = "REGISTRYCOUNT=" + std::to_string(i) + "\n" + body;
  body += "REMREGISTRYCOUNT=4\n"
          "REMREGISTRY0ROOT=2\nREMREGISTRY0KEY=SOFTWARE\\QRV\\Shared\\QrvUpdate\nREMREGISTRY0NAME=TrustAnchors\n"
          "REMREGISTRY1ROOT=2\nREMREGISTRY1KEY=SOFTWARE\\QRV\\Shared\\QrvUpdate\\Writer\nREMREGISTRY1NAME=ProductPath\n"
          "REMREGISTRY2ROOT=2\nREMREGISTRY2KEY=SOFTWARE\\QRV\\Shared\\Install Information\\Writer\n"
          "REMREGISTRY2NAME=Path\n"
          "REMREGISTRY3ROOT=2\nREMREGISTRY3KEY=SOFTWARE\\QRV\\Shared\\QrvUpdate\\Writer\nREMREGISTRY3NAME=Old\n";
  ProductFile("Writer", body);
  {
    RegistryKey writer;
    ASSERT_EQ(RegistryKey::Open(2, writerKey, RegAccess::kAll, writer), RegStatus::kOk);
    writer.SetString("Old", "x");
  }
  EXPECT_EQ(CQUpdateActions::TakeRefusedCount(), 0u);

  EXPECT_EQ(CQUpdateActions::ApplyRegistryAdditions("Writer"), 1) << "refusals do not stop the list";
  EXPECT_EQ(CQUpdateActions::ApplyRegistryRemovals("Writer"), 1);
  EXPECT_EQ(CQUpdateActions::TakeRefusedCount(), hostile.size() + 3);
  EXPECT_EQ(CQUpdateActions::TakeRefusedCount(), 0u) << "taking the count resets it";

  const std::string main(CQUpdateUtilRegistry::kMainKey);
  EXPECT_EQ(Value(2, main, "TrustAnchors")->AsString(), "/etc/qrv/anchors.pem");
  EXPECT_EQ(Value(2, main, "DownloadPath")->AsString(), m_root.Path().string());
  EXPECT_EQ(Value(2, writerKey, "ProductPath")->AsString(), (m_root / "opt/Writer").string());
  EXPECT_EQ(Value(2, writerKey, "FilePath")->AsString(), "/opt/Writer/main.bin");
  EXPECT_EQ(Value(2, writerKey, "ProductVersion")->AsDword(), 5u);
  EXPECT_FALSE(Value(2, writerKey, "ProductVersion_Bak"));
  EXPECT_FALSE(Value(2, main + "\\Calc", "ProductPath"));
  EXPECT_EQ(Value(2, queue, "Target")->AsString(), "/opt/Writer/main.bin");
  EXPECT_FALSE(Value(2, main + "\\PendingReplace\\00000099", "Source"));
  EXPECT_EQ(Value(2, info, "Path")->AsString(), "/opt/Writer/");
  EXPECT_FALSE(Value(2, std::string(CQUpdateUtilRegistry::kInstallInfoKey) + "\\Draw", "Path"));

  EXPECT_EQ(Value(2, writerKey, "Channel")->AsString(), "stable") << "the product's other values are its own";
  EXPECT_FALSE(Value(2, writerKey + "\\Plugins", "ProductPath")) << "a record may be read from any depth";
  EXPECT_EQ(Value(1, main, "TrustAnchors")->AsString(), "per-user, never read");
  EXPECT_EQ(Value(2, "SOFTWARE\\QRV\\Shared\\QrvUpdateX", "TrustAnchors")->AsString(), "another key");
  EXPECT_FALSE(Value(2, writerKey, "Old")) << "an allowed removal still runs";

  // the administrator learns what was refused, with the product, root, key, value and reason
  EXPECT_TRUE(Reported("registry entry 1 of product Writer refused: root 2 (HKLM), key \"software\\qrv\\shared\\"
                       "QRVUPDATE\\\", value \"trustanchors\": it is a setting of the updater itself"))
      << ::testing::PrintToString(m_reports);
  EXPECT_TRUE(Reported("registry removal entry 2 of product Writer refused"));
  EXPECT_TRUE(Reported("installers' records"));
  EXPECT_TRUE(Reported("queue of replacements"));
}

// The check reads a key path exactly as the store does: '\\' is the only
// separator, so "QrvUpdate\\QrvBase/X" is a product key one level down (whose
// record values are protected) while "SOFTWARE/QRV/Shared/QrvUpdate" is an
// unrelated key at the root (which may be written). The values that choose a
// record's key are protected at every depth, whatever the key is called.
TEST_F(CQUpdateActionsTest, ProductRecordValuesAreProtectedWhereverTheStorePutsThem) {
  const std::string main(CQUpdateUtilRegistry::kMainKey);
  const std::string slashed = main + "\\QrvBase/X";
  struct Entry {
    std::string key, name, value;
    int type;
  };
  const std::vector<Entry> refused = {
      {slashed, "ProductPath", "/anywhere/", 1},
      {slashed, "filepath", "/anywhere/main.bin", 1},
      {slashed, "Product", "QrvBase/X", 1},
      {slashed, "ProductVersion", "0", 1},
      {main + "\\Writer", "PRODUCT", "QrvBase\\X", 1},
      {main + "\\QrvBase\\X", "ProductPath", "/anywhere/", 1},
      {main + "\\Writer\\a\\b\\c", "ProductVersion_Bak", "1", 1},
      {"\\" + main, "TrustAnchors", "/srv/evil.pem", 1},  // the store refuses the path; so do we
  };
  const std::vector<Entry> allowed = {
      {slashed, "Pidkey", "PID-X", 1},  // only sent to the server
      {slashed, "ProductName", "Qorvane Base", 1},
      {"SOFTWARE/QRV/Shared/QrvUpdate", "TrustAnchors", "a key at the root", 1},
      {main + "/", "TrustAnchors", "a sibling named QrvUpdate/", 1},
      {main + "\\Writer", "Products", "not Product", 1},
  };
  std::string body = "REGISTRYCOUNT=" + std::to_string(refused.size() + allowed.size()) + "\n";
  int i = 0;
  for (const std::vector<Entry>* list : {&refused, &allowed}) {
    for (const Entry& e : *list) {
      const std::string n = "REGISTRY" + std::to_string(i++);
      body += n + "ROOT=2\n" + n + "KEY=" + e.key + "\n" + n + "NAME=" + e.name + "\n" + n + "VALUE=" + e.value +
              "\n" + n + "TYPE=" + std::to_string(e.type) + "\n";
    }
  }
  body += "REMREGISTRYCOUNT=1\nREMREGISTRY0ROOT=2\nREMREGISTRY0KEY=" + main + "\\Writer\nREMREGISTRY0NAME=Product\n";
  ProductFile("Writer", body);
  {
    RegistryKey writer;
    ASSERT_EQ(m_main.OpenSubKey("Writer", RegAccess::kAll, writer), RegStatus::kOk);
    writer.SetString("Product", "Writer");
  }

  EXPECT_EQ(CQUpdateActions::ApplyRegistryAdditions("Writer"), 1);
  EXPECT_EQ(CQUpdateActions::ApplyRegistryRemovals("Writer"), 1);
  EXPECT_EQ(CQUpdateActions::TakeRefusedCount(), refused.size() + 1) << ::testing::PrintToString(m_reports);

  for (const char* name : {"ProductPath", "FilePath", "Product", "ProductVersion"}) {
    EXPECT_FALSE(Value(2, slashed, name)) << name;
  }
  EXPECT_EQ(Value(2, main + "\\Writer", "Product")->AsString(), "Writer");
  EXPECT_FALSE(Value(2, main + "\\QrvBase\\X", "ProductPath"));
  EXPECT_FALSE(Value(2, main + "\\Writer\\a\\b\\c", "ProductVersion_Bak"));
  EXPECT_FALSE(Value(2, main, "TrustAnchors"));

  EXPECT_EQ(Value(2, slashed, "Pidkey")->AsString(), "PID-X");
  EXPECT_EQ(Value(2, slashed, "ProductName")->AsString(), "Qorvane Base");
  EXPECT_EQ(Value(2, "SOFTWARE/QRV/Shared/QrvUpdate", "TrustAnchors")->AsString(), "a key at the root");
  EXPECT_EQ(Value(2, main + "/", "TrustAnchors")->AsString(), "a sibling named QrvUpdate/");
  EXPECT_EQ(Value(2, main + "\\Writer", "Products")->AsString(), "not Product");

  EXPECT_TRUE(Reported("registry entry 0 of product Writer refused: root 2 (HKLM), key \"" + slashed +
                       "\", value \"ProductPath\": it is part of a product record"))
      << ::testing::PrintToString(m_reports);
  EXPECT_TRUE(Reported("registry entry 7 of product Writer refused: root 2 (HKLM), key \"\\" + main +
                       "\", value \"TrustAnchors\": the key path is not one the store accepts (key path \"\\SOFTWARE"))
      << ::testing::PrintToString(m_reports);
  EXPECT_TRUE(Reported("registry removal entry 0 of product Writer refused"));
}

// Text a product file names is reported escaped: a key or value name with
// terminal sequences in it does not act on the administrator's terminal.
TEST_F(CQUpdateActionsTest, RefusalsShowTheProductFilesTextEscaped) {
  const std::string main(CQUpdateUtilRegistry::kMainKey);
  ProductFile("Writer", "REGISTRYCOUNT=1\nREGISTRY0ROOT=2\nREGISTRY0KEY=" + main +
                            "\\x\x1b]0;OWNED\x07\nREGISTRY0NAME=FilePath\nREGISTRY0VALUE=/x\nREGISTRY0TYPE=1\n");
  EXPECT_EQ(CQUpdateActions::ApplyRegistryAdditions("Writer"), 1);
  EXPECT_EQ(CQUpdateActions::TakeRefusedCount(), 1u);
  EXPECT_TRUE(Reported("key \"" + main + "\\x\\e]0;OWNED\\x07\", value \"FilePath\""))
      << ::testing::PrintToString(m_reports);
  for (const std::string& r : m_reports) EXPECT_EQ(r.find('\x1b'), std::string::npos) << r;
}

TEST_F(CQUpdateActionsTest, ShortcutsAndStartsGoWhereTheProductWasBeforeTheRegistryEntries) {
  const std::string before = (m_root / "opt/Writer").string();
  const std::string after = (m_root / "srv/planted").string();
  for (const std::string& folder : {before, after}) test::WriteFile(folder + "/Bin/Writer.exe", "x");
  ProductFile("Writer",
              "SHORTCUTCOUNT=1\nSHORTCUT0DIR=1\nSHORTCUT0FILEPATH=Bin\\Writer.exe\nSHORTCUT0NAME=Writer\n"
              "EXECCOUNT=0\nEXEC0FILEPATH=Bin\\Writer.exe\n");
  ProductFile("Calc", "EXECCOUNT=0\nEXEC0FILEPATH=Calc.exe\n");
  UpdateLog::WriteLogProduct("Writer", 0);
  UpdateLog::WriteLogProduct("Calc", 1);
  UpdateLog::WriteLogCount("PRODUCTLIST", 2, UpdateLog::kCount);

  const CQUpdateActions::InstallFolders folders = CQUpdateActions::ReadInstallFolders();
  EXPECT_EQ(folders, (CQUpdateActions::InstallFolders{{"Calc", ""}, {"Writer", before + "/"}}));
  // the record changes after the folders were taken (by whatever means)
  RegistryKey writer;
  ASSERT_EQ(m_main.OpenSubKey("Writer", RegAccess::kAll, writer), RegStatus::kOk);
  writer.SetString("ProductPath", after);

  ASSERT_EQ(CQUpdateActions::CreateShortcuts("Writer", folders), 1) << ::testing::PrintToString(m_reports);
  auto entry = test::ReadEntry(test::ReadFile(Desktop() / "Writer.desktop"));
  EXPECT_EQ(test::SplitExec(entry["Exec"]), std::vector<std::string>{before + "/Bin/Writer.exe"});
  EXPECT_EQ(CQUpdateActions::RunStartActions(folders), 1);
  EXPECT_EQ(m_launcher->opened, (std::vector<std::pair<std::string, std::string>>{
                                    {before + "/Bin/Writer.exe", before + "/Bin"}}));
  EXPECT_TRUE(Reported("product Calc is not known")) << ::testing::PrintToString(m_reports);

  // a product the folders do not hold has no known folder
  EXPECT_EQ(CQUpdateActions::CreateShortcuts("Writer", {}), 0);
}

}  // namespace
}  // namespace qrv
