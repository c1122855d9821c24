#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "config/tagSERVERINFO.h"
#include "transfer/CQUpdateTransferMgr.h"
#include "transfer/TransferLimits.h"

namespace qrv {

namespace platform {
class HttpClient;
}

// The HTTP transport (server type 1, and every type other than 2 and 3):
// update files are fetched below the download location that the update
// service names (QueryDownloadUrl).
//
// Construction asks the service at the record's path (for "Tarnsoft", no
// pidkey); that location is the base URL. When it is empty the transport is
// unusable for its whole life: Connect() and every Download() fail.
// Prepare(product) asks again for one product and, when the service names a
// location, makes it the base URL.
//
// One HTTP session serves every request of the transport, so the connection
// to the download server is reused from file to file. A stall of more than
// kReceiveTimeoutMs between received bytes fails a request, and every file is
// held to the limits of TransferLimits (its size cap, the floor rate). Every
// failure is recorded with its reason (URL, status, limit) through
// SetFailure(), which also puts it in the trace.
//
// Thread: Connect(), Prepare() and the base's calls on the caller's thread;
// Download() on the worker of DownloadFile while the caller waits (never two
// at once). The accessors are read by the caller between those calls.
class CQUpdateTransferHttp : public CQUpdateTransferMgr {
 public:
  static constexpr int kReceiveTimeoutMs = 600;
  // how often the worker fetches a file again while it arrives empty
  static constexpr int kMaxRefetches = 10;

  explicit CQUpdateTransferHttp(const tagSERVERINFO& info);
  ~CQUpdateTransferHttp() override;

  // 1 when the download server answers a request of the base URL (with any
  // HTTP status: a folder URL is often refused while its files are served),
  // 0 when the transport is unusable or no answer came.
  uint32_t Connect() override;
  ThreadProc GetThreadProc() override;
  // Asks the update service where product's files lie (pidkey and server path
  // from the settings). 1 and the location becomes the base URL; 0 and the
  // base URL stays as it was.
  uint32_t Prepare(const std::string& product) override;

  // Fetches base URL + '/' + fileName (each backslash run a '/', the name
  // percent-encoded) into folder/fileName; the local folder must exist. The
  // name is used as given: DownloadFile checks names before the worker runs. A
  // status of 400 or above fails without touching an existing local file;
  // otherwise the local file is created anew and a broken transfer leaves
  // the part received. A transfer refused by a limit leaves no file; one
  // refused by its size cap is not asked for again by this transport.
  // 1 on success, 0 on failure.
  int Download(const std::string& folder, const std::string& fileName);

  const std::string& BaseUrl() const { return m_baseUrl; }
  // HTTP status of the last Download() request; 0 before one, or when no reply came.
  uint32_t StatusCode() const { return m_statusCode; }

 private:
  static uint32_t Worker(WorkerParams* params);

  TransferLimits m_limits;
  std::unique_ptr<platform::HttpClient> m_session;  // null: the transport is unusable
  std::string m_baseUrl;
  uint32_t m_statusCode = 0;
  bool m_limitHit = false;  // the last Download() was ended by a limit
};

}  // namespace qrv
