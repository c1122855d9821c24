#pragma once

#include <sys/types.h>

namespace qrv::platform {

// The process's file mode creation mask, for code that must give a file
// exactly the mode a plain create would have given it (a temporary file is
// made 0600 and only given its real mode when it is complete).
//
// umask(2) can only be read by setting it, and a file another thread creates
// between the two calls gets the wrong mode; so the mask is read from
// /proc/self/status ("Umask:", kernels since 4.7). Without that line (no
// /proc in a chroot) it falls back to the round trip through umask(2), set
// to 077 for the moment: a file created by another thread in that moment
// can only come out tighter than meant, never more open.
//
// Thread: any. The value is read afresh on every call (the mask may change).
class ProcessUmask {
 public:
  // The mask's permission bits (0 to 0777).
  static mode_t Get();
};

}  // namespace qrv::platform
