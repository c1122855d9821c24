#include "platform/core/PrivateFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/core/UniqueFd.h"

namespace qrv::platform {
namespace {

using Fd = UniqueFd;

std::string Reason(int err) { return std::strerror(err); }

std::string WithoutFinalSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::vector<std::string> Parts(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Makes the folder `name` below dirFd unless it exists; a folder made here
// gets exactly 0700, whatever the umask says.
bool MakeFolderAt(int dirFd, const std::string& name, const std::string& shown, std::string& error) {
  if (mkdirat(dirFd, name.c_str(), 0700) == 0) {
    if (fchmodat(dirFd, name.c_str(), 0700, 0) != 0) {
      error = "cannot set the mode of " + shown + ": " + Reason(errno);
      return false;
    }
    return true;
  }
  if (errno == EEXIST) return true;
  error = "cannot create the folder " + shown + ": " + Reason(errno);
  return false;
}

// Whether only root or we can change the folder dirFd: owned by one of us
// and writable by nobody else, unless sticky (then others may add entries
// but not rename or remove ours).
bool TrustedFolder(const struct stat& st, const std::string& shown, const std::string& holds, std::string& error) {
  if (st.st_uid != geteuid() && st.st_uid != 0) {
    error = "the folder " + shown + " on the way to " + holds + " belongs to user " + std::to_string(st.st_uid) +
            ", who could replace what it holds";
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
    error = "the folder " + shown + " (mode " + ModeText(st.st_mode) + ") on the way to " + holds +
            " may be written by other users, who could replace what it holds";
    return false;
  }
  return true;
}

// Whether every folder from / down to `path` (following links, as the
// system will) and every link on the way can be changed only by root or
// us: otherwise someone could swap a folder or re-point a link between our
// check and our use. `holds` names what the path leads to, for messages.
bool TrustedPath(const std::string& path, const std::string& holds, std::string& error, bool fileAtEnd = false,
                 int links = 0) {
  struct stat st {};
  if (stat("/", &st) != 0 || !TrustedFolder(st, "/", holds, error)) return false;
  std::string current;  // resolved so far, "" standing for "/"
  const std::vector<std::string> parts = Parts(path);
  for (size_t i = 0; i < parts.size(); ++i) {
    const std::string& part = parts[i];
    if (part == ".") continue;
    if (part == "..") {
      current = current.substr(0, current.rfind('/'));
      continue;
    }
    const std::string next = current + "/" + part;
    if (lstat(next.c_str(), &st) != 0) {
      error = "cannot examine " + next + " on the way to " + holds + ": " + Reason(errno);
      return false;
    }
    if (S_ISLNK(st.st_mode)) {
      if (st.st_uid != geteuid() && st.st_uid != 0) {
        error = next + " on the way to " + holds + " is a symbolic link of user " + std::to_string(st.st_uid) +
                ", who could point it elsewhere";
        return false;
      }
      if (links >= 40) {
        error = "too many symbolic links on the way to " + holds;
        return false;
      }
      char target[4096];
      const ssize_t n = readlink(next.c_str(), target, sizeof target - 1);
      if (n < 0) {
        error = "cannot read the link " + next + ": " + Reason(errno);
        return false;
      }
      std::string rest(target, static_cast<size_t>(n));
      if (rest.empty() || rest.front() != '/') rest = (current.empty() ? "" : current) + "/" + rest;
      for (size_t j = i + 1; j < parts.size(); ++j) rest += "/" + parts[j];
      return TrustedPath(rest, holds, error, fileAtEnd, links + 1);
    }
    if (fileAtEnd && i + 1 == parts.size() && S_ISREG(st.st_mode)) {
      if (st.st_uid != geteuid() && st.st_uid != 0) {
        error = next + " belongs to user " + std::to_string(st.st_uid) + ", who could change it";
        return false;
      }
      if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error = next + " (mode " + ModeText(st.st_mode) + ") may be written by other users";
        return false;
      }
      return true;
    }
    if (!S_ISDIR(st.st_mode)) {
      error = next + " on the way to " + holds + " is not a folder";
      return false;
    }
    if (!TrustedFolder(st, next, holds, error)) return false;
    current = next;
  }
  return true;
}

}  // namespace

bool PrivateFolder::Check(const std::string& rawPath, std::string& error) {
  const std::string path = WithoutFinalSlashes(rawPath);
  if (path.empty() || path.front() != '/') {
    error = "the folder \"" + path + "\" is not an absolute path";
    return false;
  }
  Fd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.Get() < 0) {
    const int err = errno;
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      error = path + " is a symbolic link, not a folder of its own";
    } else if (err == ENOTDIR) {
      error = path + " is not a folder";
    } else {
      error = "cannot open the folder " + path + ": " + Reason(err);
    }
    return false;
  }
  struct stat st {};
  if (fstat(fd.Get(), &st) != 0) {
    error = "cannot examine the folder " + path + ": " + Reason(errno);
    return false;
  }
  if (st.st_uid != geteuid()) {
    error = path + " belongs to user " + std::to_string(st.st_uid) + ", not to user " + std::to_string(geteuid()) +
            " who runs the update";
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    error = path + " (mode " + ModeText(st.st_mode) + ") may be written by other users";
    return false;
  }
  // Whoever may change a folder on the way could rename ours away and put
  // one of their own in its place.
  const size_t slash = path.rfind('/');
  return TrustedPath(slash == 0 ? "/" : path.substr(0, slash), path, error);
}

