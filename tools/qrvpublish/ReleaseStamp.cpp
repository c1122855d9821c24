#include "tools/qrvpublish/ReleaseStamp.h"

#include <ctime>

#include "platform/profile/ProfileFile.h"

namespace qrv::tools {

bool ReleaseStamp::Read(const std::string& infoFile, ReleaseStamp& stamp, bool& present, std::string& why) {
  using platform::ProfileFile;
  present = !ProfileFile::KeyNames(infoFile, "Release").empty();
  if (!present) {
    why = "[Release] is missing";
    return false;
  }
  const std::string serial = ProfileFile::GetString(infoFile, "Release", "Serial", "");
  const std::string date = ProfileFile::GetString(infoFile, "Release", "Date", "");
  const std::string expires = ProfileFile::GetString(infoFile, "Release", "Expires", "");
  if (!ParseSerial(serial, stamp.serial)) {
    why = "[Release] Serial: \"" + serial + "\" is not a number from 1 to 4294967295";
    return false;
  }
  if (!ParseTime(date, stamp.date)) {
    why = "[Release] Date: \"" + date + "\" is not a UTC time as YYYY-MM-DDTHH:MM:SSZ";
    return false;
  }
  if (!ParseTime(expires, stamp.expires)) {
    why = "[Release] Expires: \"" + expires + "\" is not a UTC time as YYYY-MM-DDTHH:MM:SSZ";
    return false;
  }
  return true;
}

std::string ReleaseStamp::FormatTime(int64_t when) {
  const time_t t = static_cast<time_t>(when);
  struct tm tm {};
  char text[32] = "";
  if (gmtime_r(&t, &tm) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0) return {};
  return text;
}

bool ReleaseStamp::ParseTime(const std::string& text, int64_t& when) {
  // Fixed width, so nothing but the one form passes.
  static const char* kShape = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != 20) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
  }
  auto number = [&](size_t at, size_t n) { return std::stoi(text.substr(at, n)); };
  struct tm tm {};
  tm.tm_year = number(0, 4) - 1900;
  tm.tm_mon = number(5, 2) - 1;
  tm.tm_mday = number(8, 2);
  tm.tm_hour = number(11, 2);
  tm.tm_min = number(14, 2);
  tm.tm_sec = number(17, 2);
  const time_t t = timegm(&tm);
  // timegm normalises 2026-02-30 to March; such a text is no date.
  if (t == static_cast<time_t>(-1) || FormatTime(t) != text) return false;
  when = t;
  return true;
}

bool ReleaseStamp::ParseSerial(const std::string& text, uint32_t& serial) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value < 1 || value > UINT32_MAX) return false;
  serial = static_cast<uint32_t>(value);
  return true;
}

}  // namespace qrv::tools
