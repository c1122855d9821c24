#include "platform/registry/RegistryStore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "platform/core/Diagnostics.h"
#include "platform/core/LastError.h"
#include "platform/core/SystemRoot.h"

namespace qrv::platform {
namespace {

// 'QRVR': marks a file as one of our stores, so a foreign SQLite file put in
// its place is recognised and left alone instead of being written into.
constexpr int32_t kApplicationId = 0x51525652;
constexpr int32_t kSchemaVersion = 1;
// A writer that finds the store locked by another process waits this long.
constexpr int kBusyTimeoutMs = 10000;

constexpr const char* kSchemaSql =
    "CREATE TABLE IF NOT EXISTS keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  uname TEXT NOT NULL,"
    "  path TEXT NOT NULL,"
    "  upath TEXT NOT NULL UNIQUE,"
    "  UNIQUE(parent, uname));"
    "CREATE TABLE IF NOT EXISTS vals("
    "  key INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  uname TEXT NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key, uname)) WITHOUT ROWID;"
    "INSERT OR IGNORE INTO keys(id, parent, name, uname, path, upath) VALUES(1, 0, '', '', '', '');";

std::string Upper(std::string_view name) {
  std::string up(name);
  for (char& c : up) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return up;
}

// Reports a store problem to the administrator once per file and process;
// every later call still fails, but does not repeat the message. A store that
// is found healthy again (repaired or replaced) is forgotten, so new trouble
// with it is reported anew.
std::mutex g_reportMutex;
std::set<std::string> g_reported;

void ReportOnce(const std::filesystem::path& file, const std::string& message) {
  {
    std::lock_guard lock(g_reportMutex);
    if (!g_reported.insert(file.string()).second) return;
  }
  Diagnostics::Report(message);
}

void ForgetReport(const std::filesystem::path& file) {
  std::lock_guard lock(g_reportMutex);
  g_reported.erase(file.string());
}

struct StatementReset {
  sqlite3_stmt* statement;
  ~StatementReset() {
    if (statement != nullptr) {
      sqlite3_reset(statement);
      sqlite3_clear_bindings(statement);
    }
  }
};

void BindText(sqlite3_stmt* s, int index, std::string_view text) {
  sqlite3_bind_text(s, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string ColumnText(sqlite3_stmt* s, int column) {
  const unsigned char* text = sqlite3_column_text(s, column);
  int size = sqlite3_column_bytes(s, column);
  return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(size));
}

// Makes the folder of the stores and any missing folder above it. The stores
// hold server passwords, so their folder is 0700; the ones above it are
// ordinary system folders (var, var/lib), 0755. Both whatever the umask:
// mkdir alone would give 0700 under umask 077 to every level, and a folder
// other users cannot enter, or 0777 under umask 0. Folders that exist are
// taken as they are.
RegStatus MakeStoreFolder(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> missing;
  struct stat st {};
  for (std::filesystem::path p = folder; !p.empty() && lstat(p.c_str(), &st) != 0; p = p.parent_path()) {
    if (errno != ENOENT || p == p.parent_path()) break;
    missing.push_back(p);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    const mode_t mode = *it == folder ? 0700 : 0755;
    if (mkdir(it->c_str(), mode) != 0) {
      if (errno == EEXIST) continue;  // made by another process meanwhile
      int err = errno;
      LastError::Set("cannot create folder " + it->string() + " for the registry store: " + std::strerror(err));
      return err == EACCES || err == EPERM || err == EROFS ? RegStatus::kAccessDenied : RegStatus::kStoreError;
    }
    if (chmod(it->c_str(), mode) != 0) {
      LastError::Set("cannot set the mode of folder " + it->string() + ": " + std::strerror(errno));
      return RegStatus::kStoreError;
    }
  }
  return RegStatus::kOk;
}

using Cache = std::map<std::string, std::shared_ptr<RegistryStore>>;
Cache& ThreadCache() {
  thread_local Cache cache;
  return cache;
}

}  // namespace

RegistryStore::RegistryStore(std::filesystem::path file, sqlite3* db, bool writable, dev_t dev, ino_t ino)
    : m_file(std::move(file)), m_db(db), m_writable(writable), m_dev(dev), m_ino(ino) {}

RegistryStore::~RegistryStore() {
  for (auto& [sql, statement] : m_statements) sqlite3_finalize(statement);
  sqlite3_close_v2(m_db);
}

std::filesystem::path RegistryStore::FileFor(uint32_t root) {
  std::string name(RegRootShortName(root));
  return SystemRoot::Resolve("var/lib/qrvupdate") / (name + ".sqlite");
}

void RegistryStore::ReleaseThreadConnections() { ThreadCache().clear(); }

std::string RegistryStore::DamageReport(uint32_t root) {
  if (root >= kRootCount) return {};
  struct stat st {};
  if (lstat(FileFor(root).c_str(), &st) != 0) {
    // Missing is an empty store; one that cannot even be looked at (a folder
    // the caller may not enter) must not pass for one.
    if (errno == ENOENT || errno == ENOTDIR) return {};
    return "registry store " + FileFor(root).string() + " cannot be read: " + std::strerror(errno);
  }
  // LastError is this thread's own; what the check sets is the report, and
  // the caller's earlier text comes back afterwards.
  const std::string before = LastError::Text();
  LastError::Clear();
  std::shared_ptr<RegistryStore> store;
  const RegStatus status = OpenFile(root, false, store);
  std::string report;
  if ((store && store->m_damaged) || (!store && status != RegStatus::kOk)) report = LastError::Text();
  LastError::Set(before);
  return report;
}

RegStatus RegistryStore::Acquire(uint32_t root, bool create, std::shared_ptr<RegistryStore>& out) {
  out.reset();
  if (root >= kRootCount) {
    LastError::Set("registry root index " + std::to_string(root) + " does not exist (valid: 0 to 4)");
    return RegStatus::kInvalidArgument;
  }
  std::filesystem::path file = FileFor(root);
  Cache& cache = ThreadCache();
  auto cached = cache.find(file.string());

  struct stat st {};
  if (stat(file.c_str(), &st) == 0) {
    // The same file as before (not replaced by the administrator): reuse the
    // connection; opening and checking a store costs far more than a stat.
    // Not a connection that found the file without tables, though, when only
    // reading: another process that had just created the file may have set
    // it up and written since, and a connection kept in that state would
    // answer "missing" for good. It is dropped and the file checked afresh
    // below (a writer sets the tables up on the connection it has).
    const bool stale = cached != cache.end() && !create && !cached->second->m_ready && !cached->second->m_damaged;
    if (cached != cache.end() && !stale && cached->second->m_dev == st.st_dev &&
        cached->second->m_ino == st.st_ino) {
      out = cached->second;
      // A store first opened for reading may still lack its tables.
      if (create && !out->m_ready && !out->m_damaged) {
        RegStatus status = out->CheckSchema(true);
        if (status != RegStatus::kOk) {
          out.reset();
          return status;
        }
      }
      return RegStatus::kOk;
    }
  } else if (!create) {
    const int err = errno;
    if (cached != cache.end()) cache.erase(cached);
    LastError::Set(err == ENOENT || err == ENOTDIR
                       ? "registry store " + file.string() + " does not exist"
                       : "registry store " + file.string() + " cannot be read: " + std::strerror(err));
    return RegStatus::kNotFound;
  }
  if (cached != cache.end()) cache.erase(cached);

  std::shared_ptr<RegistryStore> store;
  RegStatus status = OpenFile(root, create, store);
  if (status != RegStatus::kOk) return status;
  cache[file.string()] = store;
  out = std::move(store);
  return RegStatus::kOk;
}

RegStatus RegistryStore::OpenFile(uint32_t root, bool create, std::shared_ptr<RegistryStore>& out) {
  std::filesystem::path file = FileFor(root);

  if (create) {
    if (RegStatus status = MakeStoreFolder(file.parent_path()); status != RegStatus::kOk) return status;
    // Made here rather than by SQLite so that it is private from the start:
    // the store holds server passwords.
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
    } else if (errno != EEXIST) {
      int err = errno;
      LastError::Set("cannot create registry store " + file.string() + ": " + std::strerror(err));
      return err == EACCES || err == EPERM || err == EROFS ? RegStatus::kAccessDenied : RegStatus::kStoreError;
    }
  }

