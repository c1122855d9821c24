#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/registry/RegistryKey.h"
#include "tests/support/ProcessRunner.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::tools {
namespace {

class Qrvctl : public ::testing::Test {
 protected:
  test::ProcessResult Run(std::vector<std::string> args, const std::string& input = {}) {
    args.insert(args.begin(), {"--root", m_root.Path().string()});
    return test::RunProcess(QRVCTL_PATH, args, {}, input);
  }
  std::string Out(const std::vector<std::string>& args) {
    test::ProcessResult r = Run(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.out;
  }

  test::SandboxRoot m_root;
};

constexpr const char* kMain = "HKLM\\SOFTWARE\\QRV\\Shared\\QrvUpdate";

TEST_F(Qrvctl, RegAddQueryDeleteAndSubkeys) {
  Out({"reg", "add", kMain, "ServerPath", "REG_SZ", "http://127.0.0.1:8080/AUpdate70.jsp"});
  Out({"reg", "add", kMain, "Auto", "REG_DWORD", "1"});
  Out({"reg", "add", kMain, "Term", "reg_dword", "0xFFFFFFFF"});
  Out({"reg", "add", kMain, "Blob", "REG_BINARY", "00,ab,FF"});
  Out({"reg", "add", "HKEY_LOCAL_MACHINE\\SOFTWARE\\QRV\\Shared\\QrvUpdate\\writer", "Product", "REG_SZ", "writer"});
  Out({"reg", "add", std::string(kMain) + "\\Calc", "ProductVersion", "REG_DWORD", "3"});
  Out({"reg", "add", std::string(kMain) + "\\_tools", "Product", "REG_SZ", "tab\there"});

  EXPECT_EQ(Out({"reg", "query", kMain}),
            "Auto\tREG_DWORD\t1\n"
            "Blob\tREG_BINARY\t00ABFF\n"
            "ServerPath\tREG_SZ\thttp://127.0.0.1:8080/AUpdate70.jsp\n"
            "Term\tREG_DWORD\t4294967295\n");
  EXPECT_EQ(Out({"reg", "query", "hklm\\software\\qrv\\shared\\qrvupdate", "serverpath"}),
            "ServerPath\tREG_SZ\thttp://127.0.0.1:8080/AUpdate70.jsp\n");
  EXPECT_EQ(Out({"reg", "query", std::string(kMain) + "\\_tools"}), "Product\tREG_SZ\ttab\\there\n")
      << "a tab in the data must not split the line";
  EXPECT_EQ(Out({"reg", "subkeys", kMain}), "Calc\nwriter\n_tools\n");

  test::ProcessResult r = Run({"reg", "query", kMain, "Missing"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Missing"), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty());
  r = Run({"reg", "query", "HKCU\\Software\\Nothing"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("HKCU\\Software\\Nothing"), std::string::npos) << r.err;

  Out({"reg", "delete", kMain, "blob"});
  EXPECT_EQ(Run({"reg", "delete", kMain, "Blob"}).exitCode, 1);
  Out({"reg", "delete", std::string(kMain) + "\\Calc"});
  EXPECT_EQ(Out({"reg", "subkeys", kMain}), "writer\n_tools\n");
  EXPECT_EQ(Run({"reg", "delete", "HKLM"}).exitCode, 1) << "a root cannot be deleted";
}

TEST_F(Qrvctl, RegRefusesBadInputWithTheActualValues) {
  struct Case {
    std::vector<std::string> args;
    const char* mention;
  };
  std::string tooLong(256, 'n');
  const std::vector<Case> cases = {
      {{"reg", "add", kMain, "Auto", "REG_DWORD", "12abc"}, "12abc"},
      {{"reg", "add", kMain, "Auto", "REG_DWORD", "4294967296"}, "4294967296"},
      {{"reg", "add", kMain, "Auto", "REG_DWORD", "-1"}, "-1"},
      {{"reg", "add", kMain, "Blob", "REG_BINARY", "abc"}, "abc"},
      {{"reg", "add", kMain, "Multi", "REG_MULTI_SZ", "x"}, "REG_MULTI_SZ"},
      {{"reg", "add", "HKXX\\SOFTWARE", "v", "REG_SZ", "x"}, "HKXX"},
      {{"reg", "add", kMain, tooLong, "REG_SZ", "x"}, "256 characters"},
      {{"reg", "add", std::string(kMain) + "\\\\x", "v", "REG_SZ", "x"}, "empty key name"},
  };
  for (const Case& c : cases) {
    test::ProcessResult r = Run(c.args);
    EXPECT_EQ(r.exitCode, 1) << c.args[2] << " " << c.args.back();
    EXPECT_NE(r.err.find(c.mention), std::string::npos) << r.err;
  }
  EXPECT_EQ(Run({"reg", "query", kMain}).exitCode, 1) << "no refused write may create the key";
  EXPECT_EQ(Run({"reg", "frobnicate"}).exitCode, 2);
  EXPECT_EQ(Run({"reg", "add", kMain}).exitCode, 2);
  EXPECT_EQ(Run({"nonsense"}).exitCode, 2);
}

TEST_F(Qrvctl, RegExportImportRoundTrip) {
  std::string product = std::string(kMain) + "\\Writer";
  Out({"reg", "add", kMain, "Auto", "REG_DWORD", "1"});
  Out({"reg", "add", kMain, "DownloadPath", "REG_SZ", "C:\\Data \"quoted\""});
  Out({"reg", "add", kMain, "", "REG_SZ", "default value"});
  std::string longBinary;
  for (int i = 0; i < 60; ++i) longBinary += "a5";
  Out({"reg", "add", kMain, "Blob", "REG_BINARY", longBinary});
  Out({"reg", "add", product, "ProductName", "REG_SZ", "\xEC\x9B\x8C\xEB\x93\x9C"});  // Korean, UTF-8
  Out({"reg", "add", product, "ProductVersion", "REG_DWORD", "0x10"});

  std::string file = (m_root / "export.reg").string();
  Out({"reg", "export", "HKLM\\SOFTWARE\\QRV", file});
  std::string exported = test::ReadFile(file);
  EXPECT_EQ(exported.rfind("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\QRV]\r\n", 0), 0u) << exported;
  EXPECT_NE(exported.find("@=\"default value\"\r\n"), std::string::npos);
  EXPECT_NE(exported.find("\"Auto\"=dword:00000001\r\n"), std::string::npos);
  EXPECT_NE(exported.find("\"DownloadPath\"=\"C:\\\\Data \\\"quoted\\\"\"\r\n"), std::string::npos) << exported;
  EXPECT_NE(exported.find("\"ProductVersion\"=dword:00000010\r\n"), std::string::npos);
  EXPECT_NE(exported.find("\"Blob\"=hex:a5,a5,"), std::string::npos);
  EXPECT_NE(exported.find(",\\\r\n  a5,"), std::string::npos) << "long binary values wrap";

  Out({"reg", "delete", "HKLM\\SOFTWARE\\QRV"});
  EXPECT_EQ(Run({"reg", "query", kMain}).exitCode, 1);
  Out({"reg", "import", file});
  Out({"reg", "export", "HKLM\\SOFTWARE\\QRV", file + ".2"});
  EXPECT_EQ(test::ReadFile(file + ".2"), exported) << "export, import, export must give the same file";
  EXPECT_EQ(Out({"reg", "query", product, "ProductName"}), "ProductName\tREG_SZ\t\xEC\x9B\x8C\xEB\x93\x9C\n");
}

TEST_F(Qrvctl, RegImportChecksTheWholeFileFirst) {
  std::string file = (m_root / "in.reg").string();
  // a syntax error late in the file: nothing before it is applied either
  test::WriteFile(file,
                  "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n\"x\"=dword:00000001\n\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\B]\n\"y\"=dword:zz\n");
  test::ProcessResult r = Run({"reg", "import", file});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find(file + ":7:"), std::string::npos) << r.err;
  EXPECT_EQ(Run({"reg", "query", "HKLM\\SOFTWARE\\A"}).exitCode, 1);

  // types the store cannot hold are refused, not converted
  test::WriteFile(file, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n\"m\"=hex(7):61,00,00\n");
  r = Run({"reg", "import", file});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("hex(7)"), std::string::npos) << r.err;
  EXPECT_EQ(Run({"reg", "import", (m_root / "missing.reg").string()}).exitCode, 1);
  test::WriteFile(file, "not a registry file\n");
  EXPECT_EQ(Run({"reg", "import", file}).exitCode, 1);

  // deletions, comments, continuation lines, CRLF
  Out({"reg", "add", "HKLM\\SOFTWARE\\Old\\Deep", "v", "REG_SZ", "x"});
  Out({"reg", "add", "HKLM\\SOFTWARE\\Keep", "gone", "REG_SZ", "x"});
  test::WriteFile(file,
                  "REGEDIT4\r\n; a comment\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\r\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Keep]\r\n\"gone\"=-\r\n\"bin\"=hex:01,\\\r\n  02,03\r\n"
                  "\"d\"=hex(4):78,56,34,12\r\n");
  Out({"reg", "import", file});
  EXPECT_EQ(Run({"reg", "query", "HKLM\\SOFTWARE\\Old"}).exitCode, 1);
  EXPECT_EQ(Out({"reg", "query", "HKLM\\SOFTWARE\\Keep"}), "bin\tREG_BINARY\t010203\nd\tREG_DWORD\t305419896\n");

  // a UTF-16LE file as current registry editors save it
  std::string utf8 = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Q]\r\n\"n\"=\"\xC3\xA9\"\r\n";
  std::string utf16 = "\xFF\xFE";
  for (size_t i = 0; i < utf8.size(); ++i) {
    if (utf8[i] == '\xC3') {
      utf16 += '\xE9';
      utf16 += '\0';
      ++i;
    } else {
      utf16 += utf8[i];
      utf16 += '\0';
    }
  }
  test::WriteFile(file, utf16);
  Out({"reg", "import", file});
  EXPECT_EQ(Out({"reg", "query", "HKCU\\Software\\Q", "n"}), "n\tREG_SZ\t\xC3\xA9\n");
}

// A product file may have stored text made to act on a terminal; what qrvctl
// prints for a person shows it escaped, while an export keeps every byte and
// reads back to the same values.
constexpr const char* kHostile = "hello\x1b]0;OWNED\x07\x1b[2J";
constexpr const char* kHostileShown = "hello\\e]0;OWNED\\x07\\e[2J";

TEST_F(Qrvctl, StoredAndServedTextIsPrintedEscaped) {
  const std::string key = std::string(kMain) + "\\Writer";
  const std::string odd = key + "\\k\x1b[2J";
  Out({"reg", "add", key, "Channel", "REG_SZ", kHostile});
  Out({"reg", "add", key, std::string("v\x9b") + "\x1b[1m", "REG_DWORD", "7"});  // a stray byte and ESC in a name
  Out({"reg", "add", odd, "x", "REG_SZ", "\xC2\x9B" "31m"});                     // a C1 character
  Out({"reg", "add", std::string(kMain) + "\\PendingReplace\\00000001", "Source", "REG_SZ", "/p/a\x1b[2J"});
  Out({"reg", "add", std::string(kMain) + "\\PendingReplace\\00000001", "Target", "REG_SZ", "/t\tb"});

  EXPECT_EQ(Out({"reg", "query", key, "channel"}), std::string("Channel\tREG_SZ\t") + kHostileShown + "\n");
  EXPECT_EQ(Out({"reg", "query", key}),
            std::string("Channel\tREG_SZ\t") + kHostileShown + "\nv\\x9B\\e[1m\tREG_DWORD\t7\n");
  EXPECT_EQ(Out({"reg", "query", odd}), "x\tREG_SZ\t\\u009B31m\n");
  EXPECT_EQ(Out({"reg", "subkeys", key}), "k\\e[2J\n");
  EXPECT_EQ(Out({"pending", "list"}), "/p/a\\e[2J\t/t\\tb\n");

  const std::string ini = (m_root / "product.ini").string();
  test::WriteFile(ini, std::string("[Writer]\nName=") + kHostile + "\n");
  EXPECT_EQ(Out({"ini", "get", ini, "Writer", "Name"}), std::string(kHostileShown) + "\n");

  // errors name what they were given, escaped as well
  test::ProcessResult r = Run({"reg", "query", key + "\\gone\x1b]0;x\x07"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("gone\\e]0;x\\x07"), std::string::npos) << r.err;
  r = Run({"reg", "query", key, "missing\x1b[2J"});
  EXPECT_NE(r.err.find("missing\\e[2J"), std::string::npos) << r.err;
  for (const std::string& text : {Out({"reg", "query", key}), r.err}) {
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  }
}

TEST_F(Qrvctl, RegExportKeepsEveryStringExactlyAndReadsBack) {
  const std::string key = "HKLM\\SOFTWARE\\QRV\\Odd";
  platform::RegistryKey odd;
  ASSERT_EQ(platform::RegistryKey::Create(platform::kRootLocalMachine, "SOFTWARE\\QRV\\Odd", odd),
            platform::RegStatus::kOk);
  const std::vector<std::pair<std::string, std::string>> values = {
      {"terminal", kHostile},
      {"lines", "one\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\QRV\\Shared\\QrvUpdate]\r\n@=dword:00000001"},
      {"nul", std::string("before\0after", 12)},
      {"latin1", "caf\xE9"},
      {"plain", "C:\\Data \"quoted\" \xEC\x9B\x8C"},
      {"name\x1b[2J", "an odd value name is kept as it is"},
  };
  for (const auto& [name, data] : values) {
    ASSERT_EQ(odd.Set(name, platform::RegValue::String(data)), platform::RegStatus::kOk) << name;
  }
  odd.Close();

  const std::string file = (m_root / "odd.reg").string();
  Out({"reg", "export", key, file});
  const std::string exported = test::ReadFile(file);
  EXPECT_NE(exported.find("\"terminal\"=hex(1):68,65,6c,6c,6f,1b,5d,30"), std::string::npos) << exported;
  EXPECT_NE(exported.find("\"nul\"=hex(1):62,65,66,6f,72,65,00,61,66,74,65,72\r\n"), std::string::npos) << exported;
  EXPECT_NE(exported.find("\"plain\"=\"C:\\\\Data \\\"quoted\\\" \xEC\x9B\x8C\"\r\n"), std::string::npos) << exported;
  EXPECT_EQ(exported.find("\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\QRV\\Shared"), std::string::npos)
      << "no stored text starts a line of its own";
  EXPECT_EQ(exported.find("]0;OWNED"), std::string::npos) << "string data holds nothing a terminal acts on";

  Out({"reg", "delete", key});
  Out({"reg", "import", file});
  ASSERT_EQ(platform::RegistryKey::Open(platform::kRootLocalMachine, "SOFTWARE\\QRV\\Odd",
                                        platform::RegAccess::kRead, odd),
            platform::RegStatus::kOk);
  for (const auto& [name, data] : values) {
    platform::RegValue read;
    ASSERT_EQ(odd.Query(name, read), platform::RegStatus::kOk) << name;
    EXPECT_EQ(read.type, platform::kRegSz) << name;
    EXPECT_EQ(std::string(read.data.begin(), read.data.end()), data) << name;
  }
  Out({"reg", "export", key, file + ".2"});
  EXPECT_EQ(test::ReadFile(file + ".2"), exported);

  // hex(1) in a version 5.00 file would be UTF-16: refused rather than misread
  test::WriteFile(file, "Windows Registry Editor Version 5.00\r\n[" + key + "]\r\n\"s\"=hex(1):61,00\r\n");
  test::ProcessResult r = Run({"reg", "import", file});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("hex(1)"), std::string::npos) << r.err;

  // a name with a line end has no form in the file: the export says so and writes nothing
  Out({"reg", "add", key + "\\two\nlines", "v", "REG_SZ", "x"});
  r = Run({"reg", "export", key, file + ".3"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("two\\nlines"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("line end"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(file + ".3"));
}

TEST_F(Qrvctl, RegImportNamesWhyAFileCannotBeRead) {
  test::ProcessResult r = Run({"reg", "import", m_root.Path().string()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find(m_root.Path().string() + " is a folder, not a registry file"), std::string::npos) << r.err;
  r = Run({"reg", "import", (m_root / "missing.reg").string()});
  EXPECT_NE(r.err.find("cannot open " + (m_root / "missing.reg").string() + ": No such file or directory"),
            std::string::npos)
      << r.err;
  test::WriteFile(m_root / "empty.reg", "");
  r = Run({"reg", "import", (m_root / "empty.reg").string()});
  EXPECT_NE(r.err.find("empty file; expected a REGEDIT4 header"), std::string::npos) << r.err;
}

TEST_F(Qrvctl, IniAndPasswordCommands) {
  std::string file = (m_root / "QRVDownload/qupdate_s.ini").string();
  EXPECT_EQ(Out({"ini", "get", file, "VersionInfo", "Writer", "-"}), "-\n") << "missing file gives the default";
  test::ProcessResult r = Run({"ini", "set", file, "VersionInfo", "Writer", "2.0"});
  EXPECT_EQ(r.exitCode, 1) << "the folder does not exist";
  EXPECT_NE(r.err.find("QRVDownload"), std::string::npos) << r.err;

  test::WriteFile(file, "; server file\r\n[VersionInfo]\r\nWriter = \"2.0 beta\"\r\n[COUNT]\r\nWriter=0x10\r\n");
  EXPECT_EQ(Out({"ini", "get", file, "versioninfo", "WRITER"}), "2.0 beta\n");
  EXPECT_EQ(Out({"ini", "getint", file, "COUNT", "Writer", "0"}), "16\n");
  EXPECT_EQ(Out({"ini", "getint", file, "COUNT", "Calc", "-1"}), "-1\n");
  Out({"ini", "set", file, "COUNT", "Calc", "-5"});
  EXPECT_EQ(Out({"ini", "getint", file, "COUNT", "Calc", "0"}), "-5\n");
  Out({"ini", "set", file, "VersionInfo", "Long", std::string(300, 'v')});
  EXPECT_EQ(Out({"ini", "get", file, "VersionInfo", "Long"}), std::string(259, 'v') + "\n");
  Out({"ini", "delete", file, "VersionInfo", "Long"});
  Out({"ini", "delete", file, "COUNT"});
  EXPECT_EQ(test::ReadFile(file), "; server file\r\n[VersionInfo]\r\nWriter = \"2.0 beta\"\r\n");
  EXPECT_EQ(Run({"ini", "getint", file, "COUNT", "Writer", "abc"}).exitCode, 1);

  EXPECT_EQ(Out({"password", "encrypt", "password"}), "2DEB5FBFB39B3BF0AEA43CACD5BC03B0\n");
  EXPECT_EQ(Out({"password", "decrypt", "2deb5fbfb39b3bf0aea43cacd5bc03b0"}), "password\n");
  r = Run({"password", "decrypt", "2DEB5FBFB39B3BF0AEA43CACD5BC03B1"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.out.empty()) << "never garbage on failure";
  EXPECT_EQ(Run({"password", "decrypt", "xyz"}).exitCode, 1);
}

TEST_F(Qrvctl, RootComesFromTheOptionOrTheEnvironment) {
  test::ProcessResult r = test::RunProcess(
      QRVCTL_PATH, {"reg", "add", "HKLM\\SOFTWARE\\X", "v", "REG_SZ", "env"},
      {{"QRVUPDATE_ROOT", m_root.Path().string()}});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(std::filesystem::exists(m_root / "var/lib/qrvupdate/HKLM.sqlite"));
  EXPECT_EQ(Out({"reg", "query", "HKLM\\SOFTWARE\\X"}), "v\tREG_SZ\tenv\n");

  r = test::RunProcess(QRVCTL_PATH, {"--help"});
  EXPECT_EQ(r.exitCode, 0);
  for (const char* word : {"reg query", "reg add", "reg delete", "reg subkeys", "reg export", "reg import", "ini get",
                           "ini getint", "ini set", "ini delete", "password encrypt", "password decrypt", "--root",
                           "QRVUPDATE_ROOT"}) {
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
  }
}

}  // namespace
}  // namespace qrv::tools
