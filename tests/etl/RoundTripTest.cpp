// Files written by tEtlWriter, read back by tEtlReader.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/etw/Etw.h"
#include "platform/etw/etl/Format.h"
#include "platform/etw/etl/Reader.h"
#include "platform/etw/etl/Writer.h"
#include "tests/etl/EtlTestSupport.h"

namespace lw::etl {
namespace {

using test::kStartFileTime;
using test::kStartRaw;

struct tWritten {
  tGuid Class;
  uint32_t Pid, Tid;
  uint64_t Raw;
  std::vector<uint8_t> Payload;
};

std::vector<tRecord> readEvents(tEtlReader& Reader, std::vector<std::vector<uint8_t>>* Payloads = nullptr) {
  std::vector<tRecord> out;
  tRecord r;
  while (Reader.NextEvent(r)) {
    out.push_back(r);
    if (Payloads) Payloads->emplace_back(r.Payload.begin(), r.Payload.end());
  }
  return out;
}

class RoundTrip : public ::testing::TestWithParam<uint32_t> {};  // pointer size

TEST_P(RoundTrip, EventsComeBackWithEveryField) {
  const uint32_t pointerSize = GetParam();
  test::tTempDir dir;
  const std::string path = dir.File("round.etl");
  std::vector<tWritten> written = {
      {test::kSupplierClass, 100, 200, kStartRaw + 10,
       test::SupplierPayload(0x00000008, u"src\\unit.cpp", 42, 7, u"plain text")},
      {test::kSupplierClass, 100, 201, kStartRaw + 20, test::SupplierPayload(0x00010004, u"", 0, 0, u"")},
      {test::kOtherClass, 300, 301, kStartRaw + 30, {}},
      {test::kSupplierClass, 100, 200, kStartRaw + 40,
       test::SupplierPayload(0x80010004, u"dir\\\u00e9t\u00e9.cpp", -1, -2, u"\u20ac \u65e5\u672c \U0001F600")},
  };
  // Enough events to fill several buffers.
  for (int i = 0; i < 400; ++i)
    written.push_back({test::kSupplierClass, 7, 8, kStartRaw + 100 + static_cast<uint64_t>(i),
                       test::SupplierPayload(1, u"f.cpp", i, 1, std::u16string(60, u'x'))});
  {
    tEtlWriter w;
    ASSERT_EQ(w.Open(path, test::Options(pointerSize)), 0u);
    for (size_t i = 0; i < written.size(); ++i) {
      tClassicEvent e;
      e.ClassGuid = written[i].Class;
      e.Type = static_cast<uint8_t>(i % 5);
      e.Level = 4;
      e.Version = 2;
      e.ProcessId = written[i].Pid;
      e.ThreadId = written[i].Tid;
      e.TimeStamp = written[i].Raw;
      e.Payload = written[i].Payload;
      ASSERT_EQ(w.AppendEvent(e), 0u);
    }
    ASSERT_EQ(w.Close(tFileTime{kStartFileTime + 12345678}), 0u);
    EXPECT_GT(w.BuffersWritten(), 3u);
  }

  tEtlReader reader;
  ASSERT_EQ(reader.Open(path), 0u);
  const tLogHeader& h = reader.Header();
  EXPECT_EQ(h.Is32Bit, pointerSize == 4);
  EXPECT_EQ(h.PointerSize, pointerSize);
  EXPECT_EQ(h.BufferSize, kDefaultBufferSize);
  EXPECT_EQ(h.StartTime, kStartFileTime);
  EXPECT_EQ(h.EndTime, kStartFileTime + 12345678);
  EXPECT_EQ(h.StartRaw, kStartRaw);
  EXPECT_EQ(h.PerfFreq, kQpcFrequency);
  EXPECT_EQ(h.ReservedFlags, kClockQpc);
  EXPECT_EQ(h.LoggerName, u"qdEventLogSession_1");
  EXPECT_EQ(h.ProcessId, 4242u);
  EXPECT_EQ(test::ReadBytes(path).size(), uint64_t{h.BuffersWritten} * h.BufferSize);

  std::vector<std::vector<uint8_t>> payloads;
  const std::vector<tRecord> got = readEvents(reader, &payloads);
  ASSERT_EQ(got.size(), written.size() + 1);
  EXPECT_EQ(got[0].Kind, tRecordKind::HeaderEvent);
  EXPECT_EQ(got[0].Time.Value, kStartFileTime);
  EXPECT_EQ(got[0].ProcessId, 4242u);
  for (size_t i = 0; i < written.size(); ++i) {
    const tRecord& r = got[i + 1];
    SCOPED_TRACE(i);
    EXPECT_EQ(r.Kind, tRecordKind::Classic);
    EXPECT_EQ(r.HeaderType, pointerSize == 4 ? kHdrFull32 : kHdrFull64);
    EXPECT_EQ(r.Guid, written[i].Class);
    EXPECT_EQ(r.ProcessId, written[i].Pid);
    EXPECT_EQ(r.ThreadId, written[i].Tid);
    EXPECT_EQ(r.Type, i % 5);
    EXPECT_EQ(r.Level, 4);
    EXPECT_EQ(r.Version, 2);
    EXPECT_EQ(r.Time.Value, kStartFileTime + (written[i].Raw - kStartRaw));
    EXPECT_EQ(payloads[i + 1], written[i].Payload);
  }
  EXPECT_EQ(reader.Stats().BuffersSkipped, 0u);
  EXPECT_EQ(reader.Stats().BadRecords, 0u);
  EXPECT_EQ(reader.Stats().RecordsByType[pointerSize == 4 ? kHdrFull32 : kHdrFull64], written.size());
}

INSTANTIATE_TEST_SUITE_P(PointerSizes, RoundTrip, ::testing::Values(4u, 8u),
                         [](const ::testing::TestParamInfo<uint32_t>& I) {
                           return I.param == 4 ? std::string("Bits32") : std::string("Bits64");
                         });

TEST(RoundTripFileTime, EventTimeGivenAsFileTime) {
  test::tTempDir dir;
  const std::string path = dir.File("ft.etl");
  tEtlWriter w;
  ASSERT_EQ(w.Open(path, test::Options()), 0u);
  tClassicEvent e;
  e.ClassGuid = test::kSupplierClass;
  e.TimeStamp = kStartFileTime + 777;
  e.TimeIsFileTime = true;
  ASSERT_EQ(w.AppendEvent(e), 0u);
  ASSERT_EQ(w.Close(), 0u);
  tEtlReader reader;
  ASSERT_EQ(reader.Open(path), 0u);
  EXPECT_EQ(reader.Header().EndTime, kStartFileTime + 777);  // end: the latest time written
  const auto got = readEvents(reader);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].RawTime, kStartRaw + 777);
  EXPECT_EQ(got[1].Time.Value, kStartFileTime + 777);
}

