#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace qrv::platform {

// The one folder below which every location the program chooses itself hangs:
// the registry stores, shell folders, autostart entries. "/" on a real
// installation; a private folder for tests, benchmarks and the demo.
//
// Thread: Set() is meant for start-up (or a test fixture) before other threads
// use the root; Get() and Resolve() are safe from any thread at any time.
class SystemRoot {
 public:
  // The root in force: the last Set(), else $QRVUPDATE_ROOT when set and not
  // empty, else "/". Always absolute, never ends in '/' unless it is "/".
  static std::filesystem::path Get();

  // Moves the root; an empty path returns to the environment / default rule.
  // A relative path is made absolute against the current directory.
  static void Set(const std::filesystem::path& root);
  // Set() for a value given on a command line (--root DIR): an empty value
  // is refused (false, nothing changed), since falling back to "/" would
  // turn a mistyped sandbox into the real system.
  static bool SetFromOption(std::string_view value);

  // Joins a root-relative location such as "var/lib/qrvupdate" to the root.
  static std::filesystem::path Resolve(std::string_view relative);
};

}  // namespace qrv::platform
