#include "tests/support/HttpTestServer.h"

#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace qrv::test {
namespace {

constexpr size_t kChunk = 64 * 1024;
constexpr size_t kFaultBodyBytes = 64 * 1024;
constexpr uint64_t kHugeBytes = uint64_t{64} << 20;
// how often a dripping reply sends its next byte: more often than any receive time-out
constexpr std::chrono::milliseconds kDripInterval{50};

bool ClimbsOut(const std::string& relative) {
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    if (relative.compare(start, end - start, "..") == 0) return true;
    start = end + 1;
  }
  return false;
}

// A file streamed in pieces: the benchmark serves hundreds of megabytes.
struct OpenFile {
  int fd = -1;
  ~OpenFile() {
    if (fd >= 0) ::close(fd);
  }
};

bool SendPiece(const OpenFile& file, size_t offset, size_t length, httplib::DataSink& sink) {
  char buffer[kChunk];
  ssize_t got = ::pread(file.fd, buffer, std::min(length, kChunk), static_cast<off_t>(offset));
  if (got <= 0) return false;
  return sink.write(buffer, static_cast<size_t>(got));
}

}  // namespace

HttpTestServer::HttpTestServer(std::filesystem::path folder) : m_folder(std::move(folder)) { Start(nullptr); }

HttpTestServer::HttpTestServer(std::filesystem::path folder, const TlsFiles& tls) : m_folder(std::move(folder)) {
  Start(&tls);
}

HttpTestServer::~HttpTestServer() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  m_shutdown.notify_all();
  if (m_server != nullptr) m_server->stop();
  if (m_thread.joinable()) m_thread.join();
}

std::string HttpTestServer::BaseUrl() const {
  return std::string(m_tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port) + "/";
}

std::string HttpTestServer::ServiceUrl() const { return BaseUrl() + "svc/AUpdate70.jsp"; }

std::string HttpTestServer::FilesUrl() const { return BaseUrl() + "files/"; }

void HttpTestServer::SetServiceReply(const std::string& body) {
  std::lock_guard lock(m_mutex);
  m_serviceReply = body;
  m_hasServiceReply = true;
}

void HttpTestServer::SetProductLocation(const std::string& product, const std::string& location) {
  std::lock_guard lock(m_mutex);
  m_productLocations[product] = location;
}

void HttpTestServer::SetFault(const std::string& path, Fault fault, const std::string& redirectTo) {
  std::lock_guard lock(m_mutex);
  if (fault == Fault::kNone) {
    m_faults.erase(path);
  } else {
    m_faults[path] = FaultSpec{fault, redirectTo};
  }
}

std::vector<HttpTestServer::Record> HttpTestServer::Requests() const {
  std::lock_guard lock(m_mutex);
  return m_requests;
}

size_t HttpTestServer::CountRequests(const std::string& path) const {
  std::lock_guard lock(m_mutex);
  return static_cast<size_t>(
      std::count_if(m_requests.begin(), m_requests.end(), [&](const Record& r) { return r.path == path; }));
}

void HttpTestServer::ClearRequests() {
  std::lock_guard lock(m_mutex);
  m_requests.clear();
}

HttpTestServer::FaultSpec HttpTestServer::FaultFor(const std::string& path) const {
  std::lock_guard lock(m_mutex);
  auto it = m_faults.find(path);
  return it == m_faults.end() ? FaultSpec{} : it->second;
}

void HttpTestServer::Note(const Record& record) {
  std::lock_guard lock(m_mutex);
  m_requests.push_back(record);
}

bool HttpTestServer::WaitForShutdown(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  return m_shutdown.wait_for(lock, timeout, [this] { return m_stopping; });
}

