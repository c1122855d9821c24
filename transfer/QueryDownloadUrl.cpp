#include "transfer/QueryDownloadUrl.h"

#include <cstdint>
#include <string_view>

#include "config/CQUpdateMgrEnv.h"
#include "platform/core/LastError.h"
#include "platform/net/UrlEncoding.h"
#include "transfer/CQUpdateWebServer.h"

namespace qrv {
namespace {

constexpr size_t kMaxQueryChars = 259;
constexpr size_t kMaxNumberChars = 8;
constexpr std::string_view kOpenMarker = "<$URL_DOWNLOAD$>";
constexpr std::string_view kCloseMarker = "<$/URL_DOWNLOAD$>";

// A registry number as the service expects it: signed, at most 8 characters
// (a longer one is cut, not rejected), empty when the value is missing.
std::string QueryNumber(uint32_t value) {
  if (value == CQUpdateMgrEnv::kMissing) return {};
  std::string text = std::to_string(static_cast<int32_t>(value));
  if (text.size() > kMaxNumberChars) text.resize(kMaxNumberChars);
  return text;
}

// Cuts an over-long query at the limit, but never inside an escape: half an
// escape would make the whole URL invalid rather than just shorter.
void LimitQuery(std::string& query) {
  if (query.size() <= kMaxQueryChars) return;
  size_t cut = kMaxQueryChars;
  for (size_t i = cut - 2; i < cut; ++i) {
    if (query[i] == '%') {
      cut = i;
      break;
    }
  }
  query.resize(cut);
}

std::string TrimBlanks(std::string_view text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  size_t last = text.find_last_not_of(" \t");
  return std::string(text.substr(first, last - first + 1));
}

}  // namespace

std::string QueryDownloadUrl(const std::string& serverPath, const std::string& product, const std::string& pidkey) {
  CQUpdateMgrEnv env;
  std::string url = serverPath.empty() ? env.GetDefaultServerPath() : serverPath;
  if (url.empty()) {
    platform::LastError::Set("no update service is configured (the server path and its default are empty)");
    return {};
  }

  /* the query */
  using platform::UrlEncoding;
  std::string query = "?product=" + UrlEncoding::EncodeQueryValue(product) +
                      "&pidkey=" + UrlEncoding::EncodeQueryValue(pidkey) +
                      "&productversion=" + QueryNumber(env.GetProductVersion(product)) +
                      "&lastupdate=" + QueryNumber(env.GetLastUpdate());
  LimitQuery(query);
  url += query;

  /* the request */
  CQUpdateWebServer server(url);
  if (server.Request() == 0) return {};
  const std::string& reply = server.GetReply();

  /* the location between the markers */
  size_t open = reply.find(kOpenMarker);
  size_t close = reply.find(kCloseMarker);
  if (open == std::string::npos || close == std::string::npos || close < open + kOpenMarker.size()) {
    platform::LastError::Set("the reply of the update service at " + url +
                             " names no download location (no " + std::string(kOpenMarker) + " ... " +
                             std::string(kCloseMarker) + ")");
    return {};
  }
  std::string location = TrimBlanks(std::string_view(reply).substr(open + kOpenMarker.size(),
                                                                    close - open - kOpenMarker.size()));
  if (location.empty()) {
    platform::LastError::Set("the reply of the update service at " + url + " names an empty download location");
  }
  return location;
}

}  // namespace qrv
