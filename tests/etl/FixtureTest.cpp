// The reader against log files written by Windows sessions. The expected values were taken from the
// files with a separate byte walk, not from this reader.
#include <filesystem>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "platform/etw/FileConsumer.h"
#include "platform/etw/etl/Format.h"
#include "platform/etw/etl/Reader.h"
#include "tests/etl/EtlTestSupport.h"

namespace lw::etl {
namespace {

struct tFixture {
  const char* Name;
  uint32_t BufferSize;
  uint32_t NumberOfProcessors;
  uint32_t ProviderVersion;
  uint32_t LogFileMode;
  uint32_t MaximumFileSize;
  uint32_t BuffersWritten;
  uint32_t EventsLost;
  uint32_t CpuSpeedInMHz;
  uint64_t StartTime;
  uint64_t EndTime;
  uint64_t StartRaw;
  const char16_t* LoggerName;
  const char16_t* LogFileName;
  std::map<uint8_t, uint64_t> Records;  // by header type
};

const tFixture kFixtures[] = {
    {"powershell.etl", 8192, 32, 22623, 9, 1, 26, 0, 3400, 133245763580175449ull, 133245764954543828ull,
     12676583967ull, u"usermode_trace", u"C:\\Users\\aaaaa\\output1.etl",
     {{kHdrSystem64, 2}, {kHdrEventHeader64, 112}}},
    {"lxcore_kernel.etl", 8192, 6, 19041, 0, 0, 3, 0, 3000, 132392018711387363ull, 132392018832816874ull,
     110988826450ull, u"lxcore_kernel", u"C:\\Prog\\lxcore_kernel.etl",
     {{kHdrSystem64, 2}, {kHdrEventHeader64, 2}}},
    {"AMSITrace.etl", 65536, 8, 18362, 134217729, 0, 6, 3, 1992, 132264173104203138ull,
     132264174000260662ull, 2745263251517ull, u"AMSITraceSession", u"c:\\work\\AMSITrace.etl",
     {{kHdrSystem64, 2}, {kHdrEventHeader64, 19}}},
    {"ShutdownPerfDiagLogger.etl", 65536, 2, 18362, 33554560, 20, 49, 0, 1992, 132273542277445790ull,
     132273837534159885ull, 6365537ull, u"PerfDiag Logger",
     u"C:\\Windows\\system32\\WDI\\LogFiles\\ShutdownPerfDiagLogger.etl",
     {{kHdrSystem64, 8433}, {kHdrPerfInfo64, 8645}}},
};

std::string fixturePath(const char* Name) { return std::string(LW_ETL_FIXTURES) + "/" + Name; }

class FixtureTest : public ::testing::TestWithParam<tFixture> {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(fixturePath(GetParam().Name))) GTEST_SKIP() << "fixtures not present";
  }
};

TEST_P(FixtureTest, HeaderValuesAndRecordCounts) {
  const tFixture& f = GetParam();
  tEtlReader reader;
  ASSERT_EQ(reader.Open(fixturePath(f.Name)), 0u);
  const tLogHeader& h = reader.Header();
  EXPECT_EQ(h.BufferSize, f.BufferSize);
  EXPECT_EQ(h.NumberOfProcessors, f.NumberOfProcessors);
  EXPECT_EQ(h.ProviderVersion, f.ProviderVersion);
  EXPECT_EQ(h.Version, 0x0501000Au);
  EXPECT_EQ(h.LogFileMode, f.LogFileMode);
  EXPECT_EQ(h.MaximumFileSize, f.MaximumFileSize);
  EXPECT_EQ(h.BuffersWritten, f.BuffersWritten);
  EXPECT_EQ(h.EventsLost, f.EventsLost);
  EXPECT_EQ(h.CpuSpeedInMHz, f.CpuSpeedInMHz);
  EXPECT_EQ(h.StartTime, f.StartTime);
  EXPECT_EQ(h.EndTime, f.EndTime);
  EXPECT_EQ(h.StartRaw, f.StartRaw);
  EXPECT_EQ(h.PerfFreq, 10000000);
  EXPECT_EQ(h.ReservedFlags, kClockQpc);
  EXPECT_EQ(h.PointerSize, 8u);
  EXPECT_EQ(h.TimerResolution, 156250u);
  EXPECT_FALSE(h.Is32Bit);
  EXPECT_EQ(h.LoggerName, f.LoggerName);
  EXPECT_EQ(h.LogFileName, f.LogFileName);

  tRecord r;
  ASSERT_TRUE(reader.Next(r));
  EXPECT_EQ(r.Kind, tRecordKind::HeaderEvent);
  EXPECT_EQ(r.Guid, kEventTraceGuid);
  EXPECT_EQ(r.Time.Value, f.StartTime);  // the header event's raw stamp is the start
  uint64_t records = 1;
  uint64_t supplier = 0;
  uint64_t outOfRange = 0;
  while (reader.Next(r)) {
    ++records;
    if (r.HasGuid && r.Guid == test::kSupplierClass) ++supplier;
    if (r.HasTime && (r.Time.Value < f.StartTime || r.Time.Value > f.EndTime)) ++outOfRange;
  }
  const tReadStats& s = reader.Stats();
  uint64_t expected = 0;
  for (size_t t = 0; t < s.RecordsByType.size(); ++t) {
    const auto it = f.Records.find(static_cast<uint8_t>(t));
    const uint64_t want = it == f.Records.end() ? 0 : it->second;
    EXPECT_EQ(s.RecordsByType[t], want) << "header type " << t;
    expected += want;
  }
  EXPECT_EQ(records, expected);
  EXPECT_EQ(s.BufferSlots, f.BuffersWritten);
  EXPECT_EQ(s.BuffersRead, f.BuffersWritten);
  EXPECT_EQ(s.BuffersSkipped, 0u);
  EXPECT_EQ(s.BadRecords, 0u);
  EXPECT_EQ(s.HeaderEvents, 1u);
  EXPECT_EQ(s.EventsDelivered, 1u);  // no classic events in these files
  EXPECT_EQ(supplier, 0u);
  EXPECT_EQ(outOfRange, 0u);  // every converted time lies within the session
}

