#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/shell/Launcher.h"

namespace qrv::test {

// A launcher that opens nothing and keeps (file, folder) of every request,
// in order, for tests of program starts.
//
// Thread: the test's; install with platform::Launcher::Install and put the
// previous one back at the end.
class RecordingLauncher : public platform::Launcher {
 public:
  bool Open(const std::string& file, const std::string& folder) override {
    opened.emplace_back(file, folder);
    return true;
  }
  std::vector<std::pair<std::string, std::string>> opened;
};

}  // namespace qrv::test
