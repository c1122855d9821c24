#include "app/remote/RemoteUpdateEngine.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/CQUpdateBaseProcess.h"
#include "app/remote/RemoteValues.h"
#include "platform/core/Diagnostics.h"
#include "platform/core/LastError.h"
#include "platform/core/MessageService.h"
#include "platform/shell/DesktopShortcuts.h"
#include "platform/shell/Launcher.h"
#include "platform/shell/ShortcutFile.h"
#include "platform/thread/EventPump.h"

namespace qrv::remote {

namespace {

constexpr int64_t kProtocolVersion = 1;
// How long a service may take to greet (it may be started for this call).
constexpr std::chrono::milliseconds kGreetingTimeout{30000};

CQUpdateDlgMgr* Window() {
  CQUpdateBaseProcess* process = CQUpdateBaseProcess::GetInstance();
  return process != nullptr ? process->DlgMgr() : nullptr;
}

bool Kind(int64_t number, platform::ProgressKind& kind) {
  switch (static_cast<platform::ProgressKind>(number)) {
    case platform::ProgressKind::kDownloading:
    case platform::ProgressKind::kWaiting:
    case platform::ProgressKind::kCopying:
    case platform::ProgressKind::kDeleting:
    case platform::ProgressKind::kCancelling:
    case platform::ProgressKind::kDropped:
      kind = static_cast<platform::ProgressKind>(number);
      return true;
  }
  return false;
}

}  // namespace

RemoteUpdateEngine::RemoteUpdateEngine(int fd) : m_channel(std::make_unique<RemoteChannel>(fd)) {
  m_channel->SetDispatcher([this](const Message& call, Message& reply) { Serve(call, reply); });
  m_channel->SetPump([] { platform::EventPump::Pump(); }, platform::EventPump::ThreadInterval());
}

std::unique_ptr<RemoteUpdateEngine> RemoteUpdateEngine::Connect(const std::string& socketPath, uint32_t mode,
                                                                 Outcome& outcome, std::string& error) {
  outcome = Outcome::kFailed;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) {
    error = "the engine service's socket path " + socketPath + " is empty or too long";
    return nullptr;
  }
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("cannot make a socket: ") + std::strerror(errno);
    return nullptr;
  }
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = "cannot reach the update engine service at " + socketPath + ": " + std::strerror(errno);
    close(fd);
    return nullptr;
  }
  std::unique_ptr<RemoteUpdateEngine> engine(new RemoteUpdateEngine(fd));
  Values args;
  RemoteValues::AddNumber(args, kProtocolVersion);
  RemoteValues::AddNumber(args, mode);
  Message reply;
  if (!engine->m_channel->Call(HELLO, args, reply, kGreetingTimeout)) {
    error = "the update engine service at " + socketPath + " did not answer: " +
            (engine->m_channel->IsOpen() ? "no greeting within " + std::to_string(kGreetingTimeout.count()) + " ms"
                                         : engine->m_channel->CloseReason());
    return nullptr;
  }
  // 1 the session runs, 2 handed over to the run under way, 3 no
  // administrator, 4 another process holds the root's run lock; a refusal
  // of anything else comes as an error alone.
  int64_t answer = 0;
  RemoteValues::Number(reply.values(), 0, 0, 4, answer);
  if (answer == 1 && reply.error().empty()) {
    outcome = Outcome::kConnected;
    return engine;
  }
  error = reply.error().empty() ? "the update engine service refused the session" : reply.error();
  outcome = answer == 2   ? Outcome::kHandedOver
            : answer == 3 ? Outcome::kRefused
            : answer == 4 ? Outcome::kBusy
                          : Outcome::kFailed;
  return nullptr;
}

RemoteUpdateEngine::~RemoteUpdateEngine() {
  if (m_channel->IsOpen()) {
    Message reply;
    m_channel->Call(END_SESSION, Values(), reply);
  }
  m_channel->Shutdown();
}

void RemoteUpdateEngine::ServeArrived() {
  m_channel->TakeWake();
  m_channel->ServePending();
}

void RemoteUpdateEngine::Fail(const std::string& why) {
  m_outcome = CQUpdateBase::PrepareOutcome::kFailed;
  m_failure = why;
  if (m_reported) return;
  m_reported = true;
  platform::Diagnostics::Report("update engine service: " + why);
}

