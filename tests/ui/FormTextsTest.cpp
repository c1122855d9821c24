// The forms hold no text of their own: every text comes from the string table
// by id, in both languages, and every control is found by its id.
#include "ui/FormTexts.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QXmlStreamReader>
#include <set>

#include "res/CQUpdateStrings.h"
#include "ui/DialogUnits.h"

namespace qrv {
namespace {

TEST(FormTexts, SpokenNamesDropMnemonicsAndColons) {
  EXPECT_EQ(FormTexts::Spoken("Update(&U)"), "Update");
  EXPECT_EQ(FormTexts::Spoken("Path(&H):"), "Path");
  EXPECT_EQ(FormTexts::Spoken("Cycle(&T): "), "Cycle");
  EXPECT_EQ(FormTexts::Spoken("&Close"), "Close");
  EXPECT_EQ(FormTexts::Spoken(QString::fromUtf8("업데이트할 제품(&L):")), QString::fromUtf8("업데이트할 제품"));
}

TEST(FormTexts, ApplyPutsTableTextsAndFindsControlsById) {
  QWidget form;
  form.setProperty("qrvText", 57344);
  auto* label = new QLabel(&form);
  label->setProperty("qrvText", 10702);
  auto* button = new QPushButton(&form);
  button->setProperty("qrvId", 1004);
  button->setProperty("qrvText", 10706);
  auto* bare = new QPushButton(&form);
  bare->setProperty("qrvId", 1050);
  bare->setProperty("qrvName", 13518);
  FormTexts::Apply(&form);
  EXPECT_EQ(form.windowTitle(), "Qorvane Update");
  EXPECT_EQ(label->text(), "Product to Update(&L):");
  EXPECT_EQ(button->text(), "Update(&U)");
  EXPECT_EQ(button->accessibleName(), "Update");
  EXPECT_EQ(bare->text(), "") << "a bitmap button keeps no text";
  EXPECT_EQ(bare->accessibleName(), "Browse for the network folder");
  EXPECT_EQ(FormTexts::Find<QPushButton>(&form, 1004), button);
  EXPECT_EQ(FormTexts::FindById(&form, 4711), nullptr);
}

TEST(DialogUnits, ScaleWithTheFont) {
  QFont small;
  small.setPixelSize(11);
  QFont large;
  large.setPixelSize(22);
  const DialogUnits a(small), b(large);
  EXPECT_GT(b.X(264), a.X(264));
  EXPECT_GT(b.Y(96), a.Y(96));
  EXPECT_EQ(a.X(4), a.BaseX());
  EXPECT_EQ(a.Y(8), a.BaseY());
}

// Every form of res/forms: each text named by an id the table has in both
// languages, no literal text, and no control id twice.
TEST(FormTexts, EveryFormNamesItsTextsByTableId) {
  const QDir forms(QStringLiteral(QRV_SOURCE_DIR "/res/forms"));
  const QStringList files = forms.entryList({QStringLiteral("*.ui")});
  for (const QString& name : files) {
    QFile file(forms.filePath(name));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
    QXmlStreamReader xml(&file);
    std::set<int> ids;
    QString property;
    while (!xml.atEnd()) {
      xml.readNext();
      if (!xml.isStartElement()) continue;
      if (xml.name() == QLatin1String("property")) property = xml.attributes().value("name").toString();
      if (xml.name() == QLatin1String("string") &&
          (property == "text" || property == "title" || property == "windowTitle")) {
        EXPECT_TRUE(xml.readElementText().isEmpty())
            << name.toStdString() << ": a literal " << property.toStdString() << " (use qrvText)";
      }
      if (xml.name() == QLatin1String("number") && (property == "qrvText" || property == "qrvName")) {
        const uint32_t id = xml.readElementText().toUInt();
        EXPECT_FALSE(CQUpdateStrings::Get(id, CQUpdateStrings::Language::kEnglish).empty()) << name.toStdString() << " " << id;
        EXPECT_FALSE(CQUpdateStrings::Get(id, CQUpdateStrings::Language::kKorean).empty()) << name.toStdString() << " " << id;
      }
      if (xml.name() == QLatin1String("number") && property == "qrvId") {
        const int id = xml.readElementText().toInt();
        EXPECT_TRUE(ids.insert(id).second) << name.toStdString() << ": control id " << id << " twice";
      }
    }
    EXPECT_FALSE(xml.hasError()) << name.toStdString() << ": " << xml.errorString().toStdString();
  }
}

}  // namespace
}  // namespace qrv
