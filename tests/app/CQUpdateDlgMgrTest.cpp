#include "app/CQUpdateDlgMgr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/CQUpdateBaseProcess.h"
#include "platform/core/MessageService.h"
#include "app/ProductCheckList.h"
#include "app/ProgressControl.h"
#include "app/StatusControl.h"
#include "apply/UpdateFiles.h"
#include "platform/core/UpdateProgress.h"
#include "config/CQUpdateMgrEnv.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/core/DisplayText.h"
#include "platform/registry/RegistryKey.h"
#include "platform/system/RestartRecorder.h"
#include "res/CQUpdateStrings.h"
#include "res/Editions.h"
#include "tests/support/RecordingMessages.h"
#include "tests/support/SandboxRoot.h"
#include "tests/support/ScopedEnv.h"

namespace qrv {
namespace {

using platform::ProgressKind;

class FakeProgressBar : public ProgressControl {
 public:
  void SetRange(int32_t l, int32_t h) override { low = l, high = h; }
  void SetStep(int32_t s) override { step = s; }
  void StepIt() override { pos += step; }
  int32_t GetPos() const override { return pos; }
  void SetPos(int32_t p) override { pos = p; }
  int32_t low = -1, high = -1, step = -1, pos = 0;
};

class FakeStatus : public StatusControl {
 public:
  void SetText(const std::string& t) override { text = t; }
  std::string text = "<unset>";
};

class FakeCheckList : public ProductCheckList {
 public:
  struct Row {
    std::string name, installed, latest, product;
    uint32_t check = 0;
  };
  void SetCheckBoxStyle() override {}
  void InsertColumn(int32_t, const std::string&, int32_t) override {}
  void DeleteAllRows() override { rows.clear(); }
  void InsertRow(int32_t index, const std::string& name, const std::string& installed, const std::string& latest,
                 const std::string& product) override {
    rows.insert(rows.begin() + index, Row{name, installed, latest, product, 0});
  }
  int32_t RowCount() const override { return static_cast<int32_t>(rows.size()); }
  std::string RowProduct(int32_t row) const override { return rows[static_cast<size_t>(row)].product; }
  uint32_t CheckState(int32_t row) const override { return rows[static_cast<size_t>(row)].check; }
  void SetCheckState(int32_t row, uint32_t check) override { rows[static_cast<size_t>(row)].check = check; }
  std::vector<uint32_t> Checks() const {
    std::vector<uint32_t> out;
    for (const Row& r : rows) out.push_back(r.check);
    return out;
  }

  std::vector<Row> rows;
};

tagUPDATETYPE Record(const std::string& product, const std::string& name = "") {
  return tagUPDATETYPE{product, name.empty() ? product : name, "pid-" + product, "1.0", "2.0"};
}

// A process object with a default window, in a sandbox whose download folder
// is below the root, English texts and a recording message service.
class DlgMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(platform::RegistryKey::Create(platform::kRootLocalMachine, CQUpdateUtilRegistry::kMainKey, m_main),
              platform::RegStatus::kOk);
    m_main.SetString("DownloadPath", (m_root / "dl").string());
    std::filesystem::create_directories(m_root / "dl" / "QRVDownload");
    platform::MessageService::Install(m_messages);
    m_process = std::make_unique<CQUpdateBaseProcess>();
    m_process->SetDlgMgr(std::make_unique<CQUpdateDlgMgr>());
    m_window = m_process->DlgMgr();
    m_window->SetProgressCtrl(&m_bar);
    m_window->SetStatusCtrl(&m_status);
  }
  void TearDown() override {
    m_process.reset();
    platform::MessageService::Install(nullptr);
  }
  void Pending(std::vector<tagUPDATETYPE> records) {
    *m_process->GetUpdateTypes() = std::move(records);
    ASSERT_TRUE(m_window->OnPrepareFinish(1));
  }
  void Info(const std::string& text) { test::WriteFile(UpdateFiles::InfoPath(), text); }

