#pragma once

#include <string>

namespace qrv {

// Asks the update service where the update files of this installation lie.
//
// One GET of serverPath (an empty one: the default server path of the
// settings) followed directly by
//   ?product=P&pidkey=K&productversion=V&lastupdate=D
// P and K as given, V the ProductVersion of product's settings key, D the
// LastUpdate setting, both as signed decimals cut to 8 characters and empty
// when missing. Values are percent-encoded (ordinary product keys are left
// as they are): a key holding '&' or a space still reaches the service as
// that key. The query is at most 259 characters.
//
// The reply (see CQUpdateWebServer) holds the location between the first
// "<$URL_DOWNLOAD$>" and the first "<$/URL_DOWNLOAD$>"; when the closing
// marker comes first, there is no location. Blanks around the location are
// dropped (a URL cannot hold them).
//
// Returns the location, or an empty text on any failure (unreachable
// service, error status, no markers, a reply over 1 MiB), with the reason in
// platform::LastError.
//
// Thread: the caller's; blocks while the request is under way.
std::string QueryDownloadUrl(const std::string& serverPath, const std::string& product, const std::string& pidkey);

}  // namespace qrv
