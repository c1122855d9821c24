#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/publish/PublishFixture.h"
#include "tools/qrvpublish/TreeChecker.h"

namespace qrv::test {
namespace {

namespace fs = std::filesystem;

class TreeCheckTest : public PublishFixture {
 protected:
  // A good tree of two products (Writer with a notes file and an action,
  // Base), built once per test into good/.
  void SetUp() override {
    PublishFixture::SetUp();
    Source("release.toml", R"(
[[product]]
key = "Writer"
version = "7.0"
level = 7
notes = "notes"
depends = ["Base"]
  [[product.feature]]
  name = "Writer"
  source = "src/writer"
  [[product.registry]]
  root = "HKLM"
  key = 'SOFTWARE\QRV\Demo'
  name = "V"
  type = "dword"
  value = 7
[[product]]
key = "Base"
version = "2.0"
level = 2
  [[product.feature]]
  name = "Base"
  source = "src/base"
)");
    Source("src/writer/bin/writer.txt", "writer 7");
    Source("src/base/base.txt", "base 2");
    const ProcessResult built = Build(Release() / "release.toml", m_root / "good");
    ASSERT_EQ(built.exitCode, 0) << built.out << built.err;
  }

  std::vector<std::string> Faults(const fs::path& tree, const std::string& publisher = {}) const {
    tools::TreeChecker checker(tree, {(m_fixtures / "anchors.pem").string()}, publisher);
    std::vector<std::string> texts;
    for (const auto& f : checker.Check()) texts.push_back(f.Text());
    return texts;
  }
};

TEST_F(TreeCheckTest, GoodTreeHasNoFaultAndTheProgramSaysSo) {
  EXPECT_EQ(Faults(m_root / "good"), std::vector<std::string>{});
  const ProcessResult checked = Check(m_root / "good");
  EXPECT_EQ(checked.exitCode, 0) << checked.err;
  EXPECT_NE(checked.out.find("2 products, 2 cabinets, no fault found"), std::string::npos) << checked.out;
}

// One fixture per kind of fault: the good tree with one thing broken; the
// checker must name the file, section and key with the values.
TEST_F(TreeCheckTest, EachKindOfFaultIsFoundAndNamed) {
  auto set = [](const fs::path& tree, const std::string& file, const std::string& from, const std::string& to) {
    Replace(tree / file, from, to);
  };
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> breakIt;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"syntax", [&](const fs::path& t) { set(t, "Writer.ini", "WriterCOUNT=1", "WriterCOUNT=1\r\nstray line"); },
       "Writer.ini [Writer]: line 3: \"stray line\" is neither a section, a key nor a comment"},
      {"long value", [&](const fs::path& t) { set(t, "qupdate_s.ini", "Writer=7.0", "Writer=" + std::string(300, 'v')); },
       "qupdate_s.ini [VersionInfo] Writer: line 2: the value has 300 characters; the updater reads only the first 259"},
      {"missing cabinet", [](const fs::path& t) { fs::remove(t / "Writer/Writer.cab"); },
       "Writer.ini [Writer] Writer0FILE: \"Writer\\Writer.cab\": \""},
      {"not a cabinet", [](const fs::path& t) { WriteFile(t / "Writer/Writer.cab", "just text"); },
       "Writer.ini [Writer] Writer0FILE: \"Writer\\Writer.cab\" is not a cabinet"},
      {"tampered cabinet",
       [](const fs::path& t) {
         std::string bytes = ReadFile(t / "Base/Base.cab");
         bytes[bytes.size() / 3] = static_cast<char>(bytes[bytes.size() / 3] ^ 0x55);
         WriteFile(t / "Base/Base.cab", bytes);
       },
       "Base.ini [Base] Base0FILE: \"Base\\Base.cab\": signature refused"},
      {"not a cab name",
       [&](const fs::path& t) {
         fs::rename(t / "Base/Base.cab", t / "Base/Base.bin");
         set(t, "Base.ini", "Base\\Base.cab", "Base\\Base.bin");
       },
       "Base.ini [Base] Base0FILE: \"Base\\Base.bin\" does not end in \"cab\""},
      {"climbing path", [&](const fs::path& t) { set(t, "Base.ini", "Base\\Base.cab", "..\\Base.cab"); },
       "Base.ini [Base] Base0FILE: \"..\\Base.cab\" climbs out with \"..\""},
      {"absolute path", [&](const fs::path& t) { set(t, "Base.ini", "Base\\Base.cab", "/etc/passwd.cab"); },
       "Base.ini [Base] Base0FILE: \"/etc/passwd.cab\" is absolute"},
      {"linked cabinet",
       [](const fs::path& t) {
         fs::rename(t / "Base/Base.cab", t / "elsewhere.cab");
         fs::create_symlink(t / "elsewhere.cab", t / "Base/Base.cab");
       },
       "is a symbolic link"},
      {"count", [&](const fs::path& t) { set(t, "qupdate_s.ini", "Writer=1", "Writer=3"); },
       "qupdate_s.ini [COUNT] Writer: 3, but Writer.ini lists 1 files"},
      {"dependency", [&](const fs::path& t) { set(t, "qupdate_s.ini", "Writer=Base", "Writer=Base|Calc"); },
       "qupdate_s.ini [UpdateDependency] Writer: \"Calc\" is not a product of this tree"},
      {"notes", [](const fs::path& t) { fs::remove(t / "Writer.txt"); }, "qupdate_s.ini [UPDATEINFOPATH] Writer: \"Writer.txt\""},
      {"level", [&](const fs::path& t) { set(t, "qupdate_s.ini", "Base=2\r\n", "Base=2x\r\n"); },
       "qupdate_s.ini [UpdateVersionInfo] Base: \"2x\" is not a level"},
      {"file list", [&](const fs::path& t) { set(t, "Base.ini", "BaseCOUNT=1", "BaseCOUNT=2"); },
       "Base.ini [Base] Base1FILE: missing, though BaseCOUNT = 2"},
      {"registry type", [&](const fs::path& t) { set(t, "Writer.ini", "REGISTRY0TYPE=4", "REGISTRY0TYPE=2"); },
       "Writer.ini [Writer] REGISTRY0TYPE: 2 is not 1, 3 or 4"},
      {"product file", [](const fs::path& t) { fs::remove(t / "Base.ini"); }, "Base.ini: \""},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path tree = m_root / ("bad" + std::to_string(index++));
    fs::copy(m_root / "good", tree, fs::copy_options::recursive);
    c.breakIt(tree);
    const std::vector<std::string> faults = Faults(tree);
    ASSERT_FALSE(faults.empty());
    bool found = false;
    for (const std::string& f : faults) found = found || f.find(c.expected) != std::string::npos;
    EXPECT_TRUE(found) << "expected \"" << c.expected << "\" among:\n" << ::testing::PrintToString(faults);
  }
}

