// The update window under attack: a hostile update server on loopback
// (notes names that climb out, server texts with markup and control
// characters, a service that keeps the window waiting), cancels at every
// moment of a run, and hostile input to the settings dialog.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextDocument>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>
#include <string>
#include <vector>

#include "apply/UpdateFiles.h"
#include "res/StringIds.h"
#include "tests/support/HttpTestServer.h"
#include "tests/ui/UserWindowFixture.h"
#include "ui/CQUpdateEnvSetDlg.h"
#include "ui/UpdateContentText.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;

class WindowAttackTest : public test::UserWindowFixture {
 protected:
  void SetUp() override {
    UserWindowFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    Open();
  }

  // The update information: Writer 7 and Calc 6 pending, shown with these
  // version texts; notes are the lines of [UPDATEINFOPATH].
  void ServeInfo(const std::string& writer, const std::string& calc, const std::string& notes = {}) {
    Serve("qupdate_s.ini", "[VersionInfo]\nWriter=" + writer + "\nCalc=" + calc +
                               "\n[UpdateVersionInfo]\nWriter=7\nCalc=6\n[COUNT]\nWriter=1\nCalc=1\n"
                               "[UPDATEINFOPATH]\n" + notes);
  }
  // Files below the root, outside the served tree, whose name starts with prefix.
  std::vector<std::string> Planted(const std::string& prefix) const {
    std::vector<std::string> found;
    for (auto it = fs::recursive_directory_iterator(m_root.Path()); it != fs::recursive_directory_iterator(); ++it) {
      if (it->path() == m_root.Path() / "srv") it.disable_recursion_pending();
      if (it->path().filename().string().rfind(prefix, 0) == 0) found.push_back(it->path().string());
    }
    return found;
  }
};

// --- Notes: where the server's UPDATEINFOPATH may make the window write and read.

TEST_F(WindowAttackTest, NotesNamesThatClimbOutAreNeitherFetchedNorShown) {
  const fs::path outside = m_root.Path() / "outside";
  fs::create_directories(outside);
  Serve("escaped.txt", "bait");
  Serve("notes/escaped.txt", "bait");
  const std::vector<std::pair<std::string, std::string>> names = {
      {"..\\..\\escaped.txt", "..\\escaped.txt"},
      {"notes\\..\\..\\escaped.txt", "notes/../../../outside/escaped.txt"},
      {(outside / "escaped.txt").string(), "\\" + (outside / "escaped.txt").string()},
      {"C:\\escaped.txt", "notes\\\x1b]0;x\x07escaped.txt"},
  };
  for (const auto& [writer, calc] : names) {
    ServeInfo("7.0.1", "6.2", "Writer=" + writer + "\nCalc=" + calc + "\n");
    m_dlg->UpdatePrepare(0);
    ASSERT_EQ(List()->topLevelItemCount(), 2) << writer;
    EXPECT_EQ(Planted("escaped"), std::vector<std::string>{}) << writer << " / " << calc;
    for (const char* product : {"Writer", "Calc"}) {
      Row(product)->setSelected(true);
      EXPECT_TRUE(Content().isEmpty()) << product << ": " << writer;
      List()->clearSelection();
    }
  }
}

TEST_F(WindowAttackTest, ALinkOrFifoPlantedWhereTheNotesLandIsNotFollowed) {
  const fs::path outside = m_root.Path() / "outside";
  fs::create_directories(outside);
  Serve("notes/writer.txt", "writer notes");
  Serve("calc.txt", "calc notes");
  ServeInfo("7.0.1", "6.2", "Writer=notes\\writer.txt\nCalc=calc.txt\n");
  // The folder of Writer's notes is a link out; Calc's notes are a FIFO.
  fs::create_directories(Download());
  fs::create_directory_symlink(outside, Download() / "notes");
  ASSERT_EQ(mkfifo((Download() / "calc.txt").c_str(), 0600), 0);
  m_dlg->UpdatePrepare(0);  // would hang on the FIFO if it were opened
  ASSERT_EQ(List()->topLevelItemCount(), 2);
  EXPECT_FALSE(fs::exists(outside / "writer.txt")) << "notes written through a planted link";
  Row("Calc")->setSelected(true);
  EXPECT_EQ(Content(), "calc notes") << "the FIFO was replaced by the notes";
}

