#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "apply/CQUpdateTraceFile.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/core/Diagnostics.h"
#include "platform/registry/RegistryKey.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::test {

// The ground of the hostile-server tests: a fresh root whose settings name
// the download folder (dl/, the files land in dl/QRVDownload) and the floor
// rate given, and the program's trace file receiving every diagnostic, as it
// does in a real run, so a test can ask what the trace says.
//
// Thread: the test's main thread; the trace may be written from any.
class ServerTraceFixture : public ::testing::Test {
 protected:
  // 0: leave MinTransferRate unset (the default floor rate).
  explicit ServerTraceFixture(uint32_t floorRate = 0) : m_floorRate(floorRate) {}

  void SetUp() override {
    ASSERT_EQ(platform::RegistryKey::Create(platform::kRootLocalMachine, CQUpdateUtilRegistry::kMainKey, m_main),
              platform::RegStatus::kOk);
    m_main.SetString("DownloadPath", (m_root / "dl").string());
    if (m_floorRate != 0) m_main.SetDword("MinTransferRate", m_floorRate);
    std::filesystem::create_directories(m_folder);
    m_oldSink = CQUpdateTraceFile::InstallDiagnosticsSink();
  }
  void TearDown() override { platform::Diagnostics::SetSink(m_oldSink); }

  std::string Trace() const {
    std::error_code ec;
    return std::filesystem::exists(CQUpdateTraceFile::Path(), ec) ? ReadFile(CQUpdateTraceFile::Path())
                                                                   : std::string();
  }
  bool Traced(const std::string& part) const { return Trace().find(part) != std::string::npos; }
  // A file of size bytes that takes no room: a hostile server's huge file costs it nothing either.
  static void Sparse(const std::filesystem::path& path, off_t size) {
    WriteFile(path, "");
    ASSERT_EQ(::truncate(path.c_str(), size), 0) << path;
  }

  SandboxRoot m_root;
  platform::RegistryKey m_main;
  std::filesystem::path m_folder = m_root / "dl/QRVDownload";

 private:
  uint32_t m_floorRate;
  platform::Diagnostics::Sink m_oldSink;
};

}  // namespace qrv::test