bool RemoteUpdateEngine::Ask(Method method, const Values& args, Message& reply) {
  if (!m_channel->Call(method, args, reply)) {
    Fail("the connection to the engine ended: " + m_channel->CloseReason());
    return false;
  }
  if (!reply.error().empty()) {
    platform::Diagnostics::Report("update engine service refused call " + std::to_string(method) + ": " +
                                  reply.error());
    return false;
  }
  return true;
}

int64_t RemoteUpdateEngine::AskNumber(Method method, const Values& args, int64_t low, int64_t high) {
  Message reply;
  int64_t number = 0;
  if (Ask(method, args, reply)) RemoteValues::Number(reply.values(), 0, low, high, number);
  return number;
}

std::string RemoteUpdateEngine::AskText(Method method, const Values& args) {
  Message reply;
  std::string text;
  if (Ask(method, args, reply)) RemoteValues::Text(reply.values(), 0, text);
  return text;
}

void RemoteUpdateEngine::TakeRunState(const Values& values, int first) {
  int64_t outcome = 0;
  if (RemoteValues::Number(values, first, 0, 3, outcome)) m_outcome = static_cast<CQUpdateBase::PrepareOutcome>(outcome);
  RemoteValues::Text(values, first + 1, m_failure);
  // In place: the window keeps a pointer to the list.
  std::vector<tagUPDATETYPE> products;
  if (RemoteValues::Products(values, first + 2, products)) m_products = std::move(products);
  RemoteValues::Texts(values, first + 3, m_dropped);
  RemoteValues::Text(values, first + 4, m_copyFailure);
  int64_t restart = 0;
  if (RemoteValues::Number(values, first + 5, 0, 1, restart)) m_restartRequired = static_cast<uint32_t>(restart);
}

