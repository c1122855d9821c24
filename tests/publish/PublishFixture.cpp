#include "tests/publish/PublishFixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

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

void PublishFixture::TearDown() {
  StopServer();
  E2eRunFixture::TearDown();
}

void PublishFixture::StartServer() {
  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (m_root / "serve.log").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> args{QRVPUBLISH_PATH, "serve", (m_root / "srv").string(), "--port", "0"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int rc = posix_spawn(&m_pid, QRVPUBLISH_PATH, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  ASSERT_EQ(rc, 0);
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char c[64];
    const ssize_t n = read(out[0], c, sizeof c);
    if (n <= 0) break;
    line.append(c, static_cast<size_t>(n));
  }
  close(out[0]);
  m_port = std::atoi(line.c_str());
  ASSERT_GT(m_port, 0) << "no port printed: \"" << line << "\"";
}

int PublishFixture::StopServer() {
  if (m_pid <= 0) return -1;
  kill(m_pid, SIGTERM);
  int status = 0;
  waitpid(m_pid, &status, 0);
  m_pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace qrv::test
