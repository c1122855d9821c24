#include "ui/QtMessageService.h"

#include <QApplication>
#include <QMessageBox>

#include "platform/core/DisplayText.h"
#include "res/CQUpdateStrings.h"
#include "res/StringIds.h"
#include "ui/FormTexts.h"

namespace qrv {

int QtMessageService::Show(uint32_t stringId, uint32_t buttons) {
  return Ask(kStringAppTitle, BoxText(stringId, {}), buttons);
}

int QtMessageService::ShowWith(uint32_t stringId, const std::string& argument, uint32_t buttons) {
  return Ask(kStringAppTitle, BoxText(stringId, argument), buttons);
}

int QtMessageService::ShowTitled(uint32_t titleId, uint32_t stringId, uint32_t buttons) {
  return Ask(titleId, BoxText(stringId, {}), buttons);
}

QString QtMessageService::BoxText(uint32_t stringId, const std::string& argument) {
  std::string text = CQUpdateStrings::Get(stringId);
  const size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, platform::DisplayText::Escape(argument));
  QString shown = QString::fromStdString(text);
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return shown;
}

int QtMessageService::Ask(uint32_t titleId, const QString& text, uint32_t buttons) {
  QWidget* owner = QApplication::activeModalWidget();
  if (owner == nullptr) owner = QApplication::activeWindow();
  QMessageBox box(owner);
  box.setWindowTitle(FormTexts::Text(titleId));
  box.setText(text);
  box.setTextFormat(Qt::PlainText);
  switch (buttons) {
    case kOkCancel:
      box.setIcon(QMessageBox::Question);
      box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
      box.setDefaultButton(QMessageBox::Ok);
      box.setEscapeButton(QMessageBox::Cancel);
      break;
    case kYesNo:
      box.setIcon(QMessageBox::Question);
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      box.setDefaultButton(QMessageBox::Yes);
      box.setEscapeButton(QMessageBox::No);
      break;
    default:
      box.setIcon(QMessageBox::Information);
      box.setStandardButtons(QMessageBox::Ok);
      break;
  }
  switch (box.exec()) {
    case QMessageBox::Ok: return kAnswerOk;
    case QMessageBox::Yes: return kAnswerYes;
    case QMessageBox::No: return kAnswerNo;
    default: return buttons == kOk ? kAnswerOk : (buttons == kYesNo ? kAnswerNo : kAnswerCancel);
  }
}

}  // namespace qrv
