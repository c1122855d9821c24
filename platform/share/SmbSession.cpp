#include "platform/share/SmbSession.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/core/LastError.h"
#include "platform/share/PartialFile.h"
#include "platform/share/SmbLibrary.h"

namespace qrv::platform {
namespace {

// One lock for every libsmbclient call in the process (see the header).
std::mutex& LibraryLock() {
  static std::mutex lock;
  return lock;
}

// libsmbclient sets up its process-wide state when the first initialised
// context appears and tears it down when the last one is freed, leaking a
// little each round. One context that is never freed keeps that state up for
// the life of the process. Called with the library lock held.
void KeepLibraryUp(const SmbLibrary& lib) {
  static SMBCCTX* anchor = nullptr;
  if (anchor != nullptr) return;
  SMBCCTX* made = lib.newContext();
  if (made == nullptr) return;
  lib.setDebug(made, 0);
  lib.setOptionDebugToStderr(made, 1);
  if (lib.initContext(made) == nullptr) {
    lib.freeContext(made, 0);
    return;
  }
  anchor = made;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

void CopyOut(const std::string& value, char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return;
  std::snprintf(buffer, static_cast<size_t>(size), "%s", value.c_str());
}

}  // namespace

struct SmbSession::Impl {
  std::string workgroup;  // empty: the configured default
  std::string user;
  std::string password;
  SMBCCTX* context = nullptr;
  const SmbLibrary* library = nullptr;  // set with context

  // libsmbclient asks for credentials per server and share; ours are the same for all.
  static void Authenticate(SMBCCTX* context, const char* /*server*/, const char* /*share*/, char* workgroup,
                           int workgroupSize, char* user, int userSize, char* password, int passwordSize) {
    auto* self = static_cast<Impl*>(SmbLibrary::Get()->getOptionUserData(context));
    if (self == nullptr) return;
    if (!self->workgroup.empty()) CopyOut(self->workgroup, workgroup, workgroupSize);
    CopyOut(self->user, user, userSize);
    CopyOut(self->password, password, passwordSize);
  }

  std::string Who() const {
    if (user.empty()) return "anonymously";
    return "as user " + Quoted(workgroup.empty() ? user : workgroup + "\\" + user);
  }

  // Called with the library lock held. 0, or errno with LastError set.
  int Ready() {
    if (context != nullptr) return 0;
    const SmbLibrary* loaded = SmbLibrary::Get();
    if (loaded == nullptr) return ELIBACC;
    const SmbLibrary& lib = *loaded;
    KeepLibraryUp(lib);
    SMBCCTX* made = lib.newContext();
    if (made == nullptr) {
      int code = errno != 0 ? errno : ENOMEM;
      LastError::Set(std::string("cannot create an SMB client: ") + std::strerror(code));
      return code;
    }
    lib.setOptionUserData(made, this);
    lib.setFunctionAuthDataWithContext(made, &Impl::Authenticate);
    // a refused user must fail, not become a guest who may see the share
    lib.setOptionNoAutoAnonymousLogin(made, user.empty() ? 0 : 1);
    // only the credentials of the setting, never a ticket cached for someone else
    lib.setOptionUseCCache(made, 0);
    lib.setDebug(made, 0);
    // the library's few messages must not mix into a command's standard output
    lib.setOptionDebugToStderr(made, 1);
    if (!lib.setOptionProtocols(made, "SMB2_02", nullptr)) {
      lib.freeContext(made, 0);
      LastError::Set("cannot create an SMB client: the client library refuses SMB2 as the lowest protocol");
      return EINVAL;
    }
    if (lib.initContext(made) == nullptr) {
      int code = errno != 0 ? errno : EINVAL;
      lib.freeContext(made, 0);
      LastError::Set(std::string("cannot start the SMB client: ") + std::strerror(code));
      return code;
    }
    context = made;
    library = loaded;
    return 0;
  }

