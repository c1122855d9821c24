#pragma once

#include <memory>
#include <string>

namespace qrv::platform {

// Opens a file with the program the user's desktop associates with it, the
// way a double click would. The process installs one launcher; by default it
// is an XdgOpenLauncher, and tests install a recorder so nothing is opened.
//
// Thread: Open() may be called from any thread; Install() is for start-up and
// test fixtures.
class Launcher {
 public:
  virtual ~Launcher() = default;

  // Starts opening file (an absolute path) with folder as the working folder
  // and returns without waiting for the program. True when it was started;
  // false with the reason in LastError. Never throws.
  virtual bool Open(const std::string& file, const std::string& folder) = 0;
  // Starts showing the web page at address (http:// or https:// only) in the
  // user's browser and returns without waiting. True when it was started;
  // false with the reason in LastError. The default refuses every address:
  // a launcher without a browser cannot show one.
  virtual bool OpenAddress(const std::string& address);

  // The launcher in force (never null); Install(nullptr) restores the default.
  static Launcher& Current();
  // Installs a launcher for the whole process; returns the previous one
  // (null when it was the default).
  static std::shared_ptr<Launcher> Install(std::shared_ptr<Launcher> launcher);
};

}  // namespace qrv::platform
