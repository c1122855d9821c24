#include "platform/share/SmbLibrary.h"

#include <dlfcn.h>

#include "platform/core/LastError.h"

#ifndef QRV_SMBCLIENT_SONAME
#define QRV_SMBCLIENT_SONAME "libsmbclient.so.0"
#endif

namespace qrv::platform {
namespace {

template <typename Function>
bool Find(void* handle, const char* name, Function& into, std::string& error) {
  dlerror();
  void* symbol = dlsym(handle, name);
  if (symbol == nullptr) {
    const char* reason = dlerror();
    error = std::string("cannot use ") + QRV_SMBCLIENT_SONAME + ": it has no function " + name +
            (reason != nullptr ? std::string(" (") + reason + ")" : std::string());
    return false;
  }
  into = reinterpret_cast<Function>(symbol);
  return true;
}

}  // namespace

const char* SmbLibrary::FileName() { return QRV_SMBCLIENT_SONAME; }

bool SmbLibrary::Load(std::string& error) {
  // RTLD_NOW: a library missing a symbol it needs fails here, with a reason,
  // not in the middle of a copy. RTLD_LOCAL: its symbols stay out of the
  // lookup of anything loaded later.
  void* handle = dlopen(QRV_SMBCLIENT_SONAME, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    error = std::string("cannot load the SMB client library ") + QRV_SMBCLIENT_SONAME + ": " +
            (reason != nullptr ? reason : "unknown reason") + " (is the libsmbclient package installed?)";
    return false;
  }
  // The handle is kept for good: libsmbclient's process-wide state (see
  // SmbSession) lives as long as the process, so unloading could never be safe.
  bool found = Find(handle, "smbc_new_context", newContext, error) &&
               Find(handle, "smbc_init_context", initContext, error) &&
               Find(handle, "smbc_free_context", freeContext, error) &&
               Find(handle, "smbc_setDebug", setDebug, error) &&
               Find(handle, "smbc_setOptionDebugToStderr", setOptionDebugToStderr, error) &&
               Find(handle, "smbc_getOptionUserData", getOptionUserData, error) &&
               Find(handle, "smbc_setOptionUserData", setOptionUserData, error) &&
               Find(handle, "smbc_setFunctionAuthDataWithContext", setFunctionAuthDataWithContext, error) &&
               Find(handle, "smbc_setOptionNoAutoAnonymousLogin", setOptionNoAutoAnonymousLogin, error) &&
               Find(handle, "smbc_setOptionUseCCache", setOptionUseCCache, error) &&
               Find(handle, "smbc_setOptionProtocols", setOptionProtocols, error) &&
               Find(handle, "smbc_getFunctionOpendir", getFunctionOpendir, error) &&
               Find(handle, "smbc_getFunctionClosedir", getFunctionClosedir, error) &&
               Find(handle, "smbc_getFunctionStat", getFunctionStat, error) &&
               Find(handle, "smbc_getFunctionStatVFS", getFunctionStatVFS, error) &&
               Find(handle, "smbc_getFunctionOpen", getFunctionOpen, error) &&
               Find(handle, "smbc_getFunctionRead", getFunctionRead, error) &&
               Find(handle, "smbc_getFunctionClose", getFunctionClose, error);
  return found;
}

const SmbLibrary* SmbLibrary::Get() {
  static std::string error;
  static const SmbLibrary* loaded = [] {
    static SmbLibrary table;
    return table.Load(error) ? &table : nullptr;
  }();
  if (loaded == nullptr) LastError::Set(error);
  return loaded;
}

}  // namespace qrv::platform
