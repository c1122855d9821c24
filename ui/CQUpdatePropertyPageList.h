#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/LocalUpdateEngine.h"
#include "ui/CQUpdatePropertyPage.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace Ui {
class CQUpdatePropertyPageList;
}

namespace qrv {

class CQUpdateDlgMgr;
class QtProductCheckList;

// The product list page (form CQUpdatePropertyPageList): the pending
// products with a check box each (all set after filling), the update content
// of the selected product, and the buttons Update (1004), Options (3),
// Homepage (1072) and Close (2). Checking or unchecking a row, or selecting
// it, gives the same state to every listed product it depends on
// (CQUpdateDlgMgr::CheckDependencies).
//
// The orchestrator (the window that owns the page) is not owned and must
// outlive the page. Update and Close are the window's to handle
// (updateRequested, closeRequested); Options and Homepage the page's own.
// Thread: the user-interface thread.
class CQUpdatePropertyPageList : public CQUpdatePropertyPage {
  Q_OBJECT

 public:
  // Where NorthAmerica = 1 hides the Homepage button (HKLM); the engine reads it.
  static constexpr const char* kExecuteOptionKey = LocalUpdateEngine::kExecuteOptionKey;

  CQUpdatePropertyPageList(CQUpdateDlgMgr& orchestrator, QWidget* parent = nullptr);
  ~CQUpdatePropertyPageList() override;

  // Fills the rows from the orchestrator's product list, shows the "latest
  // version" text when there are none, enables Update and Homepage only with
  // rows, hides Homepage for NorthAmerica = 1 and shows the prompt for no
  // selection.
  void Activate() override;
  // The product keys of the checked rows, top to bottom.
  std::vector<std::string> CheckedProducts() const;

  QTreeWidget* List() const;
  QPlainTextEdit* Content() const;

  // Whether NorthAmerica under kExecuteOptionKey holds the number 1.
  static bool HomepageHidden();

 signals:
  void updateRequested();
  void closeRequested();

 private:
  void OnItemChanged(QTreeWidgetItem* item);
  void OnSelectionChanged();
  // Gives item's check state to everything it depends on.
  void Propagate(QTreeWidgetItem* item);
  // The content of row, or for no selection (row < 0) the prompt.
  void ShowContent(int row);
  void OnOptions();
  void OnHomepage();
  // Runs the settings dialog; true when it ended with a successful Apply.
  bool RunSettingsDialog();

  CQUpdateDlgMgr& m_orchestrator;
  std::unique_ptr<Ui::CQUpdatePropertyPageList> m_ui;
  std::unique_ptr<QtProductCheckList> m_checkList;
  bool m_notify = true;  // off while the rows are refilled
};

}  // namespace qrv
