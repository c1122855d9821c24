#pragma once

#include <string>

namespace qrv::platform {

// A folder that only this process's user can change: the download folder,
// where fetched files wait to be verified and unpacked (as root, on a real
// machine). Whoever could write there, or replace the folder itself, could
// plant a file or a link between our check and our use.
//
// Every operation works on descriptors opened without following links, so a
// link planted under a name we use is never followed; errors name the path
// and the reason.
//
// Thread: any; no state is kept.
class PrivateFolder {
 public:
  // Makes sure `path` (absolute) is a private folder, creating it (and any
  // missing folder above it) with mode 0700 whatever the umask. Accepted:
  // a real folder (not a symbolic link) owned by the effective user and
  // writable by nobody else, on a trusted way: every folder from / down to
  // it (links followed as the system follows them) is owned by the
  // effective user or root and writable by neither group nor others unless
  // sticky, and every link on the way is owned by one of them, so nobody
  // else can swap a folder or re-point a link. Nothing is created below a
  // way that is not trusted. A folder that fails is left exactly as it is:
  // someone else's folder is never "fixed". False with `error` telling why.
  static bool Ensure(const std::string& path, std::string& error);

  // Whether `path` is already such a folder; creates nothing.
  static bool Check(const std::string& path, std::string& error);

  // Whether `path` (absolute) is a plain file only root or the effective
  // user can change: owned by one of them, writable by neither group nor
  // others, on a trusted way as above. For files the updater trusts, such
  // as the extra certificate anchors. False with `error` telling why.
  static bool CheckTrustedFile(const std::string& path, std::string& error);

  // Creates the folders of `relative` (a '/'-separated path below folder,
  // without "." or ".." parts; its last part is a file name and is not
  // created) with mode 0700, walking one descriptor at a time: a symbolic
  // link or a file where a folder belongs fails. False with `error`.
  static bool MakeFoldersBelow(const std::string& folder, const std::string& relative, std::string& error);

  // Renames folder/name to folder/aside, replacing what stood there; the
  // names are single entries of the folder, so nothing outside it is
  // reached and a link under either name is moved or removed as a link.
  // Nothing happens when folder/name does not exist. False with `error`.
  static bool MoveAside(const std::string& folder, const std::string& name, const std::string& aside,
                        std::string& error);
};

}  // namespace qrv::platform