  struct stat st {};
  if (stat(file.c_str(), &st) != 0) {
    LastError::Set("registry store " + file.string() + " does not exist");
    return RegStatus::kNotFound;
  }

  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
  if (rc != SQLITE_OK) {
    // No write access: a read-only connection still serves every read.
    sqlite3_close_v2(db);
    db = nullptr;
    rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr);
  }
  if (rc != SQLITE_OK) {
    int err = errno;
    std::string message = "cannot read registry store " + file.string() + ": " +
                          (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    if (err == EACCES || err == EPERM) message += " (" + std::string(std::strerror(err)) + ")";
    sqlite3_close_v2(db);
    ReportOnce(file, message + "; its keys read as missing");
    LastError::Set(message);
    return create ? RegStatus::kAccessDenied : RegStatus::kNotFound;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  sqlite3_extended_result_codes(db, 0);
  // A write must be on disk when the call returns: a power cut right after an
  // update must not lose the recorded levels.
  sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);

  bool writable = sqlite3_db_readonly(db, "main") == 0;
  auto store = std::shared_ptr<RegistryStore>(new RegistryStore(file, db, writable, st.st_dev, st.st_ino));
  RegStatus status = store->CheckSchema(create);
  if (status != RegStatus::kOk && !store->m_damaged) return status;
  // A damaged store is still handed out: it answers every read with "missing"
  // and refuses writes, without opening and checking the file again per call.
  out = std::move(store);
  if (status != RegStatus::kOk && create) return RegStatus::kStoreError;
  return RegStatus::kOk;
}

RegStatus RegistryStore::CheckSchema(bool create) {
  // A quick structural check catches damage that single lookups might read
  // past; the stores are small, so this costs little once per connection.
  {
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(m_db, "PRAGMA quick_check(1)", -1, &s, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(s);
    std::string verdict = rc == SQLITE_ROW ? ColumnText(s, 0) : std::string();
    sqlite3_finalize(s);
    if (rc != SQLITE_ROW) return Fail(rc, "checking the file", create);
    if (verdict != "ok") {
      m_damaged = true;
      std::string message = "registry store " + m_file.string() + " is damaged (" + verdict +
                            "); it is left untouched for inspection and its keys read as missing. Move it aside "
                            "to start a new store.";
      ReportOnce(m_file, message);
      LastError::Set(message);
      return create ? RegStatus::kStoreError : RegStatus::kNotFound;
    }
  }

  auto pragma = [&](const char* sql, int64_t& value) {
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(m_db, sql, -1, &s, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) value = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    return rc == SQLITE_ROW ? SQLITE_OK : rc;
  };

  for (int attempt = 0; attempt < 2; ++attempt) {
    int64_t appId = 0, version = 0, tables = 0;
    int rc = pragma("PRAGMA application_id", appId);
    if (rc == SQLITE_OK) rc = pragma("PRAGMA user_version", version);
    if (rc == SQLITE_OK) rc = pragma("SELECT count(*) FROM sqlite_schema", tables);
    if (rc != SQLITE_OK) return Fail(rc, "reading the store's header", create);

    if (appId == kApplicationId && version == kSchemaVersion) {
      m_ready = true;
      ForgetReport(m_file);
      return RegStatus::kOk;
    }
    if (appId == kApplicationId && version > kSchemaVersion) {
      m_damaged = true;
      std::string message = "registry store " + m_file.string() + " has format " + std::to_string(version) +
                            ", newer than this program understands (" + std::to_string(kSchemaVersion) +
                            "); it is left untouched and its keys read as missing";
      ReportOnce(m_file, message);
      LastError::Set(message);
      return create ? RegStatus::kStoreError : RegStatus::kNotFound;
    }
    if (appId != 0 || tables != 0) {
      m_damaged = true;
      std::string message = "registry store " + m_file.string() +
                            " is not a registry store (some other SQLite file); it is left untouched and its "
                            "keys read as missing";
      ReportOnce(m_file, message);
      LastError::Set(message);
      return create ? RegStatus::kStoreError : RegStatus::kNotFound;
    }
    // An empty file: a store that was never written. Reading it is fine;
    // writing needs the tables first.
    if (!create) return RegStatus::kOk;
    if (!m_writable) {
      LastError::Set("registry store " + m_file.string() + " is read-only for this user");
      return RegStatus::kAccessDenied;
    }
    if (attempt > 0) break;
    RegStatus status = Begin();
    if (status != RegStatus::kOk) return status;
    // Another process may have set the store up while we waited for the lock;
    // CREATE ... IF NOT EXISTS and INSERT OR IGNORE make that harmless.
    std::string sql = std::string(kSchemaSql) + "PRAGMA application_id=" + std::to_string(kApplicationId) +
                      ";PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";";
    rc = sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
      RegStatus failed = Fail(rc, "setting up a new store", true);
      Rollback();
      return failed;
    }
    status = Commit();
    if (status != RegStatus::kOk) return status;
  }
  return RegStatus::kOk;
}

sqlite3_stmt* RegistryStore::Prepare(const char* sql) {
  auto it = m_statements.find(sql);
  if (it != m_statements.end()) return it->second;
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) {
    sqlite3_finalize(s);
    return nullptr;
  }
  m_statements.emplace(sql, s);
  return s;
}

