#include "apply/CQUpdateTraceFile.h"

#include <mutex>

#include "platform/core/Diagnostics.h"
#include "platform/core/LastError.h"
#include "platform/core/TempFolder.h"

namespace qrv {
namespace {

constexpr const char* kStartLine = "##  Start  ###################\n";
constexpr const char* kEndLine = "##  end    ###################\n";

// One lock for every writer in the process and the diagnostics sink, so that
// a line is never cut by another thread's line.
std::mutex g_traceMutex;

// Writes one line with a single write() and no buffering left behind; the
// stream is in append mode, so another process's lines land before or after.
void WriteWhole(std::FILE* stream, const std::string& line) {
  if (stream == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

}  // namespace

CQUpdateTraceFile::CQUpdateTraceFile() {
  std::string path = Path();
  m_stream = std::fopen(path.c_str(), "a+");
  if (m_stream == nullptr) {
    platform::LastError::Set("cannot open the trace file " + path);
    return;
  }
  // Big enough for any line, so a line goes out in one write.
  std::setvbuf(m_stream, nullptr, _IOFBF, 64 * 1024);
  WriteLine(kStartLine);
}

CQUpdateTraceFile::~CQUpdateTraceFile() {
  if (m_stream == nullptr) return;
  WriteLine(kEndLine);
  std::lock_guard lock(g_traceMutex);
  std::fclose(m_stream);
  m_stream = nullptr;
}

void CQUpdateTraceFile::WriteEvent(std::string_view label, int32_t number) {
  WriteLine("-" + std::string(label) + "---" + std::to_string(number) + "\n");
}

void CQUpdateTraceFile::WriteLine(const std::string& line) {
  std::lock_guard lock(g_traceMutex);
  WriteWhole(m_stream, line);
}

std::string CQUpdateTraceFile::Path() { return platform::TempFolder::Get() + kFileName; }

platform::Diagnostics::Sink CQUpdateTraceFile::InstallDiagnosticsSink() {
  return platform::Diagnostics::SetSink([](std::string_view message) {
    std::string line = "! ";
    for (char c : message) line += (c == '\n' || c == '\r') ? ' ' : c;
    line += '\n';
    // Opened per message: diagnostics are rare, and the sink must work
    // before, between and after update runs.
    std::lock_guard lock(g_traceMutex);
    std::FILE* stream = std::fopen(Path().c_str(), "a");
    if (stream == nullptr) return;
    std::setvbuf(stream, nullptr, _IOFBF, 64 * 1024);
    WriteWhole(stream, line);
    std::fclose(stream);
  });
}

}  // namespace qrv
