// qrv_ui_pictures ROOT OUTDIR PREFIX: runs the real update window against
// the sandbox root ROOT (set up to update from a loopback server) and saves
// pictures of its windows as OUTDIR/PREFIX-<name>.png, for people to look
// at: the stand-by window, the filled list, the download page during the
// run, the list after it, the settings dialog for each server type and the
// About box. The language is the one the locale variables choose.
//
// Message boxes are answered by a recorder (OK to everything) and listed on
// standard error at the end, so a box that should not have come shows.
// Nothing outside ROOT and OUTDIR is written; the machine is never restarted
// (no restart service is installed).
//
// Exit status: 0 when every picture was saved, 1 when one is missing or
// could not be written, 2 on a usage error. scripts/screenshots.sh runs it.
#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <functional>
#include <utility>
#include <memory>
#include <set>
#include <string>

#include "app/CQUpdateBaseProcess.h"
#include "platform/core/SystemRoot.h"
#include "res/CQUpdateStrings.h"
#include "res/StringIds.h"
#include "tests/support/RecordingMessages.h"
#include "ui/CQUpdateAboutDlg.h"
#include "ui/CQUpdateDlgUser.h"
#include "ui/CQUpdateEnvSetDlg.h"
#include "ui/CQUpdatePropertyPageList.h"
#include "ui/CQUpdateStandBy.h"
#include "ui/FormTexts.h"

namespace {

using qrv::platform::ProgressKind;

// Where the pictures go and which of them were saved.
class PictureShelf {
 public:
  PictureShelf(QString folder, QString prefix) : m_folder(std::move(folder)), m_prefix(std::move(prefix)) {}

  // Saves what widget shows now (its pending layout done first) as name.
  void Save(const QString& name, QWidget* widget) { Save(name, Grab(widget)); }
  void Save(const QString& name, const QPixmap& picture) {
    const QString path = QDir(m_folder).filePath(m_prefix + QLatin1Char('-') + name + QStringLiteral(".png"));
    if (picture.isNull() || !picture.save(path, "PNG")) {
      std::fprintf(stderr, "qrv_ui_pictures: could not save %s\n", qPrintable(path));
      return;
    }
    std::printf("%s (%dx%d)\n", qPrintable(path), picture.width(), picture.height());
    m_saved.insert(name);
  }
  static QPixmap Grab(QWidget* widget) {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    return widget->grab();
  }
  bool Has(const QString& name) const { return m_saved.count(name) != 0; }

 private:
  QString m_folder;
  QString m_prefix;
  std::set<QString> m_saved;
};

// The stand-by window; the first one is pictured as it goes, with the
// periods its steps added.
class PicturedStandBy : public qrv::CQUpdateStandBy {
 public:
  explicit PicturedStandBy(PictureShelf& shelf) : m_shelf(shelf) {}
  ~PicturedStandBy() override {
    if (!m_shelf.Has(QStringLiteral("standby"))) m_shelf.Save(QStringLiteral("standby"), this);
  }

 private:
  PictureShelf& m_shelf;
};

// The update window; the download page is pictured during the download
// and saved once the copy takes the page over. script runs once the window
// first shows, which is in its own loop: a timer armed earlier would fire in
// the stand-by window's painting, before the list is filled.
class PicturedWindow : public qrv::CQUpdateDlgUser {
 public:
  PicturedWindow(PictureShelf& shelf, std::function<void(PicturedWindow&)> script)
      : m_shelf(shelf), m_script(std::move(script)) {}

  void SetProgressText(ProgressKind kind, std::string_view file, uint32_t value) override {
    CQUpdateDlgUser::SetProgressText(kind, file, value);
    // The demo's fourth step: the second product under way, the bar part-way.
    if (kind == ProgressKind::kDownloading) {
      if (++m_downloadSteps <= 4) m_download = PictureShelf::Grab(this);
    } else if (!m_download.isNull() && !m_shelf.Has(QStringLiteral("download"))) {
      m_shelf.Save(QStringLiteral("download"), m_download);
    }
  }

