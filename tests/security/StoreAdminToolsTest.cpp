// The administrator's tools and the store against what an attacker can
// arrange: a .reg file that fails half-way, an export others could read, a
// password on the process list, folders left open by the umask.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "apply/PendingReplacements.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/registry/RegistryKey.h"
#include "platform/registry/RegistryStore.h"
#include "tests/support/ProcessRunner.h"
#include "tests/support/SandboxRoot.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using platform::RegistryKey;
using platform::RegStatus;

constexpr const char* kMain = "HKLM\\SOFTWARE\\QRV\\Shared\\QrvUpdate";
// "password" as stored (what `qrvctl password encrypt password` prints)
constexpr const char* kStoredPassword = "2DEB5FBFB39B3BF0AEA43CACD5BC03B0";

using test::ModeOf;

// Sets the umask for the scope; the tools started meanwhile inherit it.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : m_old(umask(mask)) {}
  ~ScopedUmask() { umask(m_old); }

 private:
  mode_t m_old;
};

class StoreAdminToolsTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::RegistryStore::ReleaseThreadConnections(); }

  test::ProcessResult Qrvctl(std::vector<std::string> args, const std::string& input = {}) {
    args.insert(args.begin(), {"--root", m_root.Path().string()});
    return test::RunProcess(QRVCTL_PATH, args, {}, input);
  }
  void Ok(const std::vector<std::string>& args) {
    test::ProcessResult r = Qrvctl(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  // Everything of a root, as `reg export` writes it.
  std::string Export(const char* root) {
    test::ProcessResult r = Qrvctl({"reg", "export", root, "-"});
    return r.exitCode == 0 ? r.out : "(" + std::string(root) + ": " + r.err + ")";
  }
  std::string FullExport() { return Export("HKLM") + Export("HKCU"); }
  void Installed() {
    Ok({"reg", "add", kMain, "ServerPath", "REG_SZ", "http://updates.example/"});
    Ok({"reg", "add", kMain, "PassWD", "REG_SZ", kStoredPassword});
    Ok({"reg", "add", kMain, "TrustAnchors", "REG_SZ", "/etc/qrv/anchors.pem"});
    Ok({"reg", "add", std::string(kMain) + "\\Writer", "ProductPath", "REG_SZ", "/opt/writer/"});
    Ok({"reg", "add", std::string(kMain) + "\\Writer", "ProductVersion", "REG_DWORD", "7"});
    Ok({"reg", "add", "HKCU\\Software\\QRV", "Seen", "REG_DWORD", "1"});
  }

  test::SandboxRoot m_root;
};

TEST_F(StoreAdminToolsTest, AnImportThatFailsAnywhereChangesNothing) {
  Installed();
  const std::string hklmBefore = Export("HKLM");
  const std::string before = hklmBefore + Export("HKCU");
  ASSERT_NE(before.find("PassWD"), std::string::npos) << before;
  const std::string file = (m_root / "in.reg").string();
  const std::string longName(256, 'n');
  struct Case {
    const char* what;
    std::string text;
    const char* mention;
  };
  const std::vector<Case> cases = {
      {"a deleted key, then a name over the store's limit",
       "REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\QRV\\Shared\\QrvUpdate]\n\n"
       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QRV\\Shared\\QrvUpdate]\n\"ServerPath\"=\"http://evil.example/\"\n\"" +
           longName + "\"=\"x\"\n",
       "256 characters"},
      {"a key name over the limit after good writes",
       "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\QRV\\Shared\\QrvUpdate]\n\"ServerPath\"=\"http://evil.example/\"\n"
       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\" + std::string(300, 'k') + "]\n",
       "300 characters"},
      {"a value deletion with an impossible name",
       "REGEDIT4\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\QRV]\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n\"" + longName + "\"=-\n",
       "256 characters"},
      {"an empty key name",
       "REGEDIT4\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\QRV]\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\\\X]\n\"v\"=\"x\"\n",
       "empty key name"},
      {"a value over the store's size limit",
       "REGEDIT4\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\QRV]\n[HKEY_CURRENT_USER\\Software\\QRV]\n\"big\"=hex:" +
           [] {
             std::string bytes = "00";
             for (int i = 0; i < 1024 * 1024; ++i) bytes += ",00";
             return bytes;
           }() + "\n",
       "1048577 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::WriteFile(file, c.text);
    test::ProcessResult r = Qrvctl({"reg", "import", file});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(c.mention), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("nothing was imported"), std::string::npos) << r.err;
    EXPECT_EQ(FullExport(), before);
  }

  // A store that refuses the write (here: HKCU's file is damaged) fails the
  // whole file, including what it would have written to HKLM before.
  const fs::path user = m_root / "var/lib/qrvupdate/HKCU.sqlite";
  test::WriteFile(user, std::string(4096, 'x'));
  test::WriteFile(file,
                  "REGEDIT4\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\QRV\\Shared\\QrvUpdate]\n"
                  "[HKEY_CURRENT_USER\\Software\\QRV]\n\"Seen\"=dword:00000002\n");
  test::ProcessResult r = Qrvctl({"reg", "import", file});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("HKCU.sqlite"), std::string::npos) << r.err;
  EXPECT_EQ(Export("HKLM"), hklmBefore);
  EXPECT_EQ(test::ReadFile(user), std::string(4096, 'x')) << "a damaged store is left as it was";

  // the same file against healthy stores goes through whole
  fs::remove(user);
  Ok({"reg", "import", file});
  EXPECT_EQ(Qrvctl({"reg", "query", kMain}).exitCode, 1);
  EXPECT_EQ(Qrvctl({"reg", "query", "HKCU\\Software\\QRV", "Seen"}).out, "Seen\tREG_DWORD\t2\n");
}

