// The update window against the real engine: a signed tree served over
// loopback HTTP, products installed in the sandbox, message boxes answered by
// a recorder.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QAccessibleInterface>
#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTextDocument>
#include <QTimer>
#include <QTreeWidget>
#include <memory>
#include <string>
#include <vector>

#include "res/CQUpdateStrings.h"
#include "res/StringIds.h"
#include "platform/registry/RegistryKey.h"
#include "platform/shell/Launcher.h"
#include "tests/support/ScopedEnv.h"
#include "tests/ui/UserWindowFixture.h"
#include "ui/CQUpdateDlgUser.h"
#include "ui/CQUpdateEnvSetDlg.h"
#include "ui/CQUpdatePropertyPageDownload.h"
#include "ui/CQUpdatePropertyPageList.h"
#include "ui/FormTexts.h"
#include "ui/MakerAddresses.h"

namespace qrv {
namespace {

constexpr uint32_t kSelectProduct = 126;
constexpr uint32_t kPrompt = 10709;
const char kLongCabinet[] = "calc/a-cabinet-whose-name-is-far-too-long-for-one-status-line.cab";

class AddressLauncher : public platform::Launcher {
 public:
  bool Open(const std::string&, const std::string&) override { return false; }
  bool OpenAddress(const std::string& address) override {
    addresses.push_back(address);
    return true;
  }
  std::vector<std::string> addresses;
};

class DlgUserTest : public test::UserWindowFixture {
 protected:
  void SetUp() override {
    UserWindowFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    // Calc's cabinet under a long name, for the status line's limit.
    ServeCabinet(kLongCabinet, {{"calc.txt", "calc 6"}});
    Serve("Calc.ini", std::string("[Calc]\nCalcCOUNT=1\nCalc0FILE=") + kLongCabinet + "\n");
  }

  QLabel* Latest() const { return FormTexts::Find<QLabel>(m_dlg->ListPage(), 1065); }
  bool Checked(const std::string& product) const { return Row(product)->checkState(0) == Qt::Checked; }
  void Check(const std::string& product, bool on) { Row(product)->setCheckState(0, on ? Qt::Checked : Qt::Unchecked); }
  // Bottom of the list page's Homepage button to the bottom of the window.
  int ListFit() const {
    const QWidget* homepage = Button(1072);
    return m_dlg->height() - homepage->mapTo(m_dlg, QPoint(0, homepage->height())).y();
  }
  static bool Press(QWidget* target, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers);
    return QApplication::sendEvent(target, &press) && press.isAccepted();
  }
  static std::string Text(uint32_t id) { return CQUpdateStrings::Get(id); }
};

TEST_F(DlgUserTest, AWholeRunShowsItsProgressAndEndsOnTheRefreshedList) {
  Open();
  ASSERT_EQ(m_dlg->CurrentPage(), CQUpdateDlgUser::kListPage);
  ASSERT_EQ(List()->topLevelItemCount(), 2) << "Writer and Calc pending, Viewer up to date";
  EXPECT_EQ(List()->headerItem()->text(0).toStdString(), Text(kStringProductName));
  EXPECT_EQ(List()->columnWidth(0), 218);
  EXPECT_EQ(List()->columnWidth(1), 76);
  EXPECT_EQ(Row("Writer")->text(0), "Qorvane Writer");
  EXPECT_EQ(Row("Writer")->text(2), "7.0.1");
  QTextDocument tip;
  tip.setHtml(Row("Writer")->toolTip(2));
  EXPECT_EQ(tip.toPlainText(), "7.0.1") << "a text the column cuts is whole in its tool tip";
  EXPECT_TRUE(Checked("Writer") && Checked("Calc"));
  EXPECT_TRUE(List()->selectedItems().isEmpty());
  EXPECT_EQ(Content(), FormTexts::Text(kPrompt)) << "the prompt for no selection";
  EXPECT_FALSE(Latest()->isVisibleTo(m_dlg));
  EXPECT_TRUE(Button(1004)->isEnabled() && Button(1072)->isEnabled());
  EXPECT_EQ(ListFit(), CQUpdateDlgUser::kListMargin);

  int page = -1;
  m_dlg->onText = [&](platform::ProgressKind) { page = m_dlg->CurrentPage(); };
  Button(1004)->click();

  EXPECT_EQ(page, CQUpdateDlgUser::kDownloadPage) << "the run showed the download page";
  EXPECT_EQ(m_dlg->downloadFit, CQUpdateDlgUser::kDownloadMargin);
  EXPECT_TRUE(m_dlg->finalized);
  EXPECT_EQ(Version("Writer"), 7u);
  EXPECT_EQ(Version("Calc"), 6u);
  EXPECT_EQ(m_messages->shown, std::vector<uint32_t>{kStringFinished});
  EXPECT_LE(m_dlg->longestStatus, 45) << "the status line keeps to 45 characters";
  EXPECT_GT(m_dlg->longestStatus, 30) << "the long cabinet name was shown, shortened";
  EXPECT_TRUE(m_dlg->downloadingWithCancel);
  EXPECT_FALSE(m_dlg->copyingWithCancel) << "Cancel is off while files are copied";
  const std::vector<std::string> lines = Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Downloading Qorvane Writer..."), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Copying Qorvane Calc..."), lines.end());

  // Back on the list, asked afresh: nothing is left.
  EXPECT_EQ(m_dlg->CurrentPage(), CQUpdateDlgUser::kListPage);
  EXPECT_EQ(List()->topLevelItemCount(), 0);
  EXPECT_TRUE(Latest()->isVisibleTo(m_dlg)) << "You are using the latest version.";
  EXPECT_FALSE(Button(1004)->isEnabled());
  EXPECT_FALSE(Button(1072)->isEnabled());
  EXPECT_TRUE(Content().isEmpty());
  EXPECT_TRUE(m_dlg->isVisible());

  // A second run would start on an empty download page.
  m_dlg->DownloadPage()->Activate();
  EXPECT_TRUE(Lines().empty());
  EXPECT_EQ(m_dlg->DownloadPage()->ProgressBar()->value(), 0);
}