RegStatus RegistryStore::Fail(int rc, std::string_view what, bool write) {
  int primary = rc & 0xFF;
  std::string message = "registry store " + m_file.string() + ": " + std::string(what) + ": " +
                        (m_db != nullptr ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc));
  switch (primary) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: {
      m_damaged = true;
      std::string report = "registry store " + m_file.string() + " is damaged (" + sqlite3_errstr(rc) +
                           "); it is left untouched for inspection and its keys read as missing. Move it aside "
                           "to start a new store.";
      ReportOnce(m_file, report);
      LastError::Set(report);
      return write ? RegStatus::kStoreError : RegStatus::kNotFound;
    }
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      LastError::Set(message);
      return write ? RegStatus::kAccessDenied : RegStatus::kNotFound;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      LastError::Set(message + " (still locked by another process after " + std::to_string(kBusyTimeoutMs / 1000) +
                     " s)");
      return write ? RegStatus::kStoreError : RegStatus::kNotFound;
    default:
      LastError::Set(message);
      if (!write) ReportOnce(m_file, message + "; its keys read as missing");
      return write ? RegStatus::kStoreError : RegStatus::kNotFound;
  }
}

RegStatus RegistryStore::Begin() {
  if (m_damaged) {
    LastError::Set("registry store " + m_file.string() + " is damaged; nothing is written to it");
    return RegStatus::kStoreError;
  }
  if (!m_writable) {
    LastError::Set("registry store " + m_file.string() + " is read-only for this user");
    return RegStatus::kAccessDenied;
  }
  if (m_batch) {
    // SQLite gives up a transaction by itself after some errors (a full
    // disk, an I/O error); a write made then would be committed on its own.
    if (sqlite3_get_autocommit(m_db) != 0) {
      LastError::Set("registry store " + m_file.string() +
                     ": the transaction of this batch of writes was abandoned after an earlier error");
      return RegStatus::kStoreError;
    }
    int rc = sqlite3_exec(m_db, "SAVEPOINT qrv_write", nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? RegStatus::kOk : Fail(rc, "starting a write", true);
  }
  // IMMEDIATE takes the write lock now, so two writers queue up on the busy
  // time-out instead of one failing when it tries to upgrade its lock.
  int rc = sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  return rc == SQLITE_OK ? RegStatus::kOk : Fail(rc, "starting a write", true);
}

RegStatus RegistryStore::Commit() {
  int rc = sqlite3_exec(m_db, m_batch ? "RELEASE qrv_write" : "COMMIT", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) return RegStatus::kOk;
  RegStatus status = Fail(rc, "committing a write", true);
  Rollback();
  return status;
}

void RegistryStore::Rollback() {
  if (sqlite3_get_autocommit(m_db) != 0) return;
  if (m_batch) {
    // only this write; the batch's earlier writes stay for its owner to decide
    sqlite3_exec(m_db, "ROLLBACK TO qrv_write; RELEASE qrv_write", nullptr, nullptr, nullptr);
  } else {
    sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

RegStatus RegistryStore::BeginBatch() {
  if (m_batch) {
    LastError::Set("registry store " + m_file.string() + " already has a batch of writes open");
    return RegStatus::kInvalidArgument;
  }
  RegStatus status = Begin();
  if (status == RegStatus::kOk) m_batch = true;
  return status;
}

RegStatus RegistryStore::CommitBatch() {
  if (!m_batch) {
    LastError::Set("registry store " + m_file.string() + " has no batch of writes open");
    return RegStatus::kInvalidArgument;
  }
  m_batch = false;
  if (sqlite3_get_autocommit(m_db) != 0) {
    LastError::Set("registry store " + m_file.string() +
                   ": the transaction of this batch of writes was abandoned after an earlier error; nothing of it "
                   "was written");
    return RegStatus::kStoreError;
  }
  return Commit();
}

void RegistryStore::RollbackBatch() {
  if (!m_batch) return;
  m_batch = false;
  Rollback();
}

RegStatus RegistryStore::FindKey(std::string_view upperPath, int64_t& id, std::string& storedPath) {
  if (m_damaged || !m_ready) return RegStatus::kNotFound;
  sqlite3_stmt* s = Prepare("SELECT id, path FROM keys WHERE upath=?1");
  if (s == nullptr) return Fail(sqlite3_errcode(m_db), "looking up a key", false);
  StatementReset reset{s};
  BindText(s, 1, upperPath);
  int rc = sqlite3_step(s);
  if (rc == SQLITE_ROW) {
    id = sqlite3_column_int64(s, 0);
    storedPath = ColumnText(s, 1);
    return RegStatus::kOk;
  }
  if (rc == SQLITE_DONE) return RegStatus::kNotFound;
  return Fail(rc, "looking up a key", false);
}

RegStatus RegistryStore::KeyExists(int64_t id) {
  if (m_damaged || !m_ready) return RegStatus::kNotFound;
  sqlite3_stmt* s = Prepare("SELECT 1 FROM keys WHERE id=?1");
  if (s == nullptr) return Fail(sqlite3_errcode(m_db), "looking up a key", false);
  StatementReset reset{s};
  sqlite3_bind_int64(s, 1, id);
  int rc = sqlite3_step(s);
  if (rc == SQLITE_ROW) return RegStatus::kOk;
  if (rc == SQLITE_DONE) return RegStatus::kNotFound;
  return Fail(rc, "looking up a key", false);
}

RegStatus RegistryStore::CreatePath(int64_t parent, const std::vector<std::string_view>& names, int64_t& id,
                                     std::string& storedPath) {
  RegStatus status = Begin();
  if (status != RegStatus::kOk) return status;
  auto fail = [&](RegStatus s) {
    Rollback();
    return s;
  };
  // The parent may have been deleted by another process since it was opened.
  std::string currentPath;
  sqlite3_stmt* parentRow = Prepare("SELECT path FROM keys WHERE id=?1");
  if (parentRow == nullptr) return fail(Fail(sqlite3_errcode(m_db), "creating a key", true));
  {
    StatementReset reset{parentRow};
    sqlite3_bind_int64(parentRow, 1, parent);
    int rc = sqlite3_step(parentRow);
    if (rc == SQLITE_DONE) {
      LastError::Set("the key to create below was deleted meanwhile");
      return fail(RegStatus::kNotFound);
    }
    if (rc != SQLITE_ROW) return fail(Fail(rc, "creating a key", true));
    currentPath = ColumnText(parentRow, 0);
  }
  sqlite3_stmt* find = Prepare("SELECT id, path FROM keys WHERE parent=?1 AND uname=?2");
  sqlite3_stmt* insert =
      Prepare("INSERT INTO keys(parent, name, uname, path, upath) VALUES(?1, ?2, ?3, ?4, ?5)");
  if (find == nullptr || insert == nullptr) return fail(Fail(sqlite3_errcode(m_db), "creating a key", true));
  int64_t current = parent;
  for (std::string_view name : names) {
    std::string upper = Upper(name);
    int64_t next = 0;
    {
      StatementReset reset{find};
      sqlite3_bind_int64(find, 1, current);
      BindText(find, 2, upper);
      int rc = sqlite3_step(find);
      if (rc == SQLITE_ROW) {
        next = sqlite3_column_int64(find, 0);
        currentPath = ColumnText(find, 1);
      } else if (rc != SQLITE_DONE) {
        return fail(Fail(rc, "creating a key", true));
      }
    }
    if (next == 0) {
      currentPath = currentPath.empty() ? std::string(name) : currentPath + "\\" + std::string(name);
      StatementReset reset{insert};
      sqlite3_bind_int64(insert, 1, current);
      BindText(insert, 2, name);
      BindText(insert, 3, upper);
      BindText(insert, 4, currentPath);
      BindText(insert, 5, Upper(currentPath));
      int rc = sqlite3_step(insert);
      if (rc != SQLITE_DONE) return fail(Fail(rc, "creating a key", true));
      next = sqlite3_last_insert_rowid(m_db);
    }
    current = next;
  }
  status = Commit();
  if (status == RegStatus::kOk) {
    id = current;
    storedPath = currentPath;
  }
  return status;
}

RegStatus RegistryStore::QueryValue(int64_t key, std::string_view name, RegValue& out) {
  if (m_damaged || !m_ready) return RegStatus::kNotFound;
  sqlite3_stmt* s = Prepare("SELECT type, data FROM vals WHERE key=?1 AND uname=?2");
  if (s == nullptr) return Fail(sqlite3_errcode(m_db), "reading a value", false);
  StatementReset reset{s};
  sqlite3_bind_int64(s, 1, key);
  BindText(s, 2, Upper(name));
  int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) return RegStatus::kNotFound;
  if (rc != SQLITE_ROW) return Fail(rc, "reading a value", false);
  out.type = static_cast<uint32_t>(sqlite3_column_int64(s, 0));
  const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(s, 1));
  int size = sqlite3_column_bytes(s, 1);
  out.data.assign(data, data + (data != nullptr ? size : 0));
  return RegStatus::kOk;
}

RegStatus RegistryStore::SetValue(int64_t key, std::string_view name, const RegValue& value) {
  RegStatus status = Begin();
  if (status != RegStatus::kOk) return status;
  if (KeyExists(key) != RegStatus::kOk) {
    Rollback();
    LastError::Set("the key was deleted meanwhile");
    return RegStatus::kNotFound;
  }
  // An existing value keeps the spelling of its name, as the name is only
  // matched without case.
  sqlite3_stmt* s = Prepare(
      "INSERT INTO vals(key, name, uname, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
      "ON CONFLICT(key, uname) DO UPDATE SET type=excluded.type, data=excluded.data");
  if (s == nullptr) {
    RegStatus failed = Fail(sqlite3_errcode(m_db), "writing a value", true);
    Rollback();
    return failed;
  }
  int rc;
  {
    StatementReset reset{s};
    sqlite3_bind_int64(s, 1, key);
    BindText(s, 2, name);
    BindText(s, 3, Upper(name));
    sqlite3_bind_int64(s, 4, value.type);
    // zeroblob keeps an empty value a BLOB rather than NULL
    if (value.data.empty()) {
      sqlite3_bind_zeroblob(s, 5, 0);
    } else {
      sqlite3_bind_blob(s, 5, value.data.data(), static_cast<int>(value.data.size()), SQLITE_TRANSIENT);
    }
    rc = sqlite3_step(s);
  }
  if (rc != SQLITE_DONE) {
    RegStatus failed = Fail(rc, "writing a value", true);
    Rollback();
    return failed;
  }
  return Commit();
}

RegStatus RegistryStore::DeleteValue(int64_t key, std::string_view name) {
  RegStatus status = Begin();
  if (status != RegStatus::kOk) return status;
  sqlite3_stmt* s = Prepare("DELETE FROM vals WHERE key=?1 AND uname=?2");
  if (s == nullptr) {
    RegStatus failed = Fail(sqlite3_errcode(m_db), "deleting a value", true);
    Rollback();
    return failed;
  }
  int rc;
  {
    StatementReset reset{s};
    sqlite3_bind_int64(s, 1, key);
    BindText(s, 2, Upper(name));
    rc = sqlite3_step(s);
  }
  if (rc != SQLITE_DONE) {
    RegStatus failed = Fail(rc, "deleting a value", true);
    Rollback();
    return failed;
  }
  if (sqlite3_changes(m_db) == 0) {
    Rollback();
    return RegStatus::kNotFound;
  }
  return Commit();
}

RegStatus RegistryStore::EnumChild(int64_t key, uint32_t index, std::string& name) {
  if (m_damaged || !m_ready) return RegStatus::kNotFound;
  sqlite3_stmt* s = Prepare("SELECT name FROM keys WHERE parent=?1 ORDER BY uname LIMIT 1 OFFSET ?2");
  if (s == nullptr) return Fail(sqlite3_errcode(m_db), "listing subkeys", false);
  StatementReset reset{s};
  sqlite3_bind_int64(s, 1, key);
  sqlite3_bind_int64(s, 2, index);
  int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) return RegStatus::kNoMoreItems;
  if (rc != SQLITE_ROW) return Fail(rc, "listing subkeys", false);
  name = ColumnText(s, 0);
  return RegStatus::kOk;
}

