#include "config/CQUpdateMgrEnv.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/StoredPassword.h"
#include "platform/core/Diagnostics.h"
#include "platform/registry/RegistryKey.h"
#include "tests/support/SandboxRoot.h"

namespace qrv {
namespace {

using platform::RegAccess;
using platform::RegistryKey;
using platform::RegStatus;
using platform::RegValue;

constexpr const char* kMain = "SOFTWARE\\QRV\\Shared\\QrvUpdate";

class CQUpdateMgrEnvTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(RegistryKey::Create(platform::kRootLocalMachine, kMain, m_main), RegStatus::kOk); }

  RegistryKey Product(const std::string& product) {
    RegistryKey key;
    EXPECT_EQ(m_main.CreateSubKey(product, key), RegStatus::kOk);
    return key;
  }
  bool Has(const std::string& name) {
    RegValue v;
    return m_main.Query(name, v) == RegStatus::kOk;
  }
  std::string Text(const std::string& name) {
    RegValue v;
    m_main.Query(name, v);
    return v.AsString();
  }

  test::SandboxRoot m_root;
  RegistryKey m_main;
  CQUpdateMgrEnv m_env;
};

TEST_F(CQUpdateMgrEnvTest, MissingValuesReadAsTheirDefaults) {
  EXPECT_EQ(m_env.GetLastUpdate(), 0xFFFFFFFFu);
  EXPECT_EQ(m_env.GetServerPath(), "");

  m_main.SetString("QrvServerPath", "http://127.0.0.1:8080/AUpdate70.jsp");
  EXPECT_EQ(m_env.GetServerPath(), "http://127.0.0.1:8080/AUpdate70.jsp");
  m_main.SetString("ServerPath", "");
  EXPECT_EQ(m_env.GetServerPath(), "http://127.0.0.1:8080/AUpdate70.jsp") << "empty counts as missing";
  m_main.SetString("ServerPath", "http://mirror/AUpdate70.jsp");
  EXPECT_EQ(m_env.GetServerPath(), "http://mirror/AUpdate70.jsp");

  // Unset: below the sandbox root, never the shared temporary folder.
  EXPECT_EQ(m_env.GetDownloadPath(0), m_root.Path().string() + "/var/cache/qrvupdate/");
  EXPECT_EQ(m_env.GetDownloadPath(1), m_root.Path().string() + "/var/cache/qrvupdate/QRVDownload/");
  ASSERT_EQ(m_env.SetDownloadPath("/data//"), 1);
  EXPECT_EQ(m_env.GetDownloadPath(1), "/data/QRVDownload/");
  EXPECT_EQ(m_env.GetDownloadPath(0), "/data/");
}

TEST_F(CQUpdateMgrEnvTest, ServerSettingsRoundTripWithEncryptedPasswords) {
  std::string encrypted;
  ASSERT_TRUE(EncryptPassword("s3cret", encrypted));
  ASSERT_EQ(m_env.SetServerInfo({kServerTypeFtp, 2121, "ftp.example", "anna", encrypted}), 1);
  EXPECT_EQ(Text("PassWD"), encrypted) << "only the encrypted text is stored";
  EXPECT_EQ(m_env.GetServerInfo(), (tagSERVERINFO{kServerTypeFtp, 2121, "ftp.example", "anna", "s3cret"}));

  // saved copies follow the stored type, not the record's
  ASSERT_EQ(m_env.SaveServerInfoByType({kServerTypeNetwork, 21, "ftp2", "bob", encrypted}), 1);
  RegValue v;
  ASSERT_EQ(m_main.Query("FTP_ServerPort", v), RegStatus::kOk);
  EXPECT_EQ(v.AsDword(), 21u);
  EXPECT_EQ(Text("FTP_ServerPath"), "ftp2");
  EXPECT_FALSE(Has("Network_ServerPath"));
  m_main.SetDword("ServerType", 7);
  m_env.SaveServerInfoByType({kServerTypeNetwork, 0, "x", "y", ""});
  EXPECT_FALSE(Has("Network_ServerPath"));

  // an empty password is never decrypted; a damaged one gives an empty password
  m_main.SetString("PassWD", "");
  EXPECT_EQ(m_env.GetServerInfo().password, "");
  std::vector<std::string> reports;
  auto previous = platform::Diagnostics::SetSink([&](std::string_view m) { reports.emplace_back(m); });
  m_main.SetString("PassWD", "0011223344556677");
  EXPECT_EQ(m_env.GetServerInfo().password, "");
  platform::Diagnostics::SetSink(previous);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("PassWD"), std::string::npos) << reports[0];

  m_main.DeleteValue("ServerPort");
  EXPECT_EQ(m_env.GetServerInfo().port, 0u);
}