TEST_F(DlgUserTest, UpdateNeedsACheckedProductAndCheckBoxesFollowDependencies) {
  Serve("qupdate_s.ini",
        "[VersionInfo]\nWriter=7.0.1\nCalc=6.2\nViewer=5.0\n[UpdateVersionInfo]\nWriter=7\nCalc=6\nViewer=5\n"
        "[COUNT]\nWriter=1\nCalc=1\n[UpdateDependency]\nWriter=Calc|Ghost|Writer\n"
        "[UPDATEINFOPATH]\nWriter=notes\\writer.txt\nCalc=calc.txt\n");
  Serve("notes/writer.txt", "Writer 7: 새 기능\nline two\n");
  Serve("calc.txt", "\xbe\xf7\xb5\xa5\xc0\xcc\xc6\xae \xc1\xa4\xba\xb8: \xc7\xd1\xb1\xdb");  // CP949
  Open();

  Check("Writer", false);
  EXPECT_FALSE(Checked("Calc")) << "what Writer depends on follows it";
  Check("Writer", true);
  EXPECT_TRUE(Checked("Calc"));
  Check("Calc", false);
  EXPECT_TRUE(Checked("Writer")) << "the dependency goes one way";

  // Selecting a row spreads its state too, and shows its notes.
  Row("Writer")->setSelected(true);
  EXPECT_TRUE(Checked("Calc"));
  EXPECT_EQ(Content().toStdString(), "Writer 7: 새 기능\nline two\n");
  List()->clearSelection();
  Row("Calc")->setSelected(true);
  EXPECT_EQ(Content().toStdString(), "업데이트 정보: 한글") << "CP949 notes decoded";

  Check("Calc", false);
  Check("Writer", false);
  Button(1004)->click();
  EXPECT_EQ(m_messages->shown, std::vector<uint32_t>{kSelectProduct});
  EXPECT_EQ(m_dlg->CurrentPage(), CQUpdateDlgUser::kListPage);
  EXPECT_EQ(Version("Writer"), 5u);
}

