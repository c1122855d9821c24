#pragma once

#include <QString>
#include <cstdint>
#include <vector>

class QWidget;

namespace qrv {

class CQUpdateUtilTrayIconMouseMsgHandler;

// One icon of one window in the notification area (through
// TrayArea::Current()), and the dispatch of its mouse messages to handlers.
//
// Construction registers the object as the process's current tray icon and
// stores the data, without showing anything; AddIcon shows it. The handler
// objects are not owned (the window owns them). Balloons are titled with the
// application title (string 57344) and stay 15 s; tips are cut to
// kMaxTipChars. Destruction removes the icon and clears the current one.
//
// Thread: the user-interface thread; at most one object at a time.
class CQUpdateUtilTrayIcon {
 public:
  static constexpr int kMaxTipChars = 127;
  static constexpr int kBalloonMs = 15000;
  // The balloon of an area that came back (string 116, "Update available.").
  static constexpr uint32_t kAreaCreatedBalloon = 116;

  CQUpdateUtilTrayIcon(QWidget* window, uint32_t id, int picture, const QString& tip,
                       std::vector<CQUpdateUtilTrayIconMouseMsgHandler*> handlers);
  ~CQUpdateUtilTrayIcon();
  CQUpdateUtilTrayIcon(const CQUpdateUtilTrayIcon&) = delete;
  CQUpdateUtilTrayIcon& operator=(const CQUpdateUtilTrayIcon&) = delete;

  // The current tray icon object, or null.
  static CQUpdateUtilTrayIcon* Current();

  // Stores window, picture and tip; id only when not 0 (0 keeps the current).
  void SetIconData(QWidget* window, uint32_t id, int picture, const QString& tip);
  void SetHandlers(std::vector<CQUpdateUtilTrayIconMouseMsgHandler*> handlers);
  // Shows the icon with the balloon of string stringId. True on success.
  bool AddIcon(uint32_t stringId);
  // ModifyIconText with the text of string stringId.
  bool ModifyIcon(uint32_t stringId);
  // Applies picture and tip; a non-empty text also shows it as a balloon.
  bool ModifyIconText(const QString& text);
  bool DeleteIcon();
  // The notification area came back: AddIcon(kAreaCreatedBalloon).
  void OnTaskbarCreated();
  // Calls Handle() of every handler whose message is message, in order,
  // when id is this icon's identifier.
  void DispatchMouseMessage(uint32_t id, uint32_t message);

  uint32_t Id() const { return m_id; }
  int Picture() const { return m_picture; }
  const QString& Tip() const { return m_tip; }

 private:
  std::vector<CQUpdateUtilTrayIconMouseMsgHandler*> m_handlers;
  QWidget* m_window = nullptr;
  uint32_t m_id = 0;
  int m_picture = 0;
  QString m_tip;
};

}  // namespace qrv
