#pragma once

#include <cstdint>
#include <string>

namespace qrv::tools {

// The [Release] section of qupdate_s.ini, which the updater uses to refuse
// an older or a stale release offered as the newest:
//
//   [Release]
//   Serial=1733580000           grows with every release, 1 to 4294967295
//   Date=2026-12-07T14:00:00Z   when the release was built (UTC)
//   Expires=2027-01-06T14:00:00Z  after this the updater refuses the release
//
// An older updater never reads the section.
//
// Thread: any; no shared state.
struct ReleaseStamp {
  uint32_t serial = 0;
  int64_t date = 0;     // Unix seconds
  int64_t expires = 0;  // Unix seconds

  // Reads the section of an information file; false with the key and its
  // value in `why` when a key is missing or malformed. A file without the
  // section at all sets `present` false and returns false.
  static bool Read(const std::string& infoFile, ReleaseStamp& stamp, bool& present, std::string& why);

  // "YYYY-MM-DDTHH:MM:SSZ" and back; ParseTime accepts nothing else.
  static std::string FormatTime(int64_t when);
  static bool ParseTime(const std::string& text, int64_t& when);
  // A decimal serial from 1 to 4294967295, digits only.
  static bool ParseSerial(const std::string& text, uint32_t& serial);
};

}  // namespace qrv::tools