TEST_F(DlgUserTest, ClosingFollowsThePhaseOfTheRun) {
  Open();
  // Close during the download, answered Cancel: the run goes on.
  m_messages->answers = {platform::MessageService::kAnswerCancel};
  bool asked = false;
  m_dlg->onText = [&](platform::ProgressKind kind) {
    if (kind != platform::ProgressKind::kDownloading || asked) return;
    asked = true;
    m_dlg->close();
    EXPECT_TRUE(m_dlg->isVisible());
  };
  Button(1004)->click();
  ASSERT_TRUE(asked);
  EXPECT_EQ(m_messages->shown.front(), kStringStopDownload);
  EXPECT_EQ(Version("Writer"), 7u) << "the download went on to the end";
  EXPECT_TRUE(m_dlg->isVisible());

  // Close and Escape during the copy: nothing is asked, nothing stops.
  Serve("qupdate_s.ini", "[VersionInfo]\nWriter=8.0\n[UpdateVersionInfo]\nWriter=8\n[COUNT]\nWriter=1\n");
  m_dlg->UpdatePrepare(0);
  m_messages->shown.clear();
  m_dlg->onText = [&](platform::ProgressKind kind) {
    if (kind != platform::ProgressKind::kCopying) return;
    m_dlg->close();
    Press(m_dlg->DownloadPage()->Lines(), Qt::Key_Escape);
    FormTexts::Find<QPushButton>(m_dlg->DownloadPage(), 1034)->click();
  };
  Button(1004)->click();
  EXPECT_EQ(Version("Writer"), 8u);
  EXPECT_EQ(m_messages->shown, std::vector<uint32_t>{kStringFinished});
  EXPECT_TRUE(m_dlg->isVisible());

  // Escape during the download, answered OK: cancelled; then closing closes.
  Serve("qupdate_s.ini", "[VersionInfo]\nWriter=9.0\n[UpdateVersionInfo]\nWriter=9\n[COUNT]\nWriter=1\n");
  m_dlg->UpdatePrepare(0);
  m_messages->shown.clear();
  m_dlg->onText = [&](platform::ProgressKind kind) {
    if (kind == platform::ProgressKind::kDownloading) Press(m_dlg->DownloadPage()->Lines(), Qt::Key_Escape);
  };
  Button(1004)->click();
  ASSERT_FALSE(m_messages->shown.empty());
  EXPECT_EQ(m_messages->shown.front(), kStringStopDownload);
  EXPECT_EQ(Version("Writer"), 8u) << "nothing of the cancelled run is installed";
  EXPECT_TRUE(m_dlg->isVisible()) << "Escape on the download page cancels, it does not close";
  m_dlg->onText = nullptr;
  m_dlg->close();
  EXPECT_FALSE(m_dlg->isVisible());
  EXPECT_EQ(m_dlg->result(), 1);
}

