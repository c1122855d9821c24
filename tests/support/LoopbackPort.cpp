#include "tests/support/LoopbackPort.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qrv::test {

LoopbackPort::LoopbackPort() {
  m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_fd < 0) {
    m_error = std::string("cannot make a TCP socket: ") + std::strerror(errno);
    return;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    m_error = std::string("cannot bind a TCP socket to 127.0.0.1:0: ") + std::strerror(errno);
    Release();
    return;
  }
  m_port = ntohs(address.sin_port);
}

LoopbackPort::~LoopbackPort() { Release(); }

void LoopbackPort::Release() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

}  // namespace qrv::test
