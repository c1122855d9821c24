#include "transfer/CQUpdateTransferMgr.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/core/Diagnostics.h"
#include "platform/core/PrivateFolder.h"
#include "platform/profile/ProfileFile.h"
#include "platform/thread/WorkerThread.h"
#include "transfer/TransferLimits.h"
#include "transfer/TransferPath.h"

namespace qrv {
CQUpdateTransferMgr::CQUpdateTransferMgr() : m_serverPath(m_env.GetServerPath()) {}

CQUpdateTransferMgr::~CQUpdateTransferMgr() = default;

uint32_t CQUpdateTransferMgr::Connect() { return 1; }

CQUpdateTransferMgr::ThreadProc CQUpdateTransferMgr::GetThreadProc() { return nullptr; }

uint32_t CQUpdateTransferMgr::Prepare(const std::string& /*product*/) { return 1; }

void CQUpdateTransferMgr::Cancel() { m_cancel.store(1); }

void CQUpdateTransferMgr::SetFailure(const std::string& reason) {
  m_lastFailure = reason;
  platform::Diagnostics::Report(reason);
}

int CQUpdateTransferMgr::DownloadFile(const std::string& folder, const std::string& fileName) {
  m_sizeCapHit.store(false);
  WorkerParams params;
  params.owner = this;
  params.folder = folder;
  // A name from a server file decides where a file lands; one that could
  // leave the folder is refused like a file that cannot be fetched.
  if (folder.empty() || !TransferPath::Normalise(fileName, params.fileName)) return 0;

  // Whatever stands under the local name (a read-only copy of an earlier
  // run, or a link someone planted) is removed, never opened or changed:
  // the transports then create the file anew.
  std::string local = TransferPath::Join(folder, params.fileName);
  struct stat st {};
  if (lstat(local.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) && unlink(local.c_str()) != 0) {
    platform::Diagnostics::Report("cannot remove the old " + local + " before fetching it anew: " +
                                  std::strerror(errno));
    return 0;
  }

  ThreadProc proc = GetThreadProc();
  if (proc == nullptr) return 0;
  uint32_t code = platform::WorkerThread::Run([proc, &params] { return proc(&params); });
  return code == 1 ? 1 : 0;
}

int CQUpdateTransferMgr::GetUpdateInfoFile(const std::string& folder) {
  if (Prepare("Tarnsoft") == 0) return 0;
  m_cancel.store(0);
  return DownloadFile(folder, std::string(CQUpdateMgrEnv::kInfoFileName));
}

void CQUpdateTransferMgr::DownloadInfoFile(const std::string& product) {
  std::string folder = m_env.GetDownloadPath(1);
  std::string infoPath = platform::ProfileFile::GetString(TransferPath::Join(folder, std::string(CQUpdateMgrEnv::kInfoFileName)),
                                                           "UPDATEINFOPATH", product, "");
  m_cancel.store(0);
  if (infoPath.empty()) return;
  // The notes may lie in a folder of the server's tree ("notes\\writer.txt");
  // the same folders are made below the download folder, never through a
  // link planted there.
  std::string local, error;
  if (TransferPath::Normalise(infoPath, local) && local.find('/') != std::string::npos &&
      !platform::PrivateFolder::MakeFoldersBelow(folder, local, error)) {
    platform::Diagnostics::Report("cannot fetch the update notes " + infoPath + ": " + error);
    return;
  }
  m_capOverride.store(TransferLimits::kMaxNotesBytes);
  DownloadFile(folder, infoPath);
  m_capOverride.store(0);
}

uint64_t CQUpdateTransferMgr::FileCap(std::string_view name) const {
  const uint64_t cap = TransferLimits::CapFor(name);
  const uint64_t lower = m_capOverride.load();
  return lower != 0 && lower < cap ? lower : cap;
}

}  // namespace qrv