TEST_F(CQUpdateMgrEnvTest, SelectingAndResettingServerTypes) {
  m_main.SetDword("ServerPort", 80);
  m_main.SetString("ServerPath", "http://active");
  m_main.SetString("Network_ServerPath", "//nas/updates");
  m_main.SetString("Network_UserID", "net");
  m_main.SetString("Network_PassWD", "AA");
  m_main.SetString("FTP_ServerPath", "ftp.host");

  ASSERT_EQ(m_env.SelectServerType(kServerTypeNetwork), 1);
  EXPECT_EQ(Text("ServerPath"), "//nas/updates");
  EXPECT_EQ(Text("UserID"), "net");
  EXPECT_EQ(Text("PassWD"), "AA");
  RegValue v;
  m_main.Query("ServerPort", v);
  EXPECT_EQ(v.AsDword(), 80u) << "the network folder leaves the port alone";
  EXPECT_FALSE(Has("ServerType")) << "selecting does not write the type";

  // the missing saved FTP port is copied as 0xFFFFFFFF and read back as 0
  ASSERT_EQ(m_env.SelectServerType(kServerTypeFtp), 1);
  m_main.Query("ServerPort", v);
  EXPECT_EQ(v.AsDword(), 0xFFFFFFFFu);
  EXPECT_EQ(Text("ServerPath"), "ftp.host");
  EXPECT_EQ(Text("UserID"), "") << "missing saved values are copied as empty";
  EXPECT_EQ(m_env.GetServerInfo().port, 0u);

  ASSERT_EQ(m_env.SelectServerType(kServerTypeHttp), 1);
  EXPECT_EQ(Text("ServerPath"), "ftp.host") << "other types change nothing";

  m_main.SetString("QrvServerPath", "http://default/AUpdate70.jsp");
  m_main.SetString("UserID", "someone");
  ASSERT_EQ(m_env.ResetServerInfo(), 1);
  EXPECT_EQ(m_env.GetServerInfo(), (tagSERVERINFO{kServerTypeHttp, 0, "http://default/AUpdate70.jsp", "", ""}));
}

TEST_F(CQUpdateMgrEnvTest, ProductValuesVersionsAndRollback) {
  RegistryKey writer = Product("Writer");
  EXPECT_EQ(m_env.GetPidkey("Writer"), "Writer") << "a missing Pidkey falls back to the product";

  // first update: no level yet, so the backup is 0
  EXPECT_EQ(m_env.GetProductVersion("Writer"), 0xFFFFFFFFu);
  ASSERT_EQ(m_env.SetProductVersion("Writer", 3, true), 1);
  EXPECT_EQ(m_env.GetProductVersion("Writer"), 3u);
  EXPECT_EQ(m_env.GetProductVersionBak("Writer"), 0u);
  ASSERT_EQ(m_env.SetProductVersion("Writer", 5, true), 1);
  EXPECT_EQ(m_env.GetProductVersionBak("Writer"), 3u);

  // rollback: the backup goes back and disappears
  ASSERT_EQ(m_env.SetProductVersion("Writer", m_env.GetProductVersionBak("Writer"), false), 1);
  m_env.DeleteProductVersionBak("Writer");
  EXPECT_EQ(m_env.GetProductVersion("Writer"), 3u);
  EXPECT_EQ(m_env.GetProductVersionBak("Writer"), 0xFFFFFFFFu);

  EXPECT_EQ(m_env.SetProductVersion("Ghost", 1, false), 0) << "no subkey is created for an unknown product";

  // the install folder comes from the installers' records when not stored yet
  RegistryKey info;
  ASSERT_EQ(RegistryKey::Create(platform::kRootLocalMachine, "SOFTWARE\\QRV\\Shared\\Install Information\\Writer",
                                info),
            RegStatus::kOk);
  info.SetString("Path", "/opt/qorvane/writer");
  EXPECT_EQ(m_env.GetProductPath("Writer"), "/opt/qorvane/writer");
  info.SetString("Path", "/elsewhere");
  EXPECT_EQ(m_env.GetProductPath("Writer"), "/opt/qorvane/writer") << "stored after the first lookup";
}

