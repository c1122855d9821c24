#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <memory>

#include "app/StandByWindow.h"

namespace Ui {
class CQUpdateStandBy;
}

namespace qrv {

// The "Finding components to update." window shown while an interactive run
// asks the server what is new. Modeless and centred on the screen; the
// constructor shows it and paints it at once, because the query that follows
// blocks this thread. Each step adds one period to the text, so the user sees
// the work going; the text never shrinks while the window lives.
//
// Ownership: its creator (the run's stand-by factory hands it over in a
// unique_ptr); destroying the object closes the window.
// Thread: the user-interface thread.
class CQUpdateStandBy : public QDialog, public StandByWindow {
  Q_OBJECT

 public:
  explicit CQUpdateStandBy(QWidget* parent = nullptr);
  ~CQUpdateStandBy() override;

  // The least time between two paints of the growing text.
  static constexpr qint64 kPaintIntervalMs = 30;

  // Appends one "." to the text (static 1071) and enables the window; paints
  // it unless it was painted less than kPaintIntervalMs ago. Returns 1.
  int Step();
  // StandByWindow: the same as Step().
  void Advance() override;

 private:
  std::unique_ptr<Ui::CQUpdateStandBy> m_ui;
  QElapsedTimer m_lastPaint;  // invalid until the first step paints
};

}  // namespace qrv
