#include "apply/PendingReplacements.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "apply/FileReplacement.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/core/LastError.h"
#include "platform/core/SystemRoot.h"
#include "platform/registry/RegistryKey.h"

namespace qrv {
namespace {

using platform::RegistryKey;
using platform::RegStatus;

std::string QueueKeyPath() {
  return std::string(CQUpdateUtilRegistry::kMainKey) + "\\" + PendingReplacements::kKeyName;
}

std::string StringValue(const RegistryKey& key, const char* name) {
  platform::RegValue value;
  if (key.Query(name, value) != RegStatus::kOk) return {};
  std::string text = value.AsString();
  return text;
}

// The next order number: one more than the highest queued, so an entry
// queued after others ran and were removed still sorts after the rest.
uint32_t NextOrder(const RegistryKey& queue) {
  uint32_t next = 1;
  std::string name;
  for (uint32_t i = 0; queue.EnumSubKey(i, name) == RegStatus::kOk; ++i) {
    uint32_t n = static_cast<uint32_t>(std::strtoul(name.c_str(), nullptr, 10));
    if (n >= next) next = n + 1;
  }
  return next;
}

// rename(2), or copy and delete when the pending folder is on another file
// system than the holding folder.
bool MoveFile(const std::string& from, const std::string& to, std::string& error) {
  if (rename(from.c_str(), to.c_str()) == 0) return true;
  if (errno != EXDEV) {
    error = "cannot move " + from + " to " + to + ": " + std::strerror(errno);
    return false;
  }
  if (!CopyFileOver(from, to, error)) return false;
  unlink(from.c_str());
  return true;
}

}  // namespace

std::string PendingReplacements::Folder() {
  return platform::SystemRoot::Resolve("var/lib/qrvupdate/pending").string() + "/";
}

bool PendingReplacements::Queue(const std::string& sourceFile, const std::string& targetFile, std::string& error) {
  RegistryKey queue;
  if (RegistryKey::Create(platform::kRootLocalMachine, QueueKeyPath(), queue) != RegStatus::kOk) {
    error = "cannot open the queue key HKLM\\" + QueueKeyPath() + ": " + platform::LastError::Text();
    return false;
  }
  const uint32_t order = NextOrder(queue);
  char id[16];
  std::snprintf(id, sizeof id, "%08u", order);

  const std::string folder = Folder();
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) {
    error = "cannot create the pending folder " + folder + ": " + ec.message();
    return false;
  }
  const std::string pending = folder + id + "-" + std::filesystem::path(sourceFile).filename().string();
  if (!MoveFile(sourceFile, pending, error)) return false;

  RegistryKey entry;
  if (queue.CreateSubKey(id, entry) != RegStatus::kOk || entry.SetString("Source", pending) != RegStatus::kOk ||
      entry.SetString("Target", targetFile) != RegStatus::kOk || entry.SetDword("Order", order) != RegStatus::kOk) {
    error = "cannot record " + targetFile + " in HKLM\\" + QueueKeyPath() + ": " + platform::LastError::Text();
    // Without its entry the moved file would never be used: put it back.
    queue.DeleteSubKeyTree(id);
    std::string ignored;
    MoveFile(pending, sourceFile, ignored);
    return false;
  }
  return true;
}

std::vector<PendingReplacements::Entry> PendingReplacements::List() {
  std::vector<Entry> entries;
  RegistryKey queue;
  if (RegistryKey::Open(platform::kRootLocalMachine, QueueKeyPath(), platform::RegAccess::kRead, queue) !=
      RegStatus::kOk) {
    return entries;
  }
  std::string name;
  for (uint32_t i = 0; queue.EnumSubKey(i, name) == RegStatus::kOk; ++i) {
    RegistryKey entry;
    if (queue.OpenSubKey(name, platform::RegAccess::kRead, entry) != RegStatus::kOk) continue;
    entries.push_back(Entry{name, StringValue(entry, "Source"), StringValue(entry, "Target")});
  }
  return entries;
}

uint32_t PendingReplacements::RunAll(std::vector<std::string>& failures) {
  uint32_t done = 0;
  for (const Entry& entry : List()) {
    std::string error;
    if (entry.source.empty() || entry.target.empty()) {
      failures.push_back("entry " + entry.id + ": no Source or Target value");
      continue;
    }
    if (!CopyFileOver(entry.source, entry.target, error)) {
      failures.push_back(entry.target + ": " + error);
      continue;
    }
    unlink(entry.source.c_str());
    RegistryKey queue;
    if (RegistryKey::Open(platform::kRootLocalMachine, QueueKeyPath(), platform::RegAccess::kAll, queue) !=
            RegStatus::kOk ||
        queue.DeleteSubKeyTree(entry.id) != RegStatus::kOk) {
      failures.push_back(entry.target + ": replaced, but the entry " + entry.id + " cannot be removed: " +
                         platform::LastError::Text());
      continue;
    }
    ++done;
  }
  return done;
}

}  // namespace qrv
