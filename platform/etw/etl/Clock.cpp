#include "platform/etw/etl/Clock.h"

#include <limits>

#include "platform/etw/etl/Format.h"

namespace lw::etl {

namespace {
__extension__ using tWide = __int128;

constexpr tWide kMaxFileTime = std::numeric_limits<int64_t>::max();

uint64_t saturate(tWide V) {
  if (V < 0) return 0;
  if (V > kMaxFileTime) return static_cast<uint64_t>(kMaxFileTime);
  return static_cast<uint64_t>(V);
}
}  // namespace

tClock::tClock(uint32_t ClockType, int64_t PerfFreq, uint32_t CpuSpeedInMHz, tFileTime StartTime,
               uint64_t StartRaw)
    : type_(ClockType), startTime_(StartTime.Value), startRaw_(StartRaw) {
  // Older files leave the clock type 0; they count in QPC ticks whenever a frequency is given.
  if (type_ == 0) type_ = PerfFreq > 0 ? kClockQpc : kClockSystemTime;
  if (type_ == kClockQpc && PerfFreq > 0) {
    num_ = 10000000;
    den_ = PerfFreq;
  } else if (type_ == kClockCpuCycles && CpuSpeedInMHz > 0) {
    num_ = 10;
    den_ = CpuSpeedInMHz;
  } else {
    num_ = 1;
    den_ = 1;
  }
  if (num_ == den_) num_ = den_ = 1;
}

tClock tClock::Qpc10MHz(tFileTime StartTime, uint64_t StartRaw) {
  return tClock(kClockQpc, 10000000, 0, StartTime, StartRaw);
}

tFileTime tClock::ToFileTime(uint64_t Raw) const {
  // The difference is taken as signed: a stamp a little before the start stays a little before it.
  const tWide delta = static_cast<int64_t>(Raw - startRaw_);
  if (num_ == 1 && den_ == 1) return tFileTime{saturate(static_cast<tWide>(startTime_) + delta)};
  tWide scaled = delta * num_;
  // Floor division, so that times before the start round the same way as those after it.
  tWide q = scaled / den_;
  if (scaled % den_ < 0) --q;
  return tFileTime{saturate(static_cast<tWide>(startTime_) + q)};
}

uint64_t tClock::ToRaw(tFileTime Time) const {
  const tWide delta = static_cast<tWide>(Time.Value) - static_cast<tWide>(startTime_);
  tWide raw = delta;
  if (!(num_ == 1 && den_ == 1)) {
    tWide scaled = delta * den_;
    raw = scaled / num_;
    if (scaled % num_ < 0) --raw;
  }
  return static_cast<uint64_t>(static_cast<tWide>(startRaw_) + raw);
}

}  // namespace lw::etl
