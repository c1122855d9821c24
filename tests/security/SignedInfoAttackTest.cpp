// Whoever sits between the client and a plain HTTP server rewrites the
// update information: unsigned or forged files, an older or expired release,
// product files and cabinets of another release, endless data, a release
// signed by another publisher. Each attack runs through the real client
// against a loopback server; each must be refused with its own message,
// nothing installed and no level changed. A server without signatures is
// still served where signatures are not required, and a signed one works.

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "config/CQUpdateMgrEnv.h"
#include "tests/e2e/E2eRunFixture.h"
#include "tests/support/DetachedSigner.h"
#include "tests/support/ProcessRunner.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;

constexpr uint32_t kUnsigned = 300, kBadSignature = 301, kRollback = 302, kExpired = 303, kMismatch = 304,
                   kIncomplete = 305;

std::string Sha256(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr);
  std::string hex;
  char pair[3];
  for (unsigned int i = 0; i < size; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

// What a release of the served tree says; each attack changes one thing.
struct Release {
  uint32_t serial = 7;
  std::string expires = "2099-01-01T00:00:00Z";
  std::string signer = "maker";  // a certificate of the test PKI (pki/NAME.pem)
  bool listHashes = true;  // sizes and hashes of the listed files in the product file
};

class SignedInfoAttackTest : public test::E2eRunFixture {
 public:
  using E2eRunFixture::m_main;
  using E2eRunFixture::m_root;
  using E2eRunFixture::ServeCabinet;
  using E2eRunFixture::Serve;

  void SetUp() override {
    E2eRunFixture::SetUp();
    ASSERT_EQ(UseTransport(test::Transport::kHttp), "");
    Installed("Writer", "Qorvane Writer");
  }

  // A detached CMS signature of srv/relative by signer, at srv/relative.p7s,
  // as the publisher makes it.
  void Sign(const std::string& relative, const std::string& signer) {
    std::string error;
    const std::string der = test::SignDetached(m_fixtures / "pki", signer, ReadFile(m_root / "srv" / relative), error);
    ASSERT_FALSE(der.empty()) << error;
    test::WriteFile(m_root / "srv" / (relative + ".p7s"), der);
  }

  // Writer 5 -> 7 with one cabinet, everything listed and signed as the
  // contract says (signed == false: an old server's tree, no signature, no
  // release section, no sizes or hashes).
  void Publish(const Release& release, bool signed_ = true) {
    const std::string cabinet = ReadFile(ServeCabinet("writer.cab", {{"bin/Writer.exe", "writer program 7"}}));
    std::string product = "[Writer]\nWriterCOUNT=1\nWriter0FILE=writer.cab\n";
    if (signed_ && release.listHashes) {
      product += "Writer0SIZE=" + std::to_string(cabinet.size()) + "\nWriter0SHA256=" + Sha256(cabinet) + "\n";
    }
    Serve("Writer.ini", product);
    std::string info = "[VersionInfo]\nWriter=7.0\n[UpdateVersionInfo]\nWriter=7\n[COUNT]\nWriter=1\n";
    if (signed_) {
      info += "[Release]\nSerial=" + std::to_string(release.serial) + "\nDate=2026-01-01T00:00:00Z\nExpires=" +
              release.expires + "\n[ProductFileSize]\nWriter=" + std::to_string(product.size()) +
              "\n[ProductFileSHA256]\nWriter=" + Sha256(product) + "\n";
    }
    Serve("qupdate_s.ini", info);
    if (!signed_) {
      fs::remove(m_root / "srv" / "qupdate_s.ini.p7s");
      fs::remove(m_root / "srv" / "Writer.ini.p7s");
      return;
    }
    Sign("qupdate_s.ini", release.signer);
    Sign("Writer.ini", release.signer);
  }

  std::string Served(const std::string& relative) { return ReadFile(m_root / "srv" / relative); }
  // Changes a served file after it was signed, as a man in the middle would.
  void Rewrite(const std::string& relative, const std::string& from, const std::string& to) {
    std::string text = Served(relative);
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    Serve(relative, text.replace(at, from.size(), to));
  }
  void Require() { m_main.SetDword("RequireSignedInfo", 1); }
  static uint32_t Highest() { return CQUpdateMgrEnv().GetHighestReleaseSerial(); }
  bool Installed7() const { return fs::exists(Install("Writer") / "bin" / "Writer.exe"); }
  // The argument of the first box with id, or "<not shown>".
  std::string Shown(uint32_t id) const {
    const auto found = std::find(m_messages->shown.begin(), m_messages->shown.end(), id);
    return found == m_messages->shown.end() ? "<not shown>"
                                            : m_messages->arguments[static_cast<size_t>(found - m_messages->shown.begin())];
  }
};

// One attack: how the served tree is changed after a good release was
// published, and what the client must answer.
struct Attack {
  const char* name;
  void (*tamper)(SignedInfoAttackTest& t);
  uint32_t message;
  const char* argument;  // a part of the message's argument
  bool atPrepare;        // refused before any list is offered
  uint32_t highestAfter; // HighestReleaseSerial afterwards (it starts at 0)
};

const Attack kAttacks[] = {
    {"UnsignedWhenRequired",
     [](SignedInfoAttackTest& t) {
       t.Require();
       t.Publish({}, false);
     },
     kUnsigned, "", true, 0},
    {"SignaturesStrippedAfterASignedRelease",
     [](SignedInfoAttackTest& t) {
       // this machine took release 7 signed before; an older tree without
       // signatures (its cabinets genuinely signed) is no way back
       t.m_main.SetDword("HighestReleaseSerial", 7);
       t.Publish({}, false);
     },
     kUnsigned, "", true, 7},
    {"PageInsteadOfSignatureWhenRequired",
     [](SignedInfoAttackTest& t) {
       t.Require();
       t.Publish({}, false);
       t.Serve("qupdate_s.ini.p7s", "<html><body>Page not found</body></html>");
     },
     kBadSignature, "qupdate_s.ini", true, 0},
    {"TamperedInformation",
     [](SignedInfoAttackTest& t) { t.Rewrite("qupdate_s.ini", "Writer=7\n[COUNT]", "Writer=9\n[COUNT]"); },
     kBadSignature, "qupdate_s.ini", true, 0},
    {"SignatureOfOtherBytes",
     [](SignedInfoAttackTest& t) {
       test::WriteFile(t.m_root / "srv" / "qupdate_s.ini.p7s", t.Served("Writer.ini.p7s"));
     },
     kBadSignature, "qupdate_s.ini", true, 0},
    {"TamperedProductFile",
     [](SignedInfoAttackTest& t) { t.Rewrite("Writer.ini", "WriterCOUNT=1", "WriterCOUNT=2"); },
     kBadSignature, "Writer.ini", false, 7},
    {"ProductFileOfAnotherRelease",
     [](SignedInfoAttackTest& t) {
       // genuinely signed by the maker, of the same size, but not the one
       // this release lists
       t.Rewrite("Writer.ini", "Writer0FILE=writer.cab", "Writer0FILE=writer.CAB");
       t.Sign("Writer.ini", "maker");
     },
     kMismatch, "Writer.ini", false, 7},
    {"ProductFileLargerThanListed",
     [](SignedInfoAttackTest& t) { t.Serve("Writer.ini", t.Served("Writer.ini") + std::string(8192, ';')); },
     kMismatch, "Writer.ini", false, 7},
    {"CabinetOfAnotherRelease",
     [](SignedInfoAttackTest& t) { t.ServeCabinet("writer.cab", {{"bin/Writer.exe", "writer program 6"}}); },
     kMismatch, "writer.cab", false, 7},
    {"CabinetLargerThanListed",
     [](SignedInfoAttackTest& t) {
       test::WriteFile(t.m_root / "srv" / "writer.cab",
                       t.Served("writer.cab") + std::string(size_t{1} << 20, '\0'));
     },
     kMismatch, "writer.cab", false, 7},
    {"ListedFileWithoutHash", [](SignedInfoAttackTest& t) { t.Publish({.listHashes = false}); }, kIncomplete,
     "Writer0SHA256", false, 7},
    {"Rollback",
     [](SignedInfoAttackTest& t) {
       t.m_main.SetDword("HighestReleaseSerial", 8);
       t.Publish({.serial = 6});
     },
     kRollback, "6 / 8", true, 8},
    {"RollbackBelowTheLargestSerial",
     [](SignedInfoAttackTest& t) {
       t.m_main.SetDword("HighestReleaseSerial", 4294967295u);
       t.Publish({.serial = 4294967294u});
     },
     kRollback, "4294967294 / 4294967295", true, 4294967295u},
    {"FrozenRelease", [](SignedInfoAttackTest& t) { t.Publish({.expires = "2020-02-29T12:00:00Z"}); }, kExpired,
     "2020-02-29 12:00:00", true, 0},
    {"ReleaseWithoutExpiry",
     [](SignedInfoAttackTest& t) {
       t.Rewrite("qupdate_s.ini", "Expires=", "Expiry=");
       t.Sign("qupdate_s.ini", "maker");
     },
     kIncomplete, "[Release] Expires", true, 0},
    {"AnotherPublisherUnderTheTrustedRoot", [](SignedInfoAttackTest& t) { t.Publish({.signer = "other"}); },
     kBadSignature, "qupdate_s.ini", true, 0},
    {"MakersNameFromAnUntrustedRoot", [](SignedInfoAttackTest& t) { t.Publish({.signer = "untrusted"}); },
     kBadSignature, "qupdate_s.ini", true, 0},
};

class SignedInfoAttack : public SignedInfoAttackTest, public ::testing::WithParamInterface<Attack> {};

TEST_P(SignedInfoAttack, IsRefusedWithItsMessageAndNothingInstalled) {
  const Attack& attack = GetParam();
  Publish({});
  attack.tamper(*this);

  m_window->UpdatePrepare(0);
  const bool offered = !m_window->Products().empty();
  if (attack.atPrepare) {
    EXPECT_FALSE(offered);
    EXPECT_EQ(m_process->LastPrepareOutcome(), CQUpdateBase::PrepareOutcome::kFailed);
    EXPECT_FALSE(m_process->PrepareFailure().empty());
  } else {
    ASSERT_TRUE(offered);
    std::vector<std::string> products = {"Writer"};
    EXPECT_EQ(m_window->UpdateDownload(products), 5) << "a refused signature, never a success";
    EXPECT_NE(State(), 12u);
  }
  EXPECT_NE(Shown(attack.message).find(attack.argument), std::string::npos)
      << Shown(attack.message) << "; shown: " << ::testing::PrintToString(m_messages->shown);
  EXPECT_FALSE(Installed7());
  EXPECT_EQ(Version("Writer"), 5u);
  EXPECT_EQ(Highest(), attack.highestAfter);
}

INSTANTIATE_TEST_SUITE_P(Server, SignedInfoAttack, ::testing::ValuesIn(kAttacks),
                         [](const ::testing::TestParamInfo<Attack>& param) { return param.param.name; });

TEST_F(SignedInfoAttackTest, AnOldServerWithoutSignaturesIsStillServedWhenNotRequired) {
  Publish({}, false);
  // Some servers answer a missing file with a page of their own: that is
  // no signature either.
  Serve("qupdate_s.ini.p7s", "<html><body>Page not found</body></html>");
  Serve("Writer.ini.p7s", "<html><body>Page not found</body></html>");
  ASSERT_TRUE(RunAll({"Writer"}));
  EXPECT_EQ(ReadFile(Install("Writer") / "bin" / "Writer.exe"), "writer program 7");
  EXPECT_EQ(Version("Writer"), 7u);
  EXPECT_EQ(Highest(), 0u);
}

TEST_F(SignedInfoAttackTest, ASignedReleaseIsInstalledItsSerialKeptAndTheSameReleaseTakenAgain) {
  Require();
  Publish({.serial = 12});
  ASSERT_TRUE(RunAll({"Writer"}));
  EXPECT_EQ(ReadFile(Install("Writer") / "bin" / "Writer.exe"), "writer program 7");
  EXPECT_EQ(Version("Writer"), 7u);
  EXPECT_EQ(Highest(), 12u);
  // the same release seen again is no rollback: nothing pending, no refusal
  NewProcess(0);
  m_messages->shown.clear();
  m_window->UpdatePrepare(0);
  EXPECT_EQ(m_process->LastPrepareOutcome(), CQUpdateBase::PrepareOutcome::kNothingPending);
  EXPECT_EQ(Shown(kRollback), "<not shown>");
}

TEST_F(SignedInfoAttackTest, AnAutomaticRunEndsAsAFailureOnACabinetOfAnotherRelease) {
  Publish({});
  ServeCabinet("writer.cab", {{"bin/Writer.exe", "writer program 6"}});
  NewProcess(1);
  m_window->UpdatePrepare(0);
  ASSERT_EQ(m_process->LastPrepareOutcome(), CQUpdateBase::PrepareOutcome::kFound);
  std::vector<std::string> products = {"Writer"};
  EXPECT_EQ(m_window->UpdateDownload(products), 5);
  EXPECT_EQ(m_ended, std::vector<int>{1});
  EXPECT_NE(Shown(kMismatch).find("writer.cab"), std::string::npos) << Shown(kMismatch);
  EXPECT_FALSE(Installed7());
  EXPECT_EQ(Version("Writer"), 5u);
}

TEST_F(SignedInfoAttackTest, ACabinetSwappedAfterItsDownloadIsNotUnpacked) {
  Publish({});
  m_window->UpdatePrepare(0);
  std::vector<std::string> products = {"Writer"};
  ASSERT_EQ(m_window->UpdateDownload(products), 1);
  // another genuinely signed cabinet of the same size in its place
  const fs::path other = ServeCabinet("other/writer.cab", {{"bin/Writer.exe", "writer program 6"}});
  fs::copy_file(other, Download() / "writer.cab", fs::copy_options::overwrite_existing);
  m_window->UpdateWait();
  EXPECT_EQ(m_window->UpdateCopyFile(), 0);
  EXPECT_NE(m_process->CopyFailureReason().find("the signed information lists"), std::string::npos)
      << m_process->CopyFailureReason();
  EXPECT_FALSE(Installed7());
  EXPECT_EQ(Version("Writer"), 5u);
}

// The update notes are shown as the maker's words: only as the signed
// information lists them.
TEST_F(SignedInfoAttackTest, UpdateNotesAreShownOnlyAsTheSignedInformationListsThem) {
  Require();
  Publish({});
  const std::string notes = "Writer 7 fixes a crash.\n";
  Serve("notes.txt", notes);
  const std::string listing = "[UPDATEINFOPATH]\nWriter=notes.txt\n[UpdateInfoSize]\nWriter=" +
                              std::to_string(notes.size()) + "\n[UpdateInfoSHA256]\nWriter=" + Sha256(notes) + "\n";
  const auto shown = [this] {
    m_window->UpdatePrepare(0);
    m_process->LoadUpdateContent("Writer");
    std::string bytes;
    bool truncated = false;
    const bool read = m_process->Engine().ReadUpdateContent("Writer", 4096, bytes, truncated);
    return read ? bytes : "<nothing>";
  };
  // As listed: shown.
  Serve("qupdate_s.ini", Served("qupdate_s.ini") + listing);
  Sign("qupdate_s.ini", "maker");
  EXPECT_EQ(shown(), notes);
  // Changed in between: nothing shown.
  Serve("notes.txt", "URGENT: this update is broken, install the fix from http://evil.example/fix.sh\n");
  EXPECT_EQ(shown(), "<nothing>");
  // Named but not listed, where signed information is demanded: nothing.
  Publish({});
  Serve("qupdate_s.ini", Served("qupdate_s.ini") + "[UPDATEINFOPATH]\nWriter=notes.txt\n");
  Sign("qupdate_s.ini", "maker");
  EXPECT_EQ(shown(), "<nothing>");
}

TEST_F(SignedInfoAttackTest, TheConsoleShowsEachRefusalAndEndsAsAFailure) {
  struct Case {
    const char* name;
    void (*tamper)(SignedInfoAttackTest& t);
    const char* shown;
  };
  for (const Case& c : {
           Case{"rollback",
                [](SignedInfoAttackTest& t) {
                  t.m_main.SetDword("HighestReleaseSerial", 8);
                  t.Publish({.serial = 6});
                },
                "older release than this computer has already accepted (offered / accepted: 6 / 8)"},
           Case{"cabinet of another release",
                [](SignedInfoAttackTest& t) {
                  t.ServeCabinet("writer.cab", {{"bin/Writer.exe", "writer program 6"}});
                },
                "writer.cab does not match the size or hash listed in the signed update information"},
       }) {
    SCOPED_TRACE(c.name);
    m_main.SetDword("HighestReleaseSerial", 0);
    Publish({});
    c.tamper(*this);
    const test::ProcessResult run = test::RunProcess(
        QRVUPDATE_PATH, {"--root", m_root.Path().string(), "--console", "--yes"}, {{"LC_ALL", "C"}});
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_NE(run.out.find(c.shown), std::string::npos) << run.out;
    EXPECT_FALSE(Installed7());
    EXPECT_EQ(Version("Writer"), 5u);
  }
}

}  // namespace
}  // namespace qrv
