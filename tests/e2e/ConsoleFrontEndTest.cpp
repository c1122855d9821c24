#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/MessageService.h"
#include "app/console/ConsoleMessageService.h"
#include "app/console/ConsoleProductList.h"
#include "app/console/ConsoleProgressBar.h"

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
  EXPECT_EQ(ConsoleProgressBar::Render(0, 4, 1, "Downloading : a.cab"), "[#####---------------]  25% Downloading : a.cab");
  EXPECT_EQ(ConsoleProgressBar::Render(0, 3, 1, ""), "[######--------------]  33% ");
  EXPECT_EQ(ConsoleProgressBar::Render(0, 10, 10, "x"), "[####################] 100% x");
  EXPECT_EQ(ConsoleProgressBar::Render(0, 10, 99, "x"), "[####################] 100% x") << "past the end";
  EXPECT_EQ(ConsoleProgressBar::Render(0, 10, -5, "x"), "[--------------------]   0% x") << "before the start";
  EXPECT_EQ(ConsoleProgressBar::Render(5, 5, 5, "x"), "[--------------------]   0% x") << "an empty range";
  EXPECT_EQ(ConsoleProgressBar::Render(0, 2000000000, 2000000000, "x").substr(23, 4), "100%") << "no overflow";
}

TEST(ConsoleProgressBarTest, WithoutATerminalEachNewStatusIsOneLineAndEachStepIsOneFile) {
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
    bar.SetPos(-3);
    EXPECT_EQ(bar.GetPos(), 0);
    bar.SetPos(9);
    EXPECT_EQ(bar.GetPos(), 4);
    bar.SetText("Downloading : b.cab");  // unchanged: no new line
  }
  EXPECT_EQ(Contents(out),
            "[--------------------]   0% Downloading : a.cab\n"
            "[#####---------------]  25% Downloading : b.cab\n");
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
  EXPECT_EQ(service.Show(134, MessageService::kYesNo), MessageService::kAnswerNo);
  EXPECT_EQ(service.Show(106, ConsoleMessageService::kOkCancel), MessageService::kAnswerOk);
  EXPECT_EQ(service.Show(106, MessageService::kYesNo), MessageService::kAnswerYes);
  EXPECT_EQ(service.Show(161, MessageService::kOk), MessageService::kAnswerOk);
  const std::string text = Contents(out);
  EXPECT_NE(text.find("Qorvane Update: Update finished.\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Would you like to restart? [y/n] n\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Stop download? [y/n] y\n"), std::string::npos) << text;

  ConsoleMessageService yes(true, out, nullptr);
  EXPECT_EQ(yes.Show(134, ConsoleMessageService::kOkCancel), ConsoleMessageService::kAnswerCancel);
  EXPECT_EQ(yes.Show(121, ConsoleMessageService::kOkCancel), MessageService::kAnswerOk);
  std::fclose(out);
  std::fclose(in);
}

TEST(ConsoleMessageServiceTest, LineBreaksOfMessagesBecomeSpaces) {
  EXPECT_EQ(ConsoleMessageService::Flatten("a\r\nb\nc\rd"), "a b c d");
  EXPECT_EQ(ConsoleMessageService::Flatten(""), "");
  EXPECT_EQ(ConsoleMessageService::Flatten("end\r\n"), "end ");
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
  EXPECT_EQ(list.FindRow("QrvNone"), -1);
  EXPECT_TRUE(list.CheckedProducts().empty()) << "rows start unchecked";

  list.SetCheckState(0, 1);
  list.SetCheckState(1, 5);
  list.SetCheckState(2, 1);
  list.SetCheckState(7, 1);  // ignored
  EXPECT_EQ(list.CheckState(1), 1u);
  EXPECT_EQ(list.CheckedProducts(), (std::vector<std::string>{"QrvWriter", "QrvBase"}));

  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  list.Print(out);
  const std::string table = Contents(out);
  EXPECT_NE(table.find("[x] Qorvane Writer 2023"), std::string::npos) << table;
  EXPECT_NE(table.find("[ ] Qorvane Calc"), std::string::npos) << table;
  EXPECT_LT(table.find("Product Name"), table.find("[x]")) << "the heading comes first";
  std::fclose(out);

  list.DeleteAllRows();
  EXPECT_EQ(list.RowCount(), 0);
}

}  // namespace
}  // namespace qrv
