#include "ui/FormTexts.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QRegularExpression>
#include <QVariant>
#include <QWidget>

#include "res/CQUpdateStrings.h"

namespace qrv {
namespace {

void ApplyOne(QWidget* widget) {
  bool ok = false;
  const uint32_t textId = widget->property("qrvText").toUInt(&ok);
  if (ok && textId != 0) {
    const QString text = FormTexts::Text(textId);
    if (auto* label = qobject_cast<QLabel*>(widget)) {
      label->setText(text);
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      button->setText(text);
    } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
      group->setTitle(text);
    } else {
      widget->setWindowTitle(text);
    }
    widget->setAccessibleName(FormTexts::Spoken(text));
  }
  const uint32_t nameId = widget->property("qrvName").toUInt(&ok);
  if (ok && nameId != 0) widget->setAccessibleName(FormTexts::Spoken(FormTexts::Text(nameId)));
}

}  // namespace

void FormTexts::Apply(QWidget* form) {
  ApplyOne(form);
  for (QWidget* child : form->findChildren<QWidget*>()) ApplyOne(child);
}

QWidget* FormTexts::FindById(QWidget* form, int id) {
  bool ok = false;
  if (form->property("qrvId").toInt(&ok) == id && ok) return form;
  for (QWidget* child : form->findChildren<QWidget*>()) {
    if (child->property("qrvId").toInt(&ok) == id && ok) return child;
  }
  return nullptr;
}

QString FormTexts::Text(uint32_t id) { return QString::fromStdString(CQUpdateStrings::Get(id)); }

QString FormTexts::Spoken(const QString& text) {
  static const QRegularExpression mnemonicInParens(QStringLiteral("\\(&.\\)"));
  QString spoken = text;
  spoken.remove(mnemonicInParens);
  spoken.remove(QLatin1Char('&'));
  spoken = spoken.trimmed();
  while (spoken.endsWith(QLatin1Char(':'))) spoken.chop(1);
  return spoken.trimmed();
}

QString FormTexts::PlainToolTip(const QString& text) {
  if (text.isEmpty()) return {};
  return QStringLiteral("<p style=\"white-space:pre\">") + text.toHtmlEscaped() + QStringLiteral("</p>");
}

}  // namespace qrv
