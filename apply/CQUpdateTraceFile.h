#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/core/Diagnostics.h"

namespace qrv {

// The diagnostic trace file QrvUpdate.txt in the program's log folder
// (platform::ProgramFolders::Log(): <root>/var/log/qrvupdate for root and
// sandbox runs, the user's $XDG_STATE_HOME/qrvupdate or
// ~/.local/state/qrvupdate otherwise). An update run makes one writer: its
// construction appends the start line, each event one "-LABEL---NUMBER"
// line, its destruction the end line. The file is opened for appending and
// never truncated, so the lines of every run (and of several processes at
// once) accumulate.
//
// Never a shared temporary folder: a file or link planted there by another
// user would receive what a root run writes. The folder is made private
// (0700, whatever the umask) when missing and must be ours alone
// (platform::PrivateFolder); the file is created 0600 and opened without
// following a link, and a file that is not a plain file of ours with a
// single name (a hard link to somebody's file) is not written.
//
// Text from outside (diagnostics naming servers' files and products) is
// written with control characters escaped (platform::DisplayText), so
// reading the trace in a terminal cannot run escape sequences.
//
// A trace file that cannot be opened or written is silently skipped: tracing
// never makes a run fail.
//
// Thread: WriteEvent() and the diagnostics sink may be called from any thread;
// every line is written whole, under one process-wide lock, with one write()
// on a file opened for appending, so lines of two processes do not interleave.
// Construct and destroy on one thread.
class CQUpdateTraceFile {
 public:
  static constexpr const char* kFileName = "QrvUpdate.txt";

  // Opens Path() (created when missing) and writes the start line.
  CQUpdateTraceFile();
  // Writes the end line and closes the file.
  ~CQUpdateTraceFile();
  CQUpdateTraceFile(const CQUpdateTraceFile&) = delete;
  CQUpdateTraceFile& operator=(const CQUpdateTraceFile&) = delete;

  // "-" LABEL "---" NUMBER "\n".
  void WriteEvent(std::string_view label, int32_t number);

  // Whether the file is open (false when it could not be opened).
  bool IsOpen() const { return m_fd >= 0; }

  // Where the trace goes: ProgramFolders::Log() + "/QrvUpdate.txt".
  static std::string Path();

  // Makes platform::Diagnostics append each message to the trace file as a
  // line of its own ("! MESSAGE", line breaks in it turned into spaces,
  // other control characters escaped), whether or not a writer exists. The
  // program calls this at start-up.
  // Returns the sink it replaced (empty for the standard-error default).
  static platform::Diagnostics::Sink InstallDiagnosticsSink();

 private:
  void WriteLine(const std::string& line);

  int m_fd = -1;
};

}  // namespace qrv
