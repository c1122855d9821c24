#include "apply/CQUpdateTraceFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/core/DisplayText.h"
#include "platform/core/LastError.h"
#include "platform/core/PrivateFolder.h"
#include "platform/core/ProgramFolders.h"

namespace qrv {
namespace {

constexpr const char* kStartLine = "##  Start  ###################\n";
constexpr const char* kEndLine = "##  end    ###################\n";

// One lock for every writer in the process and the diagnostics sink, so that
// a line is never cut by another thread's line.
std::mutex g_traceMutex;

// The trace file opened for appending, or -1 with why in error. The folder
// is made private when missing; a link in the file's place is not followed
// (O_NOFOLLOW), and what opens must be a plain file of ours with one name:
// a hard link planted to someone else's file is left alone too.
int OpenTrace(std::string& error) {
  const std::string folder = platform::ProgramFolders::Log();
  const std::string path = CQUpdateTraceFile::Path();
  if (!platform::PrivateFolder::Ensure(folder, error)) {
    error = "cannot open the trace file " + path + ": " + error;
    return -1;
  }
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    const int err = errno;
    error = "cannot open the trace file " + path + ": " +
            (err == ELOOP ? std::string("a symbolic link stands in its place") : std::strerror(err));
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) {
    error = "cannot open the trace file " + path + ": it is not a plain file of user " + std::to_string(geteuid()) +
            " with a single name";
    close(fd);
    return -1;
  }
  // An older trace may have been made readable to all.
  if ((st.st_mode & 077) != 0) fchmod(fd, 0600);
  return fd;
}

// Writes one line with a single write(); the file is opened for appending,
// so another process's lines land before or after it, never inside.
void WriteWhole(int fd, const std::string& line) {
  if (fd < 0) return;
  const ssize_t written = write(fd, line.data(), line.size());
  static_cast<void>(written);  // tracing never makes a run fail
}

}  // namespace

CQUpdateTraceFile::CQUpdateTraceFile() {
  std::string error;
  m_fd = OpenTrace(error);
  if (m_fd < 0) {
    platform::LastError::Set(error);
    return;
  }
  WriteLine(kStartLine);
}

CQUpdateTraceFile::~CQUpdateTraceFile() {
  if (m_fd < 0) return;
  WriteLine(kEndLine);
  std::lock_guard lock(g_traceMutex);
  close(m_fd);
  m_fd = -1;
}

void CQUpdateTraceFile::WriteEvent(std::string_view label, int32_t number) {
  WriteLine("-" + platform::DisplayText::Escape(label) + "---" + std::to_string(number) + "\n");
}

void CQUpdateTraceFile::WriteLine(const std::string& line) {
  std::lock_guard lock(g_traceMutex);
  WriteWhole(m_fd, line);
}

std::string CQUpdateTraceFile::Path() { return platform::ProgramFolders::Log() + "/" + kFileName; }

platform::Diagnostics::Sink CQUpdateTraceFile::InstallDiagnosticsSink() {
  return platform::Diagnostics::SetSink([](std::string_view message) {
    std::string flat(message);
    for (char& c : flat) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    const std::string line = "! " + platform::DisplayText::Escape(flat) + "\n";
    // Opened per message: diagnostics are rare, and the sink must work
    // before, between and after update runs.
    std::lock_guard lock(g_traceMutex);
    // A report must not change the reporting thread's LastError.
    std::string error;
    const int fd = OpenTrace(error);
    WriteWhole(fd, line);
    if (fd >= 0) close(fd);
  });
}

}  // namespace qrv
