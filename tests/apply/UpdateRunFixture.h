#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "apply/UpdateFiles.h"
#include "platform/core/UpdateProgress.h"
#include "config/CQUpdateMgrEnv.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/profile/ProfileFile.h"
#include "platform/registry/RegistryKey.h"
#include "tests/apply/ApplyFixtures.h"
#include "tests/platform/trust/SignedCabinetFixtures.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::test {

// A progress sink that records what it is told and may act on it (a test
// cancels from here, as the window's cancel button would).
class RecordingProgress : public platform::UpdateProgress {
 public:
  void NotifyProductStatus(const std::string& product, platform::ProgressKind kind) override {
    statuses.push_back(std::to_string(static_cast<uint32_t>(kind)) + ":" + product);
  }
  void NotifyProgressText(platform::ProgressKind kind, const std::string& text, uint32_t value) override {
    texts.push_back(std::to_string(static_cast<uint32_t>(kind)) + ":" + text + ":" + std::to_string(value));
    if (onText) onText(kind, text);
  }
  void SetRestartRequired(uint32_t flag) override { restart = flag; }

  std::vector<std::string> statuses;
  std::vector<std::string> texts;
  std::function<void(platform::ProgressKind, const std::string&)> onText;
  std::atomic<uint32_t> restart{0};
};

// One machine for an update run below a fresh sandbox root: the main key
// with DownloadPath, installed products (ProductPath below inst/,
// ProductVersion 5), a recording progress sink, the signed-cabinet fixtures
// (copied to fixtures/, their test root trusted through TrustAnchors) and
// an update tree under srv/ for a server to serve.
class UpdateRunFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(platform::RegistryKey::Create(platform::kRootLocalMachine, CQUpdateUtilRegistry::kMainKey, m_main),
              platform::RegStatus::kOk);
    m_main.SetString("DownloadPath", (m_root / "dl").string());
    m_main.SetDword("LastUpdate", 20110315);
    std::filesystem::create_directories(Download());
    m_fixtures = SignedCabinetFixtures::CopyTo(m_root / "fixtures");
    m_main.SetString("TrustAnchors", (m_fixtures / "anchors.pem").string());
    platform::UpdateProgress::Install(m_progress);
  }
  void TearDown() override { platform::UpdateProgress::Install(nullptr); }

  // Installs product (ProductVersion 5) with the given extra features.
  void AddProduct(const std::string& product, const std::vector<std::string>& features = {}) {
    platform::RegistryKey key;
    ASSERT_EQ(m_main.CreateSubKey(product, key), platform::RegStatus::kOk);
    key.SetString("ProductPath", Install(product).string() + "/");
    key.SetDword("ProductVersion", 5);
    for (const std::string& f : features) {
      platform::RegistryKey sub;
      ASSERT_EQ(key.CreateSubKey(f, sub), platform::RegStatus::kOk);
    }
    std::filesystem::create_directories(Install(product));
  }
  // AddProduct, and the records the installers write besides: name, product
  // key and a main file (not a program image).
  void Installed(const std::string& product, const std::string& name) {
    AddProduct(product);
    platform::RegistryKey key;
    ASSERT_EQ(m_main.CreateSubKey(product, key), platform::RegStatus::kOk);
    key.SetString("Product", product);
    key.SetString("ProductName", name);
    key.SetString("Pidkey", "PID-" + product);
    const std::filesystem::path main = Install(product) / "main.bin";
    WriteFile(main, "not a program image");
    key.SetString("FilePath", main.string());
  }

  // A cabinet of files signed by the maker, served at srv/relative; returns
  // its path there.
  std::filesystem::path ServeCabinet(const std::string& relative, const std::map<std::string, std::string>& files) {
    const std::filesystem::path raw = m_root / "work" / (std::to_string(m_made++) + ".cab");
    std::filesystem::create_directories(raw.parent_path());
    ApplyFixtures::MakeCabinet(raw, files);
    std::filesystem::create_directories((m_root / "srv" / relative).parent_path());
    ApplyFixtures::SignAsMaker(m_fixtures, raw, m_root / "srv" / relative);
    return m_root / "srv" / relative;
  }
  void Serve(const std::string& relative, const std::string& text) { WriteFile(m_root / "srv" / relative, text); }

  std::filesystem::path Download() const { return m_root / "dl" / "QRVDownload"; }
  std::filesystem::path Install(const std::string& product) const { return m_root / "inst" / product; }
  std::string Log(const std::string& section, const std::string& key) const {
    return platform::ProfileFile::GetString(UpdateFiles::LogPath(), section, key, "<none>");
  }
  uint32_t Version(const std::string& product) const { return CQUpdateMgrEnv().GetProductVersion(product); }
  uint32_t Backup(const std::string& product) const { return CQUpdateMgrEnv().GetProductVersionBak(product); }

  SandboxRoot m_root;
  platform::RegistryKey m_main;
  std::filesystem::path m_fixtures;
  std::shared_ptr<RecordingProgress> m_progress = std::make_shared<RecordingProgress>();

 private:
  int m_made = 0;
};

}  // namespace qrv::test