TEST_F(CQUpdateMgrEnvTest, InstalledProductsNeedAnExistingMainFile) {
  std::string present = (m_root / "opt/present.bin").string();
  test::WriteFile(present, "binary");
  auto make = [&](const std::string& name, const std::string& filePath) {
    RegistryKey key = Product(name);
    key.SetString("Product", name);
    key.SetString("ProductName", name + " name");
    key.SetString("Pidkey", name + "-pid");
    if (!filePath.empty()) key.SetString("FilePath", filePath);
  };
  make("A", present);
  make("B", "");                                     // no FilePath
  make("C", (m_root / "opt/missing.bin").string());  // two in a row skipped
  make("D", present);
  make("E", (m_root / "opt/gone.bin").string());     // the last one skipped

  std::vector<tagUPDATETYPE> products;
  ASSERT_EQ(m_env.GetInstalledProducts(products, kMain), 1);
  ASSERT_EQ(products.size(), 2u);
  EXPECT_EQ(products[0], (tagUPDATETYPE{"A", "A name", "A-pid", "level 0", ""}))
      << "a main file without a version resource shows the update level";
  EXPECT_EQ(products[1].product, "D");

  products.clear();
  EXPECT_EQ(m_env.GetInstalledProducts(products, "SOFTWARE\\Nothing"), 0);
  EXPECT_TRUE(products.empty());
}

// The product name picks a registry key and files in the download folder, so
// it and the key it was found under must each be one plain name.
TEST_F(CQUpdateMgrEnvTest, InstalledProductsWithUnusableNamesAreSkippedAndNamed) {
  const std::string present = (m_root / "opt/present.bin").string();
  test::WriteFile(present, "binary");
  auto make = [&](const std::string& keyName, const std::string& product) {
    RegistryKey key = Product(keyName);
    if (!product.empty()) {
      key.SetString("Product", product);
      key.SetString("ProductName", "name");
      key.SetString("Pidkey", "pid");
    }
    key.SetString("FilePath", present);
  };
  // an empty product means a key whose record is never complete
  const std::pair<const char*, const char*> records[] = {
      {"A", "A"}, {"A/copy", "A"}, {"QrvBase/X", "QrvBase/X"}, {"Deep", "QrvBase\\X"}, {"QrvBase\\X", ""},
      {"Dots", ".."}, {"Dot", "."}, {"..", "Alias"}, {"Alias", ""},
      {"Esc", "e\x1b]0;OWNED\x07"}, {"e\x1b]0;OWNED\x07", ""}, {"C1", "c\xC2\x9B" "2J"}, {"c\xC2\x9B" "2J", ""},
      {"Korean", "\xED\x95\x9C\xEA\xB8\x80"}, {"\xED\x95\x9C\xEA\xB8\x80", ""},  // UTF-8 is fine
  };
  for (const auto& [keyName, product] : records) make(keyName, product);

  std::vector<std::string> reports;
  auto previous = platform::Diagnostics::SetSink([&](std::string_view m) { reports.emplace_back(m); });
  std::vector<tagUPDATETYPE> products;
  const int listed = m_env.GetInstalledProducts(products, kMain);
  platform::Diagnostics::SetSink(previous);

  ASSERT_EQ(listed, 1);
  std::vector<std::string> keys;
  for (const tagUPDATETYPE& p : products) keys.push_back(p.product);
  EXPECT_EQ(keys, (std::vector<std::string>{"A", "\xED\x95\x9C\xEA\xB8\x80"}));
  std::string all;
  for (const std::string& r : reports) all += r + "\n";
  for (const std::string named :
       {"key name \"A/copy\"", "key name \"QrvBase/X\"", "Product value \"QrvBase\\X\"", "Product value \"..\"",
        "Product value \".\"", "key name \"..\"", "Product value \"e\\e]0;OWNED\\x07\"",
        "Product value \"c\\u009B2J\""}) {
    EXPECT_NE(all.find("installed product skipped: the " + named), std::string::npos) << named << "\n" << all;
  }
  EXPECT_EQ(all.find('\x1b'), std::string::npos) << "names are shown escaped";
  EXPECT_EQ(reports.size(), 8u) << all;
}

}  // namespace
}  // namespace qrv
