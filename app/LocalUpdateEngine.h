#pragma once

#include <string>
#include <vector>

#include "app/UpdateEngine.h"

namespace qrv {

// The engine in this process: the run's calls go to a process object, the
// settings to this process's store, the download folder's files are read
// here. With no process object (null) only the store and the files are
// served; the run's calls answer as a run that did nothing (0, empty).
//
// Thread: the user-interface thread. The process object outlives this.
class LocalUpdateEngine : public UpdateEngine {
 public:
  // Where NorthAmerica = 1 hides the window's Homepage button (HKLM).
  static constexpr const char* kExecuteOptionKey = "Software\\QRV\\Shared\\ExcuteOption";

  explicit LocalUpdateEngine(CQUpdateBase* process) : m_process(process) {}

  void SetAutoMode(uint32_t mode) override;
  int32_t QueryUpdates() override;
  CQUpdateBase::PrepareOutcome LastPrepareOutcome() override;
  std::string PrepareFailure() override;
  std::vector<tagUPDATETYPE>* GetUpdateTypes() override;
  CQUpdateBase::ResumePoint ResumeInterruptedRun() override;
  std::string ProductName(const std::string& product) override;
  int32_t GetTotalFileCount() override;
  int32_t StartDownload(std::vector<std::string>& products) override;
  int32_t CopyFiles() override;
  int32_t ApplyActions() override;
  int32_t CompleteUpdate() override;
  void EndUpdateState(int32_t aborted) override;
  void SetUpdateState(UpdateState state) override;
  void CancelDownload() override;
  void CancelCopy() override;
  int32_t RollbackCopy(uint32_t flag) override;
  void LoadUpdateContent(const std::string& product) override;
  const std::vector<std::string>& DroppedProducts() override;
  const std::string& CopyFailureReason() override;
  void RecordLastUpdate() override;
  uint32_t RestartRequired() override;

  UpdateState StoredUpdateState() override;
  bool IsUpdateDue(bool automatic) override;
  std::vector<std::string> DamagedStores() override;
  std::string UpdateDependency(const std::string& product) override;
  bool ReadUpdateContent(const std::string& product, size_t maxBytes, std::string& bytes, bool& truncated) override;
  bool RecordDownloadFinished() override;
  bool HomepageHidden() override;

  uint32_t IsAutoUpdate() override;
  void SetAutoUpdate(uint32_t value) override;
  uint32_t GetTerm() override;
  void SetTerm(uint32_t value) override;
  std::string GetDownloadPath() override;
  void SetDownloadPath(const std::string& path) override;
  std::string GetServerPath() override;
  std::string GetDefaultServerPath() override;
  tagSERVERINFO GetServerInfo() override;
  void SetServerInfo(const tagSERVERINFO& info) override;
  void SaveServerInfoByType(const tagSERVERINFO& info) override;
  void SelectServerType(uint32_t type) override;
  void ResetServerInfo() override;
  uint32_t TestConnection(const tagSERVERINFO& server) override;
  bool TestDownloadFolder(const std::string& folder) override;
  bool SetLogOnEntry(bool on, std::string& error) override;

 private:
  CQUpdateBase* m_process;
  // What the run's calls answer without a process object.
  std::vector<tagUPDATETYPE> m_noProducts;
  std::vector<std::string> m_noNames;
  std::string m_noText;
};

}  // namespace qrv
