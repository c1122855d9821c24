#include <gtest/gtest.h>

#include <httplib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "platform/trust/AuthenticodeVerifier.h"
#include "tests/publish/PublishFixture.h"

namespace qrv::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kOneProduct = R"(
[[product]]
key = "Base"
version = "2.0"
level = 2
  [[product.feature]]
  name = "Base"
  source = "src/base"
)";

class ReleaseInputTest : public PublishFixture {
 protected:
  void SetUp() override {
    PublishFixture::SetUp();
    Source("release.toml", kOneProduct);
    Source("src/base/base.txt", "base 2");
  }
  // The maker's key protected by a pass phrase, as PEM and as PKCS#12.
  void ProtectedKeys() {
    const std::string key = (m_fixtures / "pki/maker.key").string();
    ProcessResult made = RunProcess("/usr/bin/openssl", {"pkey", "-in", key, "-aes256", "-passout", "pass:correct horse",
                                                "-out", (m_root / "maker-protected.key").string()});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    made = RunProcess("/usr/bin/openssl", {"pkcs12", "-export", "-inkey", key, "-in", (m_fixtures / "pki/maker.chain.pem").string(),
                                  "-passout", "pass:correct horse", "-out", (m_root / "maker.p12").string()});
    ASSERT_EQ(made.exitCode, 0) << made.err;
  }
};

TEST_F(ReleaseInputTest, KeyProtectedByAPassPhraseSignsWithThePhraseFromAPipeOrFile) {
  ProtectedKeys();
  const std::string chain = (m_fixtures / "pki/maker.chain.pem").string();
  const std::string protectedKey = (m_root / "maker-protected.key").string();
  const std::string release = (Release() / "release.toml").string();
  ProcessResult built = Publish({"build", release, (m_root / "pem").string(), "--cert", chain, "--key", protectedKey,
                                 "--pass-fd", "0"},
                                "correct horse\n");
  ASSERT_EQ(built.exitCode, 0) << built.err;
  EXPECT_EQ(Check(m_root / "pem").exitCode, 0);

  WriteFile(m_root / "phrase", "correct horse\n");
  built = Publish({"build", release, (m_root / "p12").string(), "--pkcs12", (m_root / "maker.p12").string(),
                   "--pass-file", (m_root / "phrase").string()});
  ASSERT_EQ(built.exitCode, 0) << built.err;
  const ProcessResult checked = Check(m_root / "p12");
  EXPECT_EQ(checked.exitCode, 0) << checked.err;

  /* a wrong phrase fails with osslsigncode's reason and leaves nothing behind */
  built = Publish({"build", release, (m_root / "wrong").string(), "--cert", chain, "--key", protectedKey, "--pass-fd", "0"},
                  "battery staple\n");
  EXPECT_EQ(built.exitCode, 1);
  EXPECT_TRUE(Has(built.err, "osslsigncode cannot sign")) << built.err;
  EXPECT_TRUE(Has(built.err, "Wrong password?")) << built.err;
  EXPECT_FALSE(fs::exists(m_root / "wrong"));

  /* a phrase on the command line is refused before anything runs */
  built = Publish({"build", release, (m_root / "cli").string(), "--cert", chain, "--key", protectedKey, "--pass",
                   "correct horse"});
  EXPECT_EQ(built.exitCode, 2);
  EXPECT_TRUE(Has(built.err, "use --pass-fd or --pass-file")) << built.err;
}

