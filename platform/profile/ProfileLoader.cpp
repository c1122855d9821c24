#include "platform/profile/ProfileLoader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/profile/ProfileCache.h"
#include "platform/profile/ProfileStamp.h"

namespace qrv::platform {
namespace {

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

std::string SystemError(int error) { return std::strerror(error); }

// Why a non-regular file cannot be a profile file; empty when it can.
std::string KindProblem(const std::string& path, const struct stat& st) {
  if (S_ISREG(st.st_mode)) return {};
  if (S_ISDIR(st.st_mode)) return "profile file " + Quoted(path) + " is a folder, not a file";
  return "profile file " + Quoted(path) + " is not a regular file";
}

std::string SizeProblem(const std::string& path, int64_t size) {
  if (size <= static_cast<int64_t>(ProfileLoader::kMaxFileBytes)) return {};
  return "profile file " + Quoted(path) + " is " + std::to_string(size) + " bytes, more than the " +
         std::to_string(ProfileLoader::kMaxFileBytes) + " a profile file may have";
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : m_fd(fd) {}
  ~FileDescriptor() {
    if (m_fd >= 0) ::close(m_fd);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int Get() const { return m_fd; }

 private:
  int m_fd;
};

}  // namespace

std::shared_ptr<const ProfileDocument> ProfileLoader::Empty() {
  static const std::shared_ptr<const ProfileDocument> empty = ProfileDocument::Parse({});
  return empty;
}

ProfileLoader::Result ProfileLoader::Load(const std::string& path) { return LoadImpl(path, true); }

ProfileLoader::Result ProfileLoader::LoadFresh(const std::string& path) { return LoadImpl(path, false); }

ProfileLoader::Result ProfileLoader::LoadImpl(const std::string& path, bool useCache) {
  Result result;
  result.document = Empty();
  auto fail = [&](Status status, std::string error) {
    result.status = status;
    result.error = std::move(error);
    return result;
  };
  if (path.empty()) return fail(Status::kMissing, "no profile file name given");
  if (path.find('\0') != std::string::npos) {
    return fail(Status::kFailed, "profile file name " + Quoted(path.substr(0, path.find('\0'))) +
                                     " contains a NUL byte");
  }

  /* cheap check against the cache first */
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    int error = errno;
    if (error == ENOENT || error == ENOTDIR) {
      return fail(Status::kMissing, "profile file " + Quoted(path) + " does not exist");
    }
    return fail(Status::kFailed, "cannot look at profile file " + Quoted(path) + ": " + SystemError(error));
  }
  if (std::string problem = KindProblem(path, st); !problem.empty()) return fail(Status::kFailed, problem);
  if (std::string problem = SizeProblem(path, st.st_size); !problem.empty()) return fail(Status::kFailed, problem);
  if (useCache) {
    if (auto cached = ProfileCache::Instance().Find(path, ProfileStamp::From(st))) {
      result.status = Status::kLoaded;
      result.document = std::move(cached);
      result.info = st;
      return result;
    }
  }

  /* read the whole file */
  // O_NONBLOCK: should the path turn into a FIFO between stat and open, the open
  // must not hang; it changes nothing for a regular file.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.Get() < 0) {
    int error = errno;
    if (error == ENOENT || error == ENOTDIR) {
      return fail(Status::kMissing, "profile file " + Quoted(path) + " does not exist");
    }
    return fail(Status::kFailed, "cannot open profile file " + Quoted(path) + ": " + SystemError(error));
  }
  if (::fstat(fd.Get(), &st) != 0) {
    return fail(Status::kFailed, "cannot look at profile file " + Quoted(path) + ": " + SystemError(errno));
  }
  if (std::string problem = KindProblem(path, st); !problem.empty()) return fail(Status::kFailed, problem);
  std::string bytes;
  bytes.resize(static_cast<size_t>(st.st_size) + 1);  // one more, to see growth while reading
  size_t used = 0;
  for (;;) {
    if (used == bytes.size()) {
      if (bytes.size() > kMaxFileBytes) break;
      bytes.resize(std::min(bytes.size() * 2, kMaxFileBytes + 1));
    }
    ssize_t got = ::read(fd.Get(), bytes.data() + used, bytes.size() - used);
    if (got < 0) {
      if (errno == EINTR) continue;
      return fail(Status::kFailed, "cannot read profile file " + Quoted(path) + ": " + SystemError(errno));
    }
    if (got == 0) break;
    used += static_cast<size_t>(got);
  }
  if (std::string problem = SizeProblem(path, static_cast<int64_t>(used)); !problem.empty()) {
    return fail(Status::kFailed, problem);
  }
  bytes.resize(used);

  /* parse, and keep it when the file held still while it was read */
  struct stat after {};
  bool stable = ::fstat(fd.Get(), &after) == 0 && ProfileStamp::From(after) == ProfileStamp::From(st) &&
                static_cast<int64_t>(used) == static_cast<int64_t>(st.st_size);
  result.status = Status::kLoaded;
  result.info = st;
  result.document = ProfileDocument::Parse(bytes);
  if (stable) {
    ProfileCache::Instance().Store(path, ProfileStamp::From(st), result.document);
  } else {
    ProfileCache::Instance().Forget(path);
  }
  return result;
}

}  // namespace qrv::platform
