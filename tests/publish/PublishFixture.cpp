#include "tests/publish/PublishFixture.h"

#include "cabinet/CExtract.h"

namespace qrv::test {

namespace fs = std::filesystem;

ProcessResult PublishFixture::Publish(const std::vector<std::string>& args, const std::string& input) {
  return RunProcess(QRVPUBLISH_PATH, args, {{"LC_ALL", "C"}}, input);
}

std::vector<std::string> PublishFixture::MakerKey() const {
  return {"--cert", (m_fixtures / "pki/maker.chain.pem").string(), "--key", (m_fixtures / "pki/maker.key").string()};
}

ProcessResult PublishFixture::Build(const fs::path& release, const fs::path& out,
                                    const std::vector<std::string>& extra) const {
  std::vector<std::string> args{"build", release.string(), out.string()};
  const std::vector<std::string> key = MakerKey();
  args.insert(args.end(), key.begin(), key.end());
  args.insert(args.end(), extra.begin(), extra.end());
  return Publish(args);
}

ProcessResult PublishFixture::Check(const fs::path& tree) const {
  return Publish({"check", tree.string(), "--anchors", (m_fixtures / "anchors.pem").string()});
}

ProcessResult PublishFixture::RunClient() {
  m_process.reset();
  return RunProcess(QRVUPDATE_PATH, {"--root", m_root.Path().string(), "--console", "--yes"}, {{"LC_ALL", "C"}});
}

void PublishFixture::Source(const std::string& relative, const std::string& bytes) const {
  WriteFile(Release() / relative, bytes);
}

void PublishFixture::Replace(const fs::path& file, const std::string& from, const std::string& to) {
  std::string text = ReadFile(file);
  const size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from << " in " << file;
  text.replace(at, from.size(), to);
  WriteFile(file, text);
}

std::vector<std::string> PublishFixture::CabinetFiles(const fs::path& cabinet) {
  Cabinet::CExtract extract;
  extract.CreateFDIContext();
  std::vector<Cabinet::CabinetEntry> entries;
  EXPECT_EQ(extract.ListFiles(cabinet.string(), entries), 1) << cabinet << ": " << extract.GetLastErrorText();
  std::vector<std::string> names;
  for (const auto& e : entries) names.push_back(e.name + "=" + std::to_string(e.size));
  return names;
}

}  // namespace qrv::test
