#pragma once

#include <cstdint>

class QWidget;

namespace qrv {

// What a mouse message on the tray icon does: the tray icon object calls
// Handle() of each handler whose message matches (see CQUpdateUtilTrayIcon).
// The window acted on is not owned.
//
// Thread: the user-interface thread.
class CQUpdateUtilTrayIconMouseMsgHandler {
 public:
  CQUpdateUtilTrayIconMouseMsgHandler(QWidget* window, uint32_t message) : m_window(window), m_message(message) {}
  virtual ~CQUpdateUtilTrayIconMouseMsgHandler() = default;
  CQUpdateUtilTrayIconMouseMsgHandler(const CQUpdateUtilTrayIconMouseMsgHandler&) = delete;
  CQUpdateUtilTrayIconMouseMsgHandler& operator=(const CQUpdateUtilTrayIconMouseMsgHandler&) = delete;

  // The base does nothing.
  virtual void Handle() {}

  uint32_t Message() const { return m_message; }
  QWidget* Window() const { return m_window; }

 private:
  QWidget* m_window;
  uint32_t m_message;
};

}  // namespace qrv
