#include "apply/UpdateLog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "apply/UpdateFiles.h"
#include "apply/UpdateLogWriter.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/profile/ProfileFile.h"
#include "platform/registry/RegistryKey.h"
#include "tests/support/DiagnosticsRecorder.h"
#include "tests/support/SandboxRoot.h"

namespace qrv {
namespace {

using platform::ProfileFile;
using platform::RegistryKey;
using platform::RegStatus;

ino_t InodeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class UpdateFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegistryKey::Create(platform::kRootLocalMachine, CQUpdateUtilRegistry::kMainKey, m_main),
              RegStatus::kOk);
    m_main.SetString("DownloadPath", m_root.Path().string());
    std::filesystem::create_directories(m_root / "QRVDownload");
  }
  test::SandboxRoot m_root;
  RegistryKey m_main;
};

TEST_F(UpdateFilesTest, FeatureNamesComeFromTheRegistryAndMustFitTheirLimit) {
  std::vector<std::string> names;
  EXPECT_FALSE(UpdateFiles::FeatureNames("Writer", names)) << "no registry key: no features";
  EXPECT_TRUE(names.empty());

  RegistryKey product, sub;
  ASSERT_EQ(m_main.CreateSubKey("Writer", product), RegStatus::kOk);
  product.CreateSubKey("Spell", sub);
  product.CreateSubKey("dict", sub);
  ASSERT_TRUE(UpdateFiles::FeatureNames("writer", names));
  EXPECT_EQ(names, (std::vector<std::string>{"writer", "dict", "Spell"})) << "registry enumeration order";

  // "Writer;dict;Spell;" plus names that pass 259 characters: refused, reported
  test::DiagnosticsRecorder reports;
  product.CreateSubKey(std::string(200, 'f'), sub);
  EXPECT_TRUE(UpdateFiles::FeatureNames("Writer", names)) << "18 + 201 characters still fit";
  product.CreateSubKey(std::string(60, 'g'), sub);
  EXPECT_FALSE(UpdateFiles::FeatureNames("Writer", names));
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(reports.Count(), 1u) << reports.Text();
  EXPECT_TRUE(reports.Has("Writer")) << reports.Text();

  EXPECT_TRUE(UpdateFiles::IsCabinetName("sub/a.CAB"));
  EXPECT_TRUE(UpdateFiles::IsCabinetName("xcab"));
  EXPECT_FALSE(UpdateFiles::IsCabinetName("a.cab.exe"));
  EXPECT_FALSE(UpdateFiles::IsCabinetName("ab"));
}

TEST_F(UpdateFilesTest, LogEntriesAndOldCopies) {
  std::string log = UpdateFiles::LogPath();
  UpdateLog::WriteLogProduct("Writer", 0);
  EXPECT_EQ(UpdateLog::WriteLogEntry("Writer", "sub\\a.cab", 0, UpdateLog::kFile, std::string("/d/sub/a.cab")), 0u);
  UpdateLog::WriteLogEntry("Writer", "b.cab", 1, UpdateLog::kSignError, std::string("/d/b.cab"));
  UpdateLog::WriteLogEntry("Spell", "c.cab", 0, UpdateLog::kError, std::nullopt);
  UpdateLog::WriteLogCount("Writer", 2, UpdateLog::kCount);
  UpdateLog::WriteLogCount("Writer", 1, UpdateLog::kErrorCount);
  UpdateLog::WriteLogCount("PRODUCTLIST", 1, UpdateLog::kCount);

  EXPECT_EQ(UpdateLog::ProductCount(), 1u);
  EXPECT_EQ(UpdateLog::Product(0), "Writer");
  EXPECT_EQ(UpdateLog::Product(1), "");
  EXPECT_EQ(UpdateLog::FileCount("Writer"), 2u);
  EXPECT_EQ(UpdateLog::FileEntry("Writer", 0), "sub\\a.cab");
  EXPECT_EQ(UpdateLog::FileTempPath("Writer", 0), "/d/sub/a.cab");
  EXPECT_EQ(ProfileFile::GetString(log, "Writer", "DIGITALSIGNERROR1TEMPPATH"), "/d/b.cab");
  EXPECT_EQ(ProfileFile::GetString(log, "Writer", "ERRCOUNT"), "1");
  EXPECT_EQ(ProfileFile::GetString(log, "Spell", "ERROR0"), "c.cab");
  EXPECT_EQ(ProfileFile::GetString(log, "Spell", "ERROR0TEMPPATH", "none"), "none");

  // the old log goes aside under the last update date, replacing an older copy
  m_main.SetDword("LastUpdate", 20110315);
  test::WriteFile(log + "20110315", "older");
  UpdateFiles::MoveAside(log);
  EXPECT_FALSE(std::filesystem::exists(log));
  EXPECT_NE(test::ReadFile(log + "20110315").find("[PRODUCTLIST]"), std::string::npos);
  UpdateFiles::MoveAside(log);  // nothing to move: no error, the copy stays
  EXPECT_TRUE(std::filesystem::exists(log + "20110315"));
}

// The download's writer keeps entries until a flush: a reader of the log
// (the copy phase, a resumed run) sees nothing of them before, and all of
// them after, in one replace of the file; a writer that goes out of scope
// still writes what it holds.
TEST_F(UpdateFilesTest, GatheredLogEntriesReachTheFileOnlyWhenFlushed) {
  const std::string log = UpdateFiles::LogPath();
  UpdateLog::WriteLogProduct("Old", 0);
  {
    UpdateLogWriter writer(log);
    writer.WriteLogProduct("Writer", 0);
    for (uint32_t i = 0; i < 500; ++i) {
      const std::string name = "f" + std::to_string(i) + ".cab";
      writer.WriteLogEntry("Writer", name, i, UpdateLog::kFile, "/d/" + name);
    }
    writer.WriteLogCount("Writer", 500, UpdateLog::kCount);
    EXPECT_EQ(writer.Pending(), 1002u);
    EXPECT_EQ(UpdateLog::Product(0), "Old") << "nothing reaches the file before the flush";
    EXPECT_EQ(UpdateLog::FileCount("Writer"), 0u);

    const ino_t before = InodeOf(log);
    ASSERT_TRUE(writer.Flush());
    EXPECT_NE(InodeOf(log), before) << "replaced as a whole";
    EXPECT_EQ(writer.Pending(), 0u);
    EXPECT_EQ(UpdateLog::Product(0), "Writer");
    EXPECT_EQ(UpdateLog::FileCount("Writer"), 500u);
    EXPECT_EQ(UpdateLog::FileEntry("Writer", 499), "f499.cab");
    EXPECT_EQ(UpdateLog::FileTempPath("Writer", 0), "/d/f0.cab");
    writer.WriteLogCount("PRODUCTLIST", 1, UpdateLog::kCount);
  }
  EXPECT_EQ(UpdateLog::ProductCount(), 1u) << "written when the writer went out of scope";

  // a log that cannot be written is reported with its path, the entries dropped
  test::DiagnosticsRecorder reports;
  UpdateLogWriter lost((m_root / "no" / "such" / "quplog.ini").string());
  lost.WriteLogProduct("Writer", 0);
  EXPECT_FALSE(lost.Flush());
  EXPECT_EQ(lost.Pending(), 0u);
  EXPECT_TRUE(reports.Has("no/such/quplog.ini")) << reports.Text();
}

}  // namespace
}  // namespace qrv
