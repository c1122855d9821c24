#include "platform/net/CurlSession.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "platform/core/LastError.h"

namespace qrv::platform {
namespace {

using Clock = std::chrono::steady_clock;

// curl_global_init is not safe to race with itself or with handle creation on
// every build of libcurl; doing it once, first, under call_once is.
CURLcode GlobalInit() {
  static std::once_flag once;
  static CURLcode result = CURLE_OK;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return result;
}

// How long the transfer loop may sleep in one wait: short enough that a stall
// is noticed soon after it is due, long enough not to spin.
std::chrono::milliseconds WaitSlice(std::chrono::milliseconds receiveTimeout) {
  if (receiveTimeout.count() <= 0) return std::chrono::milliseconds(200);
  return std::clamp(receiveTimeout / 8, std::chrono::milliseconds(5), std::chrono::milliseconds(100));
}

}  // namespace

CurlSession::CurlSession() {
  CURLcode init = GlobalInit();
  if (init != CURLE_OK) {
    LastError::Set(std::string("cannot initialise libcurl: ") + curl_easy_strerror(init));
    return;
  }
  m_easy = curl_easy_init();
  m_multi = curl_multi_init();
  if (m_easy == nullptr || m_multi == nullptr) {
    LastError::Set("cannot create a libcurl handle (out of memory?)");
    if (m_easy != nullptr) curl_easy_cleanup(m_easy);
    if (m_multi != nullptr) curl_multi_cleanup(m_multi);
    m_easy = nullptr;
    m_multi = nullptr;
    return;
  }
  // Signals are process-wide; libcurl must not use them from our threads.
  curl_easy_setopt(m_easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(m_easy, CURLOPT_ERRORBUFFER, m_errorBuffer);
  curl_easy_setopt(m_easy, CURLOPT_HEADERFUNCTION, &CurlSession::OnHeader);
  curl_easy_setopt(m_easy, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(m_easy, CURLOPT_WRITEFUNCTION, &CurlSession::OnWrite);
  curl_easy_setopt(m_easy, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(m_easy, CURLOPT_XFERINFOFUNCTION, &CurlSession::OnProgress);
  curl_easy_setopt(m_easy, CURLOPT_XFERINFODATA, this);
  curl_easy_setopt(m_easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(m_easy, CURLOPT_PREREQFUNCTION, &CurlSession::OnPrereq);
  curl_easy_setopt(m_easy, CURLOPT_PREREQDATA, this);
}

CurlSession::~CurlSession() {
  // the easy handle is never left in the multi handle between transfers
  if (m_multi != nullptr) curl_multi_cleanup(m_multi);
  if (m_easy != nullptr) curl_easy_cleanup(m_easy);
}

CURLcode CurlSession::Perform(const std::string& url, const LineHandler& onLine, const DataHandler& onData) {
  if (!IsUsable()) return CURLE_FAILED_INIT;
  m_errorBuffer[0] = '\0';
  m_onLine = &onLine;
  m_onData = &onData;
  m_lastActivity = Clock::now();
  m_requestSent = false;
  m_budget = TransferBudget(m_budget.FloorRate());
  m_received = 0;
  m_replyBytes = 0;
  m_limit = LimitHit::kNone;
  m_stopReason.clear();
  curl_easy_setopt(m_easy, CURLOPT_URL, url.c_str());

  CURLMcode added = curl_multi_add_handle(m_multi, m_easy);
  if (added != CURLM_OK) {
    std::snprintf(m_errorBuffer, sizeof m_errorBuffer, "%s", curl_multi_strerror(added));
    return CURLE_FAILED_INIT;
  }
  /* drive the transfer, waking at least once per slice so a stall is seen in time */
  CURLcode result = CURLE_OK;
  bool done = false;
  std::chrono::milliseconds slice = WaitSlice(m_receiveTimeout);
  while (!done) {
    int running = 0;
    CURLMcode mc = curl_multi_perform(m_multi, &running);
    if (mc != CURLM_OK) {
      std::snprintf(m_errorBuffer, sizeof m_errorBuffer, "%s", curl_multi_strerror(mc));
      result = CURLE_RECV_ERROR;
      break;
    }
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(m_multi, &queued)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == m_easy) {
        result = msg->data.result;
        done = true;
      }
    }
    if (done || running == 0) break;
    // Checked here as well as in the progress callback, which libcurl does
    // not call in every phase (an FTP reply being read, for one).
    if (!WithinLimits()) {
      result = CURLE_OPERATION_TIMEDOUT;
      break;
    }
    mc = curl_multi_poll(m_multi, nullptr, 0, static_cast<int>(slice.count()), nullptr);
    if (mc != CURLM_OK) {
      std::snprintf(m_errorBuffer, sizeof m_errorBuffer, "%s", curl_multi_strerror(mc));
      result = CURLE_RECV_ERROR;
      break;
    }
  }
  curl_multi_remove_handle(m_multi, m_easy);
  m_onLine = nullptr;
  m_onData = nullptr;
  return result;
}

long CurlSession::ResponseCode() const {
  long code = 0;
  if (m_easy != nullptr) curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &code);
  return code;
}

std::string CurlSession::Describe(CURLcode code) const {
  if (!m_stopReason.empty()) return m_stopReason;
  std::string text = curl_easy_strerror(code);
  if (m_errorBuffer[0] != '\0') {
    std::string detail = m_errorBuffer;
    while (!detail.empty() && (detail.back() == '\n' || detail.back() == '\r')) detail.pop_back();
    if (detail != text) text += " (" + detail + ")";
  }
  return text;
}

size_t CurlSession::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* session = static_cast<CurlSession*>(self);
  size_t bytes = size * count;
  session->m_lastActivity = Clock::now();
  session->m_replyBytes += bytes;
  if (session->m_replyBytes > kMaxReplyBytes) {
    session->m_limit = LimitHit::kSize;
    session->m_stopReason = "the server sent more than " + std::to_string(kMaxReplyBytes) +
                            " bytes of header lines or replies";
    return 0;
  }
  if (session->m_onLine != nullptr && *session->m_onLine && !(*session->m_onLine)(std::string_view(data, bytes))) {
    return 0;  // libcurl ends the transfer with CURLE_WRITE_ERROR
  }
  return bytes;
}

size_t CurlSession::OnWrite(char* data, size_t size, size_t count, void* self) {
  auto* session = static_cast<CurlSession*>(self);
  size_t bytes = size * count;
  session->m_lastActivity = Clock::now();
  session->m_received += bytes;
  if (session->m_onData != nullptr && *session->m_onData && !(*session->m_onData)(data, bytes)) return 0;
  return bytes;
}

int CurlSession::OnProgress(void* self, curl_off_t dlTotal, curl_off_t /*dlNow*/, curl_off_t /*ulTotal*/,
                            curl_off_t /*ulNow*/) {
  auto* session = static_cast<CurlSession*>(self);
  // the length the server announced (Content-Length, FTP SIZE) sets the deadline
  if (dlTotal > 0) session->m_budget.SetExpectedBytes(static_cast<uint64_t>(dlTotal));
  return session->WithinLimits() ? 0 : 1;  // 1: CURLE_ABORTED_BY_CALLBACK
}

bool CurlSession::WithinLimits() {
  if (!m_stopReason.empty()) return false;
  if (!m_requestSent) return true;  // the connect time-out governs until then
  Clock::time_point now = Clock::now();
  if (m_receiveTimeout.count() > 0 && now - m_lastActivity > m_receiveTimeout) {
    m_stopReason = "no data received for " + std::to_string(m_receiveTimeout.count()) + " ms";
    return false;
  }
  if (!m_budget.Check(m_received, now)) {
    m_limit = LimitHit::kTime;
    m_stopReason = m_budget.Reason();
    return false;
  }
  return true;
}

int CurlSession::OnPrereq(void* self, char* /*remoteIp*/, char* /*localIp*/, int /*remotePort*/,
                          int /*localPort*/) {
  // Connected (or reusing a connection) and about to send: from here on,
  // silence counts against the receive time-out.
  auto* session = static_cast<CurlSession*>(self);
  session->m_lastActivity = Clock::now();
  // A redirect sends a new request within the same transfer: the budget
  // runs from the first one.
  if (!session->m_requestSent) session->m_budget.Start(session->m_lastActivity);
  session->m_requestSent = true;
  return CURL_PREREQFUNC_OK;
}

}  // namespace qrv::platform
