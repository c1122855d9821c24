#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

namespace qrv {

// The desktop's notification area as the tray icon object needs it: one icon
// (by identifier) with a picture, a tool tip and balloon messages, and the
// clicks on it. QtTrayArea puts it on QSystemTrayIcon and the desktop's
// notification service; tests install a recorder.
//
// Thread: the user-interface thread.
class TrayArea {
 public:
  // Mouse messages of the icon, by their historical numbers.
  static constexpr uint32_t kLeftDoubleClick = 0x0203;
  static constexpr uint32_t kRightButtonDown = 0x0204;
  static constexpr uint32_t kBalloonClick = 0x0405;

  // What an add or a modify shows. An empty balloon shows none.
  struct Record {
    uint32_t id = 0;      // the icon's identifier (149, 150, 151)
    int picture = 0;      // the artwork id of the icon to show
    QString tip;          // at most 127 characters
    QString balloon;      // the balloon text; empty: no balloon
    QString balloonTitle;
    int balloonMs = 15000;
  };

  virtual ~TrayArea() = default;

  // Shows the icon (again) / changes what it shows / removes it. True when
  // the desktop took it.
  virtual bool Add(const Record& record) = 0;
  virtual bool Modify(const Record& record) = 0;
  virtual bool Delete(uint32_t id) = 0;
  // Whether the desktop has a notification area at all.
  virtual bool Available() const = 0;

  // Set by the owner: a mouse message for the icon with identifier id (a
  // click on one of our own balloons is kBalloonClick); the notification
  // area came (back).
  std::function<void(uint32_t id, uint32_t message)> onMouse;
  std::function<void()> onAreaCreated;

  // The area in force (never null: a QtTrayArea by default); Install
  // returns the previous one. Tests install a recorder before the window.
  static TrayArea& Current();
  static std::shared_ptr<TrayArea> Install(std::shared_ptr<TrayArea> area);
};

}  // namespace qrv
