#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/profile/ProfileFile.h"
#include "tests/publish/PublishFixture.h"
#include "tools/qrvpublish/ReleaseStamp.h"
#include "tools/qrvpublish/TreeChecker.h"

namespace qrv::test {
namespace {

namespace fs = std::filesystem;
using platform::ProfileFile;

constexpr const char* kRelease = R"(
[[product]]
key = "Writer"
version = "7.0"
level = 7
  [[product.feature]]
  name = "Writer"
  source = "src/writer"
  [[product.feature]]
  name = "Spell"
  source = "src/spell"
[[product]]
key = "Base"
version = "2.0"
level = 2
  [[product.feature]]
  name = "Base"
  source = "src/base"
)";

// The signed information of a built tree, checked with tools other than
// qrvpublish's own (the openssl program, sha256sum), and the checker's
// report on trees spoilt the ways an attacker or a careless publisher would.
class SignedInfoTest : public PublishFixture {
 protected:
  void SetUp() override {
    PublishFixture::SetUp();
    Source("release.toml", kRelease);
    Source("src/writer/bin/writer.txt", "writer 7");
    Source("src/spell/dict.txt", "colour");
    Source("src/base/base.txt", "base 1");
    ASSERT_EQ(Build(Release() / "release.toml", m_root / "old", {"--serial", "40"}).exitCode, 0);
    Source("src/base/base.txt", "base 2, a little longer");
    const ProcessResult built = Build(Release() / "release.toml", m_root / "good", {"--serial", "41", "--valid-days", "10"});
    ASSERT_EQ(built.exitCode, 0) << built.err;
    EXPECT_TRUE(Has(built.out, "release serial 41, expires ")) << built.out;
  }

  std::string Pki(const std::string& name) const { return (m_fixtures / "pki" / name).string(); }

  // The command line the publisher's documentation gives for signing by hand.
  static void SignWith(const fs::path& file, const std::string& cert, const std::string& key, const std::string& chain) {
    const ProcessResult signedIt =
        RunProcess("/usr/bin/openssl", {"cms", "-sign", "-binary", "-md", "sha256", "-outform", "DER", "-in", file.string(),
                                        "-signer", cert, "-inkey", key, "-certfile", chain, "-out", file.string() + ".p7s"});
    ASSERT_EQ(signedIt.exitCode, 0) << signedIt.err;
  }
  void Resign(const fs::path& file) const { SignWith(file, Pki("maker.pem"), Pki("maker.key"), Pki("inter.pem")); }

  static std::string Sha256Sum(const fs::path& file) {
    const ProcessResult sum = RunProcess("/usr/bin/sha256sum", {file.string()});
    EXPECT_EQ(sum.exitCode, 0) << sum.err;
    return sum.out.substr(0, 64);
  }