RegStatus RegistryStore::EnumValue(int64_t key, uint32_t index, std::string& name, RegValue& value) {
  if (m_damaged || !m_ready) return RegStatus::kNotFound;
  sqlite3_stmt* s = Prepare("SELECT name, type, data FROM vals WHERE key=?1 ORDER BY uname LIMIT 1 OFFSET ?2");
  if (s == nullptr) return Fail(sqlite3_errcode(m_db), "listing values", false);
  StatementReset reset{s};
  sqlite3_bind_int64(s, 1, key);
  sqlite3_bind_int64(s, 2, index);
  int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) return RegStatus::kNoMoreItems;
  if (rc != SQLITE_ROW) return Fail(rc, "listing values", false);
  name = ColumnText(s, 0);
  value.type = static_cast<uint32_t>(sqlite3_column_int64(s, 1));
  const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(s, 2));
  int size = sqlite3_column_bytes(s, 2);
  value.data.assign(data, data + (data != nullptr ? size : 0));
  return RegStatus::kOk;
}

RegStatus RegistryStore::DeleteTree(int64_t id) {
  if (id == kRootKeyId) {
    LastError::Set("a registry root cannot be deleted");
    return RegStatus::kInvalidArgument;
  }
  RegStatus status = Begin();
  if (status != RegStatus::kOk) return status;
  const char* sql =
      "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys k JOIN tree t ON k.parent=t.id) "
      "DELETE FROM vals WHERE key IN tree;"
      "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys k JOIN tree t ON k.parent=t.id) "
      "DELETE FROM keys WHERE id IN tree;";
  // two statements, run in order inside the one transaction
  const char* tail = sql;
  int deletedKeys = 0;
  while (tail != nullptr && *tail != '\0') {
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(m_db, tail, -1, &s, &tail);
    if (rc == SQLITE_OK && s != nullptr) {
      sqlite3_bind_int64(s, 1, id);
      rc = sqlite3_step(s);
      if (rc == SQLITE_DONE) rc = SQLITE_OK;
      deletedKeys = sqlite3_changes(m_db);
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_OK) {
      RegStatus failed = Fail(rc, "deleting a key", true);
      Rollback();
      return failed;
    }
  }
  if (deletedKeys == 0) {
    Rollback();
    LastError::Set("the key was deleted meanwhile");
    return RegStatus::kNotFound;
  }
  return Commit();
}

}  // namespace qrv::platform
