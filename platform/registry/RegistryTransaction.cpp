#include "platform/registry/RegistryTransaction.h"

#include <string>

#include "platform/core/LastError.h"
#include "platform/registry/RegistryStore.h"

namespace qrv::platform {

RegistryTransaction::RegistryTransaction() = default;

RegistryTransaction::~RegistryTransaction() { Rollback(); }

RegStatus RegistryTransaction::Begin(uint32_t root) {
  for (const Open& open : m_open) {
    if (open.root == root) {
      LastError::Set("registry root " + std::string(RegRootShortName(root)) + " is already in this transaction");
      return RegStatus::kInvalidArgument;
    }
  }
  std::shared_ptr<RegistryStore> store;
  if (RegStatus s = RegistryStore::Acquire(root, true, store); s != RegStatus::kOk) return s;
  if (RegStatus s = store->BeginBatch(); s != RegStatus::kOk) return s;
  m_open.push_back(Open{root, std::move(store)});
  return RegStatus::kOk;
}

RegStatus RegistryTransaction::Commit() {
  RegStatus result = RegStatus::kOk;
  std::string failure;
  for (Open& open : m_open) {
    if (result != RegStatus::kOk) {
      open.store->RollbackBatch();
      continue;
    }
    result = open.store->CommitBatch();
    if (result != RegStatus::kOk) failure = LastError::Text();
  }
  m_open.clear();
  if (result != RegStatus::kOk) LastError::Set(failure);
  return result;
}

void RegistryTransaction::Rollback() {
  for (Open& open : m_open) open.store->RollbackBatch();
  m_open.clear();
}

}  // namespace qrv::platform