// A circular file that wrapped several times keeps the newest buffers and hands them out oldest first.
TEST(Circular, WrappedFileDeliversTheNewestBuffersInOrder) {
  test::tTempDir dir;
  const std::string path = dir.File("circ.etl");
  tWriterOptions o = test::Options();
  o.LogFileMode = 0x01000002;
  o.MaximumFileSize = 1;  // 64 slots of 16 KB: the header buffer and 63 data buffers
  tEtlWriter w;
  ASSERT_EQ(w.Open(path, o), 0u);
  ASSERT_EQ(w.SlotCount(), 64u);
  const std::vector<uint8_t> filler(200, 0xAB);
  std::vector<uint32_t> bufferOf;  // buffer sequence each event went into
  uint32_t n = 0;
  while (w.BuffersWritten() < 1 + 63 * 3 + 20) {  // wraps three times and a bit
    tClassicEvent e;
    e.ClassGuid = test::kSupplierClass;
    e.ProcessId = n;  // the event's number
    e.TimeStamp = kStartRaw + n;
    e.Payload = filler;
    ASSERT_EQ(w.AppendEvent(e), 0u);
    ++n;
  }
  ASSERT_EQ(w.Close(), 0u);
  EXPECT_EQ(test::ReadBytes(path).size(), 64u * 16384u);

  tEtlReader reader;
  ASSERT_EQ(reader.Open(path), 0u);
  EXPECT_EQ(reader.Header().BuffersWritten, w.BuffersWritten());
  const auto got = readEvents(reader);
  ASSERT_GT(got.size(), 1u);
  // Consecutive event numbers, oldest first, ending with the last event of the last full buffer
  // written (the one that was being filled at close went out too).
  for (size_t i = 2; i < got.size(); ++i) ASSERT_EQ(got[i].ProcessId, got[i - 1].ProcessId + 1) << i;
  EXPECT_EQ(got.back().ProcessId, n - 1);
  const uint32_t perBuffer = (16384 - 0x48) / AlignRecord(0x30 + 200);
  // The loop ended as buffer 209 went out and one event opened buffer 210 (flushed at close): the file
  // keeps buffers 148 to 210, 62 full ones and that last one.
  EXPECT_EQ(got.size() - 1, 62u * perBuffer + 1);
  EXPECT_EQ(got[1].ProcessId, 147u * perBuffer);
  EXPECT_EQ(got[1].BufferSequence, 148u);
  // Sequence numbers ascend across the wrap.
  for (size_t i = 2; i < got.size(); ++i) ASSERT_GE(got[i].BufferSequence, got[i - 1].BufferSequence);
  EXPECT_EQ(reader.Stats().BuffersRead, 64u);
}

