#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/share/ShareLocation.h"

namespace qrv::platform {
namespace {

using Kind = ShareLocation::Kind;

TEST(ShareLocation, WindowsSpellingTakesThePortOfTheSetting) {
  ShareLocation unc = ShareLocation::Parse("\\\\fileserver\\updates\\Office\\2024", 1445);
  ASSERT_EQ(unc.GetKind(), Kind::kSmb) << unc.Error();
  EXPECT_EQ(unc.Server(), "fileserver");
  EXPECT_EQ(unc.Port(), 1445);
  EXPECT_EQ(unc.Share(), "updates");
  EXPECT_EQ(unc.Folder(), (std::vector<std::string>{"Office", "2024"}));
  EXPECT_EQ(unc.ShareUrl(), "smb://fileserver:1445/updates");
  EXPECT_EQ(unc.Url(), "smb://fileserver:1445/updates/Office/2024");
  EXPECT_EQ(unc.Url("sub/file.cab"), "smb://fileserver:1445/updates/Office/2024/sub/file.cab");

  // mixed and doubled separators, a trailing one, the default port
  ShareLocation mixed = ShareLocation::Parse("\\\\fileserver/updates\\\\sub/", 0);
  ASSERT_EQ(mixed.GetKind(), Kind::kSmb) << mixed.Error();
  EXPECT_EQ(mixed.Url(), "smb://fileserver/updates/sub");
  EXPECT_EQ(ShareLocation::Parse("\\\\10.0.0.5\\u").Url("a"), "smb://10.0.0.5/u/a");
}

TEST(ShareLocation, UrlSpellingIsDecodedAndEveryNameReEncoded) {
  ShareLocation url = ShareLocation::Parse("SMB://127.0.0.1:4450/updates/Office%202024/", 99);
  ASSERT_EQ(url.GetKind(), Kind::kSmb) << url.Error();
  EXPECT_EQ(url.Server(), "127.0.0.1");
  EXPECT_EQ(url.Port(), 4450) << "a port in the URL wins over the setting's";
  EXPECT_EQ(url.Folder(), (std::vector<std::string>{"Office 2024"}));
  EXPECT_EQ(url.Url(), "smb://127.0.0.1:4450/updates/Office%202024");
  // characters that mean something in a URL, spaces and UTF-8 reach the server as names
  EXPECT_EQ(url.Url("a%b#c?d;e+f \xC3\xBC/x.cab"),
            "smb://127.0.0.1:4450/updates/Office%202024/a%25b%23c%3Fd%3Be%2Bf%20%C3%BC/x.cab");

  EXPECT_EQ(ShareLocation::Parse("smb://nas/share", 1445).Port(), 1445) << "no port in the URL: the setting's";
  ShareLocation v6 = ShareLocation::Parse("smb://[::1]:4451/s/f");
  ASSERT_EQ(v6.GetKind(), Kind::kSmb) << v6.Error();
  EXPECT_EQ(v6.Server(), "[::1]");
  EXPECT_EQ(v6.Url(), "smb://[::1]:4451/s/f");

  ShareLocation local = ShareLocation::Parse("/srv/updates/", 445);
  EXPECT_EQ(local.GetKind(), Kind::kLocal);
  EXPECT_EQ(local.LocalPath(), "/srv/updates/");
}

TEST(ShareLocation, RefusesWhatCannotNameAFolderHere) {
  for (const char* bad : {"",
                          "updates",
                          "updates/sub",
                          "C:\\updates",
                          "c:/updates",
                          "\\\\",
                          "\\\\server",
                          "\\\\server\\",
                          "\\\\?\\C:\\x",
                          "\\\\.\\pipe\\x",
                          "\\\\server:445\\share",
                          "\\\\ser ver\\share",
                          "smb://",
                          "smb:///share",
                          "smb://server",
                          "smb://server/",
                          "smb://user@server/share",
                          "smb://u:pw@server/share",
                          "smb://server:0/s",
                          "smb://server:70000/s",
                          "smb://server:/s",
                          "smb://server:12ab/s",
                          "smb://server/s%2",
                          "smb://server/s%zz",
                          "smb://server/a%2Fb",
                          "smb://server/a%00b",
                          "smb://server/s?x=1",
                          "smb://[::1/s",
                          "smb://[]/s"}) {
    ShareLocation location = ShareLocation::Parse(bad, 0);
    EXPECT_EQ(location.GetKind(), Kind::kInvalid) << bad;
    EXPECT_FALSE(location.Error().empty()) << bad;
  }
  EXPECT_NE(ShareLocation::Parse("C:\\updates").Error().find("drive letter"), std::string::npos);
  EXPECT_NE(ShareLocation::Parse("smb://s:70000/x").Error().find("70000"), std::string::npos);
  EXPECT_NE(ShareLocation::Parse("\\\\s:445\\x").Error().find("port"), std::string::npos);
  EXPECT_NE(ShareLocation::Parse("smb://bob@s/x").Error().find("user"), std::string::npos);
  EXPECT_EQ(ShareLocation::Parse("\\\\s\\x", 70000).GetKind(), Kind::kInvalid) << "a setting's port above 65535";
}

}  // namespace
}  // namespace qrv::platform
