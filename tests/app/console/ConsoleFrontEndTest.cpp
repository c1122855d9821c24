#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/core/MessageService.h"
#include "app/console/ConsoleDlgMgr.h"
#include "app/console/ConsoleMessageService.h"
#include "app/console/ConsoleProductList.h"
#include "app/console/ConsoleProgressBar.h"
#include "platform/registry/RegistryKey.h"
#include "platform/registry/RegistryStore.h"
#include "tests/support/RecordingMessages.h"
#include "tests/support/SandboxRoot.h"

namespace qrv {
namespace {

// Everything written to a temporary stream so far.
std::string Contents(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  char buffer[256];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  return text;
}

TEST(ConsoleProgressBarTest, TheLineShowsTheShareOfTheRangeWithinItsBounds) {
  struct Case {
    int32_t low, high, pos;
    const char* bar;
  };
  for (const Case& c : {Case{0, 4, 1, "[#####---------------]  25% x"}, Case{0, 3, 1, "[######--------------]  33% x"},
                        Case{0, 10, 99, "[####################] 100% x"},   // past the end
                        Case{0, 10, -5, "[--------------------]   0% x"},   // before the start
                        Case{5, 5, 5, "[--------------------]   0% x"},     // an empty range
                        Case{0, 2000000000, 2000000000, "[####################] 100% x"}}) {  // no overflow
    EXPECT_EQ(ConsoleProgressBar::Render(c.low, c.high, c.pos, "x"), c.bar) << c.high << " " << c.pos;
  }

  // Without a terminal each new status is one line and each step one file.
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  {
    ConsoleProgressBar bar(out, false);
    bar.SetRange(0, 4);
    bar.SetStep(2);
    bar.SetText("Downloading : a.cab");
    bar.StepIt();
    EXPECT_EQ(bar.GetPos(), 1) << "one file, whatever the step size";
    bar.SetText("Downloading : b.cab");
    for (int i = 0; i < 6; ++i) bar.StepIt();
    EXPECT_EQ(bar.GetPos(), 4) << "more reports than files: the bar stays full";
    bar.SetText("Downloading : b.cab");  // unchanged: no new line, and steps that fill the bar add none
    bar.SetText("Downloading : c.cab");
    bar.SetPos(4);  // the end of the phase: the full bar was shown already
    bar.SetPos(0);
    bar.SetText("Copying : c.cab");
    bar.SetPos(4);  // the phase ended: the log shows the full bar once
    bar.SetPos(4);
  }
  EXPECT_EQ(Contents(out),
            "[--------------------]   0% Downloading : a.cab\n"
            "[#####---------------]  25% Downloading : b.cab\n"
            "[####################] 100% Downloading : c.cab\n"
            "[--------------------]   0% Copying : c.cab\n"
            "[####################] 100% Copying : c.cab\n");
  std::fclose(out);
}

TEST(ConsoleMessageServiceTest, WithoutAnAnswererTheSafeAnswerIsTakenAndPrinted) {
  std::FILE* out = std::tmpfile();
  std::FILE* in = std::tmpfile();  // a file, not a terminal: nobody to ask
  ASSERT_NE(out, nullptr);
  ASSERT_NE(in, nullptr);
  std::fputs("y\n", in);
  std::rewind(in);
  ConsoleMessageService service(false, out, in);
  EXPECT_EQ(service.Show(134, ConsoleMessageService::kOkCancel), ConsoleMessageService::kAnswerCancel)
      << "never restart unasked, even with a 'y' waiting in the input";
  EXPECT_EQ(service.Show(134, platform::MessageService::kYesNo), platform::MessageService::kAnswerNo);
  EXPECT_EQ(service.Show(106, platform::MessageService::kYesNo), platform::MessageService::kAnswerYes);
  const std::string text = Contents(out);
  EXPECT_NE(text.find("Would you like to restart? [y/n] n\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Stop download? [y/n] y\n"), std::string::npos) << text;

  ConsoleMessageService yes(true, out, nullptr);
  EXPECT_EQ(yes.Show(134, ConsoleMessageService::kOkCancel), ConsoleMessageService::kAnswerCancel);
  EXPECT_EQ(yes.Show(121, ConsoleMessageService::kOkCancel), platform::MessageService::kAnswerOk);
  EXPECT_EQ(yes.ShowWith(138, "7.0\x1b]0;owned\x07\xc2\x9b" "31m", platform::MessageService::kOk), platform::MessageService::kAnswerOk);
  EXPECT_NE(Contents(out).find("Qorvane Update: Downloading 7.0\\e]0;owned\\x07\\u009B31m...\n"), std::string::npos)
      << "server text in a message is escaped";
  EXPECT_EQ(ConsoleMessageService::Flatten("a\r\nb\nc\rd"), "a b c d");
  std::fclose(out);
  std::fclose(in);
}

TEST(ConsoleProductListTest, RowsKeepTheirOrderAndTheChoiceNamesEachProductOnce) {
  ConsoleProductList list;
  list.InsertColumn(0, "Product Name", 218);
  list.InsertColumn(1, "Current Version", 76);
  list.InsertColumn(2, "Latest Version", 76);
  list.InsertRow(0, "Qorvane Writer 2024", "1", "2", "QrvWriter");
  list.InsertRow(1, "Qorvane Base", "1", "2", "QrvBase");
  list.InsertRow(0, "Qorvane Writer 2023", "1", "2", "QrvWriter");  // a second edition label
  list.InsertRow(99, "Qorvane Calc", "5", "6", "QrvCalc");            // past the end: appended
  ASSERT_EQ(list.RowCount(), 4);
  EXPECT_EQ(list.RowProduct(3), "QrvCalc");
  EXPECT_EQ(list.RowProduct(4), "") << "no such row";
  EXPECT_EQ(list.FindRow("QrvBase"), 2);
  EXPECT_TRUE(list.CheckedProducts().empty()) << "rows start unchecked";

  list.SetCheckState(0, 1);
  list.SetCheckState(1, 5);
  list.SetCheckState(2, 1);
  list.SetCheckState(7, 1);  // ignored
  EXPECT_EQ(list.CheckedProducts(), (std::vector<std::string>{"QrvWriter", "QrvBase"}));

  // Server texts in the table are escaped, and columns are padded by
  // characters shown: the two-byte letter takes one column.
  list.InsertRow(4, "Qorvane \x1b[31mWriter", "\x9b", "7.0\x1b]0;owned\x07\xc2\x9b", "Writer");
  list.InsertRow(5, "Qorvane Draw \xc3\xa9", "5", "6", "Draw");
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  list.Print(out);
  const std::string table = Contents(out);
  EXPECT_NE(table.find("[x] Qorvane Writer 2023"), std::string::npos) << table;
  EXPECT_LT(table.find("Product Name"), table.find("[x]")) << "the heading comes first";
  EXPECT_NE(table.find("[ ] Qorvane \\e[31mWriter  \\x9B" + std::string(14, ' ') + "7.0\\e]0;owned\\x07\\u009B\n"),
            std::string::npos) << table;
  EXPECT_NE(table.find("[ ] Qorvane Draw \xc3\xa9        5                 6\n"), std::string::npos) << table;
  for (unsigned char c : table) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c != 0x7F && c != 0x9B)) << int{c};
  std::fclose(out);
}

