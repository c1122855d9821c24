#pragma once

#include <libsmbclient.h>

#include <string>

namespace qrv::platform {

// libsmbclient, loaded on first use instead of at program start. The library
// pulls in some seventy Samba libraries whose loading and relocation cost
// more than everything else a start does, while most runs never talk to an
// SMB server (an automatic start that finds no update due ends within a few
// milliseconds of its own work). So the program links only the library's
// header and opens the library here when the first SMB session needs it.
//
// Contract: Get() returns the process's one table, loaded at the first call
// and kept (never unloaded) for the life of the process, or nullptr when the
// library cannot be opened or lacks one of the functions, with the file name
// and the loader's reason in LastError (every later call returns nullptr
// again and sets the same reason). Thread-safe; the first caller loads, any
// other waits for it.
class SmbLibrary {
 public:
  // The functions SmbSession uses, typed after the header's declarations so
  // a header and library that disagree do not compile.
  decltype(&smbc_new_context) newContext = nullptr;
  decltype(&smbc_init_context) initContext = nullptr;
  decltype(&smbc_free_context) freeContext = nullptr;
  decltype(&smbc_setDebug) setDebug = nullptr;
  decltype(&smbc_setOptionDebugToStderr) setOptionDebugToStderr = nullptr;
  decltype(&smbc_getOptionUserData) getOptionUserData = nullptr;
  decltype(&smbc_setOptionUserData) setOptionUserData = nullptr;
  decltype(&smbc_setFunctionAuthDataWithContext) setFunctionAuthDataWithContext = nullptr;
  decltype(&smbc_setOptionNoAutoAnonymousLogin) setOptionNoAutoAnonymousLogin = nullptr;
  decltype(&smbc_setOptionUseCCache) setOptionUseCCache = nullptr;
  decltype(&smbc_setOptionProtocols) setOptionProtocols = nullptr;
  decltype(&smbc_getFunctionOpendir) getFunctionOpendir = nullptr;
  decltype(&smbc_getFunctionClosedir) getFunctionClosedir = nullptr;
  decltype(&smbc_getFunctionStat) getFunctionStat = nullptr;
  decltype(&smbc_getFunctionStatVFS) getFunctionStatVFS = nullptr;
  decltype(&smbc_getFunctionOpen) getFunctionOpen = nullptr;
  decltype(&smbc_getFunctionRead) getFunctionRead = nullptr;
  decltype(&smbc_getFunctionClose) getFunctionClose = nullptr;

  static const SmbLibrary* Get();

  // The file the loader is asked for (the library's soname).
  static const char* FileName();

 private:
  SmbLibrary() = default;
  // Opens the library and fills the table; false with the reason in error.
  bool Load(std::string& error);
};

}  // namespace qrv::platform