void RemoteUpdateEngine::Serve(const Message& call, Message& reply) {
  const Values& in = call.values();
  Values& out = *reply.mutable_values();
  int64_t number = 0;
  int64_t second = 0;
  std::string text;
  CQUpdateDlgMgr* window = Window();
  platform::ProgressKind kind{};
  switch (call.method()) {
    case ON_FILE_TRANSFER_BEGIN:
      if (window != nullptr) window->OnFileTransferBegin();
      return;
    case ON_FILE_TRANSFER_FINISH:
      if (window != nullptr) window->OnFileTransferFinish();
      return;
    case ON_FILE_TRANSFER_ERROR:
      if (RemoteValues::Number(in, 0, INT32_MIN, INT32_MAX, number) && window != nullptr) {
        window->OnFileTransferError(static_cast<int32_t>(number));
      }
      return;
    case ON_FILE_COPY_BEGIN:
      if (window != nullptr) window->OnFileCopyBegin();
      return;
    case ON_FILE_COPY_FINISH:
      if (window != nullptr) window->OnFileCopyFinish();
      return;
    case ON_FILE_COPY_ERROR:
      if (window != nullptr) window->OnFileCopyError();
      return;
    case ON_FINALIZE_ERROR:
      if (window != nullptr) window->OnFinalizeError();
      return;
    case SET_PRODUCT_STATUS:
      if (RemoteValues::Number(in, 0, 0, 255, number) && Kind(number, kind) && RemoteValues::Text(in, 1, text) &&
          window != nullptr) {
        window->SetProductStatus(text, kind);
      }
      return;
    case SET_PROGRESS_TEXT:
      if (RemoteValues::Number(in, 0, 0, 255, number) && Kind(number, kind) && RemoteValues::Text(in, 1, text) &&
          RemoteValues::Number(in, 2, 0, UINT32_MAX, second) && window != nullptr) {
        window->SetProgressText(kind, text, static_cast<uint32_t>(second));
      }
      return;
    case SET_PROGRESS_RANGE:
      if (RemoteValues::Number(in, 0, 0, UINT32_MAX, number) && window != nullptr) {
        window->SetProgressRange(static_cast<uint32_t>(number));
      }
      return;
    case STEP_PROGRESS_BACK:
      if (window != nullptr) window->StepProgressBack();
      return;
    case SHOW_MESSAGE:
    case SHOW_MESSAGE_WITH:
    case SHOW_MESSAGE_TITLED: {
      if (!RemoteValues::Number(in, 0, 0, UINT32_MAX, number) || !RemoteValues::Number(in, 1, 0, 16, second)) {
        reply.set_error("a message box needs its string and buttons");
        return;
      }
      platform::MessageService& boxes = platform::MessageService::Current();
      const auto id = static_cast<uint32_t>(number);
      const auto buttons = static_cast<uint32_t>(second);
      int answer = 0;
      if (call.method() == SHOW_MESSAGE_WITH && RemoteValues::Text(in, 2, text)) {
        answer = boxes.ShowWith(id, text, buttons);
      } else if (int64_t title = 0; call.method() == SHOW_MESSAGE_TITLED && RemoteValues::Number(in, 2, 0, UINT32_MAX, title)) {
        answer = boxes.ShowTitled(static_cast<uint32_t>(title), id, buttons);
      } else {
        answer = boxes.Show(id, buttons);
      }
      RemoteValues::AddNumber(out, answer);
      return;
    }
    case END_PROCESS:
      if (RemoteValues::Number(in, 0, 0, 255, number)) {
        if (CQUpdateBaseProcess* process = CQUpdateBaseProcess::GetInstance()) process->EndProcess(static_cast<int>(number));
      }
      return;
    case OPEN_FILE: {
      // The engine chose the file below a product's folder; it is opened
      // here, as this user, in this session.
      std::string folder;
      if (!RemoteValues::Text(in, 0, text) || !RemoteValues::Text(in, 1, folder) || text.empty() || text[0] != '/') {
        reply.set_error("a program start needs an absolute file and a folder");
        return;
      }
      RemoteValues::AddOutcome(out, platform::Launcher::Current().Open(text, folder));
      return;
    }
    case MAKE_DESKTOP_SHORTCUT:
    case REMOVE_DESKTOP_SHORTCUT: {
      // On this user's desktop, as this user; the name must stay a file
      // name in that folder and the target an absolute path.
      std::string target;
      std::string comment;
      const bool make = call.method() == MAKE_DESKTOP_SHORTCUT;
      if (!RemoteValues::Text(in, 0, text) || !platform::ShortcutFile::IsValidName(text) ||
          (make && (!RemoteValues::Text(in, 1, target) || !RemoteValues::Text(in, 2, comment) || target.empty() ||
                    target[0] != '/'))) {
        reply.set_error("a desktop shortcut needs a file name and an absolute target");
        return;
      }
      platform::DesktopShortcuts& shortcuts = platform::DesktopShortcuts::Current();
      RemoteValues::AddOutcome(out, make ? shortcuts.Make(text, target, comment) : shortcuts.Remove(text));
      return;
    }
    case NOTIFY_STATE:
    case BRING_TO_FRONT:
      if (m_requests) m_requests(call.method() == NOTIFY_STATE);
      return;
    default: reply.set_error("call " + std::to_string(call.method()) + " is not served by a window");
  }
}

void RemoteUpdateEngine::SetAutoMode(uint32_t mode) {
  Values args;
  RemoteValues::AddNumber(args, mode);
  Message reply;
  Ask(SET_AUTO_MODE, args, reply);
}

int32_t RemoteUpdateEngine::QueryUpdates() {
  Message reply;
  if (!Ask(QUERY_UPDATES, Values(), reply)) {
    m_products.clear();
    return 0;
  }
  int64_t found = 0;
  RemoteValues::Number(reply.values(), 0, 0, 1, found);
  TakeRunState(reply.values(), 1);
  return static_cast<int32_t>(found);
}

CQUpdateBase::ResumePoint RemoteUpdateEngine::ResumeInterruptedRun() {
  Message reply;
  int64_t point = 0;
  if (Ask(RESUME_INTERRUPTED_RUN, Values(), reply)) {
    RemoteValues::Number(reply.values(), 0, 0, 2, point);
    TakeRunState(reply.values(), 1);
  }
  return static_cast<CQUpdateBase::ResumePoint>(point);
}

std::string RemoteUpdateEngine::ProductName(const std::string& product) {
  Values args;
  RemoteValues::AddText(args, product);
  const std::string name = AskText(PRODUCT_NAME, args);
  return name.empty() ? product : name;
}

int32_t RemoteUpdateEngine::GetTotalFileCount() { return static_cast<int32_t>(AskNumber(GET_TOTAL_FILE_COUNT)); }

