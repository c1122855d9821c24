// qrvpublish given hostile input: release files and source trees handed to
// a publisher, a previous tree for --previous, a tree for check, and HTTP
// clients of serve. Every case runs the real program of this build.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/publish/PublishFixture.h"

extern char** environ;

namespace qrv::test {
namespace {

namespace fs = std::filesystem;

std::string Product(int level, const std::string& extra = {}) {
  return "[[product]]\nkey = \"Base\"\nversion = \"" + std::to_string(level) + ".0\"\nlevel = " + std::to_string(level) +
         "\n" + extra + "\n  [[product.feature]]\n  name = \"Base\"\n  source = \"src/base\"\n";
}

class PublishAttackTest : public PublishFixture {
 protected:
  void SetUp() override {
    PublishFixture::SetUp();
    Source("src/base/base.txt", "base 1");
  }
  // Writes rel/NAME with `text` and builds it into OUT; the result.
  ProcessResult BuildText(const std::string& name, const std::string& text, const fs::path& out,
                          const std::vector<std::string>& extra = {}) {
    Source(name, text);
    return Build(Release() / name, out, extra);
  }

  int Connect() const {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(m_port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      if (fd >= 0) close(fd);
      return -1;
    }
    return fd;
  }
};

/* ---- a hostile previous tree ---- */

// The previous tree is the one clients are fetching from right now: an
// incremental build reads it and must never change a byte of it, whatever
// its product file lists.
// Here the old product file lists a cabinet stored under the notes file's
// name: the build either refuses it or makes a tree check passes, and
// OLD/Base.txt keeps its bytes either way.
TEST_F(PublishAttackTest, IncrementalBuildNeverWritesIntoThePreviousTree) {
  ProcessResult built = BuildText("one.toml", Product(1, "notes = \"first\""), m_root / "old");
  ASSERT_EQ(built.exitCode, 0) << built.err;
  // A cabinet stored under the notes file's name and listed by the product file.
  fs::copy_file(m_root / "old/Base/Base.cab", m_root / "old/Base.txt", fs::copy_options::overwrite_existing);
  WriteFile(m_root / "old/Base.ini", "[Base]\r\nBaseCOUNT=1\r\nBase0FILE=Base.txt\r\n");
  const std::string before = ReadFile(m_root / "old/Base.txt");

  Source("src/base/base.txt", "base 2");
  built = BuildText("two.toml", Product(2, "notes = \"second\""), m_root / "new", {"--previous", (m_root / "old").string()});
  EXPECT_TRUE(ReadFile(m_root / "old/Base.txt") == before)
      << "OLD/Base.txt now holds " << ReadFile(m_root / "old/Base.txt").substr(0, 40) << "; exit " << built.exitCode << ": "
      << built.err;
  if (built.exitCode == 0) {
    const ProcessResult checked = Check(m_root / "new");
    EXPECT_EQ(checked.exitCode, 0) << checked.err;
  }
}

// A file the previous tree holds but does not list (a trial build's left
// over) is not one of its cabinets.
// A stray OLD/Base/Base-2.cab under the name this build gives its own new
// cabinet is neither copied nor changed, and the new tree passes check.
TEST_F(PublishAttackTest, UnlistedFileInThePreviousTreeDoesNotStopTheBuild) {
  ProcessResult built = BuildText("one.toml", Product(1), m_root / "old");
  ASSERT_EQ(built.exitCode, 0) << built.err;
  fs::copy_file(m_root / "old/Base/Base.cab", m_root / "old/Base/Base-2.cab");
  const std::string stray = ReadFile(m_root / "old/Base/Base-2.cab");

  Source("src/base/base.txt", "base 2");
  built = BuildText("two.toml", Product(2), m_root / "new", {"--previous", (m_root / "old").string()});
  ASSERT_EQ(built.exitCode, 0) << built.err;
  EXPECT_TRUE(ReadFile(m_root / "old/Base/Base-2.cab") == stray);
  const ProcessResult checked = Check(m_root / "new");
  EXPECT_EQ(checked.exitCode, 0) << checked.err;
}

// Previous trees whose lists climb out, name absolute paths, links or
// non-cabinets are refused, and OUT is not left half made.
TEST_F(PublishAttackTest, PreviousTreeListingOutsideItselfIsRefused) {
  ProcessResult built = BuildText("one.toml", Product(1), m_root / "old");
  ASSERT_EQ(built.exitCode, 0) << built.err;
  WriteFile(m_root / "outside.cab", ReadFile(m_root / "old/Base/Base.cab"));
  fs::create_symlink(m_root / "outside.cab", m_root / "old/Base/link.cab");
  Source("src/base/base.txt", "base 2");
  Source("two.toml", Product(2));
  for (const std::string listed : {"..\\outside.cab", "Base\\..\\..\\outside.cab", "/etc/passwd", "Base\\link.cab",
                                   "Base.ini", "C:\\outside.cab"}) {
    SCOPED_TRACE(listed);
    WriteFile(m_root / "old/Base.ini", "[Base]\r\nBaseCOUNT=1\r\nBase0FILE=" + listed + "\r\n");
    built = Build(Release() / "two.toml", m_root / "new", {"--previous", (m_root / "old").string()});
    EXPECT_EQ(built.exitCode, 1) << built.out;
    EXPECT_FALSE(fs::exists(m_root / "new"));
  }
  /* a previous cabinet whose entry climbs out of the folder it is unpacked to */
  std::string cabinet = ReadFile(m_root / "old/Base/Base.cab");
  const size_t at = cabinet.find(std::string("base.txt\0", 9));
  ASSERT_NE(at, std::string::npos);
  cabinet.replace(at, 8, "../b.txt");
  WriteFile(m_root / "old/Base/Base.cab", cabinet);
  WriteFile(m_root / "old/Base.ini", "[Base]\r\nBaseCOUNT=1\r\nBase0FILE=Base\\Base.cab\r\n");
  built = Build(Release() / "two.toml", m_root / "new", {"--previous", (m_root / "old").string()});
  EXPECT_EQ(built.exitCode, 1);
  EXPECT_TRUE(Has(built.err, "climbs out")) << built.err;
  EXPECT_FALSE(fs::exists(m_root / "new"));

  WriteFile(m_root / "old/Base.ini", "[Base]\r\nBaseCOUNT=99999999\r\n");
  built = Build(Release() / "two.toml", m_root / "new", {"--previous", (m_root / "old").string()});
  EXPECT_EQ(built.exitCode, 1);
  EXPECT_TRUE(Has(built.err, "99999999")) << built.err;
}

/* ---- a hostile release file or source tree ---- */

// A feature's keys in the product file are NAME + "COUNT" and NAME + i +
// "FILE"; a name that makes the same keys as an action list or as another
// feature gives a product file the client reads differently from the release.
// A feature "REGISTRY" beside two registry values, and a feature "Base1"
// beside a "Base" of eleven cabinets (both would write Base10FILE), are
// refused when the release is read, naming the release file and features.
TEST_F(PublishAttackTest, FeatureNamesThatCollideInTheProductFileAreRefused) {
  Source("src/other/other.txt", "other");
  ProcessResult built = BuildText("registry.toml", Product(2, R"(
  [[product.registry]]
  root = "HKLM"
  key = "Software\\Qorvane"
  name = "one"
  value = "1"
  [[product.registry]]
  root = "HKLM"
  key = "Software\\Qorvane"
  name = "two"
  value = "2"
  [[product.feature]]
  name = "REGISTRY"
  source = "src/other"
)"), m_root / "registry");
  EXPECT_EQ(built.exitCode, 1) << ReadFile(m_root / "registry/Base.ini");
  EXPECT_TRUE(Has(built.err, "registry.toml") && Has(built.err, "product \"Base\"") && Has(built.err, "\"REGISTRY\""))
      << built.err;
  EXPECT_FALSE(fs::exists(m_root / "registry/Base.ini"));

  for (int i = 0; i < 11; ++i) Source("src/base/f" + std::to_string(i + 10) + ".bin", std::string(1000, 'a' + i));
  built = BuildText("digits.toml", Product(2, R"(
  [[product.feature]]
  name = "Base1"
  source = "src/other"
)"), m_root / "digits", {"--cab-size", "1K"});
  EXPECT_EQ(built.exitCode, 1);
  EXPECT_TRUE(Has(built.err, "digits.toml") && Has(built.err, "\"Base\"") && Has(built.err, "\"Base1\"")) << built.err;
}

// A feature split into several cabinets takes NAME_2.cab, NAME_3.cab...; a
// second feature whose own cabinet is called NAME_2 must be refused while
// the release is read, naming the release file and both features, before
// any signing starts.
TEST_F(PublishAttackTest, CabinetNameThatASplitFeatureAlsoMakesIsRefusedWithTheRelease) {
  Source("src/split/one.bin", std::string(1500, '1'));
  Source("src/split/two.bin", std::string(1500, '2'));
  const ProcessResult built = BuildText("split.toml", Product(1, R"(
  [[product.feature]]
  name = "Split"
  source = "src/split"
  cabinet = "x"
  [[product.feature]]
  name = "Other"
  source = "src/base"
  cabinet = "x_2"
)"), m_root / "out", {"--cab-size", "1K"});
  EXPECT_EQ(built.exitCode, 1);
  EXPECT_TRUE(Has(built.err, "split.toml") && Has(built.err, "\"Split\"") && Has(built.err, "\"Other\"")) << built.err;
  EXPECT_FALSE(Has(built.err, "osslsigncode")) << built.err;
}

// Release files that try to read outside their folder, to name files the
// client would write outside the installation, or to slip a line into the
// INI files are refused before anything is made.
TEST_F(PublishAttackTest, HostileReleaseFilesAreRefusedBeforeAnythingIsMade) {
  WriteFile(m_root / "outside/secret.txt", "secret");
  fs::create_symlink(m_root / "outside", Release() / "src/linked");
  fs::create_symlink(m_root / "outside/secret.txt", Release() / "notes-link.txt");
  const std::string feature = "\n  [[product.feature]]\n  name = \"Base\"\n  source = \"src/base\"\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"source climbs", "[[product]]\nkey=\"Base\"\nversion=\"1\"\nlevel=1\n[[product.feature]]\nname=\"Base\"\nsource=\"../../outside\"\n"},
      {"source absolute", "[[product]]\nkey=\"Base\"\nversion=\"1\"\nlevel=1\n[[product.feature]]\nname=\"Base\"\nsource=\"" +
                              (m_root / "outside").string() + "\"\n"},
      {"source link", "[[product]]\nkey=\"Base\"\nversion=\"1\"\nlevel=1\n[[product.feature]]\nname=\"Base\"\nsource=\"src/linked\"\n"},
      {"source backslash climb", "[[product]]\nkey=\"Base\"\nversion=\"1\"\nlevel=1\n[[product.feature]]\nname=\"Base\"\nsource=\"src\\\\..\\\\..\\\\outside\"\n"},
      {"notes link", "[[product]]\nkey=\"Base\"\nversion=\"1\"\nlevel=1\nnotes_file=\"notes-link.txt\"" + feature},
      {"key climbs", "[[product]]\nkey=\"..\"\nversion=\"1\"\nlevel=1" + feature},
      {"key slash", "[[product]]\nkey=\"a/b\"\nversion=\"1\"\nlevel=1" + feature},
      {"key backslash", "[[product]]\nkey=\"a\\\\b\"\nversion=\"1\"\nlevel=1" + feature},
      {"key section", "[[product]]\nkey=\"a]\\r\\n[UpdateVersionInfo\"\nversion=\"1\"\nlevel=1" + feature},
      {"key is the information file", "[[product]]\nkey=\"QUPDATE_S\"\nversion=\"1\"\nlevel=1" + feature},
      {"version line break", "[[product]]\nkey=\"Base\"\nversion=\"1\\r\\nOther=9\"\nlevel=1" + feature},
      {"version too long", "[[product]]\nkey=\"Base\"\nversion=\"" + std::string(300, '9') + "\"\nlevel=1" + feature},
      {"level too high", "[[product]]\nkey=\"Base\"\nversion=\"1\"\nlevel=2147483647" + feature},
      {"level as text", "[[product]]\nkey=\"Base\"\nversion=\"1\"\nlevel=\"2\"" + feature},
      {"level none", "[[product]]\nkey=\"Base\"\nversion=\"1\"\nlevel=-1" + feature},
      {"duplicate key", "[[product]]\nkey=\"Base\"\nkey=\"Other\"\nversion=\"1\"\nlevel=1" + feature},
      {"cabinet climbs", "[[product]]\nkey=\"Base\"\nversion=\"1\"\nlevel=1\n[[product.feature]]\nname=\"Base\"\nsource=\"src/base\"\ncabinet=\"..\"\n"},
      {"feature name backslash", "[[product]]\nkey=\"Base\"\nversion=\"1\"\nlevel=1\n[[product.feature]]\nname=\"a\\\\b\"\nsource=\"src/base\"\n"},
      {"run absolute", "[[product]]\nkey=\"Base\"\nversion=\"1\"\nlevel=1\nrun=[\"/bin/sh\"]" + feature},
      {"run climbs", "[[product]]\nkey=\"Base\"\nversion=\"1\"\nlevel=1\nrun=[\"bin\\\\..\\\\..\\\\x\"]" + feature},
      {"shortcut target climbs",
       "[[product]]\nkey=\"Base\"\nversion=\"1\"\nlevel=1\n[[product.shortcut]]\nfolder=\"desktop\"\ntarget=\"../x\"\nname=\"x\"" +
           feature},
      {"shortcut name climbs",
       "[[product]]\nkey=\"Base\"\nversion=\"1\"\nlevel=1\n[[product.shortcut]]\nfolder=\"desktop\"\ntarget=\"x\"\nname=\"..\"" +
           feature},
      {"dword out of range",
       "[[product]]\nkey=\"Base\"\nversion=\"1\"\nlevel=1\n[[product.registry]]\nroot=\"HKLM\"\nkey=\"k\"\ntype=\"dword\"\nvalue=4294967296" +
           feature},
      {"depends on itself", "[[product]]\nkey=\"Base\"\nversion=\"1\"\nlevel=1\ndepends=[\"Base\"]" + feature},
      {"unknown key", "[[product]]\nkey=\"Base\"\nversion=\"1\"\nlevel=1\nsource=\"/etc\"" + feature},
      {"no product", "title = \"x\"\n"},
  };
  for (const auto& [what, text] : cases) {
    SCOPED_TRACE(what);
    const ProcessResult built = BuildText("hostile.toml", text, m_root / "out");
    EXPECT_EQ(built.exitCode, 1) << built.out << built.err;
    EXPECT_FALSE(built.err.empty());
    EXPECT_FALSE(fs::exists(m_root / "out"));
  }
}

// Source files that are links, special files or have names no cabinet or
// client can hold stop the build; nothing is left in OUT.
TEST_F(PublishAttackTest, HostileSourceTreesAreRefused) {
  Source("release.toml", Product(1));
  const std::vector<std::pair<std::string, std::function<void()>>> cases = {
      {"file link", [&] { fs::create_symlink("/etc/hostname", Release() / "src/base/host"); }},
      {"folder link", [&] { fs::create_directory_symlink("/etc", Release() / "src/base/etc"); }},
      {"fifo", [&] { ASSERT_EQ(mkfifo((Release() / "src/base/pipe").c_str(), 0600), 0); }},
      {"line break in a name", [&] { WriteFile(Release() / "src/base/a\nb", "x"); }},
      {"backslash in a name", [&] { WriteFile(Release() / "src/base/..\\..\\evil", "x"); }},
      {"not UTF-8", [&] { WriteFile(Release() / "src/base/\xff\xfe", "x"); }},
      {"name too long", [&] { WriteFile(Release() / "src/base" / std::string(200, 'd') / std::string(100, 'f'), "x"); }},
  };
  for (const auto& [what, plant] : cases) {
    SCOPED_TRACE(what);
    fs::remove_all(Release() / "src/base");
    Source("src/base/base.txt", "base 1");
    plant();
    const ProcessResult built = Build(Release() / "release.toml", m_root / "out");
    EXPECT_EQ(built.exitCode, 1) << built.out;
    EXPECT_FALSE(fs::exists(m_root / "out")) << built.err;
  }
  /* OUT inside the source, OUT a link, OUT not empty */
  fs::remove_all(Release() / "src/base");
  Source("src/base/base.txt", "base 1");
  EXPECT_EQ(Build(Release() / "release.toml", Release() / "src/base/out").exitCode, 1);
  fs::create_directory(m_root / "elsewhere");
  fs::create_directory_symlink(m_root / "elsewhere", m_root / "linked-out");
  EXPECT_EQ(Build(Release() / "release.toml", m_root / "linked-out").exitCode, 1);
  EXPECT_TRUE(fs::is_empty(m_root / "elsewhere"));
}

// A wrong pass phrase's failure names the reason but never the phrase.
TEST_F(PublishAttackTest, PassPhraseNeverAppearsInErrors) {
  Source("release.toml", Product(1));
  const std::string key = (m_fixtures / "pki/maker.key").string();
  const ProcessResult made = RunProcess("/usr/bin/openssl", {"pkey", "-in", key, "-aes256", "-passout",
                                                             "pass:correct horse", "-out", (m_root / "p.key").string()});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  const ProcessResult built =
      Publish({"build", (Release() / "release.toml").string(), (m_root / "out").string(), "--cert",
               (m_fixtures / "pki/maker.chain.pem").string(), "--key", (m_root / "p.key").string(), "--pass-fd", "0"},
              "battery staple secret\n");
  EXPECT_EQ(built.exitCode, 1);
  EXPECT_FALSE(Has(built.err + built.out, "battery")) << built.err;
  EXPECT_FALSE(fs::exists(m_root / "out"));
}

/* ---- a hostile tree for check ---- */

// A cabinet name holding a control character is never fetched by the client
// (it counts as a failed file), so check reports a listed name with a tab.
TEST_F(PublishAttackTest, CheckReportsACabinetNameTheClientWillNotFetch) {
  ProcessResult built = BuildText("one.toml", Product(1), m_root / "tree");
  ASSERT_EQ(built.exitCode, 0) << built.err;
  fs::rename(m_root / "tree/Base/Base.cab", m_root / "tree/Base/a\tb.cab");
  WriteFile(m_root / "tree/Base.ini", "[Base]\r\nBaseCOUNT=1\r\nBase0FILE=Base\\a\tb.cab\r\n");
  const ProcessResult checked = Check(m_root / "tree");
  EXPECT_EQ(checked.exitCode, 1) << checked.err;
}

// "check" exists so that a tree it passes is one the client installs. The
// client takes cabinets signed by the maker only, whatever the settings say,
// so a --publisher pattern naming another signer cannot make check pass a
// tree the client then refuses: check either refuses it or the client
// installs it.
TEST_F(PublishAttackTest, CheckWithAPublisherPatternPassesOnlyTreesTheClientInstalls) {
  Installed("Base", "Qorvane Base");
  Source("src/base/base.txt", "base 6");
  Source("release.toml", Product(6));
  const ProcessResult built =
      Publish({"build", (Release() / "release.toml").string(), (m_root / "srv").string(), "--cert",
               (m_fixtures / "pki/other.chain.pem").string(), "--key", (m_fixtures / "pki/other.key").string()});
  ASSERT_EQ(built.exitCode, 0) << built.err;
  const ProcessResult checked = Publish({"check", (m_root / "srv").string(), "--anchors",
                                         (m_fixtures / "anchors.pem").string(), "--publisher", "CN=\"Other Software"});
  if (checked.exitCode != 0) return;  // check refused the signer: held
  const std::string why = UseTransport(Transport::kFolder);
  ASSERT_TRUE(why.empty()) << why;
  const ProcessResult run = RunClient();
  EXPECT_EQ(Version("Base"), 6u) << "check found no fault, yet the client did not install: " << run.out << run.err;
}

// Malformed information, product files and cabinets are faults with exit 1,
// never a crash.
TEST_F(PublishAttackTest, CheckReportsMalformedTreesWithoutCrashing) {
  ProcessResult built = BuildText("one.toml", Product(1), m_root / "good");
  ASSERT_EQ(built.exitCode, 0) << built.err;
  const std::string cabinet = ReadFile(m_root / "good/Base/Base.cab");
  auto tree = [&](const std::string& info, const std::string& product, const std::string& cab) {
    fs::remove_all(m_root / "tree");
    WriteFile(m_root / "tree/qupdate_s.ini", info);
    WriteFile(m_root / "tree/Base.ini", product);
    WriteFile(m_root / "tree/Base/Base.cab", cab);
    return Check(m_root / "tree");
  };
  const std::string info = ReadFile(m_root / "good/qupdate_s.ini");
  const std::string product = ReadFile(m_root / "good/Base.ini");
  std::string manyFiles = cabinet;
  manyFiles[28] = '\xff';
  manyFiles[29] = '\xff';
  std::string bigFolder = cabinet;
  bigFolder[26] = '\xff';
  bigFolder[27] = '\xff';
  const std::vector<std::pair<std::string, ProcessResult>> results = {
      {"cut cabinet", tree(info, product, cabinet.substr(0, 60))},
      {"empty cabinet", tree(info, product, "")},
      {"file count 65535", tree(info, product, manyFiles)},
      {"folder count 65535", tree(info, product, bigFolder)},
      {"garbage cabinet", tree(info, product, "MSCF" + std::string(4000, '\xee'))},
      {"binary information", tree(std::string("\0\xff[\x01", 4) + std::string(3000, '['), product, cabinet)},
      {"huge count", tree(info, "[Base]\r\nBaseCOUNT=2147483647\r\n", cabinet)},
      {"negative count", tree(info, "[Base]\r\nBaseCOUNT=-5\r\nREGISTRYCOUNT=-1\r\n", cabinet)},
      {"climbing product", tree("[UpdateVersionInfo]\r\n../../etc/passwd=1\r\n[COUNT]\r\n../../etc/passwd=0\r\n", product, cabinet)},
      {"climbing cabinet", tree(info, "[Base]\r\nBaseCOUNT=1\r\nBase0FILE=..\\..\\good\\Base\\Base.cab\r\n", cabinet)},
      {"climbing notes", tree(info + "[UPDATEINFOPATH]\r\nBase=../good/qupdate_s.ini\r\n", product, cabinet)},
      {"unterminated section", tree("[UpdateVersionInfo\r\nBase=1\r\n", product, cabinet)},
  };
  for (const auto& [what, checked] : results) {
    EXPECT_EQ(checked.exitCode, 1) << what << ": " << checked.err;
  }
  /* a link standing for the information file */
  fs::remove_all(m_root / "tree");
  fs::create_directory(m_root / "tree");
  fs::create_symlink(m_root / "good/qupdate_s.ini", m_root / "tree/qupdate_s.ini");
  EXPECT_EQ(Check(m_root / "tree").exitCode, 1);
}

/* ---- hostile HTTP clients of serve ---- */

// Names that climb out of the tree, encoded or with backslashes, and links
// inside it are never served.
TEST_F(PublishAttackTest, ServeNeverAnswersWithAFileOutsideTheTree) {
  ProcessResult built = BuildText("one.toml", Product(1), m_root / "srv");
  ASSERT_EQ(built.exitCode, 0) << built.err;
  WriteFile(m_root / "secret.txt", "outside the tree");
  fs::create_directory_symlink(m_root.Path(), m_root / "srv/up");
  ASSERT_NO_FATAL_FAILURE(StartServer());
  for (const std::string target :
       {"/updates/..%2fsecret.txt", "/updates/%2e%2e/secret.txt", "/updates/..%5csecret.txt", "/updates/Base/..%2F..%2Fsecret.txt",
        "/updates/up/secret.txt", "/updates/%2Fetc%2Fpasswd", "/updates//etc/passwd", "/updates/C:%5Csecret.txt",
        "http://127.0.0.1/../secret.txt", "/updates/Base%00/../../secret.txt"}) {
    SCOPED_TRACE(target);
    const int fd = Connect();
    ASSERT_GE(fd, 0);
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    std::string answer;
    char buffer[4096];
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) break;
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      answer.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    EXPECT_FALSE(Has(answer, "outside the tree")) << answer;
    EXPECT_FALSE(Has(answer, "root:")) << answer;
    EXPECT_FALSE(Has(answer, " 200 ")) << answer;
  }
}

// Clients that open connections and send their headers a line a second must
// not keep a publisher's own request from being answered: with sixteen such
// connections open, a complete request still gets its answer within 4 s.
TEST_F(PublishAttackTest, ServeAnswersWhileSlowClientsHoldConnections) {
  ProcessResult built = BuildText("one.toml", Product(1), m_root / "srv");
  ASSERT_EQ(built.exitCode, 0) << built.err;
  ASSERT_NO_FATAL_FAILURE(StartServer());
  std::vector<int> slow;
  for (int i = 0; i < 16; ++i) {
    const int fd = Connect();
    ASSERT_GE(fd, 0);
    const std::string start = "GET /updates/qupdate_s.ini HTTP/1.1\r\n";
    ASSERT_EQ(write(fd, start.data(), start.size()), static_cast<ssize_t>(start.size()));
    slow.push_back(fd);
  }
  // The slow clients' pace: one header line a second each, until the end.
  std::mutex lock;
  std::condition_variable wake;
  bool done = false;
  std::thread trickle([&] {
    std::unique_lock<std::mutex> held(lock);
    while (!done) {
      for (int fd : slow) (void)!send(fd, "X: y\r\n", 6, MSG_NOSIGNAL);
      wake.wait_for(held, std::chrono::seconds(1), [&] { return done; });
    }
  });
  const int fd = Connect();
  ASSERT_GE(fd, 0);
  const std::string request = "GET /updates/qupdate_s.ini HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  pollfd p{fd, POLLIN, 0};
  const int ready = poll(&p, 1, 4000);
  EXPECT_EQ(ready, 1) << "no answer within 4 s while 16 slow clients are connected";
  close(fd);
  {
    std::lock_guard<std::mutex> held(lock);
    done = true;
  }
  wake.notify_all();
  trickle.join();
  for (int s : slow) close(s);
}

}  // namespace
}  // namespace qrv::test
