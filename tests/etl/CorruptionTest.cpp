// Damaged and truncated files: every case has a defined result and no read leaves the file's bytes.
#include <functional>
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

constexpr uint32_t kBuf = kDefaultBufferSize;
constexpr uint32_t kRecord = 0x30 + 16;  // each record: header and 16 payload bytes (8-aligned already)

// Header buffer and three data buffers of ten events each.
std::vector<uint8_t> goodFile() {
  test::tTempDir dir;
  const std::string path = dir.File("base.etl");
  tEtlWriter w;
  EXPECT_EQ(w.Open(path, test::Options()), 0u);
  const std::vector<uint8_t> payload(16, 0x5A);
  for (int b = 0; b < 3; ++b) {
    tBufferBuilder builder;
    for (int i = 0; i < 10; ++i) {
      tClassicEvent e;
      e.ClassGuid = test::kSupplierClass;
      e.TimeStamp = test::kStartRaw + static_cast<uint64_t>(b * 10 + i);
      e.Payload = payload;
      EXPECT_TRUE(builder.Append(e));
    }
    EXPECT_EQ(w.WriteBuffer(builder.Bytes(), builder.LastTimeStamp()), 0u);
  }
  EXPECT_EQ(w.Close(), 0u);
  return test::ReadBytes(path);
}

uint8_t* at(std::vector<uint8_t>& B, size_t Offset) { return B.data() + Offset; }
// Record Index of data buffer Buffer (1-based slot).
size_t record(size_t Buffer, size_t Index) { return Buffer * kBuf + kBufferHeaderSize + Index * kRecord; }

struct tCase {
  const char* Name;
  std::function<void(std::vector<uint8_t>&)> Damage;
  uint32_t OpenStatus;
  uint64_t Events;  // classic events delivered (header event not counted)
  uint64_t Skipped;
  uint64_t BadRecords;
  uint64_t Compressed = 0;
  uint64_t Unused = 0;
};

const tCase kCases[] = {
    {"Intact", [](auto&) {}, 0, 30, 0, 0},
    {"EmptyFile", [](auto& b) { b.clear(); }, 13, 0, 0, 0},
    {"CutInBufferHeader", [](auto& b) { b.resize(40); }, 13, 0, 0, 0},
    {"CutInHeaderBuffer", [](auto& b) { b.resize(8000); }, 13, 0, 0, 0},
    {"CutInLastDataBuffer", [](auto& b) { b.resize(3 * kBuf + 5000); }, 0, 20, 1, 0},
    {"TextFile", [](auto& b) { std::fill(b.begin(), b.end(), 'x'); }, 13, 0, 0, 0},
    {"HeaderEventNotSystemRecord", [](auto& b) { b[0x48 + 2] = kHdrFull64; }, 13, 0, 0, 0},
    {"HeaderEventShorterThanLogfileHeader", [](auto& b) { Store16(at(b, 0x48 + 4), 0x40); }, 13, 0, 0, 0},
    {"HeaderEventPastSavedOffset", [](auto& b) { Store16(at(b, 0x48 + 4), 0xF000); }, 13, 0, 0, 0},
    {"HeaderBufferSizeZero", [](auto& b) { Store32(at(b, 0), 0); }, 13, 0, 0, 0},
    {"HeaderBufferSizeHuge", [](auto& b) { Store32(at(b, 0), 0x7FFFFFFF); }, 13, 0, 0, 0},
    {"LogfileHeaderBufferSizeDiffers", [](auto& b) { Store32(at(b, 0x68), 8192); }, 13, 0, 0, 0},
    {"DataBufferSizeWrong", [](auto& b) { Store32(at(b, 2 * kBuf), 1234); }, 0, 20, 1, 0},
    {"SavedOffsetPastBuffer", [](auto& b) { Store32(at(b, 2 * kBuf + 4), kBuf + 8); }, 0, 20, 1, 0},
    {"SavedOffsetInsideBufferHeader", [](auto& b) { Store32(at(b, 2 * kBuf + 4), 0x10); }, 0, 20, 1, 0},
    {"RecordRunsPastSavedOffset", [](auto& b) { Store16(at(b, record(2, 5)), 0xFFF0); }, 0, 25, 0, 1},
    {"RecordShorterThanItsHeader", [](auto& b) { Store16(at(b, record(2, 5)), 0x10); }, 0, 25, 0, 1},
    {"RecordSizeZero", [](auto& b) { Store16(at(b, record(2, 5)), 0); }, 0, 25, 0, 1},
    {"UnknownRecordType", [](auto& b) { b[record(2, 5) + 2] = 0x77; }, 0, 25, 0, 1},
    {"RecordWithoutTraceFlag", [](auto& b) { b[record(2, 5) + 3] = 0x00; }, 0, 25, 0, 1},
    {"SavedOffsetCutsARecord",
     [](auto& b) { Store32(at(b, 2 * kBuf + 4), static_cast<uint32_t>(0x48 + 5 * kRecord + 20)); }, 0, 25, 0, 1},
    {"EndMarkerMidBuffer", [](auto& b) { Store32(at(b, record(2, 5)), 0xFFFFFFFF); }, 0, 25, 0, 0},
    {"CompressedBuffer", [](auto& b) { b[2 * kBuf + kBufOffFlags] |= kBufferFlagCompressed; }, 0, 20, 0, 0, 1},
    {"ZeroedSlot", [](auto& b) { std::fill(b.begin() + 2 * kBuf, b.begin() + 3 * kBuf, 0); }, 0, 20, 0, 0, 0, 1},
    {"TrailingPartialSlot", [](auto& b) { b.resize(b.size() + 100, 0xFF); }, 0, 30, 1, 0},
};

