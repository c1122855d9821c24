#include "app/remote/EngineSession.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <utility>

#include "app/CQUpdateBaseProcess.h"
#include "app/remote/EngineService.h"
#include "app/remote/RemoteDesktopShortcuts.h"
#include "app/remote/RemoteLauncher.h"
#include "app/remote/RemoteMessageService.h"
#include "app/remote/RemoteValues.h"
#include "app/remote/RemoteWindowProxy.h"
#include "platform/core/Diagnostics.h"
#include "platform/core/RunLock.h"
#include "platform/thread/EventPump.h"

namespace qrv::remote {

namespace {

constexpr int64_t kProtocolVersion = 1;
// Longest product key, folder, server path or user name taken from a client.
constexpr size_t kMaxKeyBytes = 255;
constexpr size_t kMaxPathBytes = 4096;
// How often the engine's waits for a worker serve the client's calls.
constexpr std::chrono::milliseconds kPumpInterval{15};
// Largest amount of update notes a client may ask for at once.
constexpr int64_t kMaxContentBytes = 1 << 20;
// How long a send to a window may stall before the window counts as gone.
constexpr time_t kSendTimeoutSeconds = 30;

// The calls that do a phase's work. Each runs at most once at a time: a
// window may start the next phase from a notification of the one before (the
// copy from the download's end), never the same work inside itself.
bool LongCall(uint32_t method) {
  switch (method) {
    case QUERY_UPDATES:
    case START_DOWNLOAD:
    case COPY_FILES:
    case APPLY_ACTIONS:
    case COMPLETE_UPDATE:
    case TEST_CONNECTION:
    case TEST_DOWNLOAD_FOLDER:
    case RESUME_INTERRUPTED_RUN: return true;
    default: return false;
  }
}

bool HasControl(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  });
}

// A product key names a registry key below the updater's own and files of
// the download folder: one plain name, nothing that could climb or split.
bool PlainKey(const std::string& key) {
  return !key.empty() && key.size() <= kMaxKeyBytes && !HasControl(key) && key != "." && key != ".." &&
         key.find_first_of("\\/") == std::string::npos;
}

bool AbsoluteFolder(const std::string& path) {
  return !path.empty() && path.size() <= kMaxPathBytes && path.front() == '/' && !HasControl(path);
}

bool SaneServer(const tagSERVERINFO& server) {
  const auto fits = [](const std::string& text) { return text.size() <= kMaxPathBytes && text.find('\0') == std::string::npos; };
  return server.type >= kServerTypeHttp && server.type <= kServerTypeFtp && server.port <= 65535 &&
         fits(server.path) && fits(server.user) && fits(server.password) && !HasControl(server.path) &&
         !HasControl(server.user);
}

bool KnownState(int64_t state) {
  switch (static_cast<UpdateState>(state)) {
    case UpdateState::kDone:
    case UpdateState::kDownloadBegun:
    case UpdateState::kDownloaded:
    case UpdateState::kDownloadFailed:
    case UpdateState::kSignatureFailed:
    case UpdateState::kCopyBegun:
    case UpdateState::kCopied:
    case UpdateState::kCopyFailed:
    case UpdateState::kActionsBegun:
    case UpdateState::kActionsDone:
    case UpdateState::kCommitBegun:
    case UpdateState::kCommitted: return true;
  }
  return false;
}

void Refuse(Message& reply, const std::string& why) {
  reply.clear_values();
  reply.set_error(why);
}

// Calls a client may make while a phase's work is under way (while the
// engine waits for a worker, or inside a notification the work sends before
// it ends): stops and reads that cannot disturb it. Everything else waits
// for the work to end, as a window's own controls do meanwhile.
bool SafeDuringWork(uint32_t method) {
  switch (method) {
    case CANCEL_DOWNLOAD:
    case CANCEL_COPY:
    case ROLLBACK_COPY:
    case GET_TOTAL_FILE_COUNT:
    case PRODUCT_NAME:
    case STORED_UPDATE_STATE:
    case RUN_STATE:
    case UPDATE_DEPENDENCY:
    case READ_UPDATE_CONTENT:
    case HOMEPAGE_HIDDEN: return true;
    default: return false;
  }
}

}  // namespace

