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
  test::ProcessResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--root", m_root.Path().string()});
    return test::RunProcess(QRVCTL_PATH, args);
  }
  std::string Out(const std::vector<std::string>& args) {
    test::ProcessResult r = Run(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.out;
  }
  // Runs args, expects exit code 1 and mention in the error text.
  void Fails(const std::vector<std::string>& args, const std::string& mention) {
    test::ProcessResult r = Run(args);
    EXPECT_EQ(r.exitCode, 1) << args.back();
    EXPECT_NE(r.err.find(mention), std::string::npos) << r.err;
  }

  test::SandboxRoot m_root;
};

constexpr const char* kMain = "HKLM\\SOFTWARE\\QRV\\Shared\\QrvUpdate";
constexpr const char* kHostile = "hello\x1b]0;OWNED\x07\x1b[2J";
constexpr const char* kHostileShown = "hello\\e]0;OWNED\\x07\\e[2J";

TEST_F(Qrvctl, RegAddQueryDeleteAndSubkeys) {
  Out({"reg", "add", kMain, "ServerPath", "REG_SZ", "http://127.0.0.1:8080/AUpdate70.jsp"});
  Out({"reg", "add", kMain, "Term", "reg_dword", "0xFFFFFFFF"});
  Out({"reg", "add", kMain, "Blob", "REG_BINARY", "00,ab,FF"});
  Out({"reg", "add", "HKEY_LOCAL_MACHINE\\SOFTWARE\\QRV\\Shared\\QrvUpdate\\writer", "Product", "REG_SZ", "writer"});
  Out({"reg", "add", std::string(kMain) + "\\_tools", "Product", "REG_SZ", "tab\there"});

  EXPECT_EQ(Out({"reg", "query", kMain}),
            "Blob\tREG_BINARY\t00ABFF\n"
            "ServerPath\tREG_SZ\thttp://127.0.0.1:8080/AUpdate70.jsp\n"
            "Term\tREG_DWORD\t4294967295\n");
  EXPECT_EQ(Out({"reg", "query", "hklm\\software\\qrv\\shared\\qrvupdate", "term"}), "Term\tREG_DWORD\t4294967295\n");
  EXPECT_EQ(Out({"reg", "query", std::string(kMain) + "\\_tools"}), "Product\tREG_SZ\ttab\\there\n")
      << "a tab in the data must not split the line";
  EXPECT_EQ(Out({"reg", "subkeys", kMain}), "writer\n_tools\n");

  Fails({"reg", "query", kMain, "Missing"}, "Missing");
  Fails({"reg", "query", "HKCU\\Software\\Nothing"}, "HKCU\\Software\\Nothing");
  Out({"reg", "delete", kMain, "blob"});
  EXPECT_EQ(Run({"reg", "delete", kMain, "Blob"}).exitCode, 1);
  Out({"reg", "delete", std::string(kMain) + "\\writer"});
  EXPECT_EQ(Out({"reg", "subkeys", kMain}), "_tools\n");
  EXPECT_EQ(Run({"reg", "delete", "HKLM"}).exitCode, 1) << "a root cannot be deleted";
}

TEST_F(Qrvctl, RegRefusesBadInputWithTheActualValues) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"reg", "add", kMain, "Auto", "REG_DWORD", "12abc"}, "12abc"},
      {{"reg", "add", kMain, "Auto", "REG_DWORD", "4294967296"}, "4294967296"},
      {{"reg", "add", kMain, "Auto", "REG_DWORD", "-1"}, "-1"},
      {{"reg", "add", kMain, "Blob", "REG_BINARY", "abc"}, "abc"},
      {{"reg", "add", kMain, "Multi", "REG_MULTI_SZ", "x"}, "REG_MULTI_SZ"},
      {{"reg", "add", "HKXX\\SOFTWARE", "v", "REG_SZ", "x"}, "HKXX"},
      {{"reg", "add", kMain, std::string(256, 'n'), "REG_SZ", "x"}, "256 characters"},
      {{"reg", "add", std::string(kMain) + "\\\\x", "v", "REG_SZ", "x"}, "empty key name"},
  };
  for (const auto& [args, mention] : cases) Fails(args, mention);
  EXPECT_EQ(Run({"reg", "query", kMain}).exitCode, 1) << "no refused write may create the key";
  for (const std::vector<std::string>& usage : {std::vector<std::string>{"reg", "frobnicate"},
                                               std::vector<std::string>{"reg", "add", kMain},
                                               std::vector<std::string>{"nonsense"}}) {
    EXPECT_EQ(Run(usage).exitCode, 2) << usage.back();
  }
}

