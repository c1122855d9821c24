#pragma once

#include <filesystem>
#include <string>

namespace qrv::tools {

// A small HTTP server for trying a tree with the updater before it goes to
// a real web server:
//
//   any path ending in AUpdate70.jsp   the update service's reply: a page
//                                      naming LOCATION between the markers
//                                      the updater looks for, whatever the query
//   /updates/PATH                      TREE/PATH (GET and HEAD); '\' may stand
//                                      for '/'; nothing outside TREE, nothing
//                                      through a symbolic link
//   /updates/                          a short page: the updater probes it
//   anything else                      404
//
// LOCATION is http://ADDRESS:PORT/updates/ unless one is given. Every
// request is logged to standard error ("GET /path 200"). Run() blocks until
// SIGINT or SIGTERM.
//
// Thread: Run on the main thread before any other thread is started (it
// blocks the two signals in every thread it makes).
class TreeServer {
 public:
  TreeServer(std::filesystem::path tree, std::string address, int port, std::string location)
      : m_tree(std::move(tree)), m_address(std::move(address)), m_port(port), m_location(std::move(location)) {}

  // Prints the port in use as the first line of standard output once the
  // server listens; returns the exit status (0 after a signal, 1 when the
  // address cannot be bound, with the reason in `error`).
  int Run(std::string& error);

 private:
  std::filesystem::path m_tree;
  std::string m_address;
  int m_port;
  std::string m_location;
};

}  // namespace qrv::tools