EngineSession::EngineSession(int fd) : m_channel(fd) {
  // A window that stops reading must not hold the engine, and with it the
  // machine's one run, for good: a send that cannot go on ends the session.
  const timeval limit{kSendTimeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  m_channel.SetDispatcher([this](const Message& call, Message& reply) { Dispatch(call, reply); });
}

EngineSession::~EngineSession() = default;

void EngineSession::Run(std::chrono::milliseconds helloWithin) {
  const std::shared_ptr<platform::MessageService> previousService =
      platform::MessageService::Install(std::make_shared<RemoteMessageService>(m_channel));
  const std::shared_ptr<platform::Launcher> previousLauncher =
      platform::Launcher::Install(std::make_shared<RemoteLauncher>(m_channel));
  const std::shared_ptr<platform::DesktopShortcuts> previousShortcuts =
      platform::DesktopShortcuts::Install(std::make_shared<RemoteDesktopShortcuts>(m_channel));
  const platform::EventPump::Hook previousHook = platform::EventPump::SetThreadHook([this] { Pump(); });
  const std::chrono::milliseconds previousInterval = platform::EventPump::ThreadInterval();
  platform::EventPump::SetThreadInterval(kPumpInterval);

  const auto deadline = std::chrono::steady_clock::now() + helloWithin;
  while (!m_ended && m_channel.ServeFor(std::chrono::milliseconds{100})) {
    if (EngineService::StopRequested()) {
      platform::Diagnostics::Report("engine: asked to stop; the window's session ends");
      break;
    }
    if (!m_greeted && std::chrono::steady_clock::now() >= deadline) {
      platform::Diagnostics::Report("engine: a client said nothing within " + std::to_string(helloWithin.count()) +
                                    " ms; its connection is closed");
      break;
    }
  }
  if (!m_ended && m_greeted) {
    platform::Diagnostics::Report("engine: the window went away before its run ended (" + m_channel.CloseReason() +
                                  "); the run's state is kept for the next automatic start");
  }
  if (m_process) {
    m_process->AbandonRun();
    m_process.reset();
  }
  m_channel.Shutdown();

  platform::EventPump::SetThreadInterval(previousInterval);
  platform::EventPump::SetThreadHook(previousHook);
  platform::DesktopShortcuts::Install(previousShortcuts);
  platform::Launcher::Install(previousLauncher);
  platform::MessageService::Install(previousService);
}

void EngineSession::Pump() {
  m_inPump = true;
  m_channel.ServePending();
  m_inPump = false;
  // A window gone, or the service asked to stop: a download stops, a copy
  // runs to its end.
  if ((!m_channel.IsOpen() || EngineService::StopRequested()) && m_process) m_process->AbandonRun();
}

void EngineSession::Start(uint32_t mode) {
  m_mode.store(mode);
  m_process = std::make_unique<CQUpdateBaseProcess>();
  m_process->SetAutoMode(mode);
  // The window is made after the process object, which it looks up.
  auto window = std::make_unique<RemoteWindowProxy>(m_channel);
  // The transfer's and the copy's work ends with their last notification;
  // the window may start the next phase from it.
  window->SetWorkEndHook([this](int method) {
    m_active.erase(method == ON_FILE_TRANSFER_FINISH || method == ON_FILE_TRANSFER_ERROR ? START_DOWNLOAD : COPY_FILES);
  });
  m_process->SetDlgMgr(std::move(window));
  // An automatic run that has failed ends its window's process, not this one.
  m_process->SetEndProcess([this](int code) {
    Values args;
    RemoteValues::AddNumber(args, code);
    Message reply;
    m_channel.Call(END_PROCESS, args, reply);
  });
  m_greeted = true;
}

void EngineSession::End() {
  // The process object's end may still ask (the restart question): the
  // client waits for this call's reply and answers meanwhile.
  m_process.reset();
  m_ended = true;
}

void EngineSession::Dispatch(const Message& call, Message& reply) {
  const uint32_t method = call.method();
  if (method == HELLO) {
    int64_t version = 0;
    int64_t mode = 0;
    if (m_greeted) return Refuse(reply, "the session has begun already");
    if (!RemoteValues::Number(call.values(), 0, 0, INT32_MAX, version) || version != kProtocolVersion) {
      Refuse(reply, "protocol version " + std::to_string(version) + " is not " + std::to_string(kProtocolVersion));
      return;
    }
    if (!RemoteValues::Number(call.values(), 1, 0, 1, mode)) return Refuse(reply, "the run mode must be 0 or 1");
    // One run per root, whoever runs it: a root's own run in its process
    // (sudo qrvupdate) and the service's exclude each other.
    if (m_runLock.Take() != platform::RunLock::Outcome::kTaken) {
      RemoteValues::AddNumber(*reply.mutable_values(), 4);
      reply.set_error(m_runLock.Error());
      return;
    }
    Start(static_cast<uint32_t>(mode));
    RemoteValues::AddNumber(*reply.mutable_values(), 1);
    return;
  }
  if (!m_greeted) {
    Refuse(reply, "a session begins with its greeting");
    return;
  }
  // Ended, or ending: the process object is being destroyed (its restart
  // question may be open).
  if (m_ended || !m_process) return Refuse(reply, "the session has ended");
  if ((m_inPump || !m_active.empty()) && !SafeDuringWork(method)) {
    Refuse(reply, "call " + std::to_string(method) + " must wait until the work under way has ended");
    return;
  }
  if (LongCall(method)) {
    if (m_running.count(method) != 0) {
      Refuse(reply, "call " + std::to_string(method) + " is under way already");
      return;
    }
    m_running.insert(method);
    m_active.insert(method);
    const bool served = DispatchEngine(call, reply) || DispatchSettings(call, reply);
    m_active.erase(method);
    m_running.erase(method);
    if (!served) Refuse(reply, "call " + std::to_string(method) + " is not served by the engine");
    return;
  }
  if (method == END_SESSION) {
    // Not while a phase's work is on the stack: the process object it runs
    // in must outlive it.
    if (!m_running.empty()) return Refuse(reply, "the session cannot end while work is under way");
    m_ending.store(true);
    End();
    RemoteValues::AddNumber(*reply.mutable_values(), 1);
    return;
  }
  if (DispatchEngine(call, reply) || DispatchSettings(call, reply)) return;
  Refuse(reply, "call " + std::to_string(method) + " is not served by the engine");
}

bool EngineSession::DispatchEngine(const Message& call, Message& reply) {
  UpdateEngine& engine = m_process->Engine();
  const Values& in = call.values();
  Values& out = *reply.mutable_values();
  int64_t number = 0;
  std::string text;
  const auto bad = [&reply, &call] {
    Refuse(reply, "call " + std::to_string(call.method()) + " came with arguments that are not allowed");
    return true;
  };
  const auto runState = [&] {
    RemoteValues::AddNumber(out, static_cast<int64_t>(engine.LastPrepareOutcome()));
    RemoteValues::AddText(out, engine.PrepareFailure());
    RemoteValues::AddProducts(out, *engine.GetUpdateTypes());
    RemoteValues::AddTexts(out, engine.DroppedProducts());
    RemoteValues::AddText(out, engine.CopyFailureReason());
    RemoteValues::AddNumber(out, engine.RestartRequired() != 0 ? 1 : 0);
  };
  switch (call.method()) {
    case SET_AUTO_MODE:
      if (!RemoteValues::Number(in, 0, 0, 1, number)) return bad();
      engine.SetAutoMode(static_cast<uint32_t>(number));
      m_mode.store(static_cast<uint32_t>(number));
      return true;
    case QUERY_UPDATES:
      RemoteValues::AddNumber(out, engine.QueryUpdates());
      runState();
      return true;
    case RUN_STATE: runState(); return true;
    case RESUME_INTERRUPTED_RUN:
      RemoteValues::AddNumber(out, static_cast<int64_t>(engine.ResumeInterruptedRun()));
      runState();
      return true;
    case PRODUCT_NAME:
      if (!RemoteValues::Text(in, 0, text) || !PlainKey(text)) return bad();
      RemoteValues::AddText(out, engine.ProductName(text));
      return true;
    case GET_TOTAL_FILE_COUNT: RemoteValues::AddNumber(out, engine.GetTotalFileCount()); return true;
    case START_DOWNLOAD: {
      std::vector<std::string> products;
      if (!RemoteValues::Texts(in, 0, products)) return bad();
      // Only products the run found pending: a key is a registry key and a
      // file name of the download folder.
      const std::vector<tagUPDATETYPE>& pending = *engine.GetUpdateTypes();
      for (const std::string& product : products) {
        const bool found = PlainKey(product) && std::any_of(pending.begin(), pending.end(), [&](const tagUPDATETYPE& r) {
                             return r.product == product;
                           });
        if (!found) {
          Refuse(reply, "product " + product + " is not among the updates found");
          return true;
        }
      }
      RemoteValues::AddNumber(out, engine.StartDownload(products));
      RemoteValues::AddTexts(out, products);
      runState();
      return true;
    }
    case COPY_FILES:
      RemoteValues::AddNumber(out, engine.CopyFiles());
      runState();
      return true;
    case APPLY_ACTIONS:
      RemoteValues::AddNumber(out, engine.ApplyActions());
      runState();
      return true;
    case COMPLETE_UPDATE:
      RemoteValues::AddNumber(out, engine.CompleteUpdate());
      runState();
      return true;
    case END_UPDATE_STATE:
      if (!RemoteValues::Number(in, 0, 0, 1, number)) return bad();
      engine.EndUpdateState(static_cast<int32_t>(number));
      return true;
    case SET_UPDATE_STATE:
      if (!RemoteValues::Number(in, 0, 0, INT32_MAX, number) || !KnownState(number)) return bad();
      engine.SetUpdateState(static_cast<UpdateState>(number));
      return true;
    case CANCEL_DOWNLOAD: engine.CancelDownload(); return true;
    case CANCEL_COPY: engine.CancelCopy(); return true;
    case ROLLBACK_COPY:
      if (!RemoteValues::Number(in, 0, 0, 1, number)) return bad();
      RemoteValues::AddNumber(out, engine.RollbackCopy(static_cast<uint32_t>(number)));
      return true;
    case LOAD_UPDATE_CONTENT:
      if (!RemoteValues::Text(in, 0, text) || !PlainKey(text)) return bad();
      engine.LoadUpdateContent(text);
      return true;
    case RECORD_LAST_UPDATE: engine.RecordLastUpdate(); return true;
    case STORED_UPDATE_STATE: RemoteValues::AddNumber(out, static_cast<int64_t>(engine.StoredUpdateState())); return true;
    case IS_UPDATE_DUE:
      if (!RemoteValues::Number(in, 0, 0, 1, number)) return bad();
      RemoteValues::AddNumber(out, engine.IsUpdateDue(number != 0) ? 1 : 0);
      return true;
    case DAMAGED_STORES: RemoteValues::AddTexts(out, engine.DamagedStores()); return true;
    case UPDATE_DEPENDENCY:
      if (!RemoteValues::Text(in, 0, text) || !PlainKey(text)) return bad();
      RemoteValues::AddText(out, engine.UpdateDependency(text));
      return true;
    case READ_UPDATE_CONTENT: {
      if (!RemoteValues::Text(in, 0, text) || !PlainKey(text) ||
          !RemoteValues::Number(in, 1, 0, kMaxContentBytes, number)) {
        return bad();
      }
      std::string bytes;
      bool truncated = false;
      const bool read = engine.ReadUpdateContent(text, static_cast<size_t>(number), bytes, truncated);
      RemoteValues::AddNumber(out, read ? 1 : 0);
      RemoteValues::AddText(out, bytes);
      RemoteValues::AddNumber(out, truncated ? 1 : 0);
      return true;
    }
    case RECORD_DOWNLOAD_FINISHED: RemoteValues::AddNumber(out, engine.RecordDownloadFinished() ? 1 : 0); return true;
    case HOMEPAGE_HIDDEN: RemoteValues::AddNumber(out, engine.HomepageHidden() ? 1 : 0); return true;
    default: return false;
  }
}

bool EngineSession::DispatchSettings(const Message& call, Message& reply) {
  UpdateEngine& engine = m_process->Engine();
  const Values& in = call.values();
  Values& out = *reply.mutable_values();
  int64_t number = 0;
  std::string text;
  tagSERVERINFO server;
  const auto bad = [&reply, &call] {
    Refuse(reply, "call " + std::to_string(call.method()) + " came with arguments that are not allowed");
    return true;
  };
  switch (call.method()) {
    case IS_AUTO_UPDATE: RemoteValues::AddNumber(out, engine.IsAutoUpdate()); return true;
    case SET_AUTO_UPDATE:
      if (!RemoteValues::Number(in, 0, 0, 1, number)) return bad();
      engine.SetAutoUpdate(static_cast<uint32_t>(number));
      return true;
    case GET_TERM: RemoteValues::AddNumber(out, engine.GetTerm()); return true;
    case SET_TERM:
      if (!RemoteValues::Number(in, 0, 1, 3, number)) return bad();
      engine.SetTerm(static_cast<uint32_t>(number));
      return true;
    case GET_DOWNLOAD_PATH: RemoteValues::AddText(out, engine.GetDownloadPath()); return true;
    case SET_DOWNLOAD_PATH:
      if (!RemoteValues::Text(in, 0, text) || !AbsoluteFolder(text)) return bad();
      engine.SetDownloadPath(text);
      return true;
    case GET_SERVER_PATH: RemoteValues::AddText(out, engine.GetServerPath()); return true;
    case GET_DEFAULT_SERVER_PATH: RemoteValues::AddText(out, engine.GetDefaultServerPath()); return true;
    case GET_SERVER_INFO: RemoteValues::AddServer(out, engine.GetServerInfo()); return true;
    case SET_SERVER_INFO:
      if (!RemoteValues::Server(in, 0, server) || !SaneServer(server)) return bad();
      engine.SetServerInfo(server);
      return true;
    case SAVE_SERVER_INFO_BY_TYPE:
      if (!RemoteValues::Server(in, 0, server) || !SaneServer(server)) return bad();
      engine.SaveServerInfoByType(server);
      return true;
    case SELECT_SERVER_TYPE:
      if (!RemoteValues::Number(in, 0, kServerTypeHttp, kServerTypeFtp, number)) return bad();
      engine.SelectServerType(static_cast<uint32_t>(number));
      return true;
    case RESET_SERVER_INFO: engine.ResetServerInfo(); return true;
    case TEST_CONNECTION:
      if (!RemoteValues::Server(in, 0, server) || !SaneServer(server)) return bad();
      RemoteValues::AddNumber(out, engine.TestConnection(server));
      return true;
    case TEST_DOWNLOAD_FOLDER:
      if (!RemoteValues::Text(in, 0, text) || !AbsoluteFolder(text)) return bad();
      RemoteValues::AddNumber(out, engine.TestDownloadFolder(text) ? 1 : 0);
      return true;
    case SET_LOG_ON_ENTRY: {
      if (!RemoteValues::Number(in, 0, 0, 1, number)) return bad();
      std::string error;
      const bool done = engine.SetLogOnEntry(number != 0, error);
      RemoteValues::AddNumber(out, done ? 1 : 0);
      RemoteValues::AddText(out, error);
      return true;
    }
    default: return false;
  }
}

}  // namespace qrv::remote
