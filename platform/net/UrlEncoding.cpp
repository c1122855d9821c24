#include "platform/net/UrlEncoding.h"

namespace qrv::platform {
namespace {

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

std::string Encode(std::string_view text, bool keepSlash) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (IsUnreserved(c) || (keepSlash && c == '/')) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

}  // namespace

std::string UrlEncoding::EncodePath(std::string_view path) { return Encode(path, true); }

std::string UrlEncoding::EncodeQueryValue(std::string_view value) { return Encode(value, false); }

}  // namespace qrv::platform
