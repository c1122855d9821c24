#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/E2eRunFixture.h"
#include "tests/support/ProcessRunner.h"

namespace qrv::test {

// Whether a program's output holds part.
inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A machine for trying qrvpublish's trees with the real client: the e2e
// machine (installed products at level 5, the signed-cabinet fixtures' PKI
// trusted through TrustAnchors, a served folder srv/ and a transport), a
// release folder rel/ where a test writes sources and release files, and the
// qrvpublish and qrvupdate programs of this build run as child processes.
//
// Built into test executables that define QRVPUBLISH_PATH and QRVUPDATE_PATH.
// Thread: the test's main thread.
class PublishFixture : public E2eRunFixture {
 protected:
  // qrvpublish ARGS..., with `input` on its standard input.
  static ProcessResult Publish(const std::vector<std::string>& args, const std::string& input = {});
  // The maker's key options: --cert (the chain) and --key.
  std::vector<std::string> MakerKey() const;
  // "build RELEASE OUT" with the maker's key and extra options.
  ProcessResult Build(const std::filesystem::path& release, const std::filesystem::path& out,
                      const std::vector<std::string>& extra = {}) const;
  // "check TREE --anchors" the fixtures' test root.
  ProcessResult Check(const std::filesystem::path& tree) const;
  // qrvupdate --root ROOT --console --yes, in English; the in-process engine
  // is ended first so the program finds the machine free.
  ProcessResult RunClient();

  // A file below rel/ (folders made as needed).
  void Source(const std::string& relative, const std::string& bytes) const;
  std::filesystem::path Release() const { return m_root / "rel"; }
  // `file` with the first `from` replaced by `to` (a failure when absent).
  static void Replace(const std::filesystem::path& file, const std::string& from, const std::string& to);
  // The files of one cabinet as the client's extractor lists them, "name=size".
  static std::vector<std::string> CabinetFiles(const std::filesystem::path& cabinet);

  // "qrvpublish serve srv/ --port 0", waiting up to 10 s for the port it
  // prints (m_port); TearDown stops it.
  void StartServer();
  // SIGTERM, then the exit status (-1 when none was running).
  int StopServer();
  void TearDown() override;

  pid_t m_pid = -1;
  int m_port = 0;
};

}  // namespace qrv::test
