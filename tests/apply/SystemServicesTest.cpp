#include "apply/SystemServices.h"

#include <gtest/gtest.h>

#include <map>

#include "config/CQUpdateMgrEnv.h"
#include "platform/registry/RegistryKey.h"
#include "tests/support/SandboxRoot.h"
#include "tests/support/make_pe_fixture.h"

namespace qrv {
namespace {

using platform::RegistryKey;
using platform::RegStatus;

// How the images are read is PeVersionResourceTest's; here: which of the two
// versions each caller shows, and that a file without one is no failure.
TEST(SystemServicesTest, VersionTextsForTheAboutBoxAndTheProductList) {
  test::SandboxRoot root;
  std::filesystem::path pe = test::MakePeFixtures(root / "opt");
  EXPECT_EQ(GetFileVersionText((pe / "pe32.exe").string()), "1, 2, 3, 4");
  EXPECT_EQ(GetFileVersionText((pe / "not-pe.txt").string()), "");
  EXPECT_EQ(GetFileVersionText((root / "missing.exe").string()), "");

  constexpr const char* kMain = "SOFTWARE\\QRV\\Shared\\QrvUpdate";
  RegistryKey main;
  ASSERT_EQ(RegistryKey::Create(platform::kRootLocalMachine, kMain, main), RegStatus::kOk);
  for (const auto& [name, file] : std::map<std::string, std::string>{
           {"Writer", "pe32.exe"}, {"Sheet", "pe64.dll"}, {"Notes", "not-pe.txt"}}) {
    RegistryKey key;
    ASSERT_EQ(main.CreateSubKey(name, key), RegStatus::kOk);
    key.SetString("Product", name);
    key.SetString("ProductName", name + " name");
    key.SetString("Pidkey", name + "-pid");
    key.SetString("FilePath", (pe / file).string());
  }
  RegistryKey installer;
  ASSERT_EQ(main.OpenSubKey("Sheet", platform::RegAccess::kAll, installer), RegStatus::kOk);
  installer.SetString("DisplayVersion", "9.9 (ignored: the file has a version)");
  std::vector<tagUPDATETYPE> products;
  ASSERT_EQ(CQUpdateMgrEnv().GetInstalledProducts(products, kMain), 1);
  std::map<std::string, std::string> versions;
  for (const tagUPDATETYPE& p : products) versions[p.product] = p.version;
  EXPECT_EQ(versions, (std::map<std::string, std::string>{
                          {"Notes", "level 0"}, {"Sheet", "10.0.19041.2"}, {"Writer", "1.2.3.4"}}))
      << "a file without a version resource is still installed, shown with its update level";
}

}  // namespace
}  // namespace qrv
