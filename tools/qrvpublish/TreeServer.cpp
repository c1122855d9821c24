#include "tools/qrvpublish/TreeServer.h"

#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "tools/qrvpublish/ReleasePath.h"

namespace qrv::tools {

namespace {

constexpr const char* kServiceEndpoint = "AUpdate70.jsp";
constexpr const char* kFilesPrefix = "/updates/";
constexpr size_t kWorkers = 64;

void Log(const httplib::Request& req, int status) {
  std::string line = req.method + " " + req.path + " " + std::to_string(status) + "\n";
  for (char& c : line) {
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7f) c = '?';
  }
  std::fputs(line.c_str(), stderr);
}

}  // namespace

int TreeServer::Run(std::string& error) {
  // The signals are taken by one thread with sigwait, so they must be
  // blocked before the server's threads exist.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  httplib::Server server;
  // Slow or idle clients each hold a worker while their request trickles in:
  // many workers and short silences keep a few such clients from starving
  // the publisher's own requests (this server is for trials on one machine,
  // not for the internet).
  server.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  server.set_read_timeout(std::chrono::seconds(2));
  server.set_keep_alive_timeout(2);
  const std::filesystem::path tree = m_tree;
  std::string location = m_location;

  auto files = [&](const httplib::Request& req, httplib::Response& res) {
    std::string rel = req.path.substr(std::string(kFilesPrefix).size());
    std::replace(rel.begin(), rel.end(), '\\', '/');
    while (rel.find("//") != std::string::npos) rel.replace(rel.find("//"), 2, "/");
    if (rel.empty() || rel == "/") {
      res.set_content("Qorvane Update tree\r\n", "text/plain");
      Log(req, 200);
      return;
    }
    std::filesystem::path path;
    std::string why;
    if (!ReleasePath::Resolve(tree, rel, false, path, why)) {
      res.status = 404;  // the error handler answers and logs it
      return;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      if (fd >= 0) close(fd);
      res.status = 403;
      return;
    }
    // The descriptor is shared by the provider and its release callback.
    auto handle = std::shared_ptr<int>(new int(fd), [](int* p) {
      close(*p);
      delete p;
    });
    res.set_content_provider(
        static_cast<size_t>(st.st_size), "application/octet-stream",
        [handle](size_t offset, size_t length, httplib::DataSink& sink) {
          char buffer[64 * 1024];
          const ssize_t n = pread(*handle, buffer, std::min(length, sizeof buffer), static_cast<off_t>(offset));
          if (n <= 0) return false;
          return sink.write(buffer, static_cast<size_t>(n));
        },
        [handle](bool) {});
    Log(req, 200);
  };
  auto service = [&](const httplib::Request& req, httplib::Response& res) {
    res.set_content("<html><body><$URL_DOWNLOAD$>" + location + "<$/URL_DOWNLOAD$></body></html>\r\n", "text/html");
    Log(req, 200);
  };
  const std::string serviceRoute = std::string(".*") + kServiceEndpoint;
  const std::string filesRoute = std::string(kFilesPrefix) + ".*";
  server.Get("/updates", [&](const httplib::Request& req, httplib::Response& res) {
    res.set_content("Qorvane Update tree\r\n", "text/plain");
    Log(req, 200);
  });
  server.Get(serviceRoute, service);
  server.Get(filesRoute, files);
  server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    res.set_content(res.status == 404 ? "not found\r\n" : "cannot read\r\n", "text/plain");
    Log(req, res.status);
  });

  const int port = m_port == 0 ? server.bind_to_any_port(m_address) : (server.bind_to_port(m_address, m_port) ? m_port : -1);
  if (port <= 0) {
    error = "cannot listen on " + m_address + " port " + std::to_string(m_port) + ": " + std::strerror(errno);
    return 1;
  }
  if (location.empty()) {
    const bool v6 = m_address.find(':') != std::string::npos;
    location = "http://" + (v6 ? "[" + m_address + "]" : m_address) + ":" + std::to_string(port) + kFilesPrefix;
  }
  std::printf("%d\n", port);
  std::fflush(stdout);
  std::thread stopper([&server, signals]() {
    int signal = 0;
    sigwait(&signals, &signal);
    server.stop();
  });
  server.listen_after_bind();
  // listen ended without a signal (an error): wake the stopper so it ends.
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  return 0;
}

}  // namespace qrv::tools
