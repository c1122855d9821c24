// Version texts and file names from the server reach the terminal and the
// trace: an ESC or C1 sequence in them would retitle the window, clear the
// screen or move the cursor over earlier output.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "config/CQUpdateMgrEnv.h"
#include "platform/core/DisplayText.h"
#include "platform/core/ProgramFolders.h"
#include "platform/core/RefusedName.h"
#include "tests/e2e/E2eRunFixture.h"
#include "tests/support/ProcessRunner.h"
#include "transfer/TransferPath.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using platform::DisplayText;

// Where text holds something a terminal acts on: a control character other
// than the line feed, DEL, a C1 character, or a byte that is not UTF-8.
// Empty when there is none. Written apart from DisplayText on purpose: it
// checks that code, not itself.
std::string RawControlIn(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    bool bad = n == 0 || i + n > text.size() || (c < 0x20 && c != '\n') || c == 0x7F || c == 0xC0 || c == 0xC1;
    for (size_t k = 1; !bad && k < n; ++k) bad = (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80;
    if (!bad && c == 0xC2) bad = static_cast<unsigned char>(text[i + 1]) < 0xA0;  // U+0080..U+009F
    if (bad) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02X", c);
      const size_t from = i < 40 ? 0 : i - 40;
      return std::string("raw byte ") + hex + " at offset " + std::to_string(i) + " after \"" +
             DisplayText::Escape(text.substr(from, i - from)) + "\"";
    }
    i += n;
  }
  return {};
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(TerminalTextTest, ControlCharactersAndBrokenUtf8AreShownAsEscapes) {
  struct Case {
    std::string raw;
    std::string shown;
  };
  const std::vector<Case> cases{
      // kept as they are
      {"Writer 7.0.1 (build 2024)", "Writer 7.0.1 (build 2024)"},
      {"sub\\file.cab", "sub\\file.cab"},
      {"caf\xc3\xa9 \xed\x95\x9c \xf0\x9f\x98\x80 \xc2\xa0", "caf\xc3\xa9 \xed\x95\x9c \xf0\x9f\x98\x80 \xc2\xa0"},
      {"", ""},
      // what terminals act on
      {"\x1b]0;owned\x07", "\\e]0;owned\\x07"},
      {"\x1b[2J\x1b[H", "\\e[2J\\e[H"},
      {"a\tb\nc\rd", "a\\tb\\nc\\rd"},
      {std::string("nul\0x", 5), "nul\\x00x"},
      {"del\x7f", "del\\x7F"},
      {"\xc2\x9b" "31m \xc2\x80 \xc2\x9f", "\\u009B31m \\u0080 \\u009F"},
      // what reorders the line a user reads: "/opt/gpj.exe" shown as "/opt/exe.jpg"
      {"/opt/\xe2\x80\xaegpj.exe", "/opt/\\u202Egpj.exe"},
      {"\xe2\x80\x8e\xe2\x80\x8f\xe2\x81\xa6\xe2\x81\xa9", "\\u200E\\u200F\\u2066\\u2069"},
      {"\xe2\x80\x94 \xe2\x81\xa0", "\xe2\x80\x94 \xe2\x81\xa0"},  // a dash and a word joiner stay
      // bytes that are not UTF-8: each on its own
      {"\x9b" "31m", "\\x9B31m"},
      {"\xc0\xaf", "\\xC0\\xAF"},                      // overlong '/'
      {"\xe0\x80\xaf", "\\xE0\\x80\\xAF"},              // overlong, three bytes
      {"\xed\xa0\x80", "\\xED\\xA0\\x80"},              // a surrogate
      {"\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},     // past U+10FFFF
      {"cut \xe2\x82", "cut \\xE2\\x82"},               // a character cut short at the end
      {"\xe2\x82" "A", "\\xE2\\x82A"},                  // ... and in the middle
      {"\xff\xfe", "\\xFF\\xFE"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    const std::string escaped = DisplayText::Escape(c.raw);
    EXPECT_EQ(escaped, c.shown);
    EXPECT_EQ(DisplayText::NeedsEscape(c.raw), c.raw != c.shown);
    EXPECT_EQ(DisplayText::Escape(escaped), escaped) << "escaping twice changes nothing";
    std::string joined;
    for (const std::string& piece : DisplayText::Pieces(c.raw)) {
      EXPECT_TRUE(piece.size() == 1 || piece[0] == '\\' || static_cast<unsigned char>(piece[0]) >= 0xC2) << piece;
      joined += piece;
    }
    EXPECT_EQ(joined, escaped);
  }
  EXPECT_EQ(DisplayText::Width("\\e"), 2u);
  EXPECT_EQ(DisplayText::Width("\xed\x95\x9c"), 1u);
}

TEST(TerminalTextTest, NoByteSequenceGetsThroughRaw) {
  // Random bytes, weighted towards the ones that matter, stand for whatever
  // a hostile or broken server may send.
  std::mt19937 random(20240229);
  const std::string alphabet = std::string("\x1b\x07\x7f\x9b\x80\xc2\xc3\xe2\xed\xf0\xf4\xff\xa0\xbf\x8f", 15) + "aZ[;\\";
  for (int round = 0; round < 3000; ++round) {
    std::string raw;
    const size_t length = random() % 24;
    for (size_t i = 0; i < length; ++i) {
      raw += random() % 3 == 0 ? static_cast<char>(random() % 256) : alphabet[random() % alphabet.size()];
    }
    const std::string escaped = DisplayText::Escape(raw);
    ASSERT_EQ(RawControlIn(escaped), "") << DisplayText::Escape(escaped);
    ASSERT_FALSE(DisplayText::NeedsEscape(escaped));
  }
}

TEST(TerminalTextTest, ARefusedNameSaysWhyItWasRefused) {
  struct Case {
    std::string name;
    std::string why;  // part of the reason; empty for an acceptable name
  };
  for (const Case& c : std::vector<Case>{
           {"", "is empty"},
           {"/etc/passwd", "absolute"},
           {"\\windows\\x.cab", "absolute"},
           {"C:x.cab", "absolute"},
           {"../x.cab", "climbs out"},
           {"a\\..\\..\\x.cab", "climbs out"},
           {"./x.cab", "\".\" part"},
           {"a\x1b[2Jb.cab", "control characters (shown escaped: a\\e[2Jb.cab)"},
           {"\x1b]0;t\x07/../../x", "control characters"},  // the control character is named first
           {"ok.cab", ""},
           {"sub\\deep/ok.cab", ""},
       }) {
    SCOPED_TRACE(DisplayText::Escape(c.name));
    std::string normal;
    EXPECT_EQ(TransferPath::Normalise(c.name, normal), c.why.empty()) << "the transfer layer agrees";
    const std::string reason = platform::RefusedName::Reason(c.name);
    EXPECT_TRUE(c.why.empty() ? reason.empty() : Has(reason, c.why)) << reason;
    EXPECT_FALSE(Has(reason, "leaves") && Has(c.why, "control")) << reason;
    EXPECT_EQ(RawControlIn(reason), "");
  }
}

// A machine whose update server is hostile; qrvupdate is run for real.
class TerminalAttackTest : public test::E2eRunFixture {
 protected:
  static constexpr const char* kVersion = "7.0\x1b]0;owned\x07\x1b[2J\xc2\x9b" "31m";
  static constexpr const char* kVersionShown = "7.0\\e]0;owned\\x07\\e[2J\\u009B31m";

  void SetUp() override {
    E2eRunFixture::SetUp();
    ASSERT_EQ(UseTransport(test::Transport::kHttp), "");
    Installed("Writer", "Qorvane \x1b[31mWriter\x9b");
    Installed("Calc", "Qorvane Calc");
    Serve("qupdate_s.ini", std::string("[VersionInfo]\nWriter=") + kVersion +
                               "\nCalc=6\x1b[5m\x7f\n[UpdateVersionInfo]\nWriter=7\nCalc=6\n[COUNT]\nWriter=1\nCalc=1\n");
    ServeCabinet("calc.cab", {{"calc.txt", "calc 6"}});
    Serve("Calc.ini", "[Calc]\nCalcCOUNT=1\nCalc0FILE=calc.cab\n");
  }

  test::ProcessResult Run(const std::vector<std::string>& args) const {
    std::vector<std::string> all{"--root", m_root.Path().string()};
    all.insert(all.end(), args.begin(), args.end());
    return test::RunProcess(QRVUPDATE_PATH, all, {{"LC_ALL", "C"}});
  }
  std::string Trace() const {
    const fs::path trace = fs::path(platform::ProgramFolders::Log()) / "QrvUpdate.txt";
    return fs::exists(trace) ? test::ReadFile(trace) : std::string();
  }
};

TEST_F(TerminalAttackTest, VersionTextsProductAndFileNamesReachTheTerminalAndTheTraceOnlyEscaped) {
  // A C1 sequence in a file name passes the path rules: it is fetched, and
  // shown in the status line.
  ServeCabinet("w\xc2\x9b" "31m.cab", {{"bin/writer.txt", "writer 7"}});
  Serve("Writer.ini", "[Writer]\nWriterCOUNT=1\nWriter0FILE=w\xc2\x9b" "31m.cab\n");

  const test::ProcessResult run = Run({"--console", "--yes"});
  EXPECT_EQ(run.exitCode, 0) << DisplayText::Escape(run.out) << DisplayText::Escape(run.err);
  EXPECT_EQ(RawControlIn(run.out), "");
  EXPECT_EQ(RawControlIn(run.err), "");
  EXPECT_TRUE(Has(run.out, kVersionShown)) << DisplayText::Escape(run.out);
  EXPECT_TRUE(Has(run.out, "Qorvane \\e[31mWriter\\x9B")) << DisplayText::Escape(run.out);
  EXPECT_TRUE(Has(run.out, "6\\e[5m\\x7F")) << DisplayText::Escape(run.out);
  EXPECT_TRUE(Has(run.out, "Downloading : w\\u009B31m.cab")) << DisplayText::Escape(run.out);
  EXPECT_EQ(Version("Writer"), 7u) << "escaping is for showing; the update itself goes on";
  EXPECT_EQ(test::ReadFile(Install("Writer") / "bin/writer.txt"), "writer 7");
  EXPECT_EQ(RawControlIn(Trace()), "");
}

TEST_F(TerminalAttackTest, ANameRefusedForControlCharactersIsTracedAsSuchAndNeverRaw) {
  Serve("Writer.ini", "[Writer]\nWriterCOUNT=1\nWriter0FILE=\x1b]0;owned\x07\x1b[2Jw.cab\n");
  const CQUpdateMgrEnv env;
  env.SetAutoUpdate(1);
  env.SetTerm(1);
  env.SetLastUpdate(20000101);

  const test::ProcessResult run = Run({"--console", "--auto"});
  EXPECT_NE(run.exitCode, 0) << "a listed file that cannot be fetched fails the download";
  EXPECT_EQ(RawControlIn(run.out), "");
  EXPECT_EQ(RawControlIn(run.err), "");
  const std::string trace = Trace();
  EXPECT_EQ(RawControlIn(trace), "");
  EXPECT_TRUE(Has(trace, "\\e]0;owned\\x07\\e[2Jw.cab")) << DisplayText::Escape(trace);
  EXPECT_TRUE(Has(trace, "control character")) << DisplayText::Escape(trace);
  EXPECT_FALSE(Has(trace, "leaves the download folder")) << DisplayText::Escape(trace);
  EXPECT_EQ(Version("Writer"), 5u);
}

}  // namespace
}  // namespace qrv