// A key that never leaves its token: SoftHSM stands for the hardware, the
// PIN travels like a pass phrase.
TEST_F(ReleaseInputTest, KeyOnAPkcs11TokenSignsThroughItsModule) {
  const std::string module = "/usr/lib/softhsm/libsofthsm2.so";
  if (!fs::exists(module) || !fs::exists("/usr/bin/softhsm2-util")) GTEST_SKIP() << "softhsm2 is not installed";
  fs::create_directories(m_root / "tokens");
  WriteFile(m_root / "softhsm2.conf", "directories.tokendir = " + (m_root / "tokens").string() + "\n");
  const std::map<std::string, std::string> env{{"SOFTHSM2_CONF", (m_root / "softhsm2.conf").string()}, {"LC_ALL", "C"}};
  ProcessResult made = RunProcess("/usr/bin/softhsm2-util",
                                  {"--init-token", "--free", "--label", "qrv", "--pin", "4711", "--so-pin", "0815"}, env);
  ASSERT_EQ(made.exitCode, 0) << made.out << made.err;
  made = RunProcess("/usr/bin/openssl", {"pkcs8", "-topk8", "-nocrypt", "-in", (m_fixtures / "pki/maker.key").string(),
                                         "-out", (m_root / "maker.pk8").string()});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  made = RunProcess("/usr/bin/softhsm2-util", {"--import", (m_root / "maker.pk8").string(), "--token", "qrv", "--label",
                                               "maker", "--id", "01", "--pin", "4711"},
                    env);
  ASSERT_EQ(made.exitCode, 0) << made.out << made.err;
  fs::remove(m_root / "maker.pk8");
  auto build = [&](const std::string& out, const std::string& pin) {
    return RunProcess(QRVPUBLISH_PATH,
                      {"build", (Release() / "release.toml").string(), (m_root / out).string(), "--cert",
                       (m_fixtures / "pki/maker.chain.pem").string(), "--key", "pkcs11:token=qrv;object=maker;type=private",
                       "--pkcs11-module", module, "--pass-fd", "0"},
                      env, pin);
  };
  const ProcessResult built = build("token", "4711\n");
  ASSERT_EQ(built.exitCode, 0) << built.err;
  const ProcessResult checked = Check(m_root / "token");
  EXPECT_EQ(checked.exitCode, 0) << checked.err;
  const ProcessResult wrong = build("wrong", "1234\n");
  EXPECT_EQ(wrong.exitCode, 1);
  EXPECT_TRUE(Has(wrong.err, "Login failed")) << wrong.err;
  EXPECT_FALSE(fs::exists(m_root / "wrong"));
}

// --timestamp-url: osslsigncode asks a time-stamping authority (here one on
// loopback, answering with "openssl ts -reply" and the test PKI's stamper)
// and the client's verifier finds the stamp valid.
TEST_F(ReleaseInputTest, TimestampUrlAddsAStampTheClientsVerifierAccepts) {
  WriteFile(m_root / "tsa/serial", "01\n");
  WriteFile(m_root / "tsa/ts.cnf", "[tsa]\ndefault_tsa = stamper\n[stamper]\nserial = " + (m_root / "tsa/serial").string() +
                                       "\ndefault_policy = 1.2.3.4.1\ndigests = sha256, sha384, sha512\n"
                                       "signer_digest = sha256\ness_cert_id_alg = sha256\naccuracy = secs:1\n");
  std::atomic<int> stamped{0};
  std::string failure;
  std::mutex failureLock;
  httplib::Server tsa;
  tsa.Post("/stamp", [&](const httplib::Request& req, httplib::Response& res) {
    const fs::path query = m_root / "tsa/query.tsq", reply = m_root / "tsa/reply.tsr";
    { std::ofstream(query, std::ios::binary) << req.body; }
    const ProcessResult made = RunProcess(
        "/usr/bin/openssl", {"ts", "-reply", "-config", (m_root / "tsa/ts.cnf").string(), "-queryfile", query.string(),
                             "-signer", (m_fixtures / "pki/tsa.pem").string(), "-inkey", (m_fixtures / "pki/tsa.key").string(),
                             "-chain", (m_fixtures / "pki/tsa.chain.pem").string(), "-out", reply.string()});
    if (made.exitCode != 0) {
      const std::lock_guard<std::mutex> lock(failureLock);
      failure = made.err;
      res.status = 500;
      return;
    }
    std::ifstream in(reply, std::ios::binary);
    res.set_content(std::string(std::istreambuf_iterator<char>(in), {}), "application/timestamp-reply");
    ++stamped;
  });
  const int port = tsa.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  std::thread serving([&tsa]() { tsa.listen_after_bind(); });
  const ProcessResult built =
      Build(Release() / "release.toml", m_root / "stamped", {"--timestamp-url", "http://127.0.0.1:" + std::to_string(port) + "/stamp"});
  tsa.stop();
  serving.join();
  ASSERT_EQ(built.exitCode, 0) << built.err << failure;
  EXPECT_EQ(stamped.load(), 1);
  platform::AuthenticodeResult result;
  EXPECT_TRUE(platform::AuthenticodeVerifier::Verify((m_root / "stamped/Base/Base.cab").string(),
                                                     {(m_fixtures / "anchors.pem").string()}, result))
      << result.reason;
  EXPECT_TRUE(result.timestamped);
  EXPECT_EQ(Check(m_root / "stamped").exitCode, 0);

  /* an authority that does not answer fails the build and leaves no tree */
  const ProcessResult unreachable =
      Build(Release() / "release.toml", m_root / "nostamp", {"--timestamp-url", "http://127.0.0.1:" + std::to_string(port) + "/stamp"});
  EXPECT_EQ(unreachable.exitCode, 1);
  EXPECT_TRUE(Has(unreachable.err, "osslsigncode cannot sign")) << unreachable.err;
  EXPECT_FALSE(fs::exists(m_root / "nostamp"));
}

