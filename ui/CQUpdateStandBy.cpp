#include "ui/CQUpdateStandBy.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>

#include "ui/Artwork.h"
#include "ui/DialogUnits.h"
#include "ui/FormTexts.h"
#include "ui_CQUpdateStandBy.h"

namespace qrv {
namespace {

// Lets the window system map and paint the window now: the caller goes on
// to block this thread, and a window shown but never painted would be an
// empty frame for the length of the query.
void PaintNow(QWidget* window) {
  window->repaint();
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

}  // namespace

CQUpdateStandBy::CQUpdateStandBy(QWidget* parent) : QDialog(parent), m_ui(std::make_unique<Ui::CQUpdateStandBy>()) {
  m_ui->setupUi(this);
  FormTexts::Apply(this);
  setWindowIcon(Artwork::Icon(128));
  setModal(false);
  // 261 by 36 units, the text 247 units wide; the layout lets Korean and
  // large fonts grow it.
  const DialogUnits units(font());
  m_ui->activity->setMinimumWidth(units.X(247));
  setMinimumSize(units.Size(261, 36));
  adjustSize();
  const QScreen* screen = parent != nullptr ? parent->screen() : QGuiApplication::primaryScreen();
  if (screen != nullptr) {
    const QRect area = parent != nullptr ? parent->window()->frameGeometry() : screen->availableGeometry();
    QRect frame = frameGeometry();
    frame.moveCenter(area.center());
    move(frame.topLeft());
  }
  show();
  PaintNow(this);
}

CQUpdateStandBy::~CQUpdateStandBy() = default;

int CQUpdateStandBy::Step() {
  m_ui->activity->setText(m_ui->activity->text() + QLatin1Char('.'));
  setEnabled(true);
  // A query steps once per installed product: painting each step made 256
  // products cost more than the query itself. The eye needs no more than
  // one new period every kPaintIntervalMs.
  if (!m_lastPaint.isValid() || m_lastPaint.elapsed() >= kPaintIntervalMs) {
    PaintNow(this);
    m_lastPaint.restart();
  }
  return 1;
}

void CQUpdateStandBy::Advance() { Step(); }

}  // namespace qrv
