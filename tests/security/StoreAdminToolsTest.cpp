// The administrator's tools and the store keep their promises against what
// an attacker can arrange: a .reg file that fails half-way, an export read by
// other users, a password read off the process list, folders left open by
// the umask the tool happened to run under.

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "apply/PendingReplacements.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/registry/RegistryKey.h"
#include "platform/registry/RegistryStore.h"
#include "tests/support/ProcessRunner.h"
#include "tests/support/SandboxRoot.h"

extern char** environ;

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

// Starts qrvctl with its standard input on a pipe, reads its command line
// from /proc (what `ps` shows every user) while it waits for the input,
// then writes input. Returns the command line (NULs as spaces) and output.
std::string RunReadingStdin(const std::vector<std::string>& args, const std::string& input, std::string& out,
                            int& exitCode) {
  int in[2], outPipe[2];
  EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
  EXPECT_EQ(pipe2(outPipe, O_CLOEXEC), 0);
  std::vector<std::string> all{QRVCTL_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  pid_t pid = 0;
  EXPECT_EQ(posix_spawn(&pid, QRVCTL_PATH, &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(outPipe[1]);

  // the program is running (and waiting on the pipe) once /proc shows its own name
  std::string cmdline;
  for (int i = 0; i < 500; ++i) {
    std::ifstream proc("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::stringstream text;
    text << proc.rdbuf();
    cmdline = text.str();
    if (cmdline.find("password") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (char& c : cmdline) {
    if (c == '\0') c = ' ';
  }
  EXPECT_EQ(write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(in[1]);
  out.clear();
  char buffer[256];
  for (ssize_t n; (n = read(outPipe[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<size_t>(n));
  close(outPipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return cmdline;
}

TEST_F(StoreAdminToolsTest, APasswordToEncryptComesFromStandardInputNotTheProcessList) {
  std::string out;
  int exitCode = -1;
  const std::string cmdline = RunReadingStdin({"password", "encrypt"}, "password\n", out, exitCode);
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(out, std::string(kStoredPassword) + "\n") << "one final line end is no part of the password";
  EXPECT_NE(cmdline.find("password encrypt"), std::string::npos) << cmdline;
  EXPECT_EQ(cmdline.find("password encrypt password"), std::string::npos) << "the text never was an argument";

  // without a final line end, with CRLF, and back again
  EXPECT_EQ(Qrvctl({"password", "encrypt"}, "password").out, std::string(kStoredPassword) + "\n");
  EXPECT_EQ(Qrvctl({"password", "encrypt"}, "password\r\n").out, std::string(kStoredPassword) + "\n");
  EXPECT_EQ(Qrvctl({"password", "decrypt"}, std::string(kStoredPassword) + "\n").out, "password\n");
  EXPECT_EQ(Qrvctl({"password", "encrypt", "password"}).out, std::string(kStoredPassword) + "\n")
      << "an argument still works for old scripts";
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
