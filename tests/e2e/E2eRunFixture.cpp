#include "tests/e2e/E2eRunFixture.h"

#include "config/StoredPassword.h"
#include "config/tagSERVERINFO.h"
#include "platform/registry/RegistryKey.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::test {

namespace fs = std::filesystem;

namespace {

constexpr const char* kFtpUser = "mira";
constexpr const char* kFtpPassword = "Ftp-Pass-77";

}  // namespace

std::string TransportName(Transport transport) {
  switch (transport) {
    case Transport::kHttp: return "Http";
    case Transport::kFtp: return "Ftp";
    case Transport::kFolder: return "Folder";
    case Transport::kSmb: return "Smb";
  }
  return "Unknown";
}

void E2eWindow::OnFileTransferBegin() { Note("TransferBegin"), CQUpdateDlgMgr::OnFileTransferBegin(); }
void E2eWindow::OnFileTransferFinish() { Note("TransferFinish"), CQUpdateDlgMgr::OnFileTransferFinish(); }
void E2eWindow::OnFileTransferError(int32_t result) {
  Note("TransferError" + std::to_string(result)), CQUpdateDlgMgr::OnFileTransferError(result);
}
void E2eWindow::OnFileCopyBegin() { Note("CopyBegin"), CQUpdateDlgMgr::OnFileCopyBegin(); }
void E2eWindow::OnFileCopyFinish() { Note("CopyFinish"), CQUpdateDlgMgr::OnFileCopyFinish(); }
void E2eWindow::OnFileCopyError() { Note("CopyError"), CQUpdateDlgMgr::OnFileCopyError(); }
void E2eWindow::OnFinalizeError() { Note("FinalizeError"), CQUpdateDlgMgr::OnFinalizeError(); }
bool E2eWindow::OnPrepareFinish(int32_t found) {
  Note("PrepareFinish" + std::to_string(found));
  return CQUpdateDlgMgr::OnPrepareFinish(found);
}
void E2eWindow::SetProgressText(platform::ProgressKind kind, std::string_view file, uint32_t value) {
  texts.push_back(ProgressText(kind, file));
  CQUpdateDlgMgr::SetProgressText(kind, file, value);
  if (onText) onText(kind, file);
}
void E2eWindow::SetProductStatus(const std::string& product, platform::ProgressKind kind) {
  statuses.push_back(std::to_string(static_cast<uint32_t>(kind)) + ":" + product);
}
std::vector<std::string> E2eWindow::Products() const {
  std::vector<std::string> out;
  if (ProductList() != nullptr) {
    for (const auto& r : *ProductList()) out.push_back(r.product + "=" + r.latestVersion);
  }
  return out;
}
void E2eWindow::Note(const std::string& what) {
  events.push_back(what + "@" + std::to_string(CQUpdateMgrEnv().GetUpdateState()));
}

uint32_t E2eRunFixture::State() { return CQUpdateMgrEnv().GetUpdateState(); }

void E2eRunFixture::SetUp() {
  UpdateRunFixture::SetUp();
  fs::create_directories(Desktop());
  fs::create_directories(m_root / "srv");
  m_main.SetDword("UpdateState", 0);
  platform::MessageService::Install(m_messages);
  NewProcess(0);
}

void E2eRunFixture::NewProcess(uint32_t mode) {
  // one process object at a time: the old one unregisters before the new one registers
  m_window = nullptr;
  m_process.reset();
  m_process = std::make_unique<CQUpdateBaseProcess>();
  m_process->SetAutoMode(mode);
  m_process->SetEndProcess([this](int code) { m_ended.push_back(code); });
  m_process->SetDlgMgr(std::make_unique<E2eWindow>());
  m_window = static_cast<E2eWindow*>(m_process->DlgMgr());
}

void E2eRunFixture::TearDown() {
  m_process.reset();
  platform::MessageService::Install(nullptr);
  m_smb.reset();
  m_ftp.reset();
  m_http.reset();
  UpdateRunFixture::TearDown();
}

