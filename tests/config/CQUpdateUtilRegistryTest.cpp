#include "config/CQUpdateUtilRegistry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/registry/RegistryKey.h"
#include "tests/support/SandboxRoot.h"

namespace qrv {
namespace {

using platform::RegAccess;
using platform::RegistryKey;
using platform::RegStatus;
using platform::RegValue;

constexpr const char* kMain = "SOFTWARE\\QRV\\Shared\\QrvUpdate";
constexpr const char* kInstallInfo = "SOFTWARE\\QRV\\Shared\\Install Information";

RegistryKey MakeKey(const std::string& path) {
  RegistryKey key;
  EXPECT_EQ(RegistryKey::Create(platform::kRootLocalMachine, path, key), RegStatus::kOk) << path;
  return key;
}

void MakeProduct(const std::string& product, bool withProduct = true) {
  RegistryKey key = MakeKey(std::string(kMain) + "\\" + product);
  key.SetString("Pidkey", product + "-PID");
  key.SetString("ProductName", product + " Suite");
  if (withProduct) key.SetString("Product", product);
}

TEST(CQUpdateUtilRegistry, EnumProductsListsCompleteSubkeysInOrderAndAppends) {
  test::SandboxRoot root;
  CQUpdateUtilRegistry registry;
  std::vector<tagUPDATETYPE> products{{"Existing", "", "", "", ""}};
  EXPECT_EQ(registry.EnumProducts(products, kMain), 0) << "missing key";

  MakeProduct("writer");
  MakeProduct("Calc");
  MakeProduct("NoProductValue", false);
  MakeProduct("Show");
  ASSERT_EQ(registry.EnumProducts(products, kMain), 1);
  ASSERT_EQ(products.size(), 4u);
  EXPECT_EQ(products[0].product, "Existing");
  EXPECT_EQ(products[1], (tagUPDATETYPE{"Calc", "Calc Suite", "Calc-PID", "", ""}));
  EXPECT_EQ(products[2].product, "Show");
  EXPECT_EQ(products[3].product, "writer");
}

TEST(CQUpdateUtilRegistry, InstallPathLookupTakesTheFirstPrefixAndRemembersIt) {
  test::SandboxRoot root;
  CQUpdateUtilRegistry registry;
  std::string path = "unchanged";
  EXPECT_EQ(registry.LookupInstallPath(path, "ABCPRO2"), 0) << "no install information";

  MakeProduct("ABCPRO2");
  MakeKey(std::string(kInstallInfo) + "\\AbcPro").SetString("Path", "/opt/abcpro");
  MakeKey(std::string(kInstallInfo) + "\\Abc").SetString("Path", "/opt/abc");
  MakeKey(std::string(kInstallInfo) + "\\Abd").SetString("Path", "/opt/abd");
  MakeKey(std::string(kInstallInfo) + "\\ABCPRO2X").SetString("Path", "/opt/longer");

  // both Abc and AbcPro are prefixes; Abc enumerates first
  ASSERT_EQ(registry.LookupInstallPath(path, "ABCPRO2"), 1);
  EXPECT_EQ(path, "/opt/abc");
  std::string stored;
  ASSERT_EQ(registry.ReadProductPath(stored, "ABCPRO2"), 1);
  EXPECT_EQ(stored, "/opt/abc");

  path = "unchanged";
  EXPECT_EQ(registry.LookupInstallPath(path, "Zed"), 1);
  EXPECT_EQ(path, "unchanged") << "no record matches";

  MakeKey(std::string(kInstallInfo) + "\\Zed");
  EXPECT_EQ(registry.LookupInstallPath(path, "Zed"), 0) << "record without Path";
}

TEST(CQUpdateUtilRegistry, OverlongStringsAndPathsReadAsMissing) {
  test::SandboxRoot root;
  CQUpdateUtilRegistry registry;
  MakeProduct("Writer");
  RegistryKey key = MakeKey(std::string(kMain) + "\\Writer");
  key.SetString("FilePath", std::string(256, 'f'));
  key.SetString("ProductPath", std::string(257, 'p'));
  std::string out;
  EXPECT_EQ(registry.ReadProductFilePath(out, "Writer"), 1);
  EXPECT_EQ(out.size(), 256u);
  EXPECT_EQ(registry.ReadProductPath(out, "Writer"), 0);
  EXPECT_TRUE(out.empty());
  key.SetString("ProductName", std::string(300, 'n'));
  registry.ReadProductString(out, "Writer", "ProductName");
  EXPECT_EQ(out, "Writer") << "an unreadable value falls back to the product";
  registry.ReadProductString(out, "Missing", "ProductName");
  EXPECT_EQ(out, "Missing");

  // a stored terminator and text after it are not part of the value
  key.Set("Pidkey", RegValue{platform::kRegSz, {'a', 'b', 0, 'c'}});
  registry.ReadProductString(out, "Writer", "Pidkey");
  EXPECT_EQ(out, "ab");

  // numbers must be four-byte values
  key.SetString("ProductVersion", "3");
  EXPECT_EQ(registry.ReadProductDword("Writer", "ProductVersion"), 0xFFFFFFFFu);

  // a product name that would pass the 255-character key path is never found
  std::string longName(230, 'x');
  EXPECT_EQ(registry.WriteProductDword("ProductVersion", longName, 1), 0);
  EXPECT_EQ(registry.ReadProductDword(longName, "ProductVersion"), 0xFFFFFFFFu);
}

TEST(CQUpdateUtilRegistry, GeneralWritesFollowTheirCreateRules) {
  test::SandboxRoot root;
  CQUpdateUtilRegistry registry;
  const char* run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

  EXPECT_EQ(registry.SetStringValue(5, run, "QrvUpdate", "x"), 0);
  EXPECT_FALSE(std::filesystem::exists(root / "var")) << "root index 5 touches no store";

  // only the string writer creates missing keys
  EXPECT_EQ(registry.SetDwordValueFromText(1, run, "n", "1"), 0);
  EXPECT_EQ(registry.SetBinaryValue(1, run, "b", 1), 0);
  EXPECT_EQ(registry.DeleteValue(1, run, "n"), 0);
  ASSERT_EQ(registry.SetStringValue(1, run, "QrvUpdate", "/usr/bin/qrvchecker"), 1);

  ASSERT_EQ(registry.SetDwordValueFromText(1, run, "n", "  42abc"), 1);
  RegistryKey key;
  ASSERT_EQ(RegistryKey::Open(1, run, RegAccess::kRead, key), RegStatus::kOk);
  RegValue v;
  ASSERT_EQ(key.Query("n", v), RegStatus::kOk);
  EXPECT_EQ(v.type, platform::kRegDword);
  EXPECT_EQ(v.AsDword(), 42u);
  registry.SetDwordValueFromText(1, run, "n", "words");
  key.Query("n", v);
  EXPECT_EQ(v.AsDword(), 0u);
  registry.SetDwordValueFromText(1, run, "n", "-1");
  key.Query("n", v);
  EXPECT_EQ(v.AsDword(), 0xFFFFFFFFu);
  EXPECT_EQ(CQUpdateUtilRegistry::ParseLeadingNumber("4294967297"), 1u) << "wraps like a 32-bit number";

  ASSERT_EQ(registry.SetBinaryValue(1, run, "b", 0x01020304), 1);
  key.Query("b", v);
  EXPECT_EQ(v.type, platform::kRegBinary);
  EXPECT_EQ(v.data, (std::vector<uint8_t>{4, 3, 2, 1}));

  EXPECT_EQ(registry.DeleteValue(1, run, "b"), 1);
  EXPECT_EQ(registry.DeleteValue(1, run, "b"), 1) << "1 whether or not the value existed";
  EXPECT_EQ(key.Query("b", v), RegStatus::kNotFound);

  // fixed-key writes never create the main key
  EXPECT_EQ(registry.WriteDword("Auto", 1), 0);
  EXPECT_EQ(registry.WriteString("ServerPath", "x"), 0);
  MakeKey(kMain);
  EXPECT_EQ(registry.WriteDword("Auto", 1), 1);
  EXPECT_EQ(registry.ReadDword("Auto"), 1u);
}

}  // namespace
}  // namespace qrv
