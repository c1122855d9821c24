#include "ui/CQUpdateUtilTrayIcon.h"

#include <utility>

#include "ui/CQUpdateUtilTrayIconMouseMsgHandler.h"
#include "ui/FormTexts.h"
#include "ui/TrayArea.h"

namespace qrv {
namespace {

CQUpdateUtilTrayIcon* g_current = nullptr;

constexpr uint32_t kAppTitle = 57344;
constexpr int kMaxBalloonChars = 255;

// text cut to at most max characters, never inside a surrogate pair.
QString Cut(const QString& text, int max) {
  if (text.size() <= max) return text;
  int end = max;
  if (text.at(end - 1).isHighSurrogate()) --end;
  return text.left(end);
}

}  // namespace

CQUpdateUtilTrayIcon::CQUpdateUtilTrayIcon(QWidget* window, uint32_t id, int picture, const QString& tip,
                                           std::vector<CQUpdateUtilTrayIconMouseMsgHandler*> handlers) {
  g_current = this;
  SetIconData(window, id, picture, tip);
  SetHandlers(std::move(handlers));
}

CQUpdateUtilTrayIcon::~CQUpdateUtilTrayIcon() {
  if (g_current == this) g_current = nullptr;
  DeleteIcon();
}

CQUpdateUtilTrayIcon* CQUpdateUtilTrayIcon::Current() { return g_current; }

void CQUpdateUtilTrayIcon::SetIconData(QWidget* window, uint32_t id, int picture, const QString& tip) {
  m_window = window;
  if (id != 0) m_id = id;
  m_picture = picture;
  m_tip = tip;
}

void CQUpdateUtilTrayIcon::SetHandlers(std::vector<CQUpdateUtilTrayIconMouseMsgHandler*> handlers) {
  m_handlers = std::move(handlers);
}

bool CQUpdateUtilTrayIcon::AddIcon(uint32_t stringId) {
  TrayArea::Record record;
  record.id = m_id;
  record.picture = m_picture;
  record.tip = Cut(m_tip, kMaxTipChars);
  record.balloon = Cut(FormTexts::Text(stringId), kMaxBalloonChars);
  record.balloonTitle = FormTexts::Text(kAppTitle);
  record.balloonMs = kBalloonMs;
  return TrayArea::Current().Add(record);
}

bool CQUpdateUtilTrayIcon::ModifyIcon(uint32_t stringId) { return ModifyIconText(FormTexts::Text(stringId)); }

bool CQUpdateUtilTrayIcon::ModifyIconText(const QString& text) {
  TrayArea::Record record;
  record.id = m_id;
  record.picture = m_picture;
  record.tip = Cut(m_tip, kMaxTipChars);
  record.balloonMs = kBalloonMs;
  if (!text.isEmpty()) {
    record.balloon = Cut(text, kMaxBalloonChars);
    record.balloonTitle = FormTexts::Text(kAppTitle);
  }
  return TrayArea::Current().Modify(record);
}

bool CQUpdateUtilTrayIcon::DeleteIcon() { return TrayArea::Current().Delete(m_id); }

void CQUpdateUtilTrayIcon::OnTaskbarCreated() { AddIcon(kAreaCreatedBalloon); }

void CQUpdateUtilTrayIcon::DispatchMouseMessage(uint32_t id, uint32_t message) {
  if (id != m_id) return;
  // A copy: a handler may hand this object new handlers.
  const std::vector<CQUpdateUtilTrayIconMouseMsgHandler*> handlers = m_handlers;
  for (CQUpdateUtilTrayIconMouseMsgHandler* handler : handlers) {
    if (handler != nullptr && handler->Message() == message) handler->Handle();
  }
}

}  // namespace qrv