// --- Server texts: the list's version cells and the status line show them as
// text, never as markup or with controls that reorder or hide what is shown.

TEST_F(WindowAttackTest, HostileVersionTextsKeepTheWindowsSize) {
  const QSize before = m_dlg->size();
  const int widths[] = {List()->columnWidth(0), List()->columnWidth(1), List()->columnWidth(2)};
  const std::string huge(10000, '9');
  // ProductName is no protected value: an update's registry action may set it.
  Installed("Calc", std::string(250, 'C') + "\x1b[2J");
  ServeInfo(huge, "\x1b[2J\t6\x7f");
  m_dlg->UpdatePrepare(0);
  ASSERT_EQ(List()->topLevelItemCount(), 2);
  EXPECT_EQ(m_dlg->size(), before);
  for (int column = 0; column < 3; ++column) EXPECT_EQ(List()->columnWidth(column), widths[column]);
  EXPECT_LE(Row("Writer")->text(2).size(), 256) << "the version text is capped";
  Button(1004)->click();
  EXPECT_EQ(m_dlg->size(), before) << "the progress lines of a long name";
  EXPECT_EQ(Version("Calc"), 6u);
}

// A ProductName (no protected value: any update's registry action may write
// it) longer than 256 bytes is cut, never a reason to drop the product: one
// update must not silence another product's updates for good.
TEST_F(WindowAttackTest, AnOverlongProductNameDoesNotHideTheProduct) {
  Serve("Writer.ini", "[Writer]\nWriterCOUNT=1\nWriter0FILE=writer.cab\nREGISTRYCOUNT=1\nREGISTRY0ROOT=2\n"
                      "REGISTRY0KEY=SOFTWARE\\QRV\\Shared\\QrvUpdate\\Calc\nREGISTRY0NAME=ProductName\n"
                      "REGISTRY0VALUE=" + std::string(300, 'C') + "\nREGISTRY0TYPE=1\n");
  Row("Calc")->setCheckState(0, Qt::Unchecked);
  Button(1004)->click();  // Writer only
  ASSERT_EQ(Version("Writer"), 7u);
  ASSERT_EQ(List()->topLevelItemCount(), 1) << "Calc is pending and still offered";
  EXPECT_EQ(Row("Calc")->text(0).toStdString(), std::string(255, 'C'));
}

// Server texts are shown with their control and direction characters
// escaped: a right-to-left override would show "7.0.1" as "1.0.7"; one in a
// product name (an update's registry action may set it) would reorder the
// row and the progress line.
TEST_F(WindowAttackTest, VersionTextsHaveNoBidiOrControlCharacters) {
  ServeInfo("\xE2\x80\xAE" "1.0.7", "6\x1b[31m2");
  m_dlg->UpdatePrepare(0);
  ASSERT_EQ(List()->topLevelItemCount(), 2);
  EXPECT_FALSE(Row("Writer")->text(2).contains(QChar(0x202E)));
  EXPECT_FALSE(Row("Calc")->text(2).contains(QChar(0x1B)));
  Installed("Calc", "Qorvane \xE2\x80\xAE" "cl" "aC");
  m_dlg->UpdatePrepare(0);
  EXPECT_FALSE(Row("Calc")->text(0).contains(QChar(0x202E)));
  Button(1004)->click();
  for (const std::string& line : Lines()) EXPECT_EQ(line.find("\xE2\x80\xAE"), std::string::npos) << line;
}