class Corruption : public ::testing::TestWithParam<tCase> {};

TEST_P(Corruption, DefinedResult) {
  const tCase& c = GetParam();
  std::vector<uint8_t> bytes = goodFile();
  ASSERT_EQ(bytes.size(), 4u * kBuf);
  c.Damage(bytes);
  // From memory and from a file: the same answer.
  for (int fromFile = 0; fromFile < 2; ++fromFile) {
    SCOPED_TRACE(fromFile ? "file" : "memory");
    test::tTempDir dir;
    tEtlReader reader;
    uint32_t status;
    if (fromFile) {
      test::WriteBytes(dir.File("bad.etl"), bytes);
      status = reader.Open(dir.File("bad.etl"));
    } else {
      status = reader.Open(std::make_unique<tMemorySource>(bytes));
    }
    ASSERT_EQ(status, c.OpenStatus);
    if (status != 0) continue;
    tRecord r;
    uint64_t events = 0;
    uint64_t lastRaw = 0;
    ASSERT_TRUE(reader.NextEvent(r));
    EXPECT_EQ(r.Kind, tRecordKind::HeaderEvent);
    while (reader.NextEvent(r)) {
      ++events;
      EXPECT_GE(r.RawTime, lastRaw);
      lastRaw = r.RawTime;
      EXPECT_EQ(r.Payload.size(), 16u);
    }
    const tReadStats& s = reader.Stats();
    EXPECT_EQ(events, c.Events);
    EXPECT_EQ(s.BuffersSkipped, c.Skipped);
    EXPECT_EQ(s.BadRecords, c.BadRecords);
    EXPECT_EQ(s.BuffersCompressed, c.Compressed);
    EXPECT_EQ(s.BuffersUnused, c.Unused);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Corruption, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<tCase>& I) { return std::string(I.param.Name); });

TEST(OpenErrors, MissingFileAndFolder) {
  test::tTempDir dir;
  tEtlReader reader;
  EXPECT_EQ(reader.Open(dir.File("nothing.etl")), etw::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reader.Open(dir.File("")), etw::ERROR_ACCESS_DENIED);
  tRecord r;
  EXPECT_FALSE(reader.Next(r));  // a reader that failed to open has nothing to give
}

}  // namespace
}  // namespace lw::etl
