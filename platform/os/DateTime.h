// The program's date-time value and its conversions.
//
// tDateTime counts days since 1899-12-30 00:00 local time; the fraction is the time of day. Values are
// built from calendar fields at millisecond resolution, so two conversions of the same instant compare
// equal. All functions are thread-safe.
#pragma once

#include <cstdint>
#include <string>

#include "platform/os/Types.h"

namespace lw::os {

using tDateTime = double;

struct tSystemTime {
  uint16_t Year = 0;
  uint16_t Month = 0;  // 1..12
  uint16_t DayOfWeek = 0;  // 0 = Sunday
  uint16_t Day = 0;
  uint16_t Hour = 0;
  uint16_t Minute = 0;
  uint16_t Second = 0;
  uint16_t Milliseconds = 0;
};

// UTC file time to local file time with the UTC offset in force now (not the one in force at the
// converted date): this is how the platform's conversion behaves and how event times are shown.
tFileTime FileTimeToLocalFileTime(tFileTime Utc);
// Calendar fields of a file time; fractions below a millisecond are dropped. False for values past
// year 30827, as on the platform.
bool FileTimeToSystemTime(tFileTime Time, tSystemTime& Out);
tFileTime SystemTimeToFileTime(const tSystemTime& Time);
tDateTime SystemTimeToDateTime(const tSystemTime& Time);
tSystemTime DateTimeToSystemTime(tDateTime Value);

// The three steps above: a UTC file time as the local date-time value.
tDateTime UtcFileTimeToDateTime(tFileTime Utc);
// Current local date and time with milliseconds.
tDateTime Now();

// The locale's time separator; ':' unless the platform reports another.
char TimeSeparator();
// Formats with the tokens dd, mm, yyyy, hh, nn, ss, zzz; ':' stands for the time separator. After hh,
// mm means minutes. Other characters are copied. Example format: "dd-mm-yyyy hh:mm:ss.zzz".
std::string FormatDateTime(const std::string& Format, tDateTime Value);

}  // namespace lw::os