bool PrivateFolder::CheckTrustedFile(const std::string& path, std::string& error) {
  if (path.empty() || path.front() != '/') {
    error = "\"" + path + "\" is not an absolute path";
    return false;
  }
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    error = "cannot examine " + path + ": " + Reason(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = path + " is not a plain file";
    return false;
  }
  return TrustedPath(path, path, error, true);
}

bool PrivateFolder::Ensure(const std::string& rawPath, std::string& error) {
  if (rawPath.empty() || rawPath.front() != '/') {
    error = "the folder \"" + rawPath + "\" is not an absolute path";
    return false;
  }
  // The existing part is found by cutting names off the end, which "." and
  // ".." would turn into a different place than the system reaches.
  std::string path;
  for (const std::string& part : Parts(rawPath)) {
    if (part == "." || part == "..") {
      error = "the folder " + rawPath + " holds a \"" + part + "\" part; give it without one";
      return false;
    }
    path += "/" + part;
  }
  if (path.empty()) path = "/";
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      error = "cannot examine " + path + ": " + Reason(errno);
      return false;
    }
    // Nothing is made in a place someone else could take over: the part of
    // the path that exists must be trusted first.
    std::string existing = path;
    do {
      existing = existing.substr(0, std::max<size_t>(existing.rfind('/'), 1));
    } while (existing != "/" && lstat(existing.c_str(), &st) != 0);
    if (!TrustedPath(existing, path, error)) return false;
    // Walk down from the top; folders above that exist are taken as they
    // are (an administrator may have linked /var elsewhere), what is missing
    // is made private.
    Fd dir(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string shown;
    for (const std::string& part : Parts(path)) {
      shown += "/" + part;
      const bool checked = shown.size() <= existing.size();
      if (!checked && !MakeFolderAt(dir.Get(), part, shown, error)) return false;
      // Below the checked part every folder must be one we just made: in a
      // sticky shared folder someone could have put a link or a folder of
      // their own under the name between the check and mkdirat.
      const int next = openat(dir.Get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (checked ? 0 : O_NOFOLLOW));
      if (next < 0) {
        error = "cannot open the folder " + shown + ": " + Reason(errno);
        return false;
      }
      dir.Reset(next);
      if (!checked && (fstat(dir.Get(), &st) != 0 || st.st_uid != geteuid())) {
        error = shown + " was made by someone else while it was being created";
        return false;
      }
    }
  }
  return Check(path, error);
}

bool PrivateFolder::MakeFoldersBelow(const std::string& rawFolder, const std::string& relative, std::string& error) {
  const std::string folder = WithoutFinalSlashes(rawFolder);
  std::vector<std::string> parts = Parts(relative);
  if (parts.empty()) return true;
  parts.pop_back();  // the file itself
  Fd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (dir.Get() < 0) {
    error = "cannot open the folder " + folder + ": " + Reason(errno);
    return false;
  }
  std::string shown = folder;
  for (const std::string& part : parts) {
    shown += "/" + part;
    if (part == "." || part == "..") {
      error = "cannot create the folder " + shown + ": the name leaves " + folder;
      return false;
    }
    if (!MakeFolderAt(dir.Get(), part, shown, error)) return false;
    const int next = openat(dir.Get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      const int err = errno;
      // With O_DIRECTORY a link reads as ENOTDIR, like a file: look again.
      struct stat st {};
      const bool link = fstatat(dir.Get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
      error = "cannot create the folder " + shown + ": " +
              (link ? std::string("a symbolic link is in the way")
                    : err == ENOTDIR ? std::string("a file is in the way") : Reason(err));
      return false;
    }
    dir.Reset(next);
  }
  return true;
}

bool PrivateFolder::MoveAside(const std::string& rawFolder, const std::string& name, const std::string& aside,
                              std::string& error) {
  const std::string folder = WithoutFinalSlashes(rawFolder);
  if (name.empty() || aside.empty() || name.find('/') != std::string::npos || aside.find('/') != std::string::npos) {
    error = "cannot move \"" + name + "\" aside to \"" + aside + "\": not single names in " + folder;
    return false;
  }
  Fd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (dir.Get() < 0) {
    error = "cannot open the folder " + folder + ": " + Reason(errno);
    return false;
  }
  struct stat st {};
  if (fstatat(dir.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return true;
    error = "cannot examine " + folder + "/" + name + ": " + Reason(errno);
    return false;
  }
  // rename replaces an older copy in one step, whatever its mode: the
  // folder is ours, so nothing needs to be made writable first.
  if (renameat(dir.Get(), name.c_str(), dir.Get(), aside.c_str()) != 0) {
    error = "cannot move " + folder + "/" + name + " aside to " + aside + ": " + Reason(errno);
    return false;
  }
  return true;
}

}  // namespace qrv::platform
