#pragma once

#include <cstdint>
#include <string>

namespace qrv {

// Server type codes; any other value is treated as HTTP.
inline constexpr uint32_t kServerTypeHttp = 1;
inline constexpr uint32_t kServerTypeNetwork = 2;
inline constexpr uint32_t kServerTypeFtp = 3;

// One update-server setting. The password is plain text in memory and
// encrypted wherever it is stored.
struct tagSERVERINFO {
  uint32_t type = kServerTypeHttp;
  uint32_t port = 0;  // 0: the protocol's default port
  std::string path;   // a URL (HTTP), a host name (FTP) or a folder (network folder)
  std::string user;
  std::string password;

  bool operator==(const tagSERVERINFO&) const = default;
};

}  // namespace qrv