int32_t RemoteUpdateEngine::StartDownload(std::vector<std::string>& products) {
  Values args;
  RemoteValues::AddTexts(args, products);
  Message reply;
  if (!Ask(START_DOWNLOAD, args, reply)) return 0;
  int64_t result = 0;
  RemoteValues::Number(reply.values(), 0, INT32_MIN, INT32_MAX, result);
  RemoteValues::Texts(reply.values(), 1, products);
  TakeRunState(reply.values(), 2);
  return static_cast<int32_t>(result);
}

int32_t RemoteUpdateEngine::CopyFiles() {
  Message reply;
  if (!Ask(COPY_FILES, Values(), reply)) return 0;
  int64_t result = 0;
  RemoteValues::Number(reply.values(), 0, 0, 2, result);
  TakeRunState(reply.values(), 1);
  return static_cast<int32_t>(result);
}

int32_t RemoteUpdateEngine::ApplyActions() {
  Message reply;
  int64_t result = 0;
  if (!Ask(APPLY_ACTIONS, Values(), reply)) return 0;
  RemoteValues::Number(reply.values(), 0, INT32_MIN, INT32_MAX, result);
  TakeRunState(reply.values(), 1);
  return static_cast<int32_t>(result);
}

int32_t RemoteUpdateEngine::CompleteUpdate() {
  Message reply;
  int64_t result = 0;
  if (!Ask(COMPLETE_UPDATE, Values(), reply)) return 0;
  RemoteValues::Number(reply.values(), 0, INT32_MIN, INT32_MAX, result);
  TakeRunState(reply.values(), 1);
  return static_cast<int32_t>(result);
}

void RemoteUpdateEngine::EndUpdateState(int32_t aborted) {
  Values args;
  RemoteValues::AddNumber(args, aborted != 0 ? 1 : 0);
  Message reply;
  Ask(END_UPDATE_STATE, args, reply);
}

void RemoteUpdateEngine::SetUpdateState(UpdateState state) {
  Values args;
  RemoteValues::AddNumber(args, static_cast<int64_t>(state));
  Message reply;
  Ask(SET_UPDATE_STATE, args, reply);
}

void RemoteUpdateEngine::CancelDownload() {
  Message reply;
  Ask(CANCEL_DOWNLOAD, Values(), reply);
}

void RemoteUpdateEngine::CancelCopy() {
  Message reply;
  Ask(CANCEL_COPY, Values(), reply);
}

int32_t RemoteUpdateEngine::RollbackCopy(uint32_t flag) {
  Values args;
  RemoteValues::AddNumber(args, flag != 0 ? 1 : 0);
  return static_cast<int32_t>(AskNumber(ROLLBACK_COPY, args));
}

void RemoteUpdateEngine::LoadUpdateContent(const std::string& product) {
  Values args;
  RemoteValues::AddText(args, product);
  Message reply;
  Ask(LOAD_UPDATE_CONTENT, args, reply);
}

void RemoteUpdateEngine::RecordLastUpdate() {
  Message reply;
  Ask(RECORD_LAST_UPDATE, Values(), reply);
}

UpdateState RemoteUpdateEngine::StoredUpdateState() {
  return static_cast<UpdateState>(AskNumber(STORED_UPDATE_STATE, Values(), 0, UINT32_MAX));
}

bool RemoteUpdateEngine::IsUpdateDue(bool automatic) {
  Values args;
  RemoteValues::AddNumber(args, automatic ? 1 : 0);
  return AskNumber(IS_UPDATE_DUE, args, 0, 1) != 0;
}

std::vector<std::string> RemoteUpdateEngine::DamagedStores() {
  Message reply;
  std::vector<std::string> reports;
  if (Ask(DAMAGED_STORES, Values(), reply)) RemoteValues::Texts(reply.values(), 0, reports);
  return reports;
}

std::string RemoteUpdateEngine::UpdateDependency(const std::string& product) {
  Values args;
  RemoteValues::AddText(args, product);
  return AskText(UPDATE_DEPENDENCY, args);
}

bool RemoteUpdateEngine::ReadUpdateContent(const std::string& product, size_t maxBytes, std::string& bytes,
                                           bool& truncated) {
  bytes.clear();
  truncated = false;
  Values args;
  RemoteValues::AddText(args, product);
  RemoteValues::AddNumber(args, static_cast<int64_t>(maxBytes));
  Message reply;
  int64_t read = 0;
  int64_t cut = 0;
  if (!Ask(READ_UPDATE_CONTENT, args, reply) || !RemoteValues::Number(reply.values(), 0, 0, 1, read) || read == 0) {
    return false;
  }
  if (!RemoteValues::Text(reply.values(), 1, bytes) || bytes.size() > maxBytes) {
    bytes.clear();
    return false;
  }
  RemoteValues::Number(reply.values(), 2, 0, 1, cut);
  truncated = cut != 0;
  return true;
}

