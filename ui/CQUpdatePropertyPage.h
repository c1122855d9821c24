#pragma once

#include <QWidget>

class QLabel;

namespace qrv {

// The common base of the two pages of the interactive window. The window
// shows one page at a time and switches them itself: Ctrl+Tab, which would
// switch the pages of a tabbed window, is swallowed on the page and on every
// control of it. Activate() is what the window calls each time it brings the
// page to the front.
//
// Thread: the user-interface thread.
class CQUpdatePropertyPage : public QWidget {
  Q_OBJECT

 public:
  explicit CQUpdatePropertyPage(QWidget* parent = nullptr);

  // The page is coming to the front; the default does nothing.
  virtual void Activate() {}

  // Whether event is Ctrl+Tab (or Ctrl+Shift+Tab) being pressed.
  static bool IsCtrlTab(const QEvent* event);

 protected:
  // Call once the form is set up: filters the page and all its controls.
  void InstallKeyFilter();
  bool eventFilter(QObject* watched, QEvent* event) override;
  // The banner across the top (picture 1002), sized in dialog units.
  void SetBanner(QLabel* banner);
};

}  // namespace qrv