// A cell's tool tip shows the server's version text or product name as
// text: QToolTip renders whatever looks like markup, so ours is markup that
// holds the text escaped, and renders to exactly the cell's text.
TEST_F(WindowAttackTest, VersionToolTipsAreNoMarkup) {
  const auto rendered = [](const QString& tip) {
    QTextDocument document;
    document.setHtml(tip);
    return document.toPlainText();
  };
  ServeInfo("<img src=\"/dev/zero\">7", "<h1>6.2</h1>");
  m_dlg->UpdatePrepare(0);
  ASSERT_EQ(List()->topLevelItemCount(), 2);
  EXPECT_EQ(rendered(Row("Writer")->toolTip(2)), "<img src=\"/dev/zero\">7") << Row("Writer")->toolTip(2).toStdString();
  EXPECT_EQ(rendered(Row("Calc")->toolTip(2)), "<h1>6.2</h1>");
  Installed("Calc", "<img src=\"/dev/zero\">Calc");
  m_dlg->UpdatePrepare(0);
  EXPECT_EQ(rendered(Row("Calc")->toolTip(0)), "<img src=\"/dev/zero\">Calc");
}

// The status line shows a cabinet name holding a tag as text.
TEST_F(WindowAttackTest, TheStatusLineShowsFileNamesAsText) {
  ServeCabinet("calc/<b>calc.cab", {{"calc.txt", "calc 6"}});
  Serve("Calc.ini", "[Calc]\nCalcCOUNT=1\nCalc0FILE=calc\\<b>calc.cab\n");
  bool seen = false, markup = false;
  m_dlg->onText = [&](platform::ProgressKind) {
    const QLabel* status = m_dlg->DownloadPage()->StatusText();
    if (!status->text().contains("<b>")) return;
    seen = true;
    markup |= status->textFormat() != Qt::PlainText && Qt::mightBeRichText(status->text());
  };
  Button(1004)->click();
  ASSERT_TRUE(seen);
  EXPECT_FALSE(markup) << "the name is drawn as markup";
}

// --- The run: cancels at every moment, and a service that keeps the window waiting.

TEST_F(WindowAttackTest, ACancelAtAnyMomentLeavesAllOrNothing) {
  m_messages->answer = platform::MessageService::kAnswerOk;
  int cancelled = 0;
  for (int at = 0;; ++at) {
    ASSERT_LT(at, 40) << "the run never ended";
    int reports = 0;
    m_dlg->onText = [&](platform::ProgressKind) {
      if (reports++ == at) FormTexts::Find<QPushButton>(m_dlg->DownloadPage(), 1034)->click();
    };
    Button(1004)->click();
    m_dlg->onText = nullptr;
    EXPECT_EQ(m_dlg->CurrentPage(), CQUpdateDlgUser::kListPage) << "cancel at report " << at;
    EXPECT_TRUE(m_dlg->isVisible() && m_dlg->ListPage()->isEnabled());
    const bool writer = Version("Writer") == 7u, calc = Version("Calc") == 6u;
    if (writer && calc) break;  // too late to cancel: the copy cannot be stopped
    EXPECT_TRUE(Version("Writer") == 5u && Version("Calc") == 5u) << "half a run installed at report " << at;
    EXPECT_EQ(List()->topLevelItemCount(), 2) << "cancel at report " << at;
    ++cancelled;
  }
  EXPECT_GE(cancelled, 4) << "every download report of Calc and Writer is a moment to cancel";
}

// "Stop download?" answered OK while the last file's signature is checked
// (a pumped wait after its fetch) is a stop: no copy, nothing installed.
TEST_F(WindowAttackTest, AStopConfirmedAfterTheLastFileIsKept) {
  QTimer stopper;
  stopper.setSingleShot(true);
  stopper.setInterval(0);
  bool stopped = false;
  QObject::connect(&stopper, &QTimer::timeout, [&] {
    if (m_dlg->Phase() != UpdatePhase::kDownload) return;
    stopped = true;
    FormTexts::Find<QPushButton>(m_dlg->DownloadPage(), 1034)->click();
  });
  int downloads = 0;
  m_dlg->onText = [&](platform::ProgressKind kind) {
    if (kind == platform::ProgressKind::kDownloading && ++downloads == 4) stopper.start();  // writer.cab, the last
  };
  Button(1004)->click();
  ASSERT_EQ(downloads, 4);
  if (!stopped) GTEST_SKIP() << "the download ended before the event loop ran";
  ASSERT_FALSE(m_messages->shown.empty());
  ASSERT_EQ(m_messages->shown.front(), kStringStopDownload) << "the stop was asked and answered OK";
  EXPECT_TRUE(Version("Writer") == 5u && Version("Calc") == 5u) << "copied after the user confirmed the stop";
}

