// A hostile update server's product file tries to make the updater believe in
// a product that lives where the server wants: a record under a key name the
// store takes as one name but a path reader takes as two ("WriterPlus/X"), or a
// real product's Product value pointed at a deeper key it fills itself. The
// next run would then unpack a genuinely signed cabinet of the maker outside
// every installation folder. Whole runs against a loopback HTTP server show
// that no such record is ever made, and that one found in the store anyway is
// skipped and named.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "config/CQUpdateUtilRegistry.h"
#include "platform/registry/RegistryKey.h"
#include "tests/e2e/E2eRunFixture.h"
#include "tests/support/DiagnosticsRecorder.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using platform::RegistryKey;
using platform::RegStatus;
using test::ReadFile;

const std::string kMainKey(CQUpdateUtilRegistry::kMainKey);

// The product file lines of registry entries below HKLM, each {key, name, value, type}.
std::string RegistryLines(const std::vector<std::vector<std::string>>& entries) {
  std::string text = "REGISTRYCOUNT=" + std::to_string(entries.size()) + "\n";
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::string n = "REGISTRY" + std::to_string(i);
    text += n + "ROOT=2\n" + n + "KEY=" + entries[i][0] + "\n" + n + "NAME=" + entries[i][1] + "\n" + n +
            "VALUE=" + entries[i][2] + "\n" + n + "TYPE=" + entries[i][3] + "\n";
  }
  return text;
}

class ActionsProductRecordTest : public test::E2eRunFixture {
 protected:
  void SetUp() override {
    E2eRunFixture::SetUp();
    ASSERT_EQ(UseTransport(test::Transport::kHttp), "");
    Installed("Writer", "Qorvane Writer");
    fs::create_directories(m_outside);
  }

  // The served update information: each product at its level with one cabinet.
  void ServeLevels(const std::vector<std::pair<std::string, uint32_t>>& levels) {
    std::string versions = "[VersionInfo]\n", updates = "[UpdateVersionInfo]\n", counts = "[COUNT]\n";
    for (const auto& [product, level] : levels) {
      versions += product + "=" + std::to_string(level) + ".0\n";
      updates += product + "=" + std::to_string(level) + "\n";
      counts += product + "=1\n";
    }
    Serve("qupdate_s.ini", versions + updates + counts);
  }

  // Writer at level, its product file with body and its cabinet at cabinet.
  void ServeWriter(uint32_t level, const std::string& body, const std::string& cabinet = "writer.cab") {
    ServeCabinet(cabinet, {{"bin/Writer.exe", "writer program " + std::to_string(level)}});
    Serve("Writer.ini", "[Writer]\nWriterCOUNT=1\nWriter0FILE=" + cabinet + "\n" + body);
  }

  // A genuinely signed cabinet of the maker, offered for the fake product
  // (the server's product file names it; '\' as written, '/' as the store and
  // the download folder would spell it).
  void ServeFake(const std::string& product) {
    ServeCabinet("fake.cab", {{"lib/preload.so", "a genuine file of the maker"}});
    std::string file = product;
    std::replace(file.begin(), file.end(), '\\', '/');
    Serve(file + ".ini", "[" + product + "]\n" + product + "COUNT=1\n" + product + "0FILE=fake.cab\n");
  }

  // Every value of a record the server tried to make, as the store holds it.
  std::vector<std::string> Record(const std::string& key) {
    std::vector<std::string> values;
    for (const char* name : {"Product", "ProductPath", "FilePath", "ProductVersion"}) {
      RegistryKey k;
      platform::RegValue v;
      if (RegistryKey::Open(platform::kRootLocalMachine, key, platform::RegAccess::kRead, k) == RegStatus::kOk &&
          k.Query(name, v) == RegStatus::kOk) {
        values.push_back(name);
      }
    }
    return values;
  }

