#include "platform/share/ShareLocation.h"

#include <strings.h>

#include <charconv>

namespace qrv::platform {
namespace {

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

// Splits on any of the separators, dropping empty components.
std::vector<std::string> SplitComponents(std::string_view text, std::string_view separators) {
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find_first_of(separators, pos);
    if (end == std::string_view::npos) end = text.size();
    if (end > pos) parts.emplace_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return parts;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool PercentDecode(std::string_view text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    int high = HexValue(text[i + 1]);
    int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

void PercentEncode(std::string_view text, std::string& out) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    bool unreserved = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
                      byte == '-' || byte == '.' || byte == '_' || byte == '~';
    if (unreserved) {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
}

bool ParsePort(std::string_view text, uint16_t& port) {
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

// Characters that no host name or address holds; seeing one means the text
// is something else (a URL with credentials, a port in the wrong place).
bool IsPlainHost(std::string_view host) {
  if (host.empty()) return false;
  for (char c : host) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == '@' || c == ':' || c == '/' || c == '\\' || c == '%' ||
        c == '[' || c == ']' || c == '?' || c == '#' || c == ';' || c == 0x7F) {
      return false;
    }
  }
  return true;
}

}  // namespace

ShareLocation ShareLocation::Parse(std::string_view path, uint32_t defaultPort) {
  ShareLocation location;
  auto fail = [&](std::string reason) {
    location.m_kind = Kind::kInvalid;
    location.m_error = std::move(reason);
    return location;
  };
  if (path.empty()) return fail("the network folder path is empty");
  if (defaultPort > 65535) return fail("port " + std::to_string(defaultPort) + " is not a TCP port (1 to 65535)");

  /* a local or mounted folder */
  if (path.front() == '/') {
    location.m_kind = Kind::kLocal;
    location.m_localPath = std::string(path);
    return location;
  }

  std::vector<std::string> components;
  bool isUrl = path.size() >= 6 && strncasecmp(path.data(), "smb://", 6) == 0;
  if (isUrl) {
    /* smb://server[:port]/share/folder */
    std::string_view rest = path.substr(6);
    if (rest.find_first_of("?#") != std::string_view::npos) {
      return fail("SMB URL " + Quoted(path) + " has a query or fragment; options in the URL are not supported");
    }
    size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    if (authority.find('@') != std::string_view::npos) {
      return fail("SMB URL " + Quoted(path) +
                  " carries a user name; give the user and password in the server setting instead");
    }
    std::string_view host = authority;
    std::string_view portText;
    bool hasPort = false;
    if (!authority.empty() && authority.front() == '[') {
      size_t close = authority.find(']');
      if (close == std::string_view::npos)
        return fail("SMB URL " + Quoted(path) + " has an unclosed '[' in its server");
      host = authority.substr(0, close + 1);
      std::string_view after = authority.substr(close + 1);
      if (!after.empty()) {
        if (after.front() != ':') return fail("SMB URL " + Quoted(path) + " has text after its server address");
        portText = after.substr(1);
        hasPort = true;
      }
      if (host.size() <= 2) return fail("SMB URL " + Quoted(path) + " names no server");
    } else {
      size_t colon = authority.find(':');
      if (colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        portText = authority.substr(colon + 1);
        hasPort = true;
      }
      if (!IsPlainHost(host)) return fail("SMB URL " + Quoted(path) + " names no usable server");
    }
    if (hasPort) {
      if (!ParsePort(portText, location.m_port)) {
        return fail("SMB URL " + Quoted(path) + " has port \"" + std::string(portText) +
                    "\", which is not a TCP port (1 to 65535)");
      }
    }
    location.m_server = std::string(host);
    if (slash != std::string_view::npos) {
      for (std::string& raw : SplitComponents(rest.substr(slash + 1), "/")) {
        std::string decoded;
        if (!PercentDecode(raw, decoded))
          return fail("SMB URL " + Quoted(path) + " has a bad %-escape in " + Quoted(raw));
        if (decoded.find_first_of(std::string_view("/\\\0", 3)) != std::string::npos) {
          return fail("SMB URL " + Quoted(path) + " has a '/', '\\' or NUL inside the name " + Quoted(raw));
        }
        components.push_back(std::move(decoded));
      }
    }
  } else if (path.size() >= 2 && path[0] == '\\' && (path[1] == '\\' || path[1] == '/')) {
    /* \\server\share\folder */
    components = SplitComponents(path.substr(2), "\\/");
    if (components.empty()) return fail("network path " + Quoted(path) + " names no server");
    std::string server = components.front();
    components.erase(components.begin());
    if (server == "?" || server == ".") return fail("device path " + Quoted(path) + " is not a network folder");
    if (server.find(':') != std::string::npos) {
      return fail("network path " + Quoted(path) +
                  " cannot carry a port; set the port in the server setting or write smb://server:port/share");
    }
    if (!IsPlainHost(server)) return fail("network path " + Quoted(path) + " names no usable server");
    location.m_server = std::move(server);
    location.m_port = static_cast<uint16_t>(defaultPort);
  } else {
    if (path.size() >= 2 && path[1] == ':') {
      return fail("path " + Quoted(path) +
                  " names a drive letter; use a folder path, \\\\server\\share or smb://server/share");
    }
    return fail("path " + Quoted(path) + " is neither an absolute folder nor a \\\\server\\share or smb:// location");
  }

  if (isUrl && location.m_port == 0) location.m_port = static_cast<uint16_t>(defaultPort);
  if (components.empty()) return fail("network path " + Quoted(path) + " names a server but no share");
  location.m_share = components.front();
  location.m_folder.assign(components.begin() + 1, components.end());
  location.m_kind = Kind::kSmb;
  return location;
}

std::string ShareLocation::ShareUrl() const {
  std::string url = "smb://" + m_server;
  if (m_port != 0) url += ":" + std::to_string(m_port);
  url += '/';
  PercentEncode(m_share, url);
  return url;
}

std::string ShareLocation::Url(std::string_view relative) const {
  std::string url = ShareUrl();
  for (const std::string& component : m_folder) {
    url += '/';
    PercentEncode(component, url);
  }
  for (const std::string& component : SplitComponents(relative, "/")) {
    url += '/';
    PercentEncode(component, url);
  }
  return url;
}

}  // namespace qrv::platform
