#include "apply/SystemServices.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "config/CQUpdateMgrEnv.h"
#include "platform/registry/RegistryKey.h"
#include "platform/system/RestartRecorder.h"
#include "platform/system/UserAdministrator.h"
#include "tests/support/SandboxRoot.h"
#include "tests/support/make_pe_fixture.h"

namespace qrv {
namespace {

using platform::RegistryKey;
using platform::RegStatus;

TEST(SystemServicesTest, VersionTextsForTheAboutBoxAndTheProductList) {
  test::SandboxRoot root;
  std::filesystem::path pe = test::MakePeFixtures(root / "opt");
  EXPECT_EQ(GetFileVersionText((pe / "pe32.exe").string()), "1, 2, 3, 4");
  EXPECT_EQ(GetFileVersionText((pe / "two-tables.exe").string()), "en 7.0");
  EXPECT_EQ(GetFileVersionText((pe / "no-text.exe").string()), "");
  EXPECT_EQ(GetFileVersionText((pe / "not-pe.txt").string()), "");
  EXPECT_EQ(GetFileVersionText((root / "missing.exe").string()), "");

  // The product list shows the main file's fixed version.
  constexpr const char* kMain = "SOFTWARE\\QRV\\Shared\\QrvUpdate";
  RegistryKey main;
  ASSERT_EQ(RegistryKey::Create(platform::kRootLocalMachine, kMain, main), RegStatus::kOk);
  auto product = [&](const std::string& name, const std::filesystem::path& file) {
    RegistryKey key;
    ASSERT_EQ(main.CreateSubKey(name, key), RegStatus::kOk);
    key.SetString("Product", name);
    key.SetString("ProductName", name + " name");
    key.SetString("Pidkey", name + "-pid");
    key.SetString("FilePath", file.string());
  };
  product("Writer", pe / "pe32.exe");
  product("Sheet", pe / "pe64.dll");
  product("Notes", pe / "not-pe.txt");

  std::vector<tagUPDATETYPE> products;
  ASSERT_EQ(CQUpdateMgrEnv().GetInstalledProducts(products, kMain), 1);
  ASSERT_EQ(products.size(), 3u);
  std::map<std::string, std::string> versions;
  for (const tagUPDATETYPE& p : products) versions[p.product] = p.version;
  EXPECT_EQ(versions["Writer"], "1.2.3.4");
  EXPECT_EQ(versions["Sheet"], "10.0.19041.2");
  EXPECT_EQ(versions["Notes"], "") << "a file without a version resource is still installed";
}

TEST(SystemServicesTest, RestartAndAdministratorAnswerAsNumbers) {
  auto recorder = std::make_unique<platform::RestartRecorder>();
  platform::RestartRecorder* seen = recorder.get();
  auto saved = platform::SystemRestart::Install(std::move(recorder));
  EXPECT_EQ(RestartSystem(), 1);
  seen->SetAnswer(false);
  EXPECT_EQ(RestartSystem(), 0);
  EXPECT_EQ(seen->Calls(), 2);
  platform::SystemRestart::Install(std::move(saved));

  EXPECT_EQ(IsUserAdministrator(), platform::UserAdministrator::IsAdministrator() ? 1 : 0);
  if (geteuid() == 0) {
    EXPECT_EQ(IsUserAdministrator(), 1);
  }
}

}  // namespace
}  // namespace qrv