  test::ScopedEnv m_locale{"LC_ALL", "C"};  // English texts, whatever the machine's locale
  test::SandboxRoot m_root;
  platform::RegistryKey m_main;
  std::shared_ptr<test::RecordingMessages> m_messages = std::make_shared<test::RecordingMessages>();
  std::unique_ptr<CQUpdateBaseProcess> m_process;
  CQUpdateDlgMgr* m_window = nullptr;
  FakeProgressBar m_bar;
  FakeStatus m_status;
};

TEST_F(DlgMgrTest, StatusTextsAreShortenedInTheMiddleToFortyFiveCharacters) {
  std::string name;
  for (int i = 0; i < 60; ++i) name += static_cast<char>('A' + i % 26);
  const std::string fits(31, 'f');
  std::string wide;
  for (int i = 0; i < 60; ++i) wide += "\u00E9";  // two bytes each: characters, not bytes, are counted
  struct Case {
    ProgressKind kind;
    std::string file, text;
  };
  for (const Case& c : std::vector<Case>{
           {ProgressKind::kDownloading, name, "Downloading : " + name.substr(0, 15) + "..." + name.substr(47)},
           {ProgressKind::kDownloading, fits, "Downloading : " + fits},  // exactly fitting names stay whole
           {ProgressKind::kDownloading, wide, "Downloading : " + wide.substr(0, 30) + "..." + wide.substr(94)},
           {ProgressKind::kCopying, "", "Copying : "},
           {ProgressKind::kCancelling, "", "Canceling :\u00A0"},  // the cancelling prefix ends in a no-break space
           {static_cast<ProgressKind>(99), "x", "Wait...x"},
       }) {
    EXPECT_EQ(CQUpdateDlgMgr::ProgressText(c.kind, c.file), c.text) << static_cast<uint32_t>(c.kind) << " " << c.file;
  }
  EXPECT_EQ(CQUpdateDlgMgr::ProgressText(ProgressKind::kDownloading, fits + "o").size(), 45u) << "one character more is shortened";
}

// The offsets of the escaped name at which a cut is allowed: between whole
// pieces (characters and escapes).
std::vector<size_t> CutPoints(const std::string& name) {
  std::vector<size_t> at{0};
  for (const std::string& piece : platform::DisplayText::Pieces(name)) at.push_back(at.back() + piece.size());
  return at;
}

TEST_F(DlgMgrTest, ServerNamesAreEscapedBeforeTheMiddleCutWhichNeverSplitsAnEscape) {
  // short: whole, escaped
  EXPECT_EQ(CQUpdateDlgMgr::ProgressText(ProgressKind::kDownloading, "a\x1b[2Jb\xc2\x9b.cab"), "Downloading : a\\e[2Jb\\u009B.cab");

  // Long names with an escape moved through every position, so that each
  // cut lands on every offset of an escape at some point.
  for (const std::string& control : {std::string("\x1b"), std::string("\xc2\x9b"), std::string("\x07"),
                                    std::string("\xff"), std::string("\x1b]0;t\x07")}) {
    for (size_t at = 0; at <= 60; ++at) {
      const std::string name = std::string(at, 'a') + control + std::string(60 - at, 'b') + "\xc3\xa9.cab";
      SCOPED_TRACE(platform::DisplayText::Escape(name));
      const std::string escaped = platform::DisplayText::Escape(name);
      const std::string text = CQUpdateDlgMgr::ProgressText(ProgressKind::kDownloading, name);
      ASSERT_EQ(text.rfind("Downloading : ", 0), 0u);
      EXPECT_FALSE(platform::DisplayText::NeedsEscape(text)) << "nothing raw, nothing split";
      EXPECT_LE(platform::DisplayText::Width(text), CQUpdateDlgMgr::kStatusChars);
      // prefix + HEAD + "..." + TAIL, HEAD and TAIL cut on whole pieces
      const std::string rest = text.substr(14);
      const size_t dots = rest.find("...");
      ASSERT_NE(dots, std::string::npos) << text;
      const std::string head = rest.substr(0, dots);
      const std::string tail = rest.substr(dots + 3);
      const std::vector<size_t> cuts = CutPoints(name);
      EXPECT_EQ(escaped.compare(0, head.size(), head), 0) << "the head is the start of the name";
      EXPECT_EQ(escaped.compare(escaped.size() - tail.size(), tail.size(), tail), 0) << "the tail is its end";
      EXPECT_NE(std::find(cuts.begin(), cuts.end(), head.size()), cuts.end()) << text;
      EXPECT_NE(std::find(cuts.begin(), cuts.end(), escaped.size() - tail.size()), cuts.end()) << text;
      EXPECT_EQ(tail.substr(tail.size() - 6), "\xc3\xa9.cab") << "the end of the name is kept";
    }
  }
}

