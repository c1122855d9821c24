// The program's pictures, the About box and the stand-by window.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <optional>
#include <string>

#include "res/CQUpdateStrings.h"
#include "tests/support/ScopedEnv.h"
#include "ui/Artwork.h"
#include "ui/CQUpdateAboutDlg.h"
#include "ui/CQUpdateStandBy.h"
#include "ui/FormTexts.h"

namespace qrv {
namespace {

QImage Render(int id, int side) {
  return Artwork::Pixmap(id, QSize(side, side)).toImage().convertToFormat(QImage::Format_ARGB32);
}

int OpaquePixels(const QImage& image) {
  int count = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) count += qAlpha(image.pixel(x, y)) > 0 ? 1 : 0;
  return count;
}

// Every widget with a text or a role a screen reader announces has a name.
void ExpectAccessibleNames(QWidget* form) {
  for (QWidget* child : form->findChildren<QWidget*>()) {
    if (qobject_cast<QLabel*>(child) == nullptr && qobject_cast<QAbstractButton*>(child) == nullptr) continue;
    EXPECT_FALSE(child->accessibleName().isEmpty()) << child->objectName().toStdString();
  }
}

TEST(Artwork, EveryPictureDrawsAtSmallAndLargeSizes) {
  for (int id : {128, 149, 150, 151, 158, 161, 1002}) {
    SCOPED_TRACE(id);
    EXPECT_FALSE(Artwork::Icon(id).isNull());
    for (int side : {16, 256}) {
      const QImage image = Render(id, side);
      ASSERT_FALSE(image.isNull());
      EXPECT_GT(OpaquePixels(image), side * side / 8) << "at " << side << " px";
    }
  }
  EXPECT_TRUE(Artwork::Path(4711).isEmpty());
  EXPECT_TRUE(Artwork::Pixmap(4711, QSize(16, 16)).isNull());
}

TEST(Artwork, TrayStatesAndTheDisabledButtonDifferAtTraySize) {
  const QImage idle = Render(149, 22), working = Render(150, 22), ready = Render(151, 22);
  EXPECT_TRUE(idle != working);
  EXPECT_TRUE(idle != ready);
  EXPECT_TRUE(working != ready);
  EXPECT_TRUE(Render(158, 16) != Render(161, 16));
}

TEST(CQUpdateAboutDlg, ShowsTheProgramVersionAndItsTextsInBothLanguages) {
  {
    CQUpdateAboutDlg dialog;
    EXPECT_EQ(dialog.windowTitle(), "Qorvane Update");
    auto* version = FormTexts::Find<QLabel>(&dialog, 1062);
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->text(), QStringLiteral(QRV_PROJECT_VERSION));
    EXPECT_FALSE(version->text().isEmpty());
    auto* ok = FormTexts::Find<QPushButton>(&dialog, 1);
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->text(), "OK(&D)");
    EXPECT_TRUE(ok->isDefault());
    QStringList texts;
    for (QLabel* label : dialog.findChildren<QLabel*>()) texts << label->text();
    EXPECT_TRUE(texts.contains("Version"));
    EXPECT_TRUE(texts.contains(FormTexts::Text(10003)));
    ExpectAccessibleNames(&dialog);
    dialog.open();
    ok->click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_FALSE(dialog.isVisible());
  }
  test::ScopedEnv all("LC_ALL", std::nullopt), messages("LC_MESSAGES", std::nullopt), lang("LANG", "ko_KR.UTF-8");
  CQUpdateAboutDlg dialog;
  EXPECT_EQ(FormTexts::Find<QPushButton>(&dialog, 1)->text(), QString::fromUtf8("확인(&D)"));
  EXPECT_EQ(FormTexts::Find<QLabel>(&dialog, 1062)->text(), QStringLiteral(QRV_PROJECT_VERSION));
  QStringList texts;
  for (QLabel* label : dialog.findChildren<QLabel*>()) texts << label->text();
  EXPECT_TRUE(texts.contains(QString::fromUtf8("버전")));
}

TEST(CQUpdateStandBy, ShowsAtOnceAndGainsOnePeriodPerStep) {
  CQUpdateStandBy standBy;
  EXPECT_TRUE(standBy.isVisible()) << "shown before the blocking query starts";
  EXPECT_FALSE(standBy.isModal());
  EXPECT_EQ(standBy.windowTitle(), "Qorvane Update");
  auto* text = FormTexts::Find<QLabel>(&standBy, 1071);
  ASSERT_NE(text, nullptr);
  const QString base = "Finding components to update.";
  EXPECT_EQ(text->text(), base);
  ExpectAccessibleNames(&standBy);
  standBy.setEnabled(false);
  EXPECT_EQ(standBy.Step(), 1);
  EXPECT_TRUE(standBy.isEnabled());
  StandByWindow& window = standBy;
  for (int step = 2; step <= 40; ++step) {
    window.Advance();
    ASSERT_EQ(text->text(), base + QString(step, QLatin1Char('.'))) << "after step " << step;
  }
  EXPECT_TRUE(standBy.isVisible());
}

}  // namespace
}  // namespace qrv