  // The second run, as the window runs it, with every product the list shows.
  std::vector<std::string> SecondRun() {
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
  test::DiagnosticsRecorder m_diagnostics;
};

// The whole attack: the fake product sorts after Writer, and Writer's cabinet
// in a sub-folder of the server makes the download folder that the fake
// product's file name needs; its signed cabinet would then be unpacked into
// the folder the fake record names.
TEST_F(ActionsProductRecordTest, AKeyNamedWithASlashNeverBecomesAProductThatInstallsAnywhere) {
  const std::string fake = kMainKey + "\\WriterPlus/X";
  const std::string existing = (Install("Writer") / "main.bin").string();
  ServeLevels({{"Writer", 7}});
  ServeWriter(7, RegistryLines({{fake, "Pidkey", "PID-X", "1"},
                                {fake, "ProductName", "Qorvane Base", "1"},
                                {fake, "Product", "WriterPlus/X", "1"},
                                {fake, "ProductPath", m_outside.string() + "/", "1"},
                                {fake, "FilePath", existing, "1"},
                                {fake, "ProductVersion", "0", "4"}}));
  ASSERT_TRUE(RunAll({"Writer"}));
  EXPECT_EQ(Version("Writer"), 7u);
  EXPECT_EQ(Record(fake), std::vector<std::string>{}) << "the record values were refused";
  EXPECT_TRUE(m_diagnostics.Has("key \"" + fake + "\", value \"ProductPath\"")) << m_diagnostics.Text();

  ServeLevels({{"Writer", 8}, {"WriterPlus/X", 1}});
  ServeWriter(8, "", "WriterPlus/writer.cab");
  ServeFake("WriterPlus/X");
  EXPECT_EQ(SecondRun(), std::vector<std::string>{"Writer=8.0"});
  EXPECT_TRUE(fs::is_empty(m_outside)) << "nothing of the maker's lands outside";
  EXPECT_EQ(ReadFile(Install("Writer") / "bin" / "Writer.exe"), "writer program 8") << "the real update still runs";
}

TEST_F(ActionsProductRecordTest, AProductValueCannotSendAProductToADeeperKey) {
  const std::string deeper = kMainKey + "\\QrvBase\\X";
  const std::string existing = (Install("Writer") / "main.bin").string();
  ServeLevels({{"Writer", 7}});
  ServeWriter(7, RegistryLines({{deeper, "ProductPath", m_outside.string() + "/", "1"},
                                {deeper, "FilePath", existing, "1"},
                                {deeper, "ProductVersion", "0", "4"},
                                {kMainKey + "\\Writer", "Product", "QrvBase\\X", "1"}}));
  ASSERT_TRUE(RunAll({"Writer"}));
  EXPECT_EQ(RegistryText(kMainKey + "\\Writer", "Product"), "Writer");
  EXPECT_EQ(Record(deeper), std::vector<std::string>{});
  EXPECT_TRUE(m_diagnostics.Has("value \"Product\": it is part of a product record")) << m_diagnostics.Text();

  ServeLevels({{"Writer", 8}, {"QrvBase\\X", 1}});
  ServeWriter(8, "");
  ServeFake("QrvBase\\X");
  EXPECT_EQ(SecondRun(), std::vector<std::string>{"Writer=8.0"});
  EXPECT_TRUE(fs::is_empty(m_outside));
  EXPECT_EQ(ReadFile(Install("Writer") / "bin" / "Writer.exe"), "writer program 8");
}

// Records that got into the store some other way (an older updater, a
// careless installer) are skipped and named, whichever of their names is
// unusable, and nothing is fetched or installed for them.
TEST_F(ActionsProductRecordTest, RecordsFoundWithUnusableNamesAreSkippedAndNamed) {
  const std::string existing = (Install("Writer") / "main.bin").string();
  // keyName gets a record naming product (when given) and the values that say where it lives
  auto plant = [&](const std::string& keyName, const std::string& product) {
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
  };
  plant("QrvBase/X", "QrvBase/X");
  plant("Deep", "QrvBase\\X");
  plant("QrvBase\\X", "");
  plant("Dots", "..");
  plant("..", "Alias");  // a usable Product value under an unusable key name
  plant("Alias", "");

  ServeLevels({{"Writer", 6}, {"QrvBase/X", 1}, {"QrvBase\\X", 1}, {"..", 1}, {"Alias", 1}});
  ServeWriter(6, "");
  ServeFake("QrvBase/X");
  EXPECT_EQ(SecondRun(), std::vector<std::string>{"Writer=6.0"});
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