// Message texts with their argument, as the console would show them.
// Garbage over the store is the whole program's case (QrvupdateConsoleTest);
// here a missing store and a healthy one say nothing, and another program's
// SQLite file is named as such.
TEST(ConsoleStoreCheckTest, OnlyAStoreThatCannotBeUsedIsReported) {
  test::SandboxRoot root;
  auto messages = std::make_shared<test::RecordingMessages>();
  platform::MessageService::Install(messages);
  const std::filesystem::path store = platform::RegistryStore::FileFor(platform::kRootLocalMachine);
  EXPECT_FALSE(ConsoleDlgMgr::ReportDamagedStores()) << "missing";
  platform::RegistryKey key;
  ASSERT_EQ(platform::RegistryKey::Create(platform::kRootLocalMachine, "SOFTWARE\\QRV", key), platform::RegStatus::kOk);
  ASSERT_EQ(key.SetDword("Probe", 1), platform::RegStatus::kOk);
  key.Close();
  platform::RegistryStore::ReleaseThreadConnections();
  EXPECT_FALSE(ConsoleDlgMgr::ReportDamagedStores()) << "healthy";
  EXPECT_TRUE(messages->shown.empty());

  std::string bytes = test::ReadFile(store);
  ASSERT_GT(bytes.size(), 72u);
  bytes[68] = 'X';  // the application id
  test::WriteFile(store, bytes);
  EXPECT_TRUE(ConsoleDlgMgr::ReportDamagedStores());
  ASSERT_EQ(messages->shown, std::vector<uint32_t>{190});
  EXPECT_EQ(messages->arguments[0].rfind("registry store " + store.string() + " is not a registry store", 0), 0u)
      << messages->arguments[0];
  EXPECT_EQ(test::ReadFile(store), bytes) << "left as it was";
  platform::MessageService::Install(nullptr);
  platform::RegistryStore::ReleaseThreadConnections();
}

}  // namespace
}  // namespace qrv