// Sequential mode with a size limit stops growing; the buffers that no longer fit are counted as lost.
TEST(Sequential, FullFileDropsFurtherBuffers) {
  test::tTempDir dir;
  const std::string path = dir.File("seq.etl");
  tWriterOptions o = test::Options();
  o.MaximumFileSize = 1;
  tEtlWriter w;
  ASSERT_EQ(w.Open(path, o), 0u);
  tBufferBuilder b(o.BufferSize);
  for (int i = 0; i < 70; ++i) ASSERT_EQ(w.WriteBuffer(b.Bytes(), kStartRaw + static_cast<uint64_t>(i)), 0u);
  ASSERT_EQ(w.Close(), 0u);
  EXPECT_EQ(w.BuffersLost(), 7u);
  EXPECT_EQ(test::ReadBytes(path).size(), 64u * 16384u);
  tEtlReader reader;
  ASSERT_EQ(reader.Open(path), 0u);
  EXPECT_EQ(reader.Header().BuffersLost, 7u);
}

// Buffers packed by the caller (as the session host does) keep their processor; the reader merges the
// processors' buffers by time.
TEST(PrebuiltBuffers, ProcessorsMergeByTime) {
  test::tTempDir dir;
  const std::string path = dir.File("cpus.etl");
  tWriterOptions o = test::Options();
  o.NumberOfProcessors = 2;
  tEtlWriter w;
  ASSERT_EQ(w.Open(path, o), 0u);
  // Processor 0 gets even times, processor 1 odd ones; two buffers each, written out of time order.
  auto build = [](uint16_t Cpu, uint64_t First) {
    tBufferBuilder b(kDefaultBufferSize, Cpu);
    for (uint64_t t = First; t < First + 20; t += 2) {
      tClassicEvent e;
      e.ClassGuid = test::kSupplierClass;
      e.TimeStamp = kStartRaw + t;
      e.ProcessId = static_cast<uint32_t>(t);
      EXPECT_TRUE(b.Append(e));
    }
    return b;
  };
  const tBufferBuilder a0 = build(0, 0), b0 = build(0, 20), a1 = build(1, 1), b1 = build(1, 21);
  ASSERT_EQ(w.WriteBuffer(a1.Bytes(), kStartRaw + 19), 0u);
  ASSERT_EQ(w.WriteBuffer(a0.Bytes(), kStartRaw + 18), 0u);
  ASSERT_EQ(w.WriteBuffer(b0.Bytes(), kStartRaw + 38), 0u);
  ASSERT_EQ(w.WriteBuffer(b1.Bytes(), kStartRaw + 39), 0u);
  EXPECT_EQ(w.WriteBuffer(std::span<const uint8_t>(a0.Bytes().data(), 100), 0), etw::ERROR_INVALID_PARAMETER);
  ASSERT_EQ(w.Close(), 0u);

  tEtlReader reader;
  ASSERT_EQ(reader.Open(path), 0u);
  const auto got = readEvents(reader);
  ASSERT_EQ(got.size(), 41u);
  for (size_t i = 1; i < got.size(); ++i) EXPECT_EQ(got[i].ProcessId, i - 1);
  EXPECT_EQ(got[1].ProcessorIndex, 0);
  EXPECT_EQ(got[2].ProcessorIndex, 1);
}

TEST(WriterErrors, RefusedOptionsPathsAndEvents) {
  test::tTempDir dir;
  tEtlWriter w;
  tWriterOptions bad = test::Options();
  bad.BufferSize = 100;
  EXPECT_EQ(w.Open(dir.File("a.etl"), bad), etw::ERROR_INVALID_PARAMETER);
  bad = test::Options(6);
  EXPECT_EQ(w.Open(dir.File("a.etl"), bad), etw::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(w.Open(dir.File("missing/a.etl"), test::Options()), kErrorPathNotFound);
  EXPECT_EQ(w.Open(dir.File(""), test::Options()), etw::ERROR_ACCESS_DENIED);  // a folder
  EXPECT_FALSE(w.IsOpen());
  tClassicEvent e;
  EXPECT_EQ(w.AppendEvent(e), etw::ERROR_INVALID_PARAMETER);

  ASSERT_EQ(w.Open(dir.File("a.etl"), test::Options()), 0u);
  const std::vector<uint8_t> huge(kDefaultBufferSize, 1);
  e.Payload = huge;
  EXPECT_EQ(w.AppendEvent(e), etw::ERROR_BAD_LENGTH);
  tBufferBuilder b;
  const std::vector<uint8_t> largest(b.MaxPayload(), 2);
  e.Payload = largest;
  EXPECT_EQ(w.AppendEvent(e), 0u);  // exactly one buffer's worth
  EXPECT_EQ(w.Close(), 0u);
  tEtlReader reader;
  ASSERT_EQ(reader.Open(dir.File("a.etl")), 0u);
  const auto got = readEvents(reader);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].Payload.size(), largest.size());
}

}  // namespace
}  // namespace lw::etl
