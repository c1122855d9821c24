#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/profile/ProfileDocument.h"
#include "platform/profile/ProfileStamp.h"

namespace qrv::platform {

// The process-wide cache of parsed profile files, keyed by the path as the
// caller spelled it. An entry is used only while the file's stamp is the one it
// was parsed from, so a changed file is always parsed again. The cache keeps
// the most recently used files only: at most kMaxFiles of them and about
// kMaxBytes of parsed data (a larger document is never kept).
//
// Thread: every member may be called from any thread; documents are immutable
// and shared, so a reader keeps using its document after it was evicted.
class ProfileCache {
 public:
  static constexpr size_t kMaxFiles = 64;
  static constexpr size_t kMaxBytes = 64 * 1024 * 1024;

  struct Stats {
    uint64_t hits = 0;
    uint64_t misses = 0;  // lookups that found no entry or a stale one
    size_t files = 0;
    size_t bytes = 0;
  };

  static ProfileCache& Instance();

  // The document parsed from the file at path with this stamp, or null.
  std::shared_ptr<const ProfileDocument> Find(const std::string& path, const ProfileStamp& stamp);
  void Store(const std::string& path, const ProfileStamp& stamp, std::shared_ptr<const ProfileDocument> document);
  void Forget(const std::string& path);
  void Clear();
  Stats GetStats() const;

 private:
  struct Entry {
    std::string path;
    ProfileStamp stamp;
    std::shared_ptr<const ProfileDocument> document;
    size_t bytes = 0;
  };
  using List = std::list<Entry>;

  void EraseLocked(List::iterator it);

  mutable std::mutex m_mutex;
  List m_lru;  // most recently used first
  std::unordered_map<std::string, List::iterator> m_byPath;
  size_t m_bytes = 0;
  uint64_t m_hits = 0;
  uint64_t m_misses = 0;
};

}  // namespace qrv::platform
