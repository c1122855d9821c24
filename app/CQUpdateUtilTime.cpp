#include "app/CQUpdateUtilTime.h"

#include <atomic>
#include <cstdio>

namespace qrv {
namespace {

std::atomic<bool> g_pinned{false};
std::atomic<time_t> g_now{0};

time_t Now() { return g_pinned.load() ? g_now.load() : time(nullptr); }

std::optional<int64_t> MakeDate(int year, int month, int day) {
  if (year < 1900 || month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = 1;
  tm.tm_min = 1;
  tm.tm_sec = 1;
  tm.tm_isdst = -1;  // let the platform decide about daylight saving
  time_t seconds = mktime(&tm);
  if (seconds == static_cast<time_t>(-1)) return std::nullopt;
  return static_cast<int64_t>(seconds);
}

bool LocalToday(int& year, int& month, int& day) {
  time_t now = Now();
  std::tm tm{};
  if (localtime_r(&now, &tm) == nullptr) return false;
  year = tm.tm_year + 1900;
  month = tm.tm_mon + 1;
  day = tm.tm_mday;
  return true;
}

}  // namespace

std::optional<int64_t> CQUpdateUtilTime::GetToday() {
  int year = 0, month = 0, day = 0;
  if (!LocalToday(year, month, day)) return std::nullopt;
  return MakeDate(year, month, day);
}

std::optional<int64_t> CQUpdateUtilTime::DateFromNumber(uint32_t number) {
  uint32_t year = number / 10000;
  uint32_t month = (number - year * 10000) / 100;
  uint32_t day = number - year * 10000 - month * 100;
  if (year > 9999) return std::nullopt;
  return MakeDate(static_cast<int>(year), static_cast<int>(month), static_cast<int>(day));
}

std::optional<bool> CQUpdateUtilTime::IsTodayAfter(uint32_t number) {
  auto today = GetToday();
  auto date = DateFromNumber(number);
  if (!today || !date) return std::nullopt;
  return *today > *date;
}

std::optional<bool> CQUpdateUtilTime::HasDaysElapsed(int32_t days, uint32_t number) {
  auto today = GetToday();
  auto date = DateFromNumber(number);
  if (!today || !date) return std::nullopt;
  int64_t whole = (*today - *date) / 86400;  // truncates toward zero
  return whole >= static_cast<int64_t>(days);
}

std::string CQUpdateUtilTime::FormatToday() {
  int year = 0, month = 0, day = 0;
  if (!LocalToday(year, month, day)) return {};
  char text[16];
  std::snprintf(text, sizeof text, "%04d%02d%02d", year, month, day);
  return text;
}

uint32_t CQUpdateUtilTime::TodayNumber() {
  std::string text = FormatToday();
  return text.empty() ? 0u : static_cast<uint32_t>(std::stoul(text));
}

void CQUpdateUtilTime::SetNowForTesting(std::optional<time_t> now) {
  g_now.store(now.value_or(0));
  g_pinned.store(now.has_value());
}

}  // namespace qrv
