#include "platform/os/DateTime.h"

#include <cmath>
#include <cstdio>

#include "platform/os/Os.h"

namespace lw::os {

namespace {

constexpr uint64_t kTicksPerMs = 10000;
constexpr uint64_t kMsPerDay = 86400000;
constexpr uint64_t kTicksPerDay = kTicksPerMs * kMsPerDay;
// Days from 1601-01-01 to 1899-12-30.
constexpr int64_t kDaysTo1899 = 109205;

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

// 1601-01-01 is day -134774 relative to 1970-01-01.
constexpr int64_t kDays1601To1970 = 134774;

}  // namespace

bool FileTimeToSystemTime(tFileTime Time, tSystemTime& Out) {
  if (Time.Value >= 0x8000000000000000ULL) return false;
  const uint64_t days = Time.Value / kTicksPerDay;
  const uint64_t msOfDay = (Time.Value % kTicksPerDay) / kTicksPerMs;
  int64_t y = 0;
  unsigned m = 0, d = 0;
  civilFromDays(static_cast<int64_t>(days) - kDays1601To1970, y, m, d);
  Out.Year = static_cast<uint16_t>(y);
  Out.Month = static_cast<uint16_t>(m);
  Out.Day = static_cast<uint16_t>(d);
  Out.DayOfWeek = static_cast<uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
  Out.Hour = static_cast<uint16_t>(msOfDay / 3600000);
  Out.Minute = static_cast<uint16_t>(msOfDay / 60000 % 60);
  Out.Second = static_cast<uint16_t>(msOfDay / 1000 % 60);
  Out.Milliseconds = static_cast<uint16_t>(msOfDay % 1000);
  return true;
}

tFileTime SystemTimeToFileTime(const tSystemTime& Time) {
  const int64_t days = daysFromCivil(Time.Year, Time.Month, Time.Day) + kDays1601To1970;
  const uint64_t ms = static_cast<uint64_t>(Time.Hour) * 3600000 + Time.Minute * 60000u +
                      Time.Second * 1000u + Time.Milliseconds;
  return tFileTime{static_cast<uint64_t>(days) * kTicksPerDay + ms * kTicksPerMs};
}

tDateTime SystemTimeToDateTime(const tSystemTime& Time) {
  const int64_t days = daysFromCivil(Time.Year, Time.Month, Time.Day) + kDays1601To1970 - kDaysTo1899;
  const double frac = (static_cast<double>(Time.Hour) * 3600000.0 + Time.Minute * 60000.0 +
                       Time.Second * 1000.0 + Time.Milliseconds) /
                      static_cast<double>(kMsPerDay);
  // Before 1899-12-30 the time of day counts away from zero, as in the class library.
  return days >= 0 ? static_cast<double>(days) + frac : static_cast<double>(days) - frac;
}

tSystemTime DateTimeToSystemTime(tDateTime Value) {
  double whole = std::trunc(Value);
  auto ms = static_cast<int64_t>(std::llround(std::fabs(Value - whole) * static_cast<double>(kMsPerDay)));
  auto days = static_cast<int64_t>(whole);
  if (ms >= static_cast<int64_t>(kMsPerDay)) {
    ms -= static_cast<int64_t>(kMsPerDay);
    days += Value >= 0 ? 1 : -1;
  }
  tSystemTime st;
  int64_t y = 0;
  unsigned m = 0, d = 0;
  const int64_t unixDays = days + kDaysTo1899 - kDays1601To1970;
  civilFromDays(unixDays, y, m, d);
  st.Year = static_cast<uint16_t>(y);
  st.Month = static_cast<uint16_t>(m);
  st.Day = static_cast<uint16_t>(d);
  st.DayOfWeek = static_cast<uint16_t>(((unixDays % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  st.Hour = static_cast<uint16_t>(ms / 3600000);
  st.Minute = static_cast<uint16_t>(ms / 60000 % 60);
  st.Second = static_cast<uint16_t>(ms / 1000 % 60);
  st.Milliseconds = static_cast<uint16_t>(ms % 1000);
  return st;
}

tDateTime UtcFileTimeToDateTime(tFileTime Utc) {
  tSystemTime st;
  if (!FileTimeToSystemTime(FileTimeToLocalFileTime(Utc), st)) return 0.0;
  return SystemTimeToDateTime(st);
}

tDateTime Now() { return UtcFileTimeToDateTime(CurrentUtcFileTime()); }

std::string FormatDateTime(const std::string& Format, tDateTime Value) {
  const tSystemTime st = DateTimeToSystemTime(Value);
  std::string out;
  out.reserve(Format.size() + 4);
  auto num = [&out](unsigned v, int width) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*u", width, v);
    out += buf;
  };
  bool afterHour = false;
  const size_t n = Format.size();
  for (size_t i = 0; i < n;) {
    const char c = Format[i];
    const char lc = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    size_t run = 1;
    while (i + run < n && (Format[i + run] == c || Format[i + run] == (lc == c ? c - 32 : lc))) ++run;
    switch (lc) {
      case 'y':
        if (run >= 3)
          num(st.Year, 4);
        else
          num(st.Year % 100u, 2);
        break;
      case 'm':
        if (afterHour) {
          num(st.Minute, run >= 2 ? 2 : 1);
          afterHour = false;
        } else {
          num(st.Month, run >= 2 ? 2 : 1);
        }
        break;
      case 'd':
        num(st.Day, run >= 2 ? 2 : 1);
        break;
      case 'h':
        num(st.Hour, run >= 2 ? 2 : 1);
        afterHour = true;
        break;
      case 'n':
        num(st.Minute, run >= 2 ? 2 : 1);
        afterHour = false;
        break;
      case 's':
        num(st.Second, run >= 2 ? 2 : 1);
        break;
      case 'z':
        num(st.Milliseconds, run >= 3 ? 3 : 1);
        break;
      case ':':
        out.append(run, TimeSeparator());
        break;
      case '"':
      case '\'': {
        size_t j = i + 1;
        while (j < n && Format[j] != c) ++j;
        out.append(Format, i + 1, j - i - 1);
        run = (j < n ? j + 1 : n) - i;
        break;
      }
      default:
        out.append(run, c);
        break;
    }
    i += run;
  }
  return out;
}

}  // namespace lw::os
