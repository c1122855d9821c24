#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace qrv::platform {

// Shortcuts on the desktop of the user an update runs for. An update in
// process puts them on its own user's desktop (ShellFolders::kDesktop); the
// engine service, which runs as root without a desktop, installs a version
// that has the update window put them on its user's desktop instead.
//
// Thread: Make() and Remove() from the thread that applies the update;
// Install() is for start-up, sessions and test fixtures.
class DesktopShortcuts {
 public:
  virtual ~DesktopShortcuts() = default;

  // Writes (or replaces) the launcher file `name` for `target`, an absolute
  // path, with `comment`. True when it was written, and also when this user
  // has no desktop folder (nothing is shown there, so none is created; the
  // trace says so); false with the reason in LastError. Never throws.
  virtual bool Make(std::string_view name, std::string_view target, std::string_view comment);
  // Deletes the launcher file `name`; true when it is gone afterwards (also
  // when it never was there, or there is no desktop folder).
  virtual bool Remove(std::string_view name);

  // The one in force (never null); Install(nullptr) restores the default.
  static DesktopShortcuts& Current();
  // Installs one for the whole process; returns the previous one (null when
  // it was the default).
  static std::shared_ptr<DesktopShortcuts> Install(std::shared_ptr<DesktopShortcuts> shortcuts);
};

}  // namespace qrv::platform
