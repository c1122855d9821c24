#pragma once

#include <QString>
#include <cstdint>

class QWidget;

namespace qrv {

// The bridge between the forms (res/forms/*.ui) and the string table. A form
// holds no text of its own: each widget names its text by string id in the
// dynamic property "qrvText" (labels, buttons, group boxes; the form's own
// widget its window title) and, where no visible text names it for a screen
// reader, its accessible name in "qrvName". Every control keeps its numeric
// control id in "qrvId", by which the code and the tests find it.
//
// Thread: the user-interface thread.
class FormTexts {
 public:
  // Puts the texts of form and all its children in the language in force,
  // and gives each widget with a text an accessible name read from it (the
  // mnemonic and a trailing colon left out).
  static void Apply(QWidget* form);
  // The child of form (or form itself) whose qrvId is id; null when none.
  static QWidget* FindById(QWidget* form, int id);
  template <class Widget>
  static Widget* Find(QWidget* form, int id) {
    return qobject_cast<Widget*>(FindById(form, id));
  }
  // String id of the string table, as a QString (UTF-8 decoded).
  static QString Text(uint32_t id);
  // A text as a screen reader should say it: "Update(&U)" -> "Update",
  // "Path(&H):" -> "Path", "&Close" -> "Close".
  static QString Spoken(const QString& text);
  // A tool tip that shows text exactly, whatever it holds: Qt takes a tool
  // tip that looks like markup for markup, and a server's name or version
  // text must never be. Empty for an empty text.
  static QString PlainToolTip(const QString& text);
};

}  // namespace qrv