// Release files and output folders that would pack or overwrite what the
// release never meant are refused with the file, the product and the key.
TEST_F(ReleaseInputTest, HostileReleaseFilesAreRefusedNamingFileAndKey) {
  Source("outside/secret.txt", "not for the release");
  fs::create_directories(Release() / "src/linked");
  fs::create_symlink(m_root / "rel/outside", Release() / "src/link");
  Source("src/withlink/ok.txt", "ok");
  fs::create_symlink("/etc/hostname", Release() / "src/withlink/planted.txt");
  auto with = [](const std::string& from, const std::string& to) {
    std::string text = kOneProduct;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  struct Case {
    std::string release;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {with("src/base", "../outside"), "key \"source\": \"../outside\" climbs out with \"..\""},
      {with("src/base", "/etc"), "key \"source\": \"/etc\" is absolute"},
      {with("src/base", "src/link"), "src/link\" is a symbolic link"},
      {with("src/base", "src/withlink"), "feature \"Base\" source: \"" + (Release() / "src/withlink/planted.txt").string() +
                                             "\" is a symbolic link"},
      {with("level = 2", "level = 0"), ":5: product \"Base\" key \"level\": 0 is not from 1 to 2147483646"},
      {with("level = 2", "level = 99999999999"), "key \"level\": 99999999999 is not from 1"},
      {with("\"2.0\"", "\"" + std::string(300, 'x') + "\""), "key \"version\": 300 bytes, the client reads at most 259"},
      {with("\"2.0\"", "\"two\\nlines\""), "key \"version\": holds a line break or control character"},
      {with("key = \"Base\"", "key = \"../Base\""), "key \"key\": \"../Base\" is not a usable name"},
      {with("key = \"Base\"", "key = \"QUPDATE_S\""), "key \"key\": \"QUPDATE_S\" would name the update information file"},
      {with("version", "verson"), "key \"verson\": unknown key in [[product]]"},
      {with("level = 2", "level = 2\ndepends = [\"Calc\"]"), "key \"depends\": \"Calc\" is not another product"},
      {with("level = 2", "level = 2\nnotes_file = \"../../../etc/passwd\""), "key \"notes_file\": \"../../../etc/passwd\" climbs out"},
      {"[[product]\nkey =", "release.toml:1:"},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    const fs::path file = Release() / "release.toml";
    WriteFile(file, c.release);
    const fs::path out = m_root / ("out" + std::to_string(index++));
    const ProcessResult built = Build(file, out);
    EXPECT_EQ(built.exitCode, 1) << built.out;
    EXPECT_TRUE(Has(built.err, "qrvpublish: " + file.string())) << built.err;
    EXPECT_TRUE(Has(built.err, c.expected)) << built.err;
    EXPECT_FALSE(fs::exists(out));
  }

  /* output folders: one not empty, one inside a source */
  WriteFile(Release() / "release.toml", kOneProduct);
  WriteFile(m_root / "full/keep.txt", "a previous tree");
  ProcessResult built = Build(Release() / "release.toml", m_root / "full");
  EXPECT_EQ(built.exitCode, 1);
  EXPECT_TRUE(Has(built.err, "is not empty")) << built.err;
  EXPECT_EQ(ReadFile(m_root / "full/keep.txt"), "a previous tree");
  built = Build(Release() / "release.toml", Release() / "src/base/out");
  EXPECT_EQ(built.exitCode, 1);
  EXPECT_TRUE(Has(built.err, "overlaps the source of product \"Base\" feature \"Base\"")) << built.err;
  EXPECT_FALSE(fs::exists(Release() / "src/base/out"));
}

}  // namespace
}  // namespace qrv::test
