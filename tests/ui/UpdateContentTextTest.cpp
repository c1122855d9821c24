// The update notes as the product list shows them: the file comes from the
// server, so its size, encoding and kind are not to be trusted.
#include "ui/UpdateContentText.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/SandboxRoot.h"

namespace qrv {
namespace {

TEST(UpdateContentText, DecodesUtf8OrCp949WholeAndNeverCutsACharacter) {
  test::SandboxRoot root;
  const std::string korean = "\xea\xb0\x80\xeb\x82\x98";  // two Hangul syllables in UTF-8
  test::WriteFile(root / "utf8.txt", "line\n" + korean + "\n");
  EXPECT_EQ(UpdateContentText::Read((root / "utf8.txt").string()).toStdString(), "line\n" + korean + "\n");
  // The same syllables in CP949, across what used to be a 259-byte chunk end.
  std::string cp949(258, 'a');
  cp949 += "\xb0\xa1\xb3\xaa";
  test::WriteFile(root / "cp949.txt", cp949);
  EXPECT_EQ(UpdateContentText::Read((root / "cp949.txt").string()).toStdString(), std::string(258, 'a') + korean);
  // A byte CP949 cannot read is marked, and the rest still shows.
  EXPECT_EQ(UpdateContentText::Decode(QByteArray("ok \xff ok"), false).toStdString(), "ok \xef\xbf\xbd ok");
  // The text ends at a NUL byte.
  EXPECT_EQ(UpdateContentText::Decode(QByteArray("shown\0hidden", 12), false), QString("shown"));

  // A larger file shows its first megabyte; a character cut there is dropped
  // rather than turning the whole text into CP949.
  std::string big(static_cast<size_t>(UpdateContentText::kMaxBytes) - 1, 'x');
  big += korean;
  test::WriteFile(root / "big.txt", big);
  QString shown = UpdateContentText::Read((root / "big.txt").string());
  // ... with its one long line broken for the text box, nothing lost.
  EXPECT_EQ(shown.section(QLatin1Char('\n'), 0, 0).size(), UpdateContentText::kMaxLineChars);
  shown.remove(QLatin1Char('\n'));
  EXPECT_EQ(shown.size(), UpdateContentText::kMaxBytes - 1);
  EXPECT_EQ(shown.back(), QChar('x'));
}

TEST(UpdateContentText, ShowsNothingForALinkAFifoOrAMissingFile) {
  test::SandboxRoot root;
  test::WriteFile(root / "secret", "not for the window");
  std::filesystem::create_symlink(root / "secret", root / "link.txt");
  EXPECT_TRUE(UpdateContentText::Read((root / "link.txt").string()).isEmpty()) << "a planted link is not followed";
  ASSERT_EQ(mkfifo((root / "fifo.txt").c_str(), 0600), 0);
  EXPECT_TRUE(UpdateContentText::Read((root / "fifo.txt").string()).isEmpty()) << "and a FIFO does not hang the window";
  std::filesystem::create_directories(root / "folder.txt");
  EXPECT_TRUE(UpdateContentText::Read((root / "folder.txt").string()).isEmpty());
  EXPECT_TRUE(UpdateContentText::Read((root / "missing.txt").string()).isEmpty());
}

}  // namespace
}  // namespace qrv
