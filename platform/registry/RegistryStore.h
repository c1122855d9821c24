#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/RegistryTypes.h"

struct sqlite3;
struct sqlite3_stmt;

namespace qrv::platform {

// One SQLite connection to the store file of one registry root, with the key
// and value operations RegistryKey needs, addressed by key row id.
//
// File: <system root>/var/lib/qrvupdate/<HKLM|HKCU|...>.sqlite, mode 0600 (the
// store holds the server passwords). A store that is missing reads as empty;
// one that is damaged, foreign or unreadable reads as empty too, is reported
// once per process through Diagnostics, refuses every write and is never
// modified, so the administrator finds it as it was.
//
// Thread: a store object is used by one thread at a time; Acquire() hands each
// thread its own connection (cached per thread), so threads never share one.
class RegistryStore {
 public:
  static constexpr int64_t kRootKeyId = 1;

  ~RegistryStore();
  RegistryStore(const RegistryStore&) = delete;
  RegistryStore& operator=(const RegistryStore&) = delete;

  // The file that holds the store of a root (root must be < kRootCount).
  static std::filesystem::path FileFor(uint32_t root);

  // This thread's connection to the store of root. With create set, a missing
  // store file (and its folders) is made; without it, a missing file gives
  // kNotFound. kInvalidArgument for a root index >= kRootCount; kNotFound (read)
  // or kStoreError / kAccessDenied (create) for an unusable file. A cached
  // connection is reused while the file keeps its inode, except that one
  // which found the file without tables (created by another process that had
  // not set it up yet) is opened afresh on the next read, so that what that
  // process writes later is seen.
  static RegStatus Acquire(uint32_t root, bool create, std::shared_ptr<RegistryStore>& out);

  // Drops this thread's cached connections (tests; a process about to fork).
  static void ReleaseThreadConnections();

  // Why the store of root cannot be used, for a person: the damage report
  // ("registry store FILE is damaged (...)", "... is not a registry store",
  // "... has format N, newer than ...", "cannot read registry store FILE:
  // ...") or empty when the file is missing (a store never written), empty
  // or healthy. Reads only: opens a connection of its own, checks the file
  // as Acquire does and closes it; nothing is created or written. Meant for
  // start-up, so that a damaged store is reported as such rather than read
  // as "no settings".
  static std::string DamageReport(uint32_t root);

  const std::filesystem::path& File() const { return m_file; }
  bool Writable() const { return m_writable; }

  // Key lookups.
  // Finds a key by its whole path from the root, upper-cased ("SOFTWARE\\QRV"),
  // in one lookup; storedPath receives the path in the case it was created with.
  RegStatus FindKey(std::string_view upperPath, int64_t& id, std::string& storedPath);
  RegStatus KeyExists(int64_t id);
  // Walks or creates every component below parent in one transaction.
  RegStatus CreatePath(int64_t parent, const std::vector<std::string_view>& names, int64_t& id,
                       std::string& storedPath);

  RegStatus QueryValue(int64_t key, std::string_view name, RegValue& out);
  RegStatus SetValue(int64_t key, std::string_view name, const RegValue& value);
  RegStatus DeleteValue(int64_t key, std::string_view name);
  RegStatus EnumChild(int64_t key, uint32_t index, std::string& name);
  RegStatus EnumValue(int64_t key, uint32_t index, std::string& name, RegValue& value);
  RegStatus DeleteTree(int64_t id);

  // Several writes as one transaction. After BeginBatch every write of this
  // connection joins the batch: each write is still all or nothing on its
  // own (a failed one undoes only itself), but none is visible to other
  // connections or on disk before CommitBatch; RollbackBatch undoes them all.
  // The write lock is held from BeginBatch on, so other writers wait.
  // kInvalidArgument when a batch is already open; CommitBatch gives
  // kStoreError when SQLite had to abandon the transaction (a full disk, an
  // I/O error), and then nothing of the batch was written.
  RegStatus BeginBatch();
  RegStatus CommitBatch();
  void RollbackBatch();
  bool InBatch() const { return m_batch; }

 private:
  RegistryStore(std::filesystem::path file, sqlite3* db, bool writable, dev_t dev, ino_t ino);

  static RegStatus OpenFile(uint32_t root, bool create, std::shared_ptr<RegistryStore>& out);
  RegStatus CheckSchema(bool create);

  sqlite3_stmt* Prepare(const char* sql);
  // Maps an SQLite failure to a status, with the store file in the message;
  // damage marks the store unusable and reports it once.
  RegStatus Fail(int rc, std::string_view what, bool write);
  RegStatus Begin();
  RegStatus Commit();
  void Rollback();

  std::filesystem::path m_file;
  sqlite3* m_db = nullptr;
  bool m_writable = false;
  bool m_damaged = false;
  bool m_ready = false;  // the tables exist (an empty file has none until the first write); never reset
  bool m_batch = false;  // BeginBatch's transaction is open; single writes are savepoints in it
  dev_t m_dev = 0;
  ino_t m_ino = 0;
  std::map<std::string, sqlite3_stmt*, std::less<>> m_statements;
};

}  // namespace qrv::platform