TEST_P(FixtureTest, ConsumerReceivesOnlyTheHeaderEvent) {
  const tFixture& f = GetParam();
  static int events;
  static etw::EVENT_TRACE first;
  static uint32_t firstBufferSize;  // the payload is valid only during the callback
  events = 0;
  firstBufferSize = 0;
  std::string path = fixturePath(f.Name);
  etw::EVENT_TRACE_LOGFILEA lf{};
  lf.LogFileName = path.data();
  lf.LogFileMode = etw::PROCESS_TRACE_MODE_LOGFILE;
  lf.EventCallback = [](etw::EVENT_TRACE* E) {
    if (events++ == 0) {
      first = *E;
      if (E->MofLength >= 4) firstBufferSize = Load32(static_cast<const uint8_t*>(E->MofData));
    }
  };
  etw::TRACEHANDLE h = etw::OpenFileTrace(&lf);
  ASSERT_NE(h, etw::INVALID_PROCESSTRACE_HANDLE);
  EXPECT_EQ(lf.LogfileHeader.BuffersWritten, f.BuffersWritten);
  EXPECT_EQ(lf.LogfileHeader.StartTime, static_cast<int64_t>(f.StartTime));
  EXPECT_EQ(etw::ProcessFileTraces(&h, 1, nullptr, nullptr), 0u);
  EXPECT_EQ(etw::CloseFileTrace(h), 0u);
  EXPECT_EQ(events, 1);
  EXPECT_EQ(first.Header.Guid, kEventTraceGuid);
  EXPECT_EQ(first.Header.TimeStamp, static_cast<int64_t>(f.StartTime));
  ASSERT_GE(first.MofLength, kLogfileHeaderSize64);
  EXPECT_EQ(firstBufferSize, f.BufferSize);
}

INSTANTIATE_TEST_SUITE_P(Windows, FixtureTest, ::testing::ValuesIn(kFixtures),
                         [](const ::testing::TestParamInfo<tFixture>& I) {
                           std::string n = I.param.Name;
                           return n.substr(0, n.find('.'));
                         });

// A pinned time of one record, converted with the header's clock (QPC, 10 MHz).
TEST(FixtureTime, EventTimeConvertsWithTheHeaderClock) {
  const std::string path = fixturePath("lxcore_kernel.etl");
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "fixtures not present";
  tEtlReader reader;
  ASSERT_EQ(reader.Open(path), 0u);
  tRecord r;
  bool found = false;
  while (reader.Next(r))
    if (r.FileOffset == 0x4048) {
      found = true;
      EXPECT_EQ(r.Kind, tRecordKind::EventHeader);
      EXPECT_EQ(r.Time.Value, 132392018769026510ull);
      EXPECT_EQ(r.ProcessId, 5876u);
      EXPECT_EQ(r.ThreadId, 2868u);
    }
  EXPECT_TRUE(found);
}

}  // namespace
}  // namespace lw::etl
