#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "config/CQUpdateMgrEnv.h"
#include "platform/profile/ProfileFile.h"
#include "tests/publish/PublishFixture.h"
#include "tests/support/SkipUnlessServer.h"

namespace qrv::test {
namespace {

namespace fs = std::filesystem;
using platform::ProfileFile;

// Two products as a vendor would describe them: Writer with its own files
// and the Spell feature, a registry value and a desktop shortcut, split into
// several cabinets; Calc needing Writer.
constexpr const char* kRelease = R"(
[[product]]
key = "Writer"
version = "7.0.1"
level = 7
notes_file = "notes/writer.txt"
  [[product.feature]]
  name = "Writer"
  source = "src/writer"
  cabinet = "writer"
  [[product.feature]]
  name = "Spell"
  source = "src/spell"
  [[product.registry]]
  root = "HKLM"
  key = 'SOFTWARE\QRV\Shared\QrvUpdate\Writer'
  name = "Channel"
  value = "stable-7"
  [[product.shortcut]]
  folder = "desktop"
  target = 'bin\Writer.exe'
  name = "Writer"
  description = "Qorvane Writer"

[[product]]
key = "Calc"
version = "6.2"
level = 6
depends = ["Writer"]
  [[product.feature]]
  name = "Calc"
  source = "src/calc"
)";

class PublishInstallTest : public PublishFixture, public ::testing::WithParamInterface<Transport> {
 protected:
  void MakeRelease() {
    Source("release.toml", kRelease);
    Source("notes/writer.txt", "Writer 7: a faster start.\n");
    Source("src/writer/bin/Writer.exe", std::string(1500, 'W'));
    Source("src/writer/bin/writer.txt", "writer 7");
    Source("src/writer/doc/r\xC3\xA9sum\xC3\xA9.txt", std::string(600, 'r'));
    Source("src/spell/dict/en.dic", "colour\nwriter\n");
    Source("src/calc/calc.txt", "calc 6");
    AddProduct("Writer", {"Spell"});
    Installed("Writer", "Qorvane Writer");
    Installed("Calc", "Qorvane Calc");
  }
};

TEST_P(PublishInstallTest, BuiltTreeIsCheckedAndInstalledByTheClient) {
  MakeRelease();
  const ProcessResult built = Build(Release() / "release.toml", m_root / "srv", {"--cab-size", "2K"});
  ASSERT_EQ(built.exitCode, 0) << built.out << built.err;
  EXPECT_TRUE(Has(built.out, "Writer level 7: 4 files in 3 new cabinets")) << built.out;

  /* the tree as the client reads it */
  const std::string info = (m_root / "srv/qupdate_s.ini").string();
  EXPECT_EQ(ProfileFile::GetString(info, "UpdateVersionInfo", "Writer"), "7");
  EXPECT_EQ(ProfileFile::GetString(info, "VersionInfo", "Calc"), "6.2");
  EXPECT_EQ(ProfileFile::GetString(info, "COUNT", "Writer"), "3");
  EXPECT_EQ(ProfileFile::GetString(info, "UpdateDependency", "Calc"), "Writer");
  EXPECT_EQ(ReadFile(m_root / "srv" / ProfileFile::GetString(info, "UPDATEINFOPATH", "Writer")),
            "Writer 7: a faster start.\n");
  const std::string writer = (m_root / "srv/Writer.ini").string();
  // 1500 + 8 bytes fill the first cabinet; the third file starts the next.
  EXPECT_EQ(ProfileFile::GetString(writer, "Writer", "WriterCOUNT"), "2");
  EXPECT_EQ(ProfileFile::GetString(writer, "Writer", "Writer0FILE"), "Writer\\writer.cab");
  EXPECT_EQ(ProfileFile::GetString(writer, "Writer", "Writer1FILE"), "Writer\\writer_2.cab");
  EXPECT_EQ(ProfileFile::GetString(writer, "Writer", "Spell0FILE"), "Writer\\Spell.cab");
  EXPECT_EQ(CabinetFiles(m_root / "srv/Writer/writer.cab"),
            (std::vector<std::string>{"bin/Writer.exe=1500", "bin/writer.txt=8"}));

  /* both verifiers accept every cabinet */
  const ProcessResult checked = Check(m_root / "srv");
  EXPECT_EQ(checked.exitCode, 0) << checked.out << checked.err;
  for (const char* cab : {"Writer/writer.cab", "Writer/writer_2.cab", "Writer/Spell.cab", "Calc/Calc.cab"}) {
    const ProcessResult verified = RunProcess(
        "/usr/bin/osslsigncode", {"verify", "-CAfile", (m_fixtures / "anchors.pem").string(), "-in", (m_root / "srv" / cab).string()});
    EXPECT_EQ(verified.exitCode, 0) << cab << verified.out << verified.err;
  }

  /* the real client installs it */
  const std::string why = UseTransport(GetParam());
  QRV_SKIP_UNLESS_SERVER(why.empty(), why);
  const ProcessResult run = RunClient();
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(Version("Writer"), 7u);
  EXPECT_EQ(Version("Calc"), 6u);
  EXPECT_EQ(ReadFile(Install("Writer") / "bin/Writer.exe"), std::string(1500, 'W'));
  EXPECT_EQ(ReadFile(Install("Writer") / "bin/writer.txt"), "writer 7");
  EXPECT_EQ(ReadFile(Install("Writer") / "doc/r\xC3\xA9sum\xC3\xA9.txt"), std::string(600, 'r'));
  EXPECT_EQ(ReadFile(Install("Writer") / "dict/en.dic"), "colour\nwriter\n");
  EXPECT_EQ(ReadFile(Install("Calc") / "calc.txt"), "calc 6");
  EXPECT_EQ(RegistryText("SOFTWARE\\QRV\\Shared\\QrvUpdate\\Writer", "Channel"), "stable-7");
  EXPECT_TRUE(fs::exists(Desktop() / "Writer.desktop"));
}

INSTANTIATE_TEST_SUITE_P(Transports, PublishInstallTest, ::testing::Values(Transport::kHttp, Transport::kFtp),
                         [](const auto& param) { return TransportName(param.param); });

// An incremental release: level 6 installed from a full tree, then level 7
// built on top of it with only Writer's changed files.
class IncrementalReleaseTest : public PublishFixture {};

TEST_F(IncrementalReleaseTest, PacksOnlyChangedFilesAndEveryEarlierLevelReachesTheNewOne) {
  constexpr const char* kLevel = R"(
[[product]]
key = "Writer"
version = "LEVEL.0"
level = LEVEL
  [[product.feature]]
  name = "Writer"
  source = "src/writer"
  [[product.feature]]
  name = "Spell"
  source = "src/spell"
[[product]]
key = "Calc"
version = "6.0"
level = 6
  [[product.feature]]
  name = "Calc"
  source = "src/calc"
)";
  auto release = [&](const std::string& level) {
    std::string text = kLevel;
    for (size_t at; (at = text.find("LEVEL")) != std::string::npos;) text.replace(at, 5, level);
    Source("release.toml", text);
  };
  AddProduct("Writer", {"Spell"});
  Installed("Writer", "Qorvane Writer");
  Installed("Calc", "Qorvane Calc");
  Source("src/writer/a.txt", "a 6");
  Source("src/writer/sub/b.txt", "b 6");
  Source("src/spell/en.dic", "spell 6");
  Source("src/calc/calc.txt", "calc 6");
  release("6");
  ProcessResult built = Build(Release() / "release.toml", m_root / "old");
  ASSERT_EQ(built.exitCode, 0) << built.out << built.err;
  fs::copy(m_root / "old", m_root / "srv", fs::copy_options::recursive);
  const std::string why = UseTransport(Transport::kHttp);
  QRV_SKIP_UNLESS_SERVER(why.empty(), why);
  ProcessResult run = RunClient();
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  ASSERT_EQ(Version("Writer"), 6u);

