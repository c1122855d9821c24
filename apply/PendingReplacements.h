#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qrv {

// Replacements that could not be made while the system ran, kept until the
// next start, when `qrvupdate --finish-pending` (run at boot by
// qrvupdate-pending.service, before the display manager) or an
// administrator's `qrvctl pending run` carries them out (Finish). Linux has
// no kernel list of renames to make at boot, so the queue is our own journal:
//
// - Registry: HKLM\SOFTWARE\QRV\Shared\QrvUpdate\PendingReplace, one subkey
//   per entry named by its order number as eight decimal digits (so the
//   store's sorted enumeration is the order of queueing), holding Source and
//   Target (REG_SZ) and Order (REG_DWORD).
// - Files: the source is moved (not copied) into the pending folder
//   <system root>/var/lib/qrvupdate/pending/ (made 0700 whatever the umask)
//   as "<order>-<name>", beside the registry stores and far from the
//   download folder, whose clean-up must not take a file that still has to
//   be put in place.
//
// Thread: any, but one caller at a time. Queue and RunAll take no lock of
// their own: the callers hold the root's run lock (the update run that
// queues, and Finish), so two processes never work on the queue at once.
class PendingReplacements {
 public:
  static constexpr const char* kKeyName = "PendingReplace";

  struct Entry {
    std::string id;      // subkey name (order number)
    std::string source;  // the pending file, in the pending folder
    std::string target;  // where it must end up
  };

  // The pending folder, ending in '/'.
  static std::string Folder();

  // Moves sourceFile into the pending folder and records it for targetFile.
  // False with `error` set (paths and reason) when the file cannot be moved
  // or the entry cannot be written; the source then stays where it was.
  static bool Queue(const std::string& sourceFile, const std::string& targetFile, std::string& error);

  // The queued entries in queueing order; empty when there is no queue.
  // When the store that holds the queue cannot be read (damaged, or not
  // readable by this user) the list is empty too and *unreadable (when
  // given) says why; otherwise it is cleared.
  static std::vector<Entry> List(std::string* unreadable = nullptr);

  // Carries out every entry in order: the pending file is copied over its
  // target (a temporary file beside it, flushed, renamed over; missing
  // folders below the allowed folder are made), then the pending file and
  // the entry are removed. This is what Finish runs, at boot as root, so
  // the queue in the store is not trusted:
  // - the source must be a file directly in the pending folder (Folder());
  // - the target must lie below the system root and, when that is "/"
  //   (a real installation), below the installation folder (ProductPath) of
  //   a product of the main key;
  // - below that folder no part of the target's path may be a symbolic link
  //   (each folder is opened without following links, so a link planted in
  //   a product folder cannot send the file elsewhere).
  // An entry that breaks a rule is refused and one that fails is kept; both
  // stay queued, untouched, with their pending file. For each, a text is
  // appended to failures and reported through platform::Diagnostics with
  // "cannot replace " before it:
  //   "TARGET: refused (queued entry ID, source SOURCE): REASON; the entry stays queued"
  //   "TARGET (queued entry ID, source SOURCE): REASON; the entry stays queued"
  //   "entry ID: no Source or Target value"
  // A queue that cannot be read at all is one failure too ("the queue of
  // pending replacements cannot be read: REASON"), never an empty queue.
  // Returns the number done.
  static uint32_t RunAll(std::vector<std::string>& failures);

  // The run of the queue at the next start, for `qrvupdate --finish-pending`
  // and `qrvctl pending run`: takes the root's run lock (platform::RunLock,
  // without waiting) so it never interleaves with an update run that is
  // queueing files or with another run of the queue, then RunAll. Every
  // diagnostic reported meanwhile (one "cannot replace ..." line per entry
  // left queued among them) is handed to report, unescaped, instead of the
  // sink in force, which is restored before returning; a lock that cannot
  // be taken is handed over as the lock's Error() and runs nothing.
  // True when every entry was put in place or none was queued; false when
  // an entry stays queued or the lock was not taken. Thread: the program's
  // main thread (the diagnostics sink is process-wide).
  static bool Finish(const std::function<void(std::string_view line)>& report);
};

}  // namespace qrv
