#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace qrv {

// Dates as the schedule keeps them: local calendar days, each taken at
// 01:01:01 local time (the platform decides about daylight saving), compared
// as seconds since the epoch. The stored form is the number yyyymmdd.
//
// Thread: any. The clock can be pinned for tests (SetNowForTesting); nothing
// else in the program sets it.
class CQUpdateUtilTime {
 public:
  virtual ~CQUpdateUtilTime() = default;

  // Today's local date at 01:01:01, in seconds since the epoch.
  static std::optional<int64_t> GetToday();
  // The date of a yyyymmdd number at 01:01:01; nothing when the number is no
  // date (year below 1900, month not 1..12, day not 1..31) or the local-time
  // conversion rejects it. A day past the month's end runs into the next month.
  static std::optional<int64_t> DateFromNumber(uint32_t number);
  // Today is strictly later than the date of number; nothing when either
  // cannot be made.
  static std::optional<bool> IsTodayAfter(uint32_t number);
  // The whole days (truncated) from the date of number to today are at least
  // days; nothing when either date cannot be made.
  static std::optional<bool> HasDaysElapsed(int32_t days, uint32_t number);
  // Today as "yyyymmdd".
  static std::string FormatToday();
  // Today as the stored number.
  static uint32_t TodayNumber();

  // Pins "now" (seconds since the epoch); nothing restores the real clock.
  static void SetNowForTesting(std::optional<time_t> now);
};

}  // namespace qrv