  /* level 7: one file changed, one new; Spell and Calc untouched */
  Source("src/writer/a.txt", "a 7");
  Source("src/writer/sub/c.txt", "c 7");
  release("7");
  built = Build(Release() / "release.toml", m_root / "new", {"--previous", (m_root / "old").string()});
  ASSERT_EQ(built.exitCode, 0) << built.out << built.err;
  EXPECT_TRUE(Has(built.out, "Writer level 7: 2 files in 1 new cabinets, 2 previous cabinets kept")) << built.out;
  EXPECT_TRUE(Has(built.out, "Calc level 6: 0 files in 0 new cabinets, 1 previous cabinets kept")) << built.out;
  EXPECT_EQ(CabinetFiles(m_root / "new/Writer/Writer-7.cab"), (std::vector<std::string>{"a.txt=3", "sub/c.txt=3"}));
  const std::string writer = (m_root / "new/Writer.ini").string();
  EXPECT_EQ(ProfileFile::GetString(writer, "Writer", "Writer0FILE"), "Writer\\Writer.cab");
  EXPECT_EQ(ProfileFile::GetString(writer, "Writer", "Writer1FILE"), "Writer\\Writer-7.cab");
  EXPECT_EQ(ProfileFile::GetString(writer, "Writer", "SpellCOUNT"), "1");
  EXPECT_EQ(ProfileFile::GetString((m_root / "new/qupdate_s.ini").string(), "UpdateVersionInfo", "Calc"), "6");
  const ProcessResult checked = Check(m_root / "new");
  EXPECT_EQ(checked.exitCode, 0) << checked.out << checked.err;

