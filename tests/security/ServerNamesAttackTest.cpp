// The server lists names in a product file that would write outside the
// download folder, or that carry control characters for the terminal and the
// trace. Whole runs against a loopback HTTP server.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/E2eRunFixture.h"
#include "tests/support/DiagnosticsRecorder.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;

class ServerNamesAttackTest : public test::E2eRunFixture {
 protected:
  void SetUp() override {
    E2eRunFixture::SetUp();
    ASSERT_EQ(UseTransport(test::Transport::kHttp), "");
    ServeTwoUpdates();
  }
  test::DiagnosticsRecorder m_diagnostics;
};

TEST_F(ServerNamesAttackTest, NamesThatLeaveTheFolderOrHoldControlCharactersAreNeverFetched) {
  struct Case {
    std::string name;
    std::string why;  // part of the reason the trace must give
  };
  // Served where each name would lead if it were taken.
  ServeCabinet("evil.cab", {{"evil.txt", "planted"}});
  for (const Case& c : std::vector<Case>{
           {"..\\..\\evil.cab", "climbs out"},
           {"sub/../../evil.cab", "climbs out"},
           {"/evil.cab", "absolute"},
           {"\\evil.cab", "absolute"},
           {"C:\\evil.cab", "absolute"},
           {"evil\x1b]0;owned\x07.cab", "control characters"},
           {"evil\x01.cab", "control characters"},
       }) {
    SCOPED_TRACE(c.why);
    m_diagnostics.Clear();
    Serve("Writer.ini", "[Writer]\nWriterCOUNT=1\nWriter0FILE=" + c.name + "\n");
    NewProcess(0);

    ASSERT_TRUE(m_window->UpdatePrepare(0));
    std::vector<std::string> products{"Writer"};
    EXPECT_EQ(m_window->UpdateDownload(products), 6) << "a listed file that is refused fails the download";
    EXPECT_TRUE(m_diagnostics.HasTogether({"not fetching", c.why})) << m_diagnostics.Text();
    EXPECT_EQ(m_diagnostics.Text().find('\x1b'), std::string::npos) << "shown escaped";
    for (const fs::path& place : {m_root / "evil.cab", m_root / "dl" / "evil.cab", fs::path("/evil.cab"),
                                  Download().parent_path().parent_path() / "evil.cab"}) {
      EXPECT_FALSE(fs::exists(place)) << place;
    }
    EXPECT_EQ(Version("Writer"), 5u);
  }
}

}  // namespace
}  // namespace qrv
