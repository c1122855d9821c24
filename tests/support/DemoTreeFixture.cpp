#include "tests/support/DemoTreeFixture.h"

#include "tests/support/ProcessRunner.h"

namespace qrv::test {

std::filesystem::path DemoTreeFixture::Scripts() { return std::filesystem::path(QRV_SOURCE_DIR) / "scripts" / "demo"; }

void DemoTreeFixture::SetUp() {
  const ProcessResult made = RunProcess("/bin/bash", {(Scripts() / "make_update_tree.sh").string(), Root(), m_out.string()},
                                        {{"QRVPUBLISH", QRVPUBLISH_PATH}});
  ASSERT_EQ(made.exitCode, 0) << made.out << made.err;
  m_server = std::make_unique<DemoTreeServer>(Scripts() / "serve.py", Served(), m_root / "serve.log");
  ASSERT_GT(m_server->Port(), 0) << m_server->Error();
  const ProcessResult setup =
      RunProcess("/bin/bash",
                 {(Scripts() / "setup_sandbox.sh").string(), Root(), m_out.string(), std::to_string(m_server->Port())},
                 {{"QRVCTL", QRVCTL_PATH}});
  ASSERT_EQ(setup.exitCode, 0) << setup.out << setup.err;
}

void DemoTreeFixture::TearDown() {
  if (m_server) m_server->Stop();
}

}  // namespace qrv::test
