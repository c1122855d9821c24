#include "apply/CQUpdateActions.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "apply/UpdateFiles.h"
#include "apply/UpdateLog.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/registry/RegistryKey.h"
#include "platform/shell/Launcher.h"
#include "tests/apply/RecordingLauncher.h"
#include "tests/platform/shell/DesktopEntryReader.h"
#include "tests/support/DiagnosticsRecorder.h"
#include "tests/support/SandboxRoot.h"
#include "tests/support/ScopedEnv.h"

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
    std::filesystem::create_directories(Desktop());

    m_previousLauncher = platform::Launcher::Install(m_launcher);
  }
  void TearDown() override { platform::Launcher::Install(m_previousLauncher); }

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
  bool Reported(const std::string& part) const { return m_reports.Has(part); }
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
  test::ScopedEnv m_homeEnv{"HOME", m_home}, m_configEnv{"XDG_CONFIG_HOME", std::nullopt};
  test::DiagnosticsRecorder m_reports;
  std::shared_ptr<RecordingLauncher> m_launcher = std::make_shared<RecordingLauncher>();
  std::shared_ptr<platform::Launcher> m_previousLauncher;
};

constexpr const char* kTestKey = "SOFTWARE\\QRV\\Test";

struct Entry {
  std::string root, key, name, value;
  int type;
};
// REGISTRYCOUNT and the REGISTRYn lines of a product file for entries.
std::string RegistryLines(const std::vector<Entry>& entries) {
  std::string body = "REGISTRYCOUNT=" + std::to_string(entries.size()) + "\n";
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    const std::string n = "REGISTRY" + std::to_string(i);
    body += n + "ROOT=" + e.root + "\n" + n + "KEY=" + e.key + "\n" + n + "NAME=" + e.name + "\n" + n +
            "VALUE=" + e.value + "\n" + n + "TYPE=" + std::to_string(e.type) + "\n";
  }
  return body;
}

