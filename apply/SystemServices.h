#pragma once

#include <string>

namespace qrv {

// The small platform services the update run and the windows call on.
//
// Thread: any (meant for the user-interface thread).

// Restarts the computer through the installed platform::SystemRestart (a
// recorder unless the program installed the real one). 1 when the restart was
// started, 0 when it was refused (the reason in platform::LastError).
int RestartSystem();

// 1 when the user is an administrator (root, or a member of sudo, wheel or
// admin, elevated or not), else 0; 0 on every failure of the lookups.
int IsUserAdministrator();

// The FileVersion text of the file's string table for its first translation
// ("1, 2, 3, 4"), for the About box; empty when the file has none.
std::string GetFileVersionText(const std::string& path);

}  // namespace qrv