std::string E2eRunFixture::UseTransport(Transport transport) {
  const fs::path served = m_root / "srv";
  switch (transport) {
    case Transport::kHttp:
      m_http = std::make_unique<HttpTestServer>(served);
      if (m_http->Port() == 0) return "the HTTP test server did not start: " + m_http->Error();
      m_main.SetDword("ServerType", kServerTypeHttp);
      m_main.SetString("ServerPath", m_http->ServiceUrl());
      return {};
    case Transport::kFtp: {
      m_ftp = std::make_unique<FtpTestServer>(served, kFtpUser, kFtpPassword);
      if (m_ftp->Port() == 0) return "the FTP test server did not start: " + m_ftp->Error();
      std::string encrypted, error;
      if (!EncryptPassword(kFtpPassword, encrypted, &error)) return "cannot encrypt the FTP password: " + error;
      m_main.SetDword("ServerType", kServerTypeFtp);
      m_main.SetDword("ServerPort", static_cast<uint32_t>(m_ftp->Port()));
      m_main.SetString("ServerPath", "ftp://127.0.0.1");
      m_main.SetString("UserID", kFtpUser);
      m_main.SetString("PassWD", encrypted);
      return {};
    }
    case Transport::kFolder:
      m_main.SetDword("ServerType", kServerTypeNetwork);
      m_main.SetString("ServerPath", served.string());
      return {};
    case Transport::kSmb: {
      m_smb = std::make_unique<SambaTestServer>(m_root / "samba", served);
      if (!m_smb->Running()) return m_smb->SkipReason();
      std::string encrypted, error;
      if (!EncryptPassword(SambaTestServer::kPassword, encrypted, &error)) return "cannot encrypt: " + error;
      m_main.SetDword("ServerType", kServerTypeNetwork);
      m_main.SetString("ServerPath", m_smb->Url());
      m_main.SetString("UserID", SambaTestServer::kUser);
      m_main.SetString("PassWD", encrypted);
      return {};
    }
  }
  return "unknown transport";
}

void E2eRunFixture::ServeTwoUpdates() {
  Installed("Writer", "Qorvane Writer");
  Installed("Calc", "Qorvane Calc");
  Installed("Viewer", "Qorvane Viewer");
  Serve("qupdate_s.ini",
        "[VersionInfo]\nWriter=7.0.1\nCalc=6.2\nViewer=5.0\n"
        "[UpdateVersionInfo]\nWriter=7\nCalc=6\nViewer=5\n"
        "[COUNT]\nWriter=1\nCalc=1\n");
  ServeCabinet("writer.cab", {{"bin/writer.txt", "writer 7"}, {"bin/Writer.exe", "writer program 7"}});
  ServeCabinet("calc/calc.cab", {{"calc.txt", "calc 6"}});
  Serve("Writer.ini",
        "[Writer]\nWriterCOUNT=1\nWriter0FILE=writer.cab\n"
        "REGISTRYCOUNT=1\nREGISTRY0ROOT=2\nREGISTRY0KEY=SOFTWARE\\QRV\\Shared\\QrvUpdate\\Writer\n"
        "REGISTRY0NAME=Channel\nREGISTRY0VALUE=stable-7\nREGISTRY0TYPE=1\n"
        "SHORTCUTCOUNT=1\nSHORTCUT0DIR=1\nSHORTCUT0FILEPATH=bin\\Writer.exe\nSHORTCUT0NAME=Writer\n"
        "SHORTCUT0DESC=Qorvane Writer\n");
  Serve("Calc.ini", "[Calc]\nCalcCOUNT=1\nCalc0FILE=calc\\calc.cab\n");
}

bool E2eRunFixture::RunAll(std::vector<std::string> products) {
  if (!m_window->UpdatePrepare(0)) {
    ADD_FAILURE() << "prepare refused";
    return false;
  }
  const int32_t downloaded = m_window->UpdateDownload(products);
  if (downloaded != 1) {
    ADD_FAILURE() << "download result " << downloaded << ", messages shown: " << m_messages->shown.size();
    return false;
  }
  m_window->UpdateWait();
  const int32_t copied = m_window->UpdateCopyFile();
  if (copied != 1) {
    ADD_FAILURE() << "copy result " << copied;
    return false;
  }
  m_window->UpdateFinalize();
  m_window->UpdateFinish(0);
  return true;
}

std::optional<std::string> E2eRunFixture::RegistryText(const std::string& key, const std::string& name) {
  platform::RegistryKey k;
  platform::RegValue v;
  if (platform::RegistryKey::Open(platform::kRootLocalMachine, key, platform::RegAccess::kRead, k) !=
          platform::RegStatus::kOk ||
      k.Query(name, v) != platform::RegStatus::kOk) {
    return std::nullopt;
  }
  return v.AsString();
}

}  // namespace qrv::test