// The update information arrives slowly (the download is pumped): a second
// Update, Options and the close box are tried meanwhile.
TEST_F(WindowAttackTest, WhileTheServerIsSlowNothingReentersAndTheWindowCloses) {
  m_http->SetFault("/files/qupdate_s.ini", test::HttpTestServer::Fault::kStall);
  m_messages->shown.clear();
  bool disabled = false, optionsOpened = false;
  int ticks = 0;
  QTimer timer;
  timer.setInterval(20);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (++ticks != 5) return;
    disabled = !m_dlg->ListPage()->isEnabled();
    m_dlg->StartUpdate();  // as a second Update click would
    Button(3)->click();
    optionsOpened = QApplication::activeModalWidget() != nullptr;
    m_dlg->close();
  });
  timer.start();
  m_dlg->UpdatePrepare(0);
  timer.stop();
  ASSERT_GE(ticks, 5) << "the window was not serviced while the server was asked";
  EXPECT_TRUE(disabled);
  EXPECT_FALSE(optionsOpened);
  EXPECT_EQ(m_dlg->CurrentPage(), CQUpdateDlgUser::kListPage) << "no run started";
  EXPECT_FALSE(m_dlg->isVisible()) << "closing during a prepare closes";
  EXPECT_EQ(Version("Writer"), 5u);
}

// The fresh check after a run meets a slow server: the close box then closes.
TEST_F(WindowAttackTest, ClosingDuringTheCheckAfterARunCloses) {
  // The close box is pressed once the run is back in a check, however long
  // the copy took.
  bool copied = false, pressed = false;
  QTimer closer;
  closer.setInterval(5);
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (!copied || m_dlg->Phase() != UpdatePhase::kPrepare) return;
    pressed = true;
    closer.stop();
    m_dlg->close();
  });
  m_dlg->onText = [&](platform::ProgressKind kind) {
    if (kind != platform::ProgressKind::kCopying || copied) return;
    copied = true;
    m_http->SetFault("/files/qupdate_s.ini", test::HttpTestServer::Fault::kStall);
    closer.start();
  };
  Button(1004)->click();
  EXPECT_TRUE(Version("Writer") == 7u && Version("Calc") == 6u);
  EXPECT_TRUE(pressed) << "the check after the run ended before the close box was pressed";
  EXPECT_FALSE(m_dlg->isVisible());
  EXPECT_EQ(m_dlg->result(), 1);
}

// A server's endless notes file is not fetched past what the box shows.
TEST_F(WindowAttackTest, EndlessNotesAreCutWhereTheBoxCutsThem) {
  Serve("notes.txt", "x");
  ServeInfo("7.0.1", "6.2", "Writer=notes.txt\n");
  m_http->SetFault("/files/notes.txt", test::HttpTestServer::Fault::kHugeNoMarkers);
  m_dlg->UpdatePrepare(0);
  ASSERT_EQ(List()->topLevelItemCount(), 2);
  std::error_code ec;
  const uintmax_t size = fs::file_size(Download() / "notes.txt", ec);
  EXPECT_TRUE(ec || size <= static_cast<uintmax_t>(UpdateContentText::kMaxBytes)) << size << " bytes of notes on disk";
}

