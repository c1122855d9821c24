#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qrv::platform {

// Where a network folder setting points, taken apart:
//
//   /srv/updates                      a local or mounted folder (kLocal)
//   \\server\share\folder             an SMB share, Windows spelling (kSmb)
//   smb://server[:port]/share/folder  an SMB share, URL spelling (kSmb)
//
// In the Windows spelling '\' and '/' both separate; in the URL spelling
// %XX escapes are decoded. Empty components (doubled or trailing
// separators) are dropped.
//
// Port: a URL may name one; the Windows spelling cannot, so the port of the
// server setting (defaultPort, 0 = the SMB default 445) applies there, and to
// a URL without one. This is how a share on a server that does not listen on
// 445 is reached with a \\server\share path.
//
// Refused (kInvalid, with the reason in Error()): an empty path, a relative
// path, a drive-letter path ("C:\updates": Linux has no drive letters), a
// server without a share, "\\?\" and "\\.\" device paths, a URL with a user
// or password in it (they belong in the setting's user and password fields),
// a bad port and a bad %-escape.
//
// Thread: a plain value.
class ShareLocation {
 public:
  enum class Kind { kInvalid, kLocal, kSmb };

  static ShareLocation Parse(std::string_view path, uint32_t defaultPort = 0);

  Kind GetKind() const { return m_kind; }
  const std::string& Error() const { return m_error; }

  // kLocal: the path as given.
  const std::string& LocalPath() const { return m_localPath; }

  // kSmb: the parts, decoded. Port 0 = the default.
  const std::string& Server() const { return m_server; }
  uint16_t Port() const { return m_port; }
  const std::string& Share() const { return m_share; }
  const std::vector<std::string>& Folder() const { return m_folder; }

  // kSmb: the URL of the folder, or of a file below it when relative is not
  // empty (a '/'-separated relative name), in the form libsmbclient takes:
  // smb://server[:port]/share/folder/relative, every component %-escaped
  // except for unreserved characters, so names with '%', '?', '#', ';',
  // spaces or non-ASCII letters reach the server unchanged.
  std::string Url(std::string_view relative = {}) const;
  // kSmb: smb://server[:port]/share (where the logon is made).
  std::string ShareUrl() const;

 private:
  Kind m_kind = Kind::kInvalid;
  std::string m_error;
  std::string m_localPath;
  std::string m_server;
  uint16_t m_port = 0;
  std::string m_share;
  std::vector<std::string> m_folder;
};

}  // namespace qrv::platform