TEST_F(DlgMgrTest, ProgressBarFollowsKindsRangeAndStepBack) {
  m_window->SetProgressRange(3);
  EXPECT_EQ(m_bar.high, 3);
  EXPECT_EQ(m_bar.step, 1) << "three files: a third each, not the whole bar at the first";
  m_window->SetProgressRange(10);
  EXPECT_EQ(m_bar.high, 10);
  EXPECT_EQ(m_bar.step, 1);

  m_window->SetProgressText(ProgressKind::kDownloading, "a.cab", 0);
  EXPECT_EQ(m_status.text, "Downloading : a.cab");
  m_window->SetProgressText(ProgressKind::kCopying, "b", 0);
  m_window->SetProgressText(ProgressKind::kDeleting, "", 0);
  m_window->SetProgressText(ProgressKind::kCancelling, "", 0);
  EXPECT_EQ(m_bar.pos, 3) << "cancelling does not advance";
  m_window->StepProgressBack();
  EXPECT_EQ(m_bar.pos, 2) << "a step back takes back one file";
  m_window->SetProgressText(ProgressKind::kWaiting, "", 0);
  EXPECT_EQ(m_bar.pos, 0) << "the waiting text resets the bar";

  // the same reports reach the window through the installed progress sink
  platform::UpdateProgress::Current().NotifyProgressText(ProgressKind::kCopying, "feature", 0);
  EXPECT_EQ(m_status.text, "Copying : feature");
  EXPECT_EQ(m_bar.pos, 1);

  // a phase that ends shows a full bar, however few reports came
  m_window->OnFileCopyFinish();
  EXPECT_EQ(m_bar.pos, 10);
  m_window->OnFileCopyBegin();
  EXPECT_EQ(m_bar.pos, 0) << "the copy starts from an empty bar";
  m_window->OnFileTransferFinish();
  EXPECT_EQ(m_bar.pos, 10);

  // detached controls are left alone
  m_window->SetProgressCtrl(nullptr);
  m_window->SetStatusCtrl(nullptr);
  m_window->SetProgressText(ProgressKind::kDownloading, "x", 0);
  m_window->SetProgressRange(3);
  m_window->StepProgressBack();
  EXPECT_EQ(m_status.text, "Copying : feature");
  EXPECT_EQ(m_bar.pos, 10);
}

TEST_F(DlgMgrTest, EditionsOrderNewestFirstThenUnlabelled) {
  const auto& labels = Editions::NewestFirst();
  std::vector<tagUPDATETYPE> records{Record("Fourth", "Writer " + std::string(labels[3])),
                                     Record("Plain", "Viewer"),
                                     Record("Newest", "Writer " + std::string(labels[0])),
                                     Record("Both", "Suite " + std::string(labels[1]) + "/" + std::string(labels[4]))};
  std::vector<std::string> order;
  for (const auto& r : CQUpdateBase::OrderByEdition(records)) order.push_back(r.product);
  EXPECT_EQ(order, (std::vector<std::string>{"Newest", "Both", "Fourth", "Both", "Plain"}));
  EXPECT_TRUE(CQUpdateBase::OrderByEdition({}).empty());
}