// An export keeps every byte (odd strings as hex(1)), an import reads it back
// to the same values, and a second export gives the same file.
TEST_F(Qrvctl, RegExportImportRoundTripKeepsEveryValueExactly) {
  const std::string key = "HKLM\\SOFTWARE\\QRV\\Odd";
  platform::RegistryKey odd;
  ASSERT_EQ(platform::RegistryKey::Create(platform::kRootLocalMachine, "SOFTWARE\\QRV\\Odd", odd),
            platform::RegStatus::kOk);
  const std::vector<std::pair<std::string, std::string>> values = {
      {"", "default value"},
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
  std::string longBinary;
  for (int i = 0; i < 60; ++i) longBinary += "a5";
  Out({"reg", "add", key, "Blob", "REG_BINARY", longBinary});
  Out({"reg", "add", key + "\\Writer", "ProductVersion", "REG_DWORD", "0x10"});

  const std::string file = (m_root / "odd.reg").string();
  Out({"reg", "export", key, file});
  const std::string exported = test::ReadFile(file);
  for (const char* line : {"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\QRV\\Odd]\r\n", "@=\"default value\"\r\n",
                           "\"terminal\"=hex(1):68,65,6c,6c,6f,1b,5d,30",
                           "\"nul\"=hex(1):62,65,66,6f,72,65,00,61,66,74,65,72\r\n",
                           "\"plain\"=\"C:\\\\Data \\\"quoted\\\" \xEC\x9B\x8C\"\r\n", "\"Blob\"=hex:a5,a5,",
                           ",\\\r\n  a5,", "\"ProductVersion\"=dword:00000010\r\n"}) {
    EXPECT_NE(exported.find(line), std::string::npos) << line << "\n" << exported;
  }
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

  // a name with a line end has no form in the file: the export says so and writes nothing
  Out({"reg", "add", key + "\\two\nlines", "v", "REG_SZ", "x"});
  const test::ProcessResult r = Run({"reg", "export", key, file + ".3"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("two\\nlines"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("line end"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(file + ".3"));
}

TEST_F(Qrvctl, RegImportReadsEveryFormAndRefusesDamagedFilesWithTheReason) {
  const std::string file = (m_root / "in.reg").string();
  const std::vector<std::pair<std::string, std::string>> damaged = {
      {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n\"x\"=dword:00000001\n\n"
       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\B]\n\"y\"=dword:zz\n",
       file + ":7:"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n\"m\"=hex(7):61,00,00\n", "hex(7)"},  // not converted
      // hex(1) in a version 5.00 file would be UTF-16: refused rather than misread
      {"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n\"s\"=hex(1):61,00\r\n", "hex(1)"},
      {"not a registry file\n", file},
      {"", "empty file; expected a REGEDIT4 header"},
  };
  for (const auto& [text, mention] : damaged) {
    test::WriteFile(file, text);
    Fails({"reg", "import", file}, mention);
  }
  EXPECT_EQ(Run({"reg", "query", "HKLM\\SOFTWARE\\A"}).exitCode, 1) << "nothing before an error is applied";
  Fails({"reg", "import", m_root.Path().string()}, m_root.Path().string() + " is a folder, not a registry file");
  const std::string missing = (m_root / "missing.reg").string();
  Fails({"reg", "import", missing}, "cannot open " + missing + ": No such file or directory");

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
  std::string utf16 = "\xFF\xFE";
  for (char c : std::string("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Q]\r\n"
                            "\"n\"=\"\xE9\"\r\n")) {
    utf16 += {c, '\0'};
  }
  test::WriteFile(file, utf16);
  Out({"reg", "import", file});
  EXPECT_EQ(Out({"reg", "query", "HKCU\\Software\\Q", "n"}), "n\tREG_SZ\t\xC3\xA9\n");
}

// A product file may have stored text made to act on a terminal: what qrvctl
// prints for a person, errors included, shows it escaped.
TEST_F(Qrvctl, StoredAndServedTextIsPrintedEscaped) {
  const std::string key = std::string(kMain) + "\\Writer";
  const std::string odd = key + "\\k\x1b[2J";
  Out({"reg", "add", key, "Channel", "REG_SZ", kHostile});
  Out({"reg", "add", key, std::string("v\x9b") + "\x1b[1m", "REG_DWORD", "7"});  // a stray byte and ESC in a name
  Out({"reg", "add", odd, "x", "REG_SZ", "\xC2\x9B" "31m"});                     // a C1 character
  Out({"reg", "add", std::string(kMain) + "\\PendingReplace\\00000001", "Source", "REG_SZ", "/p/a\x1b[2J"});
  Out({"reg", "add", std::string(kMain) + "\\PendingReplace\\00000001", "Target", "REG_SZ", "/t\tb"});

  EXPECT_EQ(Out({"reg", "query", key}),
            std::string("Channel\tREG_SZ\t") + kHostileShown + "\nv\\x9B\\e[1m\tREG_DWORD\t7\n");
  EXPECT_EQ(Out({"reg", "query", odd}), "x\tREG_SZ\t\\u009B31m\n");
  EXPECT_EQ(Out({"reg", "subkeys", key}), "k\\e[2J\n");
  EXPECT_EQ(Out({"pending", "list"}), "/p/a\\e[2J\t/t\\tb\n");
  const std::string ini = (m_root / "product.ini").string();
  test::WriteFile(ini, std::string("[Writer]\nName=") + kHostile + "\n");
  EXPECT_EQ(Out({"ini", "get", ini, "Writer", "Name"}), std::string(kHostileShown) + "\n");

  Fails({"reg", "query", key + "\\gone\x1b]0;x\x07"}, "gone\\e]0;x\\x07");
  Fails({"reg", "query", key, "missing\x1b[2J"}, "missing\\e[2J");
  EXPECT_EQ(Run({"reg", "query", key, "missing\x1b[2J"}).err.find('\x1b'), std::string::npos);
}

TEST_F(Qrvctl, IniAndPasswordCommands) {
  std::string file = (m_root / "QRVDownload/qupdate_s.ini").string();
  EXPECT_EQ(Out({"ini", "get", file, "VersionInfo", "Writer", "-"}), "-\n") << "missing file gives the default";
  Fails({"ini", "set", file, "VersionInfo", "Writer", "2.0"}, "QRVDownload");

  test::WriteFile(file, "; server file\r\n[VersionInfo]\r\nWriter = \"2.0 beta\"\r\n[COUNT]\r\nWriter=0x10\r\n");
  EXPECT_EQ(Out({"ini", "get", file, "versioninfo", "WRITER"}), "2.0 beta\n");
  EXPECT_EQ(Out({"ini", "getint", file, "COUNT", "Writer", "0"}), "16\n");
  Out({"ini", "set", file, "COUNT", "Calc", "-5"});
  EXPECT_EQ(Out({"ini", "getint", file, "COUNT", "Calc", "0"}), "-5\n");
  Out({"ini", "set", file, "VersionInfo", "Long", std::string(300, 'v')});
  EXPECT_EQ(Out({"ini", "get", file, "VersionInfo", "Long"}), std::string(259, 'v') + "\n");
  Out({"ini", "delete", file, "VersionInfo", "Long"});
  Out({"ini", "delete", file, "COUNT"});
  EXPECT_EQ(test::ReadFile(file), "; server file\r\n[VersionInfo]\r\nWriter = \"2.0 beta\"\r\n");
  EXPECT_EQ(Run({"ini", "getint", file, "COUNT", "Writer", "abc"}).exitCode, 1);

  EXPECT_EQ(Out({"password", "decrypt", "2deb5fbfb39b3bf0aea43cacd5bc03b0"}), "password\n");
  test::ProcessResult r = Run({"password", "decrypt", "2DEB5FBFB39B3BF0AEA43CACD5BC03B1"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.out.empty()) << "never garbage on failure";
}

TEST_F(Qrvctl, RootComesFromTheEnvironmentWithoutTheOption) {
  test::ProcessResult r = test::RunProcess(QRVCTL_PATH, {"reg", "add", "HKLM\\SOFTWARE\\X", "v", "REG_SZ", "env"},
                                           {{"QRVUPDATE_ROOT", m_root.Path().string()}});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(std::filesystem::exists(m_root / "var/lib/qrvupdate/HKLM.sqlite"));
  EXPECT_EQ(Out({"reg", "query", "HKLM\\SOFTWARE\\X"}), "v\tREG_SZ\tenv\n");
}

}  // namespace
}  // namespace qrv::tools