// Notes of one 1 MiB line (no line break) show promptly: the line is broken
// (a text box lays a line out whole, which took the window for a minute).
TEST_F(WindowAttackTest, OneLongLineOfNotesShowsPromptly) {
  Serve("notes.txt", std::string(size_t{1} << 20, 'x'));
  ServeInfo("7.0.1", "6.2", "Writer=notes.txt\n");
  m_dlg->UpdatePrepare(0);
  ASSERT_EQ(List()->topLevelItemCount(), 2);
  QElapsedTimer clock;
  clock.start();
  Row("Writer")->setSelected(true);
  QApplication::processEvents();
  EXPECT_EQ(Content().remove(QLatin1Char('\n')).size(), 1 << 20) << "nothing lost";
  EXPECT_LT(clock.elapsed(), 2000) << "ms to show the notes";
}

// The update-service query and the connection probe of a prepare run on a
// worker: a service that answers a byte at a time never freezes the window.
TEST_F(WindowAttackTest, ASlowServiceNeverFreezesTheWindow) {
  m_http->SetFault("/svc/AUpdate70.jsp", test::HttpTestServer::Fault::kDripChunked);
  QElapsedTimer clock;
  qint64 last = 0, longest = 0;
  QTimer timer;
  timer.setInterval(20);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    longest = std::max(longest, clock.elapsed() - last);
    last = clock.elapsed();
  });
  clock.start();
  timer.start();
  m_dlg->UpdatePrepare(0);
  timer.stop();
  longest = std::max(longest, clock.elapsed() - last);
  EXPECT_LT(longest, 1000) << "ms without a processed event while the service dripped";
}

// --- The settings dialog with hostile input.

// Apply refuses a download folder in a folder another user owns and may
// write, which every run would refuse (UpdateFiles::PrepareDownloadFolder).
TEST_F(WindowAttackTest, SettingsRefuseADownloadFolderTheRunWouldRefuse) {
  const fs::path shared = m_root.Path() / "shared";
  fs::create_directories(shared);
  ASSERT_EQ(chown(shared.c_str(), 65534, 65534), 0);
  fs::permissions(shared, fs::perms::all);
  CQUpdateEnvSetDlg dialog;
  dialog.show();
  FormTexts::Find<QLineEdit>(&dialog, 1042)->setText(QString::fromStdString(shared.string() + "/"));
  FormTexts::Find<QPushButton>(&dialog, 1030)->click();
  std::string error;
  const bool runAccepts = UpdateFiles::PrepareDownloadFolder(error);
  EXPECT_TRUE(dialog.isVisible() || runAccepts) << "accepted by the dialog, refused by the run: " << error;
}

// Apply's folder test makes the missing folders of the path to check it and
// takes them all away again: a mistyped path leaves nothing behind.
TEST_F(WindowAttackTest, SettingsLeaveNoFoldersOfAMistypedPath) {
  const fs::path typo = m_root.Path() / "typo";
  CQUpdateEnvSetDlg dialog;
  dialog.show();
  FormTexts::Find<QLineEdit>(&dialog, 1042)->setText(QString::fromStdString((typo / "a\nb" / "c").string()));
  FormTexts::Find<QPushButton>(&dialog, 1030)->click();
  EXPECT_FALSE(fs::exists(typo)) << "folders of a path the user mistyped were made";
}

// A download folder longer than the system takes is refused, the dialog open.
TEST_F(WindowAttackTest, SettingsRefuseAnOverlongDownloadFolder) {
  CQUpdateEnvSetDlg dialog;
  dialog.show();
  std::string overlong = m_root.Path().string();
  for (int level = 0; level < 25; ++level) overlong += "/" + std::string(200, 'd');  // past PATH_MAX
  FormTexts::Find<QLineEdit>(&dialog, 1042)->setText(QString::fromStdString(overlong));
  FormTexts::Find<QPushButton>(&dialog, 1030)->click();
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(m_messages->shown, std::vector<uint32_t>{kStringInvalidDownloadPath});
}

}  // namespace
}  // namespace qrv