TEST_F(DlgMgrTest, DependenciesAreCollectedOnceAndCheckedTogether) {
  Pending({Record("A"), Record("B"), Record("C"), Record("D"), Record("E")});
  Info("[UpdateDependency]\nA=B||Gone|C\nB=A|D\nC=B\nE=A\n");

  std::vector<std::string> collected;
  m_window->CollectDependencies("A", collected);
  EXPECT_EQ(collected, (std::vector<std::string>{"A", "B", "D", "C"}))
      << "depth first, a cycle ends, products not pending are skipped";

  FakeCheckList list;
  list.rows.push_back({"old", "", "", "Old", 1});
  ASSERT_EQ(m_window->FillProductList(list), 1);
  ASSERT_EQ(list.RowCount(), 5) << "earlier rows are dropped";
  EXPECT_EQ(list.rows[0].latest, "2.0");
  EXPECT_EQ(list.Checks(), (std::vector<uint32_t>{1, 1, 1, 1, 1}));

  m_window->CheckDependencies("C", list, 0);
  EXPECT_EQ(list.Checks(), (std::vector<uint32_t>{0, 0, 0, 0, 1})) << "C needs B, B needs A and D";
  m_window->CheckDependencies("D", list, 1);
  EXPECT_EQ(list.Checks(), (std::vector<uint32_t>{0, 0, 0, 1, 1})) << "D needs nothing";
  m_window->CheckDependencies("E", list, 0);
  EXPECT_EQ(list.Checks(), (std::vector<uint32_t>{0, 0, 0, 0, 0}));

  Pending({});
  EXPECT_EQ(m_window->FillProductList(list), 0);
  EXPECT_EQ(list.RowCount(), 0);
}

TEST_F(DlgMgrTest, TotalFileCountReadsLeadingNumbersOfListedProducts) {
  EXPECT_EQ(m_process->GetTotalFileCount(), 0);
  Pending({Record("A"), Record("B"), Record("C"), Record("D")});
  EXPECT_EQ(m_process->GetTotalFileCount(), 0) << "no information file";
  Info("[COUNT]\nA=3\nB=12 files\nC=-\nOther=100\n");
  EXPECT_EQ(m_process->GetTotalFileCount(), 15);
}

TEST_F(DlgMgrTest, FinishStateAndRestartQuestionOnDestruction) {
  m_process->SetUpdateState(UpdateState::kActionsBegun);
  m_window->UpdateFinish(1);
  EXPECT_EQ(m_window->Phase(), UpdatePhase::kFinish);
  EXPECT_EQ(CQUpdateMgrEnv().GetUpdateState(), 31u) << "an aborted run keeps its state";
  m_window->UpdateFinish(0);
  EXPECT_EQ(CQUpdateMgrEnv().GetUpdateState(), 0u);
  EXPECT_TRUE(m_window->CheckSchedule(0));
  EXPECT_EQ(m_window->RunDialog(), 1);

  auto* recorder = new platform::RestartRecorder(true);
  auto previous = platform::SystemRestart::Install(std::unique_ptr<platform::SystemRestart>(recorder));
  // no restart needed: nothing asked
  m_process.reset();
  EXPECT_TRUE(m_messages->shown.empty());
  EXPECT_EQ(CQUpdateBaseProcess::GetInstance(), nullptr);

  // declined: no restart
  m_messages->answer = 2;
  auto declined = std::make_unique<CQUpdateBaseProcess>();
  EXPECT_EQ(CQUpdateBaseProcess::GetInstance(), declined.get());
  platform::UpdateProgress::Current().SetRestartRequired(1);  // as the unpacking worker reports it
  EXPECT_EQ(declined->RestartRequired(), 1u);
  declined.reset();
  EXPECT_EQ(m_messages->shown, std::vector<uint32_t>{134});
  EXPECT_EQ(m_messages->buttons, std::vector<uint32_t>{1}) << "OK and Cancel";
  EXPECT_EQ(recorder->Calls(), 0);

  // accepted and started
  m_messages->answer = platform::MessageService::kAnswerOk;
  auto accepted = std::make_unique<CQUpdateBaseProcess>();
  accepted->SetRestartRequired(1);
  accepted.reset();
  EXPECT_EQ(recorder->Calls(), 1);
  EXPECT_EQ(m_messages->shown, (std::vector<uint32_t>{134, 134}));

  // accepted but refused by the system
  recorder->SetAnswer(false);
  auto refused = std::make_unique<CQUpdateBaseProcess>();
  refused->SetRestartRequired(1);
  refused.reset();
  EXPECT_EQ(recorder->Calls(), 2);
  EXPECT_EQ(m_messages->shown, (std::vector<uint32_t>{134, 134, 134, 135}));
  platform::SystemRestart::Install(std::move(previous));
}

}  // namespace
}  // namespace qrv
