#include "platform/profile/ProfileCache.h"

#include <utility>

namespace qrv::platform {

ProfileCache& ProfileCache::Instance() {
  static ProfileCache cache;
  return cache;
}

std::shared_ptr<const ProfileDocument> ProfileCache::Find(const std::string& path, const ProfileStamp& stamp) {
  std::lock_guard lock(m_mutex);
  auto it = m_byPath.find(path);
  if (it == m_byPath.end()) {
    ++m_misses;
    return nullptr;
  }
  if (!(it->second->stamp == stamp)) {
    ++m_misses;
    EraseLocked(it->second);
    return nullptr;
  }
  ++m_hits;
  m_lru.splice(m_lru.begin(), m_lru, it->second);
  return it->second->document;
}

void ProfileCache::Store(const std::string& path, const ProfileStamp& stamp,
                         std::shared_ptr<const ProfileDocument> document) {
  if (!document) return;
  size_t bytes = document->MemoryBytes() + path.size();
  std::lock_guard lock(m_mutex);
  auto it = m_byPath.find(path);
  if (it != m_byPath.end()) EraseLocked(it->second);
  if (bytes > kMaxBytes) return;
  m_lru.push_front(Entry{path, stamp, std::move(document), bytes});
  m_byPath.emplace(path, m_lru.begin());
  m_bytes += bytes;
  while (m_lru.size() > kMaxFiles || m_bytes > kMaxBytes) EraseLocked(std::prev(m_lru.end()));
}

void ProfileCache::Forget(const std::string& path) {
  std::lock_guard lock(m_mutex);
  auto it = m_byPath.find(path);
  if (it != m_byPath.end()) EraseLocked(it->second);
}

void ProfileCache::Clear() {
  std::lock_guard lock(m_mutex);
  m_byPath.clear();
  m_lru.clear();
  m_bytes = 0;
}

ProfileCache::Stats ProfileCache::GetStats() const {
  std::lock_guard lock(m_mutex);
  return Stats{m_hits, m_misses, m_lru.size(), m_bytes};
}

void ProfileCache::EraseLocked(List::iterator it) {
  m_bytes -= it->bytes;
  m_byPath.erase(it->path);
  m_lru.erase(it);
}

}  // namespace qrv::platform
