#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace qrv::test {

// A real HTTP server in this process on 127.0.0.1, port chosen by the kernel
// (cpp-httplib), for the transfer tests and the benchmark.
//
//   /svc/AUpdate70.jsp   (any path ending in AUpdate70.jsp) the update service:
//                        a page naming the download location between the
//                        markers, by default FilesUrl()
//   /files/<path>        the files below the folder given at construction,
//                        streamed (never read whole into memory)
//
// Any path can be made to misbehave (SetFault). Every request is recorded.
// With TLS files it serves HTTPS instead (for the certificate checks).
//
// From construction on, the process ignores SIGPIPE (the server writes to
// clients that may hang up early, which is what the faults provoke) and
// no_proxy names the loopback addresses, so a proxy set in the environment
// never sees test traffic.
//
// Thread: configure from the test's thread; the handlers run on the server's
// own threads. Uses no test framework, so the benchmark can link it too.
class HttpTestServer {
 public:
  enum class Fault {
    kNone,
    kNotFound,        // 404 with a small page
    kServerError,     // 500 with a small page
    kEmptyBody,       // 200, Content-Length: 0
    kStall,           // 200, announces 64 KiB, sends 16 bytes, then waits (up to 10 s or shutdown)
    kCutShort,        // 200, announces 64 KiB, sends 1000 bytes, then closes the connection
    kRedirect,        // 302 to the given target
    kHugeNoMarkers,   // 200, 64 MiB of text without markers, streamed
    kChunkedFile,     // the file, sent chunked (no length announced)
    kDrip,            // 200, announces 64 KiB, sends one byte every 50 ms (never stalls, never ends in time)
    kDripChunked,     // 200, no length announced, one byte every 50 ms for as long as the client reads
  };

  struct Record {
    std::string method;
    std::string target;  // as sent: path and query, still encoded
    std::string path;    // decoded path
    std::string cacheControl;
    int remotePort = -1;  // the client's port: equal ports = one connection
  };

  struct TlsFiles {
    std::string certificate;  // PEM
    std::string privateKey;   // PEM
  };

  explicit HttpTestServer(std::filesystem::path folder);
  HttpTestServer(std::filesystem::path folder, const TlsFiles& tls);
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  // 0 when the server could not start (Error() says why).
  int Port() const { return m_port; }
  const std::string& Error() const { return m_error; }
  std::string BaseUrl() const;     // "http://127.0.0.1:PORT/" (https for TLS)
  std::string ServiceUrl() const;  // BaseUrl() + "svc/AUpdate70.jsp"
  std::string FilesUrl() const;    // BaseUrl() + "files/"

  // The whole service reply, instead of the default page.
  void SetServiceReply(const std::string& body);
  // The location named to queries for product (the default page otherwise
  // names FilesUrl()).
  void SetProductLocation(const std::string& product, const std::string& location);
  // Makes the request of a decoded path misbehave; kNone restores it.
  void SetFault(const std::string& path, Fault fault, const std::string& redirectTo = {});

  std::vector<Record> Requests() const;
  size_t CountRequests(const std::string& path) const;
  void ClearRequests();
  // Body bytes the kHugeNoMarkers reply managed to hand to the network.
  uint64_t HugeBytesSent() const { return m_hugeBytesSent.load(); }

 private:
  struct FaultSpec {
    Fault fault = Fault::kNone;
    std::string redirectTo;
  };

  void Start(const TlsFiles* tls);
  FaultSpec FaultFor(const std::string& path) const;
  void Note(const Record& record);
  bool WaitForShutdown(std::chrono::milliseconds timeout);

  std::filesystem::path m_folder;
  std::unique_ptr<httplib::Server> m_server;
  std::thread m_thread;
  int m_port = 0;
  bool m_tls = false;
  std::string m_error;

  mutable std::mutex m_mutex;
  std::condition_variable m_shutdown;
  bool m_stopping = false;
  std::map<std::string, FaultSpec> m_faults;
  std::map<std::string, std::string> m_productLocations;
  std::string m_serviceReply;
  bool m_hasServiceReply = false;
  std::vector<HttpTestServer::Record> m_requests;
  std::atomic<uint64_t> m_hugeBytesSent{0};
};

}  // namespace qrv::test