  std::vector<tools::TreeChecker::Finding> Findings(const fs::path& tree, int warningDays = 7) const {
    return tools::TreeChecker(tree, {(m_fixtures / "anchors.pem").string()}, {}, warningDays).Check();
  }
};

TEST_F(SignedInfoTest, BuiltReleaseVerifiesWithOpensslAndListsTheRealSizesAndHashes) {
  const fs::path tree = m_root / "good";
  const std::string info = (tree / "qupdate_s.ini").string();
  for (const char* name : {"qupdate_s.ini", "Writer.ini", "Base.ini"}) {
    SCOPED_TRACE(name);
    // "-purpose any": openssl's default asks for an e-mail signing key; the
    // updater's rule (code signing) is the checker's to apply.
    const ProcessResult verified = RunProcess(
        "/usr/bin/openssl", {"cms", "-verify", "-binary", "-inform", "DER", "-content", (tree / name).string(), "-in",
                             (tree / name).string() + ".p7s", "-CAfile", (m_fixtures / "anchors.pem").string(),
                             "-purpose", "any", "-out", "/dev/null"});
    EXPECT_EQ(verified.exitCode, 0) << verified.err;
  }
  const ProcessResult printed = RunProcess("/usr/bin/openssl", {"cms", "-cmsout", "-print", "-inform", "DER", "-in",
                                                                (tree / "Base.ini.p7s").string()});
  EXPECT_TRUE(Has(printed.out, "eContent: <ABSENT>")) << printed.out;
  EXPECT_TRUE(Has(printed.out, "algorithm: sha256")) << printed.out;
  EXPECT_TRUE(Has(printed.out, "CN=Qorvane Test Code Signing CA")) << "the chain travels with the signature";

  EXPECT_EQ(ProfileFile::GetString(info, "Release", "Serial", ""), "41");
  int64_t date = 0, expires = 0;
  ASSERT_TRUE(tools::ReleaseStamp::ParseTime(ProfileFile::GetString(info, "Release", "Date", ""), date));
  ASSERT_TRUE(tools::ReleaseStamp::ParseTime(ProfileFile::GetString(info, "Release", "Expires", ""), expires));
  EXPECT_LE(std::abs(date - static_cast<int64_t>(std::time(nullptr))), 600);
  EXPECT_EQ(expires - date, 10 * 24 * 3600);

  for (const char* product : {"Writer", "Base"}) {
    const fs::path productFile = tree / (std::string(product) + ".ini");
    EXPECT_EQ(ProfileFile::GetString(info, "ProductFileSize", product, ""), std::to_string(fs::file_size(productFile)));
    EXPECT_EQ(ProfileFile::GetString(info, "ProductFileSHA256", product, ""), Sha256Sum(productFile));
  }
  for (const auto& [product, prefix, cabinet] : {std::tuple{"Writer", "Writer0", "Writer/Writer.cab"},
                                                 std::tuple{"Writer", "Spell0", "Writer/Spell.cab"},
                                                 std::tuple{"Base", "Base0", "Base/Base.cab"}}) {
    const std::string productFile = (tree / (std::string(product) + ".ini")).string();
    EXPECT_EQ(ProfileFile::GetString(productFile, product, std::string(prefix) + "SIZE", ""),
              std::to_string(fs::file_size(tree / cabinet)));
    EXPECT_EQ(ProfileFile::GetString(productFile, product, std::string(prefix) + "SHA256", ""), Sha256Sum(tree / cabinet));
  }

  /* the checker agrees, and warns (without failing) when expiry is near */
  EXPECT_TRUE(Findings(tree).empty());
  const ProcessResult checked = Publish({"check", tree.string(), "--anchors", (m_fixtures / "anchors.pem").string(),
                                         "--expiry-warning", "11"});
  EXPECT_EQ(checked.exitCode, 0) << checked.err;
  EXPECT_TRUE(Has(checked.err, "warning: qupdate_s.ini [Release] Expires: ")) << checked.err;
  EXPECT_TRUE(Has(checked.out, "no fault found (1 warning(s))")) << checked.out;
}

TEST_F(SignedInfoTest, SerialFollowsThePreviousTreeAndALowerOneNeedsForce) {
  const std::string release = (Release() / "release.toml").string();
  ProcessResult built = Build(release, m_root / "next", {"--previous", (m_root / "good").string()});
  ASSERT_EQ(built.exitCode, 0) << built.err;
  EXPECT_EQ(ProfileFile::GetString((m_root / "next/qupdate_s.ini").string(), "Release", "Serial", ""), "42");

  built = Build(release, m_root / "lower", {"--previous", (m_root / "good").string(), "--serial", "41"});
  EXPECT_EQ(built.exitCode, 1);
  EXPECT_TRUE(Has(built.err, "the serial 41 is not greater than the serial 41 of the previous tree")) << built.err;
  EXPECT_FALSE(fs::exists(m_root / "lower"));
  built = Build(release, m_root / "lower", {"--previous", (m_root / "good").string(), "--serial", "41", "--force"});
  EXPECT_EQ(built.exitCode, 0) << built.err;

  /* a first release counts from the clock */
  built = Build(release, m_root / "first");
  ASSERT_EQ(built.exitCode, 0) << built.err;
  const int64_t serial = std::stoll(ProfileFile::GetString((m_root / "first/qupdate_s.ini").string(), "Release", "Serial", ""));
  EXPECT_LE(std::abs(serial - static_cast<int64_t>(std::time(nullptr))), 600);

  for (const std::vector<std::string>& wrong : {std::vector<std::string>{"--serial", "0"}, {"--serial", "4294967296"},
                                                {"--valid-days", "0"}, {"--valid-days", "-3"}}) {
    built = Build(release, m_root / "wrong", wrong);
    EXPECT_EQ(built.exitCode, 2) << wrong[0] << " " << wrong[1];
    EXPECT_TRUE(Has(built.err, wrong[0] + " \"" + wrong[1] + "\" is not")) << built.err;
  }
}

TEST_F(SignedInfoTest, CheckNamesEachFaultOfTheSignedInformation) {
  // Information edited and signed again by the maker: only the edit is at fault.
  auto edit = [&](const fs::path& file, const std::string& from, const std::string& to) {
    Replace(file, from, to);
    Resign(file);
  };
  // A second certificate for the maker's name from the same CA: it passes the
  // updater's rule, but it is not the key this release is signed with.
  auto otherMakerKey = [&]() {
    const std::string key = (m_root / "second.key").string(), pem = (m_root / "second.pem").string();
    WriteFile(m_root / "second.cnf", "[x]\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n");
    for (const std::vector<std::string>& step :
         {std::vector<std::string>{"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", key},
          {"req", "-new", "-key", key, "-subj", "/C=KR/O=QORVANE. INC, Ltd/CN=QORVANE. INC, Ltd", "-out", pem + ".csr"},
          {"x509", "-req", "-in", pem + ".csr", "-CA", Pki("inter.pem"), "-CAkey", Pki("inter.key"), "-CAcreateserial",
           "-days", "30", "-extfile", (m_root / "second.cnf").string(), "-extensions", "x", "-out", pem}}) {
      const ProcessResult made = RunProcess("/usr/bin/openssl", step);
      ASSERT_EQ(made.exitCode, 0) << made.err;
    }
  };
  const fs::path old = m_root / "old";
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> spoil;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"missing signature", [](const fs::path& t) { fs::remove(t / "qupdate_s.ini.p7s"); },
       {"qupdate_s.ini.p7s: missing: an updater that requires signed information refuses qupdate_s.ini"}},
      {"byte changed after signing", [&](const fs::path& t) { Replace(t / "Writer.ini", "WriterCOUNT=1", "WriterCOUNT=2"); },
       {"Writer.ini.p7s: signature over Writer.ini refused: does not verify over the file as it is now",
        "qupdate_s.ini [ProductFileSHA256] Writer: "}},
      {"product file of an earlier build",
       [&](const fs::path& t) {
         fs::copy_file(old / "Base.ini", t / "Base.ini", fs::copy_options::overwrite_existing);
         fs::copy_file(old / "Base.ini.p7s", t / "Base.ini.p7s", fs::copy_options::overwrite_existing);
       },
       {"qupdate_s.ini [ProductFileSHA256] Base: ", ", but the SHA-256 of Base.ini is "}},
      {"cabinet of an earlier build",
       [&](const fs::path& t) { fs::copy_file(old / "Base/Base.cab", t / "Base/Base.cab", fs::copy_options::overwrite_existing); },
       {"Base.ini [Base] Base0SIZE: ", "Base.ini [Base] Base0SHA256: "}},
      {"expired",
       [&](const fs::path& t) {
         Replace(t / "qupdate_s.ini", "Date=", "Date=2019-12-01T00:00:00Z\r\nBuilt=");
         edit(t / "qupdate_s.ini", "Expires=", "Expires=2020-01-01T00:00:00Z\r\nValid=");
       },
       {"qupdate_s.ini [Release] Expires: 2020-01-01T00:00:00Z has passed (now 20"}},
      {"malformed release", [&](const fs::path& t) { edit(t / "qupdate_s.ini", "Serial=41", "Serial=0x29"); },
       {"qupdate_s.ini [Release] Serial: \"0x29\" is not a number from 1 to 4294967295"}},
      {"no release", [&](const fs::path& t) { edit(t / "qupdate_s.ini", "[Release]", "[Unused]"); },
       {"qupdate_s.ini [Release]: missing"}},
      {"missing keys",
       [&](const fs::path& t) {
         edit(t / "Writer.ini", "Spell0SHA256=", "Unused=");
         edit(t / "qupdate_s.ini", "[ProductFileSize]\r\nWriter=", "[ProductFileSize]\r\nUnused=");
       },
       {"Writer.ini [Writer] Spell0SHA256: missing", "qupdate_s.ini [ProductFileSize] Writer: missing",
        "qupdate_s.ini [ProductFileSize] Unused: names a product that has no UpdateVersionInfo level"}},
      {"another maker certificate",
       [&](const fs::path& t) {
         otherMakerKey();
         SignWith(t / "Base.ini", (m_root / "second.pem").string(), (m_root / "second.key").string(), Pki("inter.pem"));
       },
       {"Base.ini.p7s: signed by \"C=KR, O=\"QORVANE. INC, Ltd\", CN=\"QORVANE. INC, Ltd\"\", not by a certificate that "
        "signs the cabinets"}},
      {"another publisher",
       [&](const fs::path& t) { SignWith(t / "qupdate_s.ini", Pki("other.pem"), Pki("other.key"), Pki("inter.pem")); },
       {"qupdate_s.ini.p7s: qupdate_s.ini is signed by \"C=DE, O=\"Other Software, GmbH\"", "which the updater refuses"}},
      {"untrusted signer",
       [&](const fs::path& t) { SignWith(t / "Writer.ini", Pki("untrusted.pem"), Pki("untrusted.key"), Pki("stranger.pem")); },
       {"Writer.ini.p7s: signature over Writer.ini refused: certificate \""}},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path tree = m_root / ("bad" + std::to_string(index++));
    fs::copy(m_root / "good", tree, fs::copy_options::recursive);
    c.spoil(tree);
    std::vector<std::string> faults;
    for (const auto& f : Findings(tree)) faults.push_back((f.warning ? "warning: " : "") + f.Text());
    for (const std::string& expected : c.expected) {
      bool found = false;
      for (const std::string& f : faults) found = found || Has(f, expected);
      EXPECT_TRUE(found) << "expected \"" << expected << "\" among:\n" << ::testing::PrintToString(faults);
    }
    for (const std::string& f : faults) EXPECT_FALSE(Has(f, "warning: ")) << f;
  }
  /* the program fails on such a tree */
  const ProcessResult checked = Check(m_root / "bad0");
  EXPECT_EQ(checked.exitCode, 1);
  EXPECT_TRUE(Has(checked.err, "qrvpublish: 1 fault(s) in ")) << checked.err;
}

}  // namespace
}  // namespace qrv::test