TEST_F(TreeCheckTest, SignerOtherThanThePublisherIsAFaultAndExitStatusIsOne) {
  // Two cabinets and three signed information files.
  const std::vector<std::string> faults = Faults(m_root / "good", "CN=\"Somebody Else");
  ASSERT_EQ(faults.size(), 5u) << ::testing::PrintToString(faults);
  EXPECT_NE(faults[0].find("is signed by \"C="), std::string::npos) << faults[0];
  EXPECT_NE(faults[0].find("not by the publisher (CN=\"Somebody Else)"), std::string::npos) << faults[0];
  const ProcessResult checked = Publish({"check", (m_root / "good").string(), "--publisher", "CN=\"Somebody Else",
                                         "--anchors", (m_fixtures / "anchors.pem").string()});
  EXPECT_EQ(checked.exitCode, 1);
  EXPECT_NE(checked.err.find("qrvpublish: 5 fault(s) in "), std::string::npos) << checked.err;
  // Without the test root as an anchor the chain is not trusted.
  const ProcessResult untrusted = Publish({"check", (m_root / "good").string()});
  EXPECT_EQ(untrusted.exitCode, 1);
  EXPECT_NE(untrusted.err.find("signature refused (untrusted)"), std::string::npos) << untrusted.err;
}

}  // namespace
}  // namespace qrv::test
