// OpenTraceA / ProcessTrace / CloseTrace on log files.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/etw/FileConsumer.h"
#include "platform/etw/etl/Format.h"
#include "platform/etw/etl/Writer.h"
#include "platform/os/Os.h"
#include "tests/etl/EtlTestSupport.h"

namespace lw::etw {
namespace {

using lw::etl::test::kStartFileTime;
using lw::etl::test::kStartRaw;

struct tSeen {
  EVENT_TRACE Event;
  std::vector<uint8_t> Mof;
};
std::vector<tSeen> Seen;
std::vector<ULONG> BuffersReadSeen;
ULONG StopAfterBuffers = 0;

void record(EVENT_TRACE* E) {
  const auto* m = static_cast<const uint8_t*>(E->MofData);
  Seen.push_back({*E, m ? std::vector<uint8_t>(m, m + E->MofLength) : std::vector<uint8_t>{}});
}
ULONG onBuffer(EVENT_TRACE_LOGFILEA* L) {
  BuffersReadSeen.push_back(L->BuffersRead);
  return StopAfterBuffers != 0 && L->BuffersRead >= StopAfterBuffers ? 0 : 1;
}

// Events with pid = number, times StartRaw + First + Step * i.
std::string writeFile(const lw::etl::test::tTempDir& Dir, const std::string& Name, uint32_t Count,
                      uint64_t First, uint64_t Step, size_t PayloadSize = 40) {
  const std::string path = Dir.File(Name);
  lw::etl::tEtlWriter w;
  EXPECT_EQ(w.Open(path, lw::etl::test::Options()), 0u);
  std::vector<uint8_t> payload(PayloadSize);
  for (uint32_t i = 0; i < Count; ++i) {
    for (size_t k = 0; k < payload.size(); ++k) payload[k] = static_cast<uint8_t>(i + k);
    lw::etl::tClassicEvent e;
    e.ClassGuid = lw::etl::test::kSupplierClass;
    e.Type = 1;
    e.Level = 5;
    e.Version = 3;
    e.ProcessId = i;
    e.ThreadId = 1000 + i;
    e.TimeStamp = kStartRaw + First + Step * i;
    e.Payload = payload;
    EXPECT_EQ(w.AppendEvent(e), 0u);
  }
  EXPECT_EQ(w.Close(), 0u);
  return path;
}

class FileConsumer : public ::testing::Test {
 protected:
  void SetUp() override {
    Seen.clear();
    BuffersReadSeen.clear();
    StopAfterBuffers = 0;
  }
  EVENT_TRACE_LOGFILEA descriptor(std::string& Path) {
    EVENT_TRACE_LOGFILEA lf{};
    lf.LogFileName = Path.data();
    lf.LogFileMode = PROCESS_TRACE_MODE_LOGFILE;
    lf.EventCallback = &record;
    lf.BufferCallback = &onBuffer;
    return lf;
  }
  lw::etl::test::tTempDir dir_;
};

TEST_F(FileConsumer, OpenFailuresGiveTheInvalidHandleAndTheReason) {
  lw::etl::test::WriteBytes(dir_.File("text.etl"), std::vector<uint8_t>(70000, 'a'));
  struct {
    const char* Name;
    std::string Path;
    bool NoName;
    ULONG Error;
  } cases[] = {
      {"missing", dir_.File("none.etl"), false, ERROR_FILE_NOT_FOUND},
      {"folder", dir_.File(""), false, ERROR_ACCESS_DENIED},
      {"not a log", dir_.File("text.etl"), false, ERROR_INVALID_DATA},
      {"no name", "", true, ERROR_INVALID_PARAMETER},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EVENT_TRACE_LOGFILEA lf = descriptor(c.Path);
    if (c.NoName) lf.LogFileName = nullptr;
    lw::os::SetLastError(0);
    EXPECT_EQ(OpenFileTrace(&lf), INVALID_PROCESSTRACE_HANDLE);
    EXPECT_EQ(lw::os::GetLastError(), c.Error);
  }
  lw::os::SetLastError(0);
  EXPECT_EQ(OpenFileTrace(nullptr), INVALID_PROCESSTRACE_HANDLE);
  EXPECT_EQ(lw::os::GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(FileConsumer, HandlesCarryTheFileBit) {
  std::string path = writeFile(dir_, "a.etl", 1, 1, 1);
  EVENT_TRACE_LOGFILEA lf = descriptor(path);
  const TRACEHANDLE a = OpenFileTrace(&lf);
  const TRACEHANDLE b = OpenFileTrace(&lf);
  ASSERT_NE(a, INVALID_PROCESSTRACE_HANDLE);
  EXPECT_NE(a, b);
  EXPECT_TRUE(IsFileTraceHandle(a));
  EXPECT_TRUE(IsFileTraceHandle(b));
  EXPECT_EQ(a & (TRACEHANDLE{3} << 62), TRACEHANDLE{1} << 62);
  EXPECT_FALSE(IsFileTraceHandle(INVALID_PROCESSTRACE_HANDLE));
  EXPECT_FALSE(IsFileTraceHandle(1));
  EXPECT_FALSE(IsFileTraceHandle(TRACEHANDLE{1} << 63));
  EXPECT_EQ(CloseFileTrace(a), ERROR_SUCCESS);
  EXPECT_EQ(CloseFileTrace(a), ERROR_INVALID_HANDLE);
  TRACEHANDLE closed = a;
  EXPECT_EQ(ProcessFileTraces(&closed, 1, nullptr, nullptr), ERROR_INVALID_HANDLE);
  EXPECT_EQ(CloseFileTrace(b), ERROR_SUCCESS);
}

TEST_F(FileConsumer, DeliversTheHeaderEventThenEveryEventWithItsFields) {
  std::string path = writeFile(dir_, "a.etl", 500, 10, 3);
  EVENT_TRACE_LOGFILEA lf = descriptor(path);
  TRACEHANDLE h = OpenFileTrace(&lf);
  ASSERT_NE(h, INVALID_PROCESSTRACE_HANDLE);
  EXPECT_EQ(lf.LogfileHeader.StartTime, static_cast<int64_t>(kStartFileTime));
  EXPECT_EQ(lf.LogfileHeader.PerfFreq, 10000000);
  EXPECT_EQ(lf.LogfileHeader.ReservedFlags, 1u);
  EXPECT_EQ(lf.LogfileHeader.PointerSize, 8u);
  EXPECT_EQ(lf.BufferSize, lw::etl::kDefaultBufferSize);

  ASSERT_EQ(ProcessFileTraces(&h, 1, nullptr, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(Seen.size(), 501u);
  EXPECT_EQ(Seen[0].Event.Header.Guid, lw::etl::kEventTraceGuid);
  EXPECT_EQ(Seen[0].Event.Header.TimeStamp, static_cast<int64_t>(kStartFileTime));
  EXPECT_EQ(Seen[0].Event.Header.ProcessId, 4242u);
  EXPECT_EQ(lw::etl::Load32(Seen[0].Mof.data()), lw::etl::kDefaultBufferSize);
  for (uint32_t i = 0; i < 500; ++i) {
    const tSeen& s = Seen[i + 1];
    SCOPED_TRACE(i);
    EXPECT_EQ(s.Event.Header.Guid, lw::etl::test::kSupplierClass);
    EXPECT_EQ(s.Event.Header.ProcessId, i);
    EXPECT_EQ(s.Event.Header.ThreadId, 1000 + i);
    EXPECT_EQ(s.Event.Header.TimeStamp, static_cast<int64_t>(kStartFileTime + 10 + 3 * i));
    EXPECT_EQ(s.Event.Header.Class.Type, 1);
    EXPECT_EQ(s.Event.Header.Class.Level, 5);
    EXPECT_EQ(s.Event.Header.Class.Version, 3);
    EXPECT_EQ(s.Event.Header.Size, 48 + 40);
    EXPECT_EQ(s.Event.BufferContext.LoggerId, 1);
    ASSERT_EQ(s.Event.MofLength, 40u);
    EXPECT_EQ(s.Mof[0], static_cast<uint8_t>(i));
    EXPECT_EQ(s.Mof[39], static_cast<uint8_t>(i + 39));
  }
  // One callback per buffer, counting up; header buffer included.
  ASSERT_FALSE(BuffersReadSeen.empty());
  for (size_t i = 0; i < BuffersReadSeen.size(); ++i) EXPECT_EQ(BuffersReadSeen[i], i + 1);
  EXPECT_EQ(BuffersReadSeen.back(), lf.LogfileHeader.BuffersWritten);

  // A second call walks the file again.
  Seen.clear();
  ASSERT_EQ(ProcessFileTraces(&h, 1, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(Seen.size(), 501u);
  EXPECT_EQ(CloseFileTrace(h), ERROR_SUCCESS);
}

TEST_F(FileConsumer, TimeWindowAndBufferCallbackStop) {
  std::string path = writeFile(dir_, "a.etl", 1000, 0, 10);
  EVENT_TRACE_LOGFILEA lf = descriptor(path);
  TRACEHANDLE h = OpenFileTrace(&lf);
  ASSERT_NE(h, INVALID_PROCESSTRACE_HANDLE);
  const tFileTime start{kStartFileTime + 100};
  const tFileTime end{kStartFileTime + 190};
  ASSERT_EQ(ProcessFileTraces(&h, 1, &start, &end), ERROR_SUCCESS);
  ASSERT_EQ(Seen.size(), 11u);  // the header event and events 10 to 19
  EXPECT_EQ(Seen[1].Event.Header.ProcessId, 10u);
  EXPECT_EQ(Seen[10].Event.Header.ProcessId, 19u);

  Seen.clear();
  StopAfterBuffers = 2;
  EXPECT_EQ(ProcessFileTraces(&h, 1, nullptr, nullptr), ERROR_CANCELLED);
  ASSERT_GT(Seen.size(), 1u);
  EXPECT_LT(Seen.size(), 1001u);
  // Stopped right after the second buffer (the first data buffer): every event of it and none after.
  const uint32_t perBuffer = (lw::etl::kDefaultBufferSize - 0x48) / (0x30 + 40);
  EXPECT_EQ(Seen.size(), 1u + perBuffer);
  EXPECT_EQ(CloseFileTrace(h), ERROR_SUCCESS);
}

TEST_F(FileConsumer, SeveralFilesMergeByTime) {
  std::string a = writeFile(dir_, "a.etl", 300, 0, 2);  // even times
  std::string b = writeFile(dir_, "b.etl", 300, 1, 2);  // odd times
  EVENT_TRACE_LOGFILEA la = descriptor(a);
  EVENT_TRACE_LOGFILEA lb = descriptor(b);
  TRACEHANDLE h[2] = {OpenFileTrace(&la), OpenFileTrace(&lb)};
  ASSERT_NE(h[0], INVALID_PROCESSTRACE_HANDLE);
  ASSERT_NE(h[1], INVALID_PROCESSTRACE_HANDLE);
  ASSERT_EQ(ProcessFileTraces(h, 2, nullptr, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(Seen.size(), 602u);
  EXPECT_EQ(Seen[0].Event.Header.Guid, lw::etl::kEventTraceGuid);
  EXPECT_EQ(Seen[1].Event.Header.Guid, lw::etl::kEventTraceGuid);
  for (size_t i = 3; i < Seen.size(); ++i)
    EXPECT_EQ(Seen[i].Event.Header.TimeStamp, Seen[i - 1].Event.Header.TimeStamp + 1) << i;
  EXPECT_EQ(ProcessFileTraces(h, 0, nullptr, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ProcessFileTraces(nullptr, 1, nullptr, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CloseFileTrace(h[0]), ERROR_SUCCESS);
  EXPECT_EQ(CloseFileTrace(h[1]), ERROR_SUCCESS);
}

}  // namespace
}  // namespace lw::etw
