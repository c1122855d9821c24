#include "ui/CQUpdateAboutDlg.h"

#include <QLabel>
#include <QPushButton>

#include "ui/Artwork.h"
#include "ui/DialogUnits.h"
#include "ui/FormTexts.h"
#include "ui_CQUpdateAboutDlg.h"

namespace qrv {

CQUpdateAboutDlg::CQUpdateAboutDlg(QWidget* parent) : QDialog(parent), m_ui(std::make_unique<Ui::CQUpdateAboutDlg>()) {
  m_ui->setupUi(this);
  FormTexts::Apply(this);
  // The icon keeps the 20-unit square it was laid out in, so it grows with
  // the font like the texts beside it.
  const DialogUnits units(font());
  const int side = std::max(units.X(20), units.Y(20));
  m_ui->icon->setFixedSize(side, side);
  m_ui->icon->setPixmap(Artwork::Pixmap(128, QSize(side, side)));
  m_ui->ok->setMinimumWidth(units.X(50));
  m_ui->version->setMinimumWidth(units.X(103));
  m_ui->notice->setMinimumWidth(units.X(188));
  m_ui->version->setText(VersionText());
  setWindowIcon(Artwork::Icon(128));
  connect(m_ui->ok, &QPushButton::clicked, this, &QDialog::accept);
}

CQUpdateAboutDlg::~CQUpdateAboutDlg() = default;

QString CQUpdateAboutDlg::VersionText() { return QStringLiteral(QRV_VERSION); }

}  // namespace qrv
