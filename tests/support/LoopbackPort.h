#pragma once

#include <cstdint>
#include <string>

namespace qrv::test {

// A TCP port of 127.0.0.1 chosen by the kernel (bound to port 0) and held
// bound but not listening: while this object holds it, no other program can
// take the port and a connection to it is refused at once. That makes it the
// port "where nothing listens" of the tests, with no fixed number that some
// other program might be using.
//
// Release() lets the port go, for a server that cannot bind port 0 itself
// (smbd): it binds the number a moment later, and retries with another
// LoopbackPort should something else have taken it meanwhile.
//
// Thread: any one thread.
class LoopbackPort {
 public:
  LoopbackPort();
  ~LoopbackPort();
  LoopbackPort(const LoopbackPort&) = delete;
  LoopbackPort& operator=(const LoopbackPort&) = delete;

  // 0 when no port could be bound (Error() says why).
  uint16_t Port() const { return m_port; }
  const std::string& Error() const { return m_error; }
  // Closes the socket; Port() keeps the number.
  void Release();

 private:
  int m_fd = -1;
  uint16_t m_port = 0;
  std::string m_error;
};

}  // namespace qrv::test