bool RemoteUpdateEngine::RecordDownloadFinished() { return AskNumber(RECORD_DOWNLOAD_FINISHED, Values(), 0, 1) != 0; }

bool RemoteUpdateEngine::HomepageHidden() { return AskNumber(HOMEPAGE_HIDDEN, Values(), 0, 1) != 0; }

uint32_t RemoteUpdateEngine::IsAutoUpdate() {
  return static_cast<uint32_t>(AskNumber(IS_AUTO_UPDATE, Values(), 0, UINT32_MAX));
}

void RemoteUpdateEngine::SetAutoUpdate(uint32_t value) {
  Values args;
  RemoteValues::AddNumber(args, value);
  Message reply;
  Ask(SET_AUTO_UPDATE, args, reply);
}

uint32_t RemoteUpdateEngine::GetTerm() { return static_cast<uint32_t>(AskNumber(GET_TERM, Values(), 0, UINT32_MAX)); }

void RemoteUpdateEngine::SetTerm(uint32_t value) {
  Values args;
  RemoteValues::AddNumber(args, value);
  Message reply;
  Ask(SET_TERM, args, reply);
}

std::string RemoteUpdateEngine::GetDownloadPath() { return AskText(GET_DOWNLOAD_PATH); }

void RemoteUpdateEngine::SetDownloadPath(const std::string& path) {
  Values args;
  RemoteValues::AddText(args, path);
  Message reply;
  Ask(SET_DOWNLOAD_PATH, args, reply);
}

std::string RemoteUpdateEngine::GetServerPath() { return AskText(GET_SERVER_PATH); }

std::string RemoteUpdateEngine::GetDefaultServerPath() { return AskText(GET_DEFAULT_SERVER_PATH); }

tagSERVERINFO RemoteUpdateEngine::GetServerInfo() {
  Message reply;
  tagSERVERINFO info;
  if (Ask(GET_SERVER_INFO, Values(), reply)) RemoteValues::Server(reply.values(), 0, info);
  return info;
}

void RemoteUpdateEngine::SetServerInfo(const tagSERVERINFO& info) {
  Values args;
  RemoteValues::AddServer(args, info);
  Message reply;
  Ask(SET_SERVER_INFO, args, reply);
}

void RemoteUpdateEngine::SaveServerInfoByType(const tagSERVERINFO& info) {
  Values args;
  RemoteValues::AddServer(args, info);
  Message reply;
  Ask(SAVE_SERVER_INFO_BY_TYPE, args, reply);
}

void RemoteUpdateEngine::SelectServerType(uint32_t type) {
  Values args;
  RemoteValues::AddNumber(args, type);
  Message reply;
  Ask(SELECT_SERVER_TYPE, args, reply);
}

void RemoteUpdateEngine::ResetServerInfo() {
  Message reply;
  Ask(RESET_SERVER_INFO, Values(), reply);
}

uint32_t RemoteUpdateEngine::TestConnection(const tagSERVERINFO& server) {
  Values args;
  RemoteValues::AddServer(args, server);
  return static_cast<uint32_t>(AskNumber(TEST_CONNECTION, args, 0, UINT32_MAX));
}

bool RemoteUpdateEngine::TestDownloadFolder(const std::string& folder) {
  Values args;
  RemoteValues::AddText(args, folder);
  return AskNumber(TEST_DOWNLOAD_FOLDER, args, 0, 1) != 0;
}

bool RemoteUpdateEngine::SetLogOnEntry(bool on, std::string& error) {
  Values args;
  RemoteValues::AddNumber(args, on ? 1 : 0);
  Message reply;
  int64_t done = 0;
  if (!Ask(SET_LOG_ON_ENTRY, args, reply)) {
    error = "the update engine service could not be asked";
    return false;
  }
  RemoteValues::Number(reply.values(), 0, 0, 1, done);
  RemoteValues::Text(reply.values(), 1, error);
  return done != 0;
}

}  // namespace qrv::remote