  /* a client at level 6 takes only Writer; Calc is not even fetched */
  fs::remove_all(m_root / "srv");
  fs::copy(m_root / "new", m_root / "srv", fs::copy_options::recursive);
  m_http->ClearRequests();
  run = RunClient();
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(Version("Writer"), 7u);
  EXPECT_EQ(Version("Calc"), 6u);
  for (const auto& r : m_http->Requests()) EXPECT_FALSE(Has(r.path, "Calc")) << r.path;
  EXPECT_EQ(ReadFile(Install("Writer") / "a.txt"), "a 7");
  EXPECT_EQ(ReadFile(Install("Writer") / "sub/b.txt"), "b 6");
  EXPECT_EQ(ReadFile(Install("Writer") / "sub/c.txt"), "c 7");

  /* a machine still at level 5, with none of level 6, reaches level 7 as well */
  for (const char* file : {"a.txt", "sub", "en.dic"}) fs::remove_all(Install("Writer") / file);
  CQUpdateMgrEnv().SetProductVersion("Writer", 5, false);
  run = RunClient();
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(Version("Writer"), 7u);
  EXPECT_EQ(ReadFile(Install("Writer") / "a.txt"), "a 7");
  EXPECT_EQ(ReadFile(Install("Writer") / "sub/b.txt"), "b 6");
  EXPECT_EQ(ReadFile(Install("Writer") / "sub/c.txt"), "c 7");
  EXPECT_EQ(ReadFile(Install("Writer") / "en.dic"), "spell 6");

  /* changed files without a higher level would never reach a client */
  Source("src/writer/a.txt", "a 8");
  const ProcessResult same = Build(Release() / "release.toml", m_root / "same", {"--previous", (m_root / "new").string()});
  EXPECT_EQ(same.exitCode, 1);
  EXPECT_TRUE(Has(same.err, "product \"Writer\" key \"level\": files changed (Writer: a.txt) but the level stays 7"))
      << same.err;
  EXPECT_FALSE(fs::exists(m_root / "same"));
}

}  // namespace
}  // namespace qrv::test
