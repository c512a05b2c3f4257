// Conversion between the raw time stamps of a log file and UTC file times.
//
// A log file records its clock in the header: the clock type (QPC, system time or CPU cycles), the
// QPC frequency, the CPU speed, and one instant known on both scales (the header event's raw time and
// the file's start time). Every record's raw stamp converts through that pair. Conversions are exact
// integer arithmetic, saturate at the ends of the file-time range, and never fail: a header with a
// zero frequency or speed falls back to treating raw stamps as file times. Value type, thread-safe.
#pragma once

#include <cstdint>

#include "platform/os/Types.h"

namespace lw::etl {

class tClock {
 public:
  tClock() = default;
  tClock(uint32_t ClockType, int64_t PerfFreq, uint32_t CpuSpeedInMHz, tFileTime StartTime,
         uint64_t StartRaw);

  // A 10 MHz QPC clock whose StartRaw tick is StartTime.
  static tClock Qpc10MHz(tFileTime StartTime, uint64_t StartRaw);

  tFileTime ToFileTime(uint64_t Raw) const;
  uint64_t ToRaw(tFileTime Time) const;

  uint32_t Type() const { return type_; }

 private:
  uint32_t type_ = 2;
  // FileTime = StartTime + (Raw - StartRaw) * Num / Den.
  int64_t num_ = 1;
  int64_t den_ = 1;
  uint64_t startTime_ = 0;
  uint64_t startRaw_ = 0;
};

}  // namespace lw::etl
