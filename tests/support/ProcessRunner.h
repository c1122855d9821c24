#pragma once

#include <map>
#include <string>
#include <vector>

namespace qrv::test {

struct ProcessResult {
  int exitCode = -1;  // -1 when the program could not be started or was killed
  std::string out;
  std::string err;
};

// Runs a program (no shell) with arguments, optional standard input and extra
// environment variables, and collects its output and exit status.
//
// Thread: any; blocks until the program ends.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env = {},
                         const std::string& stdinText = {});

}  // namespace qrv::test
