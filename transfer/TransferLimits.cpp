#include "transfer/TransferLimits.h"

#include <strings.h>

#include "config/CQUpdateMgrEnv.h"
#include "transfer/TransferPath.h"

namespace qrv {

TransferLimits::TransferLimits() : m_floorRate(CQUpdateMgrEnv().GetMinTransferRate()) {}

uint64_t TransferLimits::CapFor(std::string_view name) {
  constexpr std::string_view kProfileSuffix = ".ini";
  std::string path = TransferPath::SlashSeparated(name);
  std::string_view base = path;
  size_t slash = base.rfind('/');
  if (slash != std::string_view::npos) base.remove_prefix(slash + 1);
  bool profile = base.size() > kProfileSuffix.size() &&
                 strncasecmp(base.data() + base.size() - kProfileSuffix.size(), kProfileSuffix.data(),
                             kProfileSuffix.size()) == 0;
  return profile ? kMaxProfileFileBytes : kMaxFileBytes;
}

bool TransferLimits::RefusedBefore(const std::string& name, std::string& reason) const {
  std::lock_guard lock(m_lock);
  auto found = m_refused.find(TransferPath::SlashSeparated(name));
  if (found == m_refused.end()) return false;
  reason = "not fetching \"" + name + "\" again in this run: " + found->second;
  return true;
}

void TransferLimits::NoteRefused(const std::string& name, const std::string& reason) {
  std::lock_guard lock(m_lock);
  m_refused[TransferPath::SlashSeparated(name)] = reason;
}

}  // namespace qrv
