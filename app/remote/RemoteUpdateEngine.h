#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/UpdateEngine.h"
#include "app/remote/RemoteChannel.h"
#include "app/remote/RemoteValues.h"

namespace qrv::remote {

// The engine of a privileged service, as the windows of this process use
// it: each call goes over the service's socket and waits for its reply,
// while this thread keeps its events flowing (EventPump) and carries out
// what the engine asks meanwhile: the window's notifications (to the
// process object's window), message boxes (MessageService::Current()), the
// end of an automatic run's process, and another start's requests to show
// the run (SetRequestHandler).
//
// A connection that breaks mid-run ends it as a failure: calls answer 0 or
// empty, the prepare outcome is kFailed with the reason, and the reason is
// reported once to the diagnostics.
//
// Thread: the user-interface thread (the one that connected).
class RemoteUpdateEngine : public UpdateEngine {
 public:
  enum class Outcome {
    kConnected,   // the session runs
    kRefused,     // the caller may not update this machine (no administrator)
    kHandedOver,  // a run is under way: its window was asked to show it
    kBusy,        // another process runs an update of this root (error says which)
    kFailed,      // no service there, or it broke off (error says why)
  };

  // Connects to the service at socketPath and opens a session for a run of
  // mode; null with outcome and error set unless kConnected.
  static std::unique_ptr<RemoteUpdateEngine> Connect(const std::string& socketPath, uint32_t mode,
                                                     Outcome& outcome, std::string& error);
  // Ends the session (the service's process object goes; it may still ask
  // the restart question, which is answered here) and closes the connection.
  ~RemoteUpdateEngine() override;

  // What another start asked of this run: true for NotifyState (show the
  // automatic run's state), false for bringing the window to the front.
  void SetRequestHandler(std::function<void(bool notifyState)> handler) { m_requests = std::move(handler); }

  void SetAutoMode(uint32_t mode) override;
  int32_t QueryUpdates() override;
  CQUpdateBase::PrepareOutcome LastPrepareOutcome() override { return m_outcome; }
  std::string PrepareFailure() override { return m_failure; }
  std::vector<tagUPDATETYPE>* GetUpdateTypes() override { return &m_products; }
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
  const std::vector<std::string>& DroppedProducts() override { return m_dropped; }
  const std::string& CopyFailureReason() override { return m_copyFailure; }
  void RecordLastUpdate() override;
  uint32_t RestartRequired() override { return m_restartRequired; }

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

  // Whether the connection still stands.
  bool IsConnected() const { return m_channel->IsOpen(); }
  // For a window at rest: readable when the engine has sent something
  // (see RemoteChannel::WakeFd); then call ServeArrived().
  int WakeFd() const { return m_channel->WakeFd(); }
  void ServeArrived();

 private:
  explicit RemoteUpdateEngine(int fd);
  // Calls method; false when it failed (reported), else reply holds the
  // answer. Calls nest, so each has its own reply.
  bool Ask(Method method, const Values& args, Message& reply);
  int64_t AskNumber(Method method, const Values& args = Values(), int64_t low = INT32_MIN, int64_t high = INT32_MAX);
  std::string AskText(Method method, const Values& args = Values());
  // Takes outcome, failure, products, dropped and copy failure from values
  // starting at first.
  void TakeRunState(const Values& values, int first);
  void Serve(const Message& call, Message& reply);
  void Fail(const std::string& why);

  std::unique_ptr<RemoteChannel> m_channel;
  std::function<void(bool)> m_requests;
  CQUpdateBase::PrepareOutcome m_outcome = CQUpdateBase::PrepareOutcome::kNothingPending;
  std::string m_failure;
  std::vector<tagUPDATETYPE> m_products;
  std::vector<std::string> m_dropped;
  std::string m_copyFailure;
  bool m_reported = false;
  uint32_t m_restartRequired = 0;
};

}  // namespace qrv::remote
