#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/core/Diagnostics.h"

namespace qrv {

// The diagnostic trace file QrvUpdate.txt in the user's temporary folder. An
// update run makes one writer: its construction appends the start line, each
// event one "-LABEL---NUMBER" line, its destruction the end line. The file is
// opened for appending and never truncated, so the lines of every run (and of
// several processes at once) accumulate.
//
// A trace file that cannot be opened or written is silently skipped: tracing
// never makes a run fail.
//
// Thread: WriteEvent() and the diagnostics sink may be called from any thread;
// every line is written whole, under one process-wide lock, and flushed at
// once so lines of two processes do not interleave. Construct and destroy on
// one thread.
class CQUpdateTraceFile {
 public:
  static constexpr const char* kFileName = "QrvUpdate.txt";

  // Opens TempFolder + "QrvUpdate.txt" (created when missing) and writes the
  // start line.
  CQUpdateTraceFile();
  // Writes the end line and closes the file.
  ~CQUpdateTraceFile();
  CQUpdateTraceFile(const CQUpdateTraceFile&) = delete;
  CQUpdateTraceFile& operator=(const CQUpdateTraceFile&) = delete;

  // "-" LABEL "---" NUMBER "\n".
  void WriteEvent(std::string_view label, int32_t number);

  // Whether the file is open (false when it could not be opened).
  bool IsOpen() const { return m_stream != nullptr; }

  // Where the trace goes: TempFolder::Get() + "QrvUpdate.txt".
  static std::string Path();

  // Makes platform::Diagnostics append each message to the trace file as a
  // line of its own ("! MESSAGE", line breaks in it turned into spaces),
  // whether or not a writer exists. The program calls this at start-up.
  // Returns the sink it replaced (empty for the standard-error default).
  static platform::Diagnostics::Sink InstallDiagnosticsSink();

 private:
  void WriteLine(const std::string& line);

  std::FILE* m_stream = nullptr;
};

}  // namespace qrv
