#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "tests/support/DemoTreeServer.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::test {

// The demo's scripts for real, below a fresh sandbox root: the update tree
// made and signed under its own CA (make_update_tree.sh, into demo/), served
// by serve.py on a loopback port, and the sandbox set up with both demo
// products at level 1 (setup_sandbox.sh, through qrvctl). The updater's own
// parts, or the qrvupdate program, then fetch, check and apply the tree.
//
// Built into test executables that define QRV_SOURCE_DIR, QRVCTL_PATH and
// QRVPUBLISH_PATH (qrvpublish builds the tree).
// Thread: the test's main thread.
class DemoTreeFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // scripts/demo of the source tree.
  static std::filesystem::path Scripts();
  std::string Root() const { return m_root.Path().string(); }
  // What serve.py serves: demo/updates.
  std::filesystem::path Served() const { return m_out / "updates"; }
  std::filesystem::path Installed(const std::string& product) const {
    return m_root / ("opt/qorvane/" + product);
  }

  SandboxRoot m_root;
  std::filesystem::path m_out = m_root / "demo";
  std::unique_ptr<DemoTreeServer> m_server;
};

}  // namespace qrv::test