 protected:
  void showEvent(QShowEvent* event) override {
    CQUpdateDlgUser::showEvent(event);
    if (m_script) QTimer::singleShot(0, this, [this, script = std::exchange(m_script, {})] { script(*this); });
  }

 private:
  PictureShelf& m_shelf;
  std::function<void(PicturedWindow&)> m_script;
  QPixmap m_download;
  int m_downloadSteps = 0;
};

// Runs dialog modally, lets picture take its pictures once the dialog's
// loop runs, then cancels the dialog.
template <typename Picture>
void PictureModal(QDialog& dialog, Picture picture) {
  QTimer::singleShot(0, &dialog, [&] {
    picture();
    dialog.reject();
  });
  dialog.exec();
}

// What is done in the window once it shows the filled list.
void PictureRun(PictureShelf& shelf, PicturedWindow& window) {
  // A row selected, so the update notes show in the content box.
  QTreeWidget* list = window.ListPage()->List();
  if (list->topLevelItemCount() > 0) list->setCurrentItem(list->topLevelItem(0));
  shelf.Save(QStringLiteral("list"), &window);

  // The whole update runs inside the click; the window shows the list again after it.
  window.StartUpdate();
  shelf.Save(QStringLiteral("after"), &window);

  // The types one after another in one dialog, as a user clicks through
  // them (a change of size between them shows). A click fills the fields
  // from the type's saved values, in the sandbox's store only; Cancel keeps
  // the dialog from applying anything.
  qrv::CQUpdateEnvSetDlg settings(&window);
  PictureModal(settings, [&] {
    for (const auto& [radio, name] : {std::pair{1037, "network"}, {1038, "ftp"}, {1036, "internet"}}) {
      if (auto* button = qrv::FormTexts::Find<QAbstractButton>(&settings, radio)) button->click();
      shelf.Save(QStringLiteral("settings-") + QLatin1String(name), &settings);
    }
  });
  qrv::CQUpdateAboutDlg about(&window);
  PictureModal(about, [&] { shelf.Save(QStringLiteral("about"), &about); });
  window.CloseWindow();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: qrv_ui_pictures ROOT OUTDIR PREFIX\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("qrvupdate"));
  QApplication::setApplicationDisplayName(QString::fromStdString(qrv::CQUpdateStrings::Get(qrv::kStringAppTitle)));
  // An empty ROOT would mean the real system root: refused.
  if (*argv[1] == '\0' || !QDir(QString::fromLocal8Bit(argv[1])).exists() ||
      !QDir(QString::fromLocal8Bit(argv[2])).exists()) {
    std::fprintf(stderr, "qrv_ui_pictures: ROOT and OUTDIR must be folders\n");
    return 2;
  }
  qrv::platform::SystemRoot::SetFromOption(argv[1]);
  auto messages = std::make_shared<qrv::test::RecordingMessages>();
  qrv::platform::MessageService::Install(messages);
  PictureShelf shelf(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));

  auto process = std::make_unique<qrv::CQUpdateBaseProcess>();
  process->SetAutoMode(0);
  process->SetStandByFactory([&shelf] { return std::make_unique<PicturedStandBy>(shelf); });
  process->SetDlgMgr(
      std::make_unique<PicturedWindow>(shelf, [&shelf](PicturedWindow& window) { PictureRun(shelf, window); }));
  process->DlgMgr()->RunDialog();
  process.reset();
  qrv::platform::MessageService::Install(nullptr);

  for (size_t i = 0; i < messages->shown.size(); ++i) {
    std::fprintf(stderr, "qrv_ui_pictures: message box %u: %s\n", messages->shown[i],
                 qrv::CQUpdateStrings::Get(messages->shown[i]).c_str());
  }
  int missing = 0;
  for (const char* name : {"standby", "list", "download", "after", "settings-internet", "settings-network",
                           "settings-ftp", "about"}) {
    if (!shelf.Has(QLatin1String(name))) {
      std::fprintf(stderr, "qrv_ui_pictures: no picture of %s\n", name);
      ++missing;
    }
  }
  return missing == 0 ? 0 : 1;
}