TEST_F(CQUpdateActionsTest, RegistryAdditionsWriteEachTypeAndStopAtAnUnknownOne) {
  EXPECT_EQ(CQUpdateActions::ApplyRegistryAdditions("Writer"), 1) << "no product file: nothing to do";
  ProductFile("Writer", RegistryLines({
                            {"2", kTestKey, "Text", std::string(300, 'v'), 1},
                            {"2", kTestKey, "Count", "42abc", 4},
                            {"2", kTestKey, "Hex", "0x1A2b", 3},
                            {"2", kTestKey, "Dec", "258", 3},
                            // a number into a missing key: not written, the list goes on
                            {"2", "SOFTWARE\\QRV\\Missing", "N", "1", 4},
                            // no such root: refused by the registry, the list goes on
                            {"7", kTestKey, "Root7", "x", 1},
                            {"1", "Software\\QRV", "User", "u", 1},
                            // type 2 is no type we write: the list stops here
                            {"2", kTestKey, "Expand", "%x%", 2},
                            {"2", kTestKey, "After", "a", 1},
                        }));

  EXPECT_EQ(CQUpdateActions::ApplyRegistryAdditions("Writer"), 0);
  // a value that is missing reads as type 0 with no data, so every check below fails for it
  const RegValue text = Value(2, kTestKey, "Text").value_or(RegValue{});
  EXPECT_EQ(text.type, platform::kRegSz);
  EXPECT_EQ(text.AsString(), std::string(259, 'v')) << "values count 259 characters";
  const RegValue count = Value(2, kTestKey, "count").value_or(RegValue{});
  EXPECT_EQ(count.type, platform::kRegDword);
  EXPECT_EQ(count.AsDword(), 42u);
  const RegValue hex = Value(2, kTestKey, "Hex").value_or(RegValue{});
  EXPECT_EQ(hex.type, platform::kRegBinary);
  EXPECT_EQ(hex.data, (std::vector<uint8_t>{0x2b, 0x1a, 0, 0}));
  EXPECT_EQ(Value(2, kTestKey, "Dec").value_or(RegValue{}).data, (std::vector<uint8_t>{2, 1, 0, 0}));
  EXPECT_FALSE(Value(2, "SOFTWARE\\QRV\\Missing", "N")) << "numbers need an existing key";
  EXPECT_FALSE(Value(2, kTestKey, "Root7"));
  EXPECT_EQ(Value(1, "Software\\QRV", "User")->AsString(), "u") << "entries after a refused root still run";
  EXPECT_FALSE(Value(2, kTestKey, "Expand")) << "type 2 writes nothing";
  EXPECT_FALSE(Value(2, kTestKey, "After")) << "nothing after the unknown type";
  EXPECT_TRUE(Reported("unknown type 2")) << m_reports.Text();
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
  ASSERT_EQ(CQUpdateActions::CreateShortcuts("Writer"), 1) << m_reports.Text();

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

// '=' is an ordinary character of a path; the Exec line quotes it with the
// others, escapes for the quoting and then for the value, and reads back as
// the very path. A control character has no safe spelling: refused.
TEST_F(CQUpdateActionsTest, ShortcutTargetsWithEqualsAndShellCharactersReadBackAndControlCharactersAreRefused) {
  const std::string root = m_root.Path().string();
  AddProduct("Calc", root + "/opt/Calc=2 $HOME 50%\\new");
  ProductFile("Writer", "SHORTCUTCOUNT=1\nSHORTCUT0DIR=0\nSHORTCUT0FILEPATH=Bin\\key=value.exe\nSHORTCUT0NAME=Eq\n");
  ProductFile("Calc", "SHORTCUTCOUNT=1\nSHORTCUT0DIR=0\nSHORTCUT0FILEPATH=Bin\\Calc.exe\nSHORTCUT0NAME=Calc\n");
  ASSERT_EQ(CQUpdateActions::CreateShortcuts("Writer"), 1) << m_reports.Text();
  ASSERT_EQ(CQUpdateActions::CreateShortcuts("Calc"), 1) << m_reports.Text();

  const std::string equals = root + "/opt/Writer/Bin/key=value.exe";
  const std::string text = test::ReadFile(Menu() / "Eq.desktop");
  EXPECT_NE(text.find("\nExec=\"" + equals + "\"\n"), std::string::npos) << text;
  EXPECT_EQ(test::SplitExec(test::ReadEntry(text)["Exec"]), std::vector<std::string>{equals});

  const std::string shell = root + "/opt/Calc=2 $HOME 50%\\new/Bin/Calc.exe";
  const std::string calc = test::ReadFile(Menu() / "Calc.desktop");
  // '$' and '\' escaped for the quoting, each backslash doubled for the value
  EXPECT_NE(calc.find("\nExec=\"" + root + "/opt/Calc=2 \\\\$HOME 50%%\\\\\\\\new/Bin/Calc.exe\"\n"),
            std::string::npos)
      << calc;
  auto keys = test::ReadEntry(calc);
  EXPECT_EQ(test::SplitExec(keys["Exec"]), std::vector<std::string>{shell}) << keys["Exec"];
  EXPECT_EQ(keys["Path"], root + "/opt/Calc=2 $HOME 50%\\new/Bin");

  AddProduct("Lines", root + "/opt/two\nlines");
  ProductFile("Lines", "SHORTCUTCOUNT=1\nSHORTCUT0DIR=0\nSHORTCUT0FILEPATH=Lines.exe\nSHORTCUT0NAME=Lines\n");
  ProductFile("Writer", "SHORTCUTCOUNT=2\nSHORTCUT0DIR=0\nSHORTCUT0FILEPATH=Bin\\\x01Writer.exe\nSHORTCUT0NAME=Ctl\n"
                        "SHORTCUT1DIR=0\nSHORTCUT1FILEPATH=Bin\\Writer.exe\nSHORTCUT1NAME=After\n");
  for (const char* product : {"Lines", "Writer"}) {
    SCOPED_TRACE(product);
    m_reports.Clear();
    EXPECT_EQ(CQUpdateActions::CreateShortcuts(product), 0);
    EXPECT_TRUE(Reported("control character")) << m_reports.Text();
  }
  EXPECT_FALSE(std::filesystem::exists(Menu() / "Lines.desktop"));
  EXPECT_FALSE(std::filesystem::exists(Menu() / "Ctl.desktop")) << "never written as Bin/Writer.exe";
  EXPECT_FALSE(std::filesystem::exists(Menu() / "After.desktop")) << "a failed entry stops the list";
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
  EXPECT_TRUE(Reported("etc/passwd")) << m_reports.Text();
  EXPECT_TRUE(Reported("/usr/bin/id"));

  // an unknown folder code or an impossible name stops the list
  for (const char* first : {"SHORTCUT0DIR=3\nSHORTCUT0NAME=Code3\n", "SHORTCUT0DIR=1\nSHORTCUT0NAME=sub/Writer\n"}) {
    SCOPED_TRACE(first);
    ProductFile("Writer", std::string("SHORTCUTCOUNT=2\nSHORTCUT0FILEPATH=Bin\\Writer.exe\n") + first +
                              "SHORTCUT1DIR=0\nSHORTCUT1FILEPATH=Bin\\Writer.exe\nSHORTCUT1NAME=After\n");
    EXPECT_EQ(CQUpdateActions::CreateShortcuts("Writer"), 0);
    EXPECT_FALSE(std::filesystem::exists(Menu() / "After.desktop"));
  }
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
  EXPECT_TRUE(Reported("outside.exe")) << m_reports.Text();
  EXPECT_TRUE(Reported("product Show is not known")) << "unknown installation folder is reported";

  m_launcher->opened.clear();
  UpdateLog::WriteLogCount("PRODUCTLIST", 0, UpdateLog::kCount);
  EXPECT_EQ(CQUpdateActions::RunStartActions(), 1);
  EXPECT_TRUE(m_launcher->opened.empty());
}

// A product file comes unsigned from the server: whatever it names, the
// values that decide where files go and whom we trust stay as they are,
// while its other entries run. A key path is read exactly as the store reads
// it: '\\' is the only separator, so "QrvUpdate\\QrvBase/X" is a product key
// one level down while "SOFTWARE/QRV/Shared/QrvUpdate" is an unrelated key at
// the root; the values that choose a record's key are protected at any depth.
TEST_F(CQUpdateActionsTest, RegistryEntriesForTheUpdatersOwnValuesAreRefusedInEverySpellingAndDepth) {
  const std::string main(CQUpdateUtilRegistry::kMainKey);
  const std::string writerKey = main + "\\Writer";
  const std::string info = std::string(CQUpdateUtilRegistry::kInstallInfoKey) + "\\Writer";
  const std::string queue = main + "\\PendingReplace\\00000001";
  const std::string slashed = main + "\\QrvBase/X";
  m_main.SetString("TrustAnchors", "/etc/qrv/anchors.pem");
  {
    RegistryKey writer, record, entry;
    ASSERT_EQ(RegistryKey::Create(2, writerKey, writer), RegStatus::kOk);
    writer.SetString("FilePath", "/opt/Writer/main.bin");
    writer.SetDword("ProductVersion", 5);
    writer.SetString("Product", "Writer");
    writer.SetString("Old", "x");
    ASSERT_EQ(RegistryKey::Create(2, info, record), RegStatus::kOk);
    record.SetString("Path", "/opt/Writer/");
    ASSERT_EQ(RegistryKey::Create(2, queue, entry), RegStatus::kOk);
    entry.SetString("Target", "/opt/Writer/main.bin");
  }
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
      {"2", slashed, "ProductPath", "/anywhere/", 1},
      {"2", slashed, "filepath", "/anywhere/main.bin", 1},
      {"2", slashed, "Product", "QrvBase/X", 1},
      {"2", slashed, "ProductVersion", "0", 1},
      {"2", writerKey, "PRODUCT", "QrvBase\\X", 1},
      {"2", main + "\\QrvBase\\X", "ProductPath", "/anywhere/", 1},
      {"2", writerKey + "\\a\\b\\c", "ProductVersion_Bak", "1", 1},
      {"2", "\\" + main, "TrustAnchors", "/srv/evil.pem", 1},  // the store refuses the path; so do we
  };
  const std::vector<Entry> allowed = {
      {"2", writerKey, "Channel", "stable", 1},
      {"1", main, "TrustAnchors", "per-user, never read", 1},
      {"2", main + "X", "TrustAnchors", "another key", 1},
      {"2", slashed, "Pidkey", "PID-X", 1},  // only sent to the server
      {"2", slashed, "ProductName", "Qorvane Base", 1},
      {"2", "SOFTWARE/QRV/Shared/QrvUpdate", "TrustAnchors", "a key at the root", 1},
      {"2", main + "/", "TrustAnchors", "a sibling named QrvUpdate/", 1},
      {"2", writerKey, "Products", "not Product", 1},
  };
  std::vector<Entry> all = hostile;
  all.insert(all.end(), allowed.begin(), allowed.end());
  const char* removals[][2] = {{"SOFTWARE\\QRV\\Shared\\QrvUpdate", "TrustAnchors"},
                               {"SOFTWARE\\QRV\\Shared\\QrvUpdate\\Writer", "ProductPath"},
                               {"SOFTWARE\\QRV\\Shared\\Install Information\\Writer", "Path"},
                               {"SOFTWARE\\QRV\\Shared\\QrvUpdate\\Writer", "Product"},
                               {"SOFTWARE\\QRV\\Shared\\QrvUpdate\\Writer", "Old"}};
  std::string body = RegistryLines(all) + "REMREGISTRYCOUNT=5\n";
  for (int i = 0; i < 5; ++i) {
    const std::string n = "REMREGISTRY" + std::to_string(i);
    body += n + "ROOT=2\n" + n + "KEY=" + removals[i][0] + "\n" + n + "NAME=" + removals[i][1] + "\n";
  }
  ProductFile("Writer", body);
  EXPECT_EQ(CQUpdateActions::TakeRefusedCount(), 0u);

  EXPECT_EQ(CQUpdateActions::ApplyRegistryAdditions("Writer"), 1) << "refusals do not stop the list";
  EXPECT_EQ(CQUpdateActions::ApplyRegistryRemovals("Writer"), 1);
  EXPECT_EQ(CQUpdateActions::TakeRefusedCount(), hostile.size() + 4) << m_reports.Text();
  EXPECT_EQ(CQUpdateActions::TakeRefusedCount(), 0u) << "taking the count resets it";

  EXPECT_EQ(Value(2, main, "TrustAnchors")->AsString(), "/etc/qrv/anchors.pem");
  EXPECT_EQ(Value(2, main, "DownloadPath")->AsString(), m_root.Path().string());
  EXPECT_EQ(Value(2, writerKey, "ProductPath")->AsString(), (m_root / "opt/Writer").string());
  EXPECT_EQ(Value(2, writerKey, "FilePath")->AsString(), "/opt/Writer/main.bin");
  EXPECT_EQ(Value(2, writerKey, "ProductVersion")->AsDword(), 5u);
  EXPECT_EQ(Value(2, writerKey, "Product")->AsString(), "Writer");
  EXPECT_FALSE(Value(2, writerKey, "ProductVersion_Bak"));
  EXPECT_FALSE(Value(2, main + "\\Calc", "ProductPath"));
  EXPECT_EQ(Value(2, queue, "Target")->AsString(), "/opt/Writer/main.bin");
  EXPECT_FALSE(Value(2, main + "\\PendingReplace\\00000099", "Source"));
  EXPECT_EQ(Value(2, info, "Path")->AsString(), "/opt/Writer/");
  EXPECT_FALSE(Value(2, std::string(CQUpdateUtilRegistry::kInstallInfoKey) + "\\Draw", "Path"));
  EXPECT_FALSE(Value(2, writerKey + "\\Plugins", "ProductPath"));
  for (const char* name : {"ProductPath", "FilePath", "Product", "ProductVersion"}) {
    EXPECT_FALSE(Value(2, slashed, name)) << name;
  }
  EXPECT_FALSE(Value(2, main + "\\QrvBase\\X", "ProductPath"));
  EXPECT_FALSE(Value(2, writerKey + "\\a\\b\\c", "ProductVersion_Bak"));

  for (const Entry& e : allowed) {
    auto value = Value(e.root == "1" ? 1 : 2, e.key, e.name);
    ASSERT_TRUE(value) << e.key << " " << e.name;
    EXPECT_EQ(value->AsString(), e.value) << e.key << " " << e.name;
  }
  EXPECT_FALSE(Value(2, writerKey, "Old")) << "an allowed removal still runs";

  // the administrator learns what was refused, with the product, root, key, value and reason
  EXPECT_TRUE(Reported("registry entry 1 of product Writer refused: root 2 (HKLM), key \"software\\qrv\\shared\\"
                       "QRVUPDATE\\\", value \"trustanchors\": it is a setting of the updater itself"))
      << m_reports.Text();
  EXPECT_TRUE(Reported("registry entry 15 of product Writer refused: root 2 (HKLM), key \"" + slashed +
                       "\", value \"ProductPath\": it is part of a product record"));
  EXPECT_TRUE(Reported("registry entry 22 of product Writer refused: root 2 (HKLM), key \"\\" + main +
                       "\", value \"TrustAnchors\": the key path is not one the store accepts (key path \"\\SOFTWARE"));
  EXPECT_TRUE(Reported("registry removal entry 2 of product Writer refused"));
  EXPECT_TRUE(Reported("installers' records"));
  EXPECT_TRUE(Reported("queue of replacements"));
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
      << m_reports.Text();
  EXPECT_FALSE(Reported("\x1b")) << m_reports.Text();
}

}  // namespace
}  // namespace qrv
