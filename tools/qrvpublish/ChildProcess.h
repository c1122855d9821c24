#pragma once

#include <string>
#include <vector>

namespace qrv::tools {

// Runs a helper program (no shell, found on PATH) and waits for it. Its
// standard input is a pipe that receives `input` and is then closed, so a
// secret handed over this way never shows on a command line or in a file;
// standard output and error are collected together.
//
// The program must ignore SIGPIPE (main does), so that a child ending
// before it has read its input cannot end the program.
//
// Thread: any; each call owns its pipes and child.
class ChildProcess {  // static functions only
 public:
  // The exit status (0 to 255), or -1 when the program could not be started
  // or was ended by a signal; `output` gets what it printed (or why it did
  // not run).
  static int Run(const std::vector<std::string>& args, const std::string& input, std::string& output);
};

}  // namespace qrv::tools