TEST_F(StoreAdminToolsTest, AnExportIsReadableByItsOwnerOnlyWhateverTheUmask) {
  Installed();
  ScopedUmask open(0);
  const fs::path file = m_root / "settings.reg";
  Ok({"reg", "export", kMain, file.string()});
  EXPECT_EQ(ModeOf(file), 0600u);
  EXPECT_NE(test::ReadFile(file).find(kStoredPassword), std::string::npos);

  // an earlier export that others could read becomes private too
  fs::permissions(file, fs::perms::all);
  Ok({"reg", "export", kMain, file.string()});
  EXPECT_EQ(ModeOf(file), 0600u);

  // a link planted under the name is replaced, and what it points at kept
  const fs::path victim = m_root / "victim.txt";
  test::WriteFile(victim, "keep");
  const fs::path planted = m_root / "planted.reg";
  fs::create_symlink(victim, planted);
  Ok({"reg", "export", kMain, planted.string()});
  EXPECT_EQ(test::ReadFile(victim), "keep");
  EXPECT_FALSE(fs::is_symlink(planted));
  EXPECT_EQ(ModeOf(planted), 0600u);
}

// A password given as an argument is on the process list for every user to
// read; from standard input it is not.
TEST_F(StoreAdminToolsTest, APasswordToEncryptComesFromStandardInput) {
  const std::string stored = std::string(kStoredPassword) + "\n";
  for (const char* input : {"password\n", "password", "password\r\n"}) {
    EXPECT_EQ(Qrvctl({"password", "encrypt"}, input).out, stored) << "one final line end is no part of it";
  }
  EXPECT_EQ(Qrvctl({"password", "decrypt"}, stored).out, "password\n");
  test::ProcessResult r = Qrvctl({"password", "encrypt"}, std::string("pass\0word", 9));
  EXPECT_EQ(r.exitCode, 1) << "a NUL cannot be stored";
  EXPECT_TRUE(r.out.empty());
}

TEST_F(StoreAdminToolsTest, TheStoreAndPendingFoldersArePrivateWhateverTheUmask) {
  for (mode_t mask : {mode_t{0}, mode_t{077}}) {
    SCOPED_TRACE("umask " + std::to_string(mask));
    test::SandboxRoot root;
    ScopedUmask scoped(mask);
    RegistryKey key;
    ASSERT_EQ(RegistryKey::Create(platform::kRootLocalMachine, CQUpdateUtilRegistry::kMainKey, key), RegStatus::kOk);
    EXPECT_EQ(ModeOf(root / "var/lib/qrvupdate"), 0700u);
    EXPECT_EQ(ModeOf(root / "var/lib/qrvupdate/HKLM.sqlite"), 0600u);
    // the system folders above it stay open to everyone, as on any machine
    EXPECT_EQ(ModeOf(root / "var"), 0755u);
    EXPECT_EQ(ModeOf(root / "var/lib"), 0755u);

    test::WriteFile(root / "hold" / "main.bin", "new");
    std::string error;
    ASSERT_TRUE(PendingReplacements::Queue((root / "hold" / "main.bin").string(),
                                           (root / "inst" / "main.bin").string(), error))
        << error;
    EXPECT_EQ(ModeOf(root / "var/lib/qrvupdate/pending"), 0700u);
    platform::RegistryStore::ReleaseThreadConnections();

    // qrvctl makes its stores the same way
    test::SandboxRoot other;
    test::ProcessResult r = test::RunProcess(
        QRVCTL_PATH, {"--root", other.Path().string(), "reg", "add", "HKCU\\Software\\Q", "v", "REG_SZ", "x"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ModeOf(other / "var/lib/qrvupdate"), 0700u);
    EXPECT_EQ(ModeOf(other / "var/lib"), 0755u);
  }
}

}  // namespace
}  // namespace qrv
