#include "app/LocalUpdateEngine.h"

#include <filesystem>

#include "app/UpdateSchedule.h"
#include "apply/LogOnEntry.h"
#include "apply/SignedUpdateInfo.h"
#include "apply/UpdateFiles.h"
#include "config/CQUpdateMgrEnv.h"
#include "config/StoredPassword.h"
#include "platform/core/Diagnostics.h"
#include "platform/core/LastError.h"
#include "platform/core/PrivateFolder.h"
#include "platform/core/RegularFile.h"
#include "platform/profile/ProfileFile.h"
#include "platform/registry/RegistryKey.h"
#include "platform/thread/WorkerThread.h"
#include "transfer/CQUpdateDownloadMgr.h"
#include "transfer/TransferLimits.h"
#include "transfer/TransferPath.h"

namespace qrv {

namespace {

// info with its password as the store keeps it (encrypted; empty stays empty).
tagSERVERINFO Stored(tagSERVERINFO info) {
  if (info.password.empty()) return info;
  std::string stored;
  std::string error;
  if (!EncryptPassword(info.password, stored, &error)) {
    // The dialog refuses such a password before it stores anything; a
    // caller that did not must not end up with the plain text stored.
    platform::Diagnostics::Report("settings: the password cannot be stored: " + error);
    stored.clear();
  }
  info.password = stored;
  return info;
}

}  // namespace

void LocalUpdateEngine::SetAutoMode(uint32_t mode) {
  if (m_process != nullptr) m_process->SetAutoMode(mode);
}

int32_t LocalUpdateEngine::QueryUpdates() { return m_process != nullptr ? m_process->QueryUpdates() : 0; }

CQUpdateBase::PrepareOutcome LocalUpdateEngine::LastPrepareOutcome() {
  return m_process != nullptr ? m_process->LastPrepareOutcome() : CQUpdateBase::PrepareOutcome::kNothingPending;
}

std::string LocalUpdateEngine::PrepareFailure() { return m_process != nullptr ? m_process->PrepareFailure() : ""; }

std::vector<tagUPDATETYPE>* LocalUpdateEngine::GetUpdateTypes() {
  return m_process != nullptr ? m_process->GetUpdateTypes() : &m_noProducts;
}

CQUpdateBase::ResumePoint LocalUpdateEngine::ResumeInterruptedRun() {
  return m_process != nullptr ? m_process->ResumeInterruptedRun() : CQUpdateBase::ResumePoint::kPrepare;
}

std::string LocalUpdateEngine::ProductName(const std::string& product) {
  return m_process != nullptr ? m_process->ProductName(product) : CQUpdateMgrEnv().GetProductName(product);
}

int32_t LocalUpdateEngine::GetTotalFileCount() { return m_process != nullptr ? m_process->GetTotalFileCount() : 0; }

int32_t LocalUpdateEngine::StartDownload(std::vector<std::string>& products) {
  return m_process != nullptr ? m_process->StartDownload(products) : 0;
}

int32_t LocalUpdateEngine::CopyFiles() { return m_process != nullptr ? m_process->CopyFiles() : 0; }

int32_t LocalUpdateEngine::ApplyActions() { return m_process != nullptr ? m_process->ApplyActions() : 0; }

int32_t LocalUpdateEngine::CompleteUpdate() { return m_process != nullptr ? m_process->CompleteUpdate() : 0; }

void LocalUpdateEngine::EndUpdateState(int32_t aborted) {
  if (m_process != nullptr) m_process->EndUpdateState(aborted);
}

void LocalUpdateEngine::SetUpdateState(UpdateState state) {
  if (m_process != nullptr) m_process->SetUpdateState(state);
}

void LocalUpdateEngine::CancelDownload() {
  if (m_process != nullptr) m_process->CancelDownload();
}

void LocalUpdateEngine::CancelCopy() {
  if (m_process != nullptr) m_process->CancelCopy();
}

int32_t LocalUpdateEngine::RollbackCopy(uint32_t flag) { return m_process != nullptr ? m_process->RollbackCopy(flag) : 0; }

void LocalUpdateEngine::LoadUpdateContent(const std::string& product) {
  if (m_process != nullptr) m_process->LoadUpdateContent(product);
}

const std::vector<std::string>& LocalUpdateEngine::DroppedProducts() {
  return m_process != nullptr ? m_process->DroppedProducts() : m_noNames;
}

const std::string& LocalUpdateEngine::CopyFailureReason() {
  return m_process != nullptr ? m_process->CopyFailureReason() : m_noText;
}

void LocalUpdateEngine::RecordLastUpdate() {
  if (m_process != nullptr) m_process->RecordLastUpdate();
}

uint32_t LocalUpdateEngine::RestartRequired() { return m_process != nullptr ? m_process->RestartRequired() : 0; }

UpdateState LocalUpdateEngine::StoredUpdateState() {
  return static_cast<UpdateState>(CQUpdateMgrEnv().GetUpdateState());
}

bool LocalUpdateEngine::IsUpdateDue(bool automatic) { return UpdateSchedule::IsUpdateDue(automatic); }

std::vector<std::string> LocalUpdateEngine::DamagedStores() { return CQUpdateBase::DamagedStores(); }

std::string LocalUpdateEngine::UpdateDependency(const std::string& product) {
  return platform::ProfileFile::GetString(UpdateFiles::InfoPath(), "UpdateDependency", product, "",
                                          UpdateFiles::kValueChars);
}

bool LocalUpdateEngine::ReadUpdateContent(const std::string& product, size_t maxBytes, std::string& bytes,
                                          bool& truncated) {
  bytes.clear();
  truncated = false;
  const std::string name =
      platform::ProfileFile::GetString(UpdateFiles::InfoPath(), "UPDATEINFOPATH", product, "", UpdateFiles::kValueChars);
  // The same local name the file was fetched under; a name that would leave
  // the download folder was never fetched and reads as nothing.
  std::string local;
  if (name.empty() || !TransferPath::Normalise(name, local)) return false;
  // The name came from the server: a link planted in the download folder
  // must not make the window show some other file. The whole file is read
  // (the download kept no more than this) so that it can be checked against
  // the information that names it; then only what the caller asked for is
  // handed on.
  if (!platform::RegularFile::ReadPrefix(TransferPath::Join(UpdateFiles::DownloadFolder(), local),
                                         TransferLimits::kMaxNotesBytes, bytes, truncated)) {
    return false;
  }
  std::string reason;
  if (truncated || !SignedUpdateInfo::NotesMayBeShown(product, bytes, reason)) {
    platform::Diagnostics::Report(truncated ? "the update notes of " + product + " are larger than " +
                                                  std::to_string(TransferLimits::kMaxNotesBytes) + " bytes"
                                            : reason);
    bytes.clear();
    truncated = false;
    return false;
  }
  if (bytes.size() > maxBytes) {
    bytes.resize(maxBytes);
    truncated = true;
  }
  return true;
}

bool LocalUpdateEngine::RecordDownloadFinished() {
  const std::string log = UpdateFiles::LogPath();
  if (platform::ProfileFile::WriteString(log, "DOWNLOAD", "STATUS", "SUCCESS")) return true;
  platform::Diagnostics::Report("cannot record the finished download in " + log + ": " + platform::LastError::Text());
  return false;
}

bool LocalUpdateEngine::HomepageHidden() {
  platform::RegistryKey key;
  if (platform::RegistryKey::Open(platform::kRootLocalMachine, kExecuteOptionKey, platform::RegAccess::kRead, key) !=
      platform::RegStatus::kOk) {
    return false;
  }
  platform::RegValue value;
  if (key.Query("NorthAmerica", value) != platform::RegStatus::kOk || value.type != platform::kRegDword) return false;
  return value.AsDword() == 1u;
}

uint32_t LocalUpdateEngine::IsAutoUpdate() { return CQUpdateMgrEnv().IsAutoUpdate(); }

void LocalUpdateEngine::SetAutoUpdate(uint32_t value) { CQUpdateMgrEnv().SetAutoUpdate(value); }

uint32_t LocalUpdateEngine::GetTerm() { return CQUpdateMgrEnv().GetTerm(); }

void LocalUpdateEngine::SetTerm(uint32_t value) { CQUpdateMgrEnv().SetTerm(value); }

std::string LocalUpdateEngine::GetDownloadPath() { return CQUpdateMgrEnv().GetDownloadPath(0); }

void LocalUpdateEngine::SetDownloadPath(const std::string& path) { CQUpdateMgrEnv().SetDownloadPath(path); }

std::string LocalUpdateEngine::GetServerPath() { return CQUpdateMgrEnv().GetServerPath(); }

std::string LocalUpdateEngine::GetDefaultServerPath() { return CQUpdateMgrEnv().GetDefaultServerPath(); }

tagSERVERINFO LocalUpdateEngine::GetServerInfo() { return CQUpdateMgrEnv().GetServerInfo(); }

void LocalUpdateEngine::SetServerInfo(const tagSERVERINFO& info) { CQUpdateMgrEnv().SetServerInfo(Stored(info)); }

void LocalUpdateEngine::SaveServerInfoByType(const tagSERVERINFO& info) {
  CQUpdateMgrEnv().SaveServerInfoByType(Stored(info));
}

void LocalUpdateEngine::SelectServerType(uint32_t type) { CQUpdateMgrEnv().SelectServerType(type); }

void LocalUpdateEngine::ResetServerInfo() { CQUpdateMgrEnv().ResetServerInfo(); }

uint32_t LocalUpdateEngine::TestConnection(const tagSERVERINFO& server) {
  // The transport may take seconds to answer or to give up: it runs on a
  // worker while the caller's events keep flowing.
  return platform::WorkerThread::Run([server] {
    CQUpdateDownloadMgr manager(server);
    return manager.Connect();
  });
}

bool LocalUpdateEngine::TestDownloadFolder(const std::string& path) {
  namespace fs = std::filesystem;
  std::string text = path;
  // An empty or relative path would put the downloads wherever the program
  // happens to run (for an empty one: at the root of the file system).
  if (text.empty() || text.front() != '/') return false;
  if (text.back() != '/') text += '/';
  const fs::path folder = text + "QRVDownload";
  std::error_code ec;
  // The deepest folder of the path that is there already: everything below
  // it is made by the test and goes again, so a mistyped path leaves nothing.
  fs::path kept = folder;
  while (kept.has_relative_path() && !fs::exists(fs::symlink_status(kept, ec))) kept = kept.parent_path();
  // The run keeps its downloads only in a folder nobody else can change (nor
  // swap a folder above it); a folder it would refuse is refused here, where
  // the user can still choose another.
  std::string error;
  const bool accepted = platform::PrivateFolder::Ensure(folder.string(), error);
  if (!accepted) platform::Diagnostics::Report("settings: the download folder: " + error);
  // Folders that were there before are the user's; only ours go again, and
  // only while empty (fs::remove takes no folder that holds anything).
  for (fs::path made = folder; made != kept && made.has_relative_path(); made = made.parent_path()) {
    if (!fs::remove(made, ec)) break;
  }
  return accepted;
}

bool LocalUpdateEngine::SetLogOnEntry(bool on, std::string& error) {
  return on ? LogOnEntry::Write(error) : LogOnEntry::Remove(error);
}

}  // namespace qrv
