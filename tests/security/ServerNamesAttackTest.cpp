// The attacker controls the server and lists names in a product file that
// would write outside the download folder, or that carry control characters
// for the terminal and the trace. Whole runs against a loopback HTTP server.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/core/Diagnostics.h"
#include "tests/e2e/E2eRunFixture.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;

class ServerNamesAttackTest : public test::E2eRunFixture {
 protected:
  void SetUp() override {
    E2eRunFixture::SetUp();
    ASSERT_EQ(UseTransport(test::Transport::kHttp), "");
    ServeTwoUpdates();
    m_oldSink = platform::Diagnostics::SetSink([this](std::string_view text) { m_traced.emplace_back(text); });
  }
  void TearDown() override {
    platform::Diagnostics::SetSink(m_oldSink);
    E2eRunFixture::TearDown();
  }

  std::string TracedWith(const std::string& part) const {
    auto it = std::find_if(m_traced.begin(), m_traced.end(),
                           [&](const std::string& line) { return line.find(part) != std::string::npos; });
    return it == m_traced.end() ? std::string() : *it;
  }

  std::vector<std::string> m_traced;
  platform::Diagnostics::Sink m_oldSink;
};

TEST_F(ServerNamesAttackTest, NamesThatLeaveTheFolderOrHoldControlCharactersAreNeverFetched) {
  struct Case {
    std::string name;
    std::string why;  // part of the reason the trace must give
  };
  const std::vector<Case> cases{
      {"..\\..\\evil.cab", "climbs out"},
      {"sub/../../evil.cab", "climbs out"},
      {"/evil.cab", "absolute"},
      {"\\evil.cab", "absolute"},
      {"C:\\evil.cab", "absolute"},
      {"evil\x1b]0;owned\x07.cab", "control characters"},
      {"evil\x01.cab", "control characters"},
  };
  // Served where each name would lead if it were taken.
  ServeCabinet("evil.cab", {{"evil.txt", "planted"}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    m_traced.clear();
    Serve("Writer.ini", "[Writer]\nWriterCOUNT=1\nWriter0FILE=" + c.name + "\n");
    NewProcess(0);

    ASSERT_TRUE(m_window->UpdatePrepare(0));
    std::vector<std::string> products{"Writer"};
    EXPECT_EQ(m_window->UpdateDownload(products), 6) << "a listed file that is refused fails the download";
    const std::string traced = TracedWith("not fetching");
    EXPECT_NE(traced.find(c.why), std::string::npos) << traced;
    EXPECT_EQ(traced.find('\x1b'), std::string::npos) << "shown escaped";

    for (const fs::path& place : {m_root / "evil.cab", m_root / "dl" / "evil.cab", fs::path("/evil.cab"),
                                  Download().parent_path().parent_path() / "evil.cab"}) {
      EXPECT_FALSE(fs::exists(place)) << place;
    }
    EXPECT_EQ(Version("Writer"), 5u);
  }
}

}  // namespace
}  // namespace qrv