TEST_F(DlgUserTest, PageKeysHomepageAndAccessibility) {
  platform::RegistryKey option;
  ASSERT_EQ(platform::RegistryKey::Create(platform::kRootLocalMachine, CQUpdatePropertyPageList::kExecuteOptionKey, option),
            platform::RegStatus::kOk);
  option.SetDword("NorthAmerica", 2);
  auto launcher = std::make_shared<AddressLauncher>();
  const auto previous = platform::Launcher::Install(launcher);
  Open();
  Button(1072)->click();
  EXPECT_EQ(launcher->addresses, std::vector<std::string>{MakerAddresses::UpdateInfoPage()});
  platform::Launcher::Install(previous);

  // Ctrl+Tab never switches pages; plain Tab still moves on.
  EXPECT_TRUE(Press(List(), Qt::Key_Tab, Qt::ControlModifier));
  EXPECT_EQ(m_dlg->CurrentPage(), CQUpdateDlgUser::kListPage);

  // A screen reader finds the rows, their cells and check states.
  QAccessible::setActive(true);
  QAccessibleInterface* tree = QAccessible::queryAccessibleInterface(List());
  ASSERT_NE(tree, nullptr);
  EXPECT_FALSE(tree->text(QAccessible::Name).isEmpty());
  ASSERT_NE(tree->tableInterface(), nullptr);
  EXPECT_EQ(tree->tableInterface()->rowCount(), 2);
  QAccessibleInterface* cell = tree->tableInterface()->cellAt(0, 0);
  ASSERT_NE(cell, nullptr);
  EXPECT_EQ(cell->text(QAccessible::Name), List()->topLevelItem(0)->text(0));
  EXPECT_TRUE(cell->state().checkable);
  EXPECT_TRUE(cell->state().checked);

  // Every control a screen reader stops at has a name, on both pages and in
  // the settings dialog.
  CQUpdateEnvSetDlg settings;
  for (QWidget* form : std::initializer_list<QWidget*>{m_dlg->ListPage(), m_dlg->DownloadPage(), &settings}) {
    for (QWidget* child : form->findChildren<QWidget*>()) {
      const bool stop = child->focusPolicy() != Qt::NoFocus || qobject_cast<QLabel*>(child) != nullptr ||
                        qobject_cast<QProgressBar*>(child) != nullptr;
      if (!stop || child->inherits("QScrollBar") || child->parentWidget()->inherits("QAbstractScrollArea") ||
          child->objectName() == "banner" || child->objectName().startsWith("qt_")) {
        continue;
      }
      EXPECT_FALSE(child->accessibleName().isEmpty())
          << form->metaObject()->className() << "/" << child->objectName().toStdString();
    }
  }

  // NorthAmerica = 1 hides Homepage; the window still ends below its place.
  option.SetDword("NorthAmerica", 1);
  m_dlg->UpdatePrepare(0);
  EXPECT_FALSE(Button(1072)->isVisibleTo(m_dlg));
  EXPECT_EQ(ListFit(), CQUpdateDlgUser::kListMargin);
}

// Options: the settings dialog, and a fresh check only when it was applied.
TEST_F(DlgUserTest, SettingsAppliedAskTheServerAgain) {
  Open();
  ASSERT_EQ(List()->topLevelItemCount(), 2);
  Serve("qupdate_s.ini", "[VersionInfo]\nWriter=7.0.1\n[UpdateVersionInfo]\nWriter=7\n[COUNT]\nWriter=1\n");
  const auto answer = [](int button) {
    QTimer::singleShot(0, [button] {
      auto* dialog = qobject_cast<CQUpdateEnvSetDlg*>(QApplication::activeModalWidget());
      ASSERT_NE(dialog, nullptr) << "the settings dialog is up, modal";
      FormTexts::Find<QPushButton>(dialog, button)->click();
    });
  };
  answer(1009);  // Cancel
  Button(3)->click();
  EXPECT_EQ(List()->topLevelItemCount(), 2) << "cancelled: the list stays as it was";
  answer(1030);  // Apply: the loopback server answers the connection test
  Button(3)->click();
  EXPECT_EQ(List()->topLevelItemCount(), 1) << "applied: the server was asked again";
  EXPECT_TRUE(m_messages->shown.empty());
}

TEST_F(DlgUserTest, KoreanTextsReachTheWindow) {
  test::ScopedEnv all("LC_ALL", std::nullopt), messages("LC_MESSAGES", std::nullopt), lang("LANG", "ko_KR.UTF-8");
  NewWindow();
  Open();
  EXPECT_EQ(List()->headerItem()->text(0).toStdString(), CQUpdateStrings::Get(kStringProductName, CQUpdateStrings::Language::kKorean));
  EXPECT_EQ(m_dlg->windowTitle().toStdString(), CQUpdateStrings::Get(kStringAppTitle, CQUpdateStrings::Language::kKorean));
  EXPECT_EQ(Button(1004)->text().toStdString(), CQUpdateStrings::Get(10706, CQUpdateStrings::Language::kKorean));
  Button(1004)->click();
  ASSERT_FALSE(Lines().empty());
  EXPECT_NE(Lines().front().find("다운로드"), std::string::npos) << Lines().front();
}

}  // namespace
}  // namespace qrv