  int Fail(const std::string& what, const std::string& url) const {
    int code = errno != 0 ? errno : EIO;
    LastError::Set("cannot " + what + " " + url + " " + Who() + ": " + std::strerror(code));
    return code;
  }
};

SmbSession::SmbSession(std::string user, std::string password) : m_impl(std::make_unique<Impl>()) {
  // "DOMAIN\name" as Windows writes it
  size_t backslash = user.find('\\');
  if (backslash != std::string::npos) {
    m_impl->workgroup = user.substr(0, backslash);
    m_impl->user = user.substr(backslash + 1);
  } else {
    m_impl->user = std::move(user);
  }
  m_impl->password = std::move(password);
}

SmbSession::~SmbSession() {
  std::lock_guard lock(LibraryLock());
  if (m_impl->context != nullptr) m_impl->library->freeContext(m_impl->context, 1);
}

int SmbSession::OpenFolder(const std::string& url) {
  std::lock_guard lock(LibraryLock());
  if (int code = m_impl->Ready(); code != 0) return code;
  SMBCCTX* context = m_impl->context;
  const SmbLibrary& lib = *m_impl->library;
  errno = 0;
  SMBCFILE* folder = lib.getFunctionOpendir(context)(context, url.c_str());
  if (folder == nullptr) return m_impl->Fail("open folder", url);
  lib.getFunctionClosedir(context)(context, folder);
  return 0;
}

int SmbSession::Stat(const std::string& url, struct stat& st) {
  std::lock_guard lock(LibraryLock());
  if (int code = m_impl->Ready(); code != 0) return code;
  SMBCCTX* context = m_impl->context;
  const SmbLibrary& lib = *m_impl->library;
  errno = 0;
  st = {};
  if (lib.getFunctionStat(context)(context, url.c_str(), &st) != 0) return m_impl->Fail("look up", url);
  return 0;
}

int SmbSession::CheckShare(const std::string& shareUrl) {
  std::lock_guard lock(LibraryLock());
  if (int code = m_impl->Ready(); code != 0) return code;
  SMBCCTX* context = m_impl->context;
  const SmbLibrary& lib = *m_impl->library;
  struct statvfs vfs {};
  errno = 0;
  if (lib.getFunctionStatVFS(context)(context, const_cast<char*>(shareUrl.c_str()), &vfs) != 0) {
    return m_impl->Fail("open share", shareUrl);
  }
  if ((vfs.f_flag & SMBC_VFS_FEATURE_DFS) != 0) {
    LastError::Set("refusing share " + shareUrl +
                   ": it is a DFS namespace root, whose referrals could send the logon to other servers");
    return EREMOTE;
  }
  return 0;
}

int SmbSession::ReadFile(const std::string& url, PartialFile& into, uint64_t maxBytes, TransferBudget& budget,
                         struct stat& st, LimitHit& limit) {
  limit = LimitHit::kNone;
  std::lock_guard lock(LibraryLock());
  if (int code = m_impl->Ready(); code != 0) return code;
  SMBCCTX* context = m_impl->context;
  const SmbLibrary& lib = *m_impl->library;

  /* a regular file only: a folder opens too, but has no bytes to copy */
  st = {};
  errno = 0;
  if (lib.getFunctionStat(context)(context, url.c_str(), &st) != 0) return m_impl->Fail("look up", url);
  if (S_ISDIR(st.st_mode)) {
    LastError::Set("cannot copy " + url + ": it is a folder");
    return EISDIR;
  }
  auto size = static_cast<uint64_t>(st.st_size < 0 ? 0 : st.st_size);
  if (size > maxBytes) {
    limit = LimitHit::kSize;
    LastError::Set("refusing " + url + ": it is " + std::to_string(size) + " bytes, more than the limit of " +
                   std::to_string(maxBytes) + " bytes");
    return EFBIG;
  }

  budget.Start();
  budget.SetExpectedBytes(size);
  errno = 0;
  SMBCFILE* file = lib.getFunctionOpen(context)(context, url.c_str(), O_RDONLY, 0);
  if (file == nullptr) return m_impl->Fail("open", url);
  std::vector<char> buffer(256 * 1024);
  uint64_t copied = 0;
  int result = 0;
  for (;;) {
    errno = 0;
    ssize_t got = lib.getFunctionRead(context)(context, file, buffer.data(), buffer.size());
    if (got < 0) {
      result = m_impl->Fail("read", url);
      break;
    }
    if (got == 0) break;
    copied += static_cast<uint64_t>(got);
    // the file may grow while it is read
    if (copied > maxBytes) {
      limit = LimitHit::kSize;
      LastError::Set("refusing " + url + ": more than the limit of " + std::to_string(maxBytes) + " bytes arrived");
      result = EFBIG;
      break;
    }
    if (!into.Write(buffer.data(), static_cast<size_t>(got))) {
      result = EIO;
      break;
    }
    if (!budget.Check(copied)) {
      limit = LimitHit::kTime;
      LastError::Set("cannot copy " + url + ": " + budget.Reason());
      result = ETIMEDOUT;
      break;
    }
  }
  lib.getFunctionClose(context)(context, file);
  return result;
}

}  // namespace qrv::platform
