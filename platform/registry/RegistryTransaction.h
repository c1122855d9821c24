#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/registry/RegistryTypes.h"

namespace qrv::platform {

class RegistryStore;

// Registry writes that take effect together or not at all, for a caller that
// changes many keys and values as one piece of work (importing a .reg file).
//
// Begin(root) opens a transaction on the store of that root (creating the
// store file when missing) and holds its write lock; from then on every
// write this thread makes through RegistryKey to that root joins it, is seen
// by this thread's own reads, and reaches neither the disk nor any other
// connection before Commit(). A write that fails inside the transaction
// undoes only itself and reports its failure as usual; the caller then
// decides, normally with Rollback(). Destroying an uncommitted transaction
// rolls it back.
//
// Several roots: Begin once per root, always in the same order (ascending
// root index) so that two such callers cannot wait for each other. Commit
// commits the stores one after another; the stores are separate files, so a
// crash or I/O error between two of these commits leaves the earlier ones
// committed (Commit then names the store that failed).
//
// While a transaction is open, other writers of the same store (threads and
// processes) wait for it, up to the store's busy time-out.
//
// Thread: the thread that called Begin, which must not release its registry
// connections (RegistryStore::ReleaseThreadConnections) before the end.
// Not copyable or movable.
class RegistryTransaction {
 public:
  RegistryTransaction();
  ~RegistryTransaction();
  RegistryTransaction(const RegistryTransaction&) = delete;
  RegistryTransaction& operator=(const RegistryTransaction&) = delete;

  // kOk; kInvalidArgument for a root index >= kRootCount or a root already
  // begun; kAccessDenied / kStoreError when the store cannot be written. The
  // reason (with the store file) is in LastError.
  RegStatus Begin(uint32_t root);
  // Commits every begun store in the order begun; the transaction is over
  // afterwards whatever the result. On failure LastError names the store.
  RegStatus Commit();
  // Undoes every write since Begin. Harmless when nothing is open.
  void Rollback();

 private:
  struct Open {
    uint32_t root;
    std::shared_ptr<RegistryStore> store;
  };
  std::vector<Open> m_open;
};

}  // namespace qrv::platform