void HttpTestServer::Start(const TlsFiles* tls) {
  ::signal(SIGPIPE, SIG_IGN);
  // A proxy named in the environment must never see loopback test traffic.
  ::setenv("no_proxy", "127.0.0.1,localhost,::1", 1);
  ::setenv("NO_PROXY", "127.0.0.1,localhost,::1", 1);
  if (tls != nullptr) {
    auto server = std::make_unique<httplib::SSLServer>(tls->certificate.c_str(), tls->privateKey.c_str());
    if (!server->is_valid()) {
      m_error = "cannot load the TLS files " + tls->certificate + " and " + tls->privateKey;
      return;
    }
    m_server = std::move(server);
    m_tls = true;
  } else {
    m_server = std::make_unique<httplib::Server>();
  }
  // Small replies go out in two writes (head, body); without this, Nagle's
  // rule and delayed acknowledgements add 40 ms to each request.
  m_server->set_tcp_nodelay(true);
  m_server->set_keep_alive_max_count(1000000);
  m_server->set_keep_alive_timeout(10);

  m_server->Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
    Note(Record{req.method, req.target, req.path, req.get_header_value("Cache-Control"), req.remote_port});
    FaultSpec plan = FaultFor(req.path);
    switch (plan.fault) {
      case Fault::kNotFound:
        res.status = 404;
        res.set_content("<html>not found</html>", "text/html");
        return;
      case Fault::kServerError:
        res.status = 500;
        res.set_content("<html>internal error</html>", "text/html");
        return;
      case Fault::kEmptyBody:
        res.status = 200;
        res.set_content("", "application/octet-stream");
        return;
      case Fault::kRedirect:
        res.set_redirect(plan.redirectTo, 302);
        return;
      case Fault::kStall:
        res.set_content_provider(kFaultBodyBytes, "application/octet-stream",
                                 [this](size_t offset, size_t, httplib::DataSink& sink) {
                                   if (offset == 0) return sink.write("0123456789abcdef", 16);
                                   WaitForShutdown(std::chrono::seconds(10));
                                   return false;
                                 });
        return;
      case Fault::kCutShort:
        res.set_content_provider(kFaultBodyBytes, "application/octet-stream",
                                 [](size_t offset, size_t, httplib::DataSink& sink) {
                                   if (offset != 0) return false;  // hang up with the rest unsent
                                   std::string part(1000, 'c');
                                   return sink.write(part.data(), part.size());
                                 });
        return;
      case Fault::kHugeNoMarkers:
        res.set_content_provider(kHugeBytes, "text/html",
                                 [this](size_t, size_t length, httplib::DataSink& sink) {
                                   std::string piece(std::min(length, kChunk), 'x');
                                   if (!sink.write(piece.data(), piece.size())) return false;
                                   m_hugeBytesSent += piece.size();
                                   return true;
                                 });
        return;
      case Fault::kDrip:
        res.set_content_provider(kFaultBodyBytes, "application/octet-stream",
                                 [this](size_t, size_t, httplib::DataSink& sink) {
                                   if (WaitForShutdown(kDripInterval)) return false;
                                   return sink.write("d", 1);
                                 });
        return;
      case Fault::kDripChunked:
        res.set_chunked_content_provider("application/octet-stream", [this](size_t, httplib::DataSink& sink) {
          if (WaitForShutdown(kDripInterval)) return false;
          return sink.write("d", 1);
        });
        return;
      case Fault::kNone:
      case Fault::kChunkedFile:
        break;
    }

    /* the update service */
    const std::string& path = req.path;
    static const std::string kService = "AUpdate70.jsp";
    if (path.size() >= kService.size() && path.compare(path.size() - kService.size(), kService.size(), kService) == 0) {
      std::lock_guard lock(m_mutex);
      if (m_hasServiceReply) {
        res.set_content(m_serviceReply, "text/html");
        return;
      }
      auto it = m_productLocations.find(req.get_param_value("product"));
      std::string location = it != m_productLocations.end() ? it->second : FilesUrl();
      res.set_content("<html><head><title>Update</title></head><body>\r\n<$URL_DOWNLOAD$>" + location +
                          "<$/URL_DOWNLOAD$>\r\n</body></html>\r\n",
                      "text/html");
      return;
    }

    /* the files */
    static const std::string kFiles = "/files/";
    if (path.rfind(kFiles, 0) != 0) {
      res.status = 404;
      return;
    }
    std::string relative = path.substr(kFiles.size());
    if (ClimbsOut(relative)) {
      res.status = 403;
      return;
    }
    std::string local = (m_folder / relative).string();
    auto file = std::make_shared<OpenFile>();
    struct stat st {};
    file->fd = ::open(local.c_str(), O_RDONLY | O_CLOEXEC);
    if (file->fd < 0 || ::fstat(file->fd, &st) != 0) {
      res.status = 404;
      return;
    }
    if (!S_ISREG(st.st_mode)) {
      res.status = 403;
      return;
    }
    if (plan.fault == Fault::kChunkedFile) {
      auto size = static_cast<size_t>(st.st_size);
      res.set_chunked_content_provider("application/octet-stream",
                                       [file, size](size_t offset, httplib::DataSink& sink) {
                                         if (offset >= size) {
                                           sink.done();
                                           return true;
                                         }
                                         return SendPiece(*file, offset, size - offset, sink);
                                       });
      return;
    }
    res.set_content_provider(static_cast<size_t>(st.st_size), "application/octet-stream",
                             [file](size_t offset, size_t length, httplib::DataSink& sink) {
                               return SendPiece(*file, offset, length, sink);
                             });
  });

  m_port = m_server->bind_to_any_port("127.0.0.1");
  if (m_port <= 0) {
    m_port = 0;
    m_error = "cannot bind an HTTP test server to 127.0.0.1";
    return;
  }
  m_thread = std::thread([this] { m_server->listen_after_bind(); });
  // stop() is lost on a server that is not running yet
  for (int i = 0; i < 500 && !m_server->is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace qrv::test
