#include <gtest/gtest.h>

#include <vector>

#include "Payload.h"
#include "capture/EventDecoder.h"
#include "platform/os/DateTime.h"
#include "server/LogItems.h"

namespace {

std::vector<tLogItem> drain() {
  tLogItemsLock guard(LogItems);
  std::vector<tLogItem> out(LogItems.begin(), LogItems.end());
  LogItems.clear();
  return out;
}

// 2026-12-11 13:45:07.123 UTC plus 4567 ticks below the millisecond.
constexpr uint64_t kStamp = 155572ULL * 864000000000ULL + (13ULL * 3600 + 45 * 60 + 7) * 10000000ULL + 1234567;

lw::etw::EVENT_TRACE makeEvent(std::vector<uint8_t>& Payload, const lw::tGuid& Class = kSupplierEventClass) {
  lw::etw::EVENT_TRACE e{};
  e.Header.Guid = Class;
  e.Header.ProcessId = 1234;
  e.Header.ThreadId = 5678;
  e.Header.TimeStamp = static_cast<int64_t>(kStamp);
  e.MofData = Payload.data();
  e.MofLength = static_cast<uint32_t>(Payload.size());
  return e;
}

bool queuedAt(uint32_t Word, int Filter) {
  drain();
  LevelFilter = Filter;
  auto p = supplierPayload(Word, u"f", 1, 2, u"m");
  auto e = makeEvent(p);
  EventCallback(&e);
  LevelFilter = 1;
  return drain().size() == 1;
}

class Decoder : public ::testing::Test {
 protected:
  void SetUp() override {
    drain();
    LevelFilter = 1;
  }
  void TearDown() override {
    drain();
    LevelFilter = 1;
  }
};

}  // namespace

TEST_F(Decoder, DecodesEveryField) {
  auto p = supplierPayload(0x00050002, u"src\\caf\u00E9.cpp", 321, -9, u"Total: 5 \u20AC \u03A9");
  auto e = makeEvent(p);
  EventCallback(&e);
  auto items = drain();
  ASSERT_EQ(items.size(), 1u);
  const tLogItem& it = items[0];
  EXPECT_EQ(it.LevelWord, 0x00050002u);
  EXPECT_EQ(it.File, "src\\caf\xE9.cpp");
  EXPECT_EQ(it.Line, 321);
  EXPECT_EQ(it.Category, -9);
  EXPECT_EQ(it.Message, "Total: 5 \x80 ?");
  EXPECT_EQ(it.ProcessID, 1234u);
  EXPECT_EQ(it.ThreadID, 5678u);
  // Tests run with TZ=UTC; the fraction below the millisecond is dropped.
  EXPECT_EQ(lw::os::FormatDateTime("dd-mm-yyyy hh:mm:ss.zzz", it.Time), "11-12-2026 13:45:07.123");
}

TEST_F(Decoder, OtherEventClassesAreIgnored) {
  auto p = supplierPayload(0x0001, u"f", 1, 2, u"m");
  const lw::tGuid header = *lw::tGuid::Parse("68fdd900-4a3e-11d1-84f4-0000f80464e3");
  auto e = makeEvent(p, header);
  EventCallback(&e);
  lw::tGuid almost = kSupplierEventClass;
  almost.Data4[7] ^= 1;  // all 16 bytes count
  auto e2 = makeEvent(p, almost);
  EventCallback(&e2);
  EXPECT_TRUE(drain().empty());
}

TEST(LevelClass, OfLevelWords) {
  struct Case {
    uint32_t Word;
    tLevelClass Class;
  };
  using C = tLevelClass;
  const Case cases[] = {
      {0x00000001, C::Important}, {0x00000002, C::Important}, {0x00000080, C::Important},
      {0x0000FFFF, C::Important}, {0x00050002, C::Important}, {0xFFFF0080, C::Important},
      {0x00000004, C::Diagnose},  {0x00000000, C::Diagnose},  {0x80010004, C::Diagnose},
      {0x0000FFFE, C::Diagnose},  {0x00008000, C::Diagnose},  {0x0001000F, C::Debug},
      {0x00010004, C::Debug},     {0x00020000, C::Debug},     {0x7FFF0003, C::Debug},
      {0x80000003, C::Diagnose},  {0x00000010, C::Debug},     {0x00000040, C::Debug},
      {0x00007FFF, C::Debug},     {0xFFFF0010, C::Debug},     {0x00010001, C::Important},
  };
  for (const auto& c : cases) EXPECT_EQ(LevelClassOf(c.Word), c.Class) << std::hex << c.Word;
}

TEST_F(Decoder, LevelFilterKeepsTheChosenClasses) {
  struct Case {
    uint32_t Word;
    bool At0, At1, At2;
  };
  const Case cases[] = {
      {0x00000080, true, true, true},   {0x00000001, true, true, true},  {0x00000002, true, true, true},
      {0x0000FFFF, true, true, true},   {0x00050002, true, true, true},  {0x00000004, false, true, true},
      {0x00010004, false, false, true}, {0x80010004, false, true, true}, {0x00000010, false, false, true},
      {0x00000040, false, false, true}, {0x00000000, false, true, true}, {0x00020000, false, false, true},
      {0x0000FFFE, false, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.Word);
    EXPECT_EQ(queuedAt(c.Word, 0), c.At0);
    EXPECT_EQ(queuedAt(c.Word, -3), c.At0);  // 0 or less
    EXPECT_EQ(queuedAt(c.Word, 1), c.At1);
    EXPECT_EQ(queuedAt(c.Word, 2), c.At2);
    EXPECT_EQ(queuedAt(c.Word, 9), c.At2);  // 2 or more
  }
}

TEST_F(Decoder, DroppedEventsTakeNoSequenceNumber) {
  LevelFilter = 1;
  auto keep = supplierPayload(0x0001, u"f", 1, 2, u"a");
  auto skip = supplierPayload(0x0010, u"f", 1, 2, u"b");
  auto e1 = makeEvent(keep), e2 = makeEvent(skip), e3 = makeEvent(keep);
  EventCallback(&e1);
  EventCallback(&e2);
  EventCallback(&e3);
  auto items = drain();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[1].Seq, items[0].Seq + 1);
}

TEST_F(Decoder, EmptyTextsPutLineAndCategoryAtSixAndTen) {
  auto p = supplierPayload(0x0001, u"", 0x01020304, 0x0A0B0C0D, u"");
  ASSERT_EQ(p.size(), 16u);
  EXPECT_EQ(p[6], 0x04);
  EXPECT_EQ(p[10], 0x0D);
  auto e = makeEvent(p);
  EventCallback(&e);
  auto items = drain();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].File, "");
  EXPECT_EQ(items[0].Message, "");
  EXPECT_EQ(items[0].Line, 0x01020304);
  EXPECT_EQ(items[0].Category, 0x0A0B0C0D);
}

TEST_F(Decoder, TruncatedPayloadsGiveWhatCouldBeRead) {
  const auto full = supplierPayload(0x0001, u"ab", 7, 8, u"xyz");
  // Offsets in the full payload: level 0..3, file 4..9 (with terminator), line 10..13, category
  // 14..17, message 18..25.
  struct Case {
    size_t Length;
    bool Queued;
    const char* File;
    int32_t Line, Category;
    const char* Message;
  };
  const Case cases[] = {
      {0, false, "", 0, 0, ""},     {3, false, "", 0, 0, ""},      {4, true, "", 0, 0, ""},
      {5, true, "", 0, 0, ""},      {7, true, "a", 0, 0, ""},      {8, true, "ab", 0, 0, ""},
      {10, true, "ab", 0, 0, ""},   {13, true, "ab", 0, 0, ""},    {14, true, "ab", 7, 0, ""},
      {17, true, "ab", 7, 0, ""},   {18, true, "ab", 7, 8, ""},    {21, true, "ab", 7, 8, "x"},
      {24, true, "ab", 7, 8, "xyz"}, {26, true, "ab", 7, 8, "xyz"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Length);
    // Copy into an exact-size buffer so that a read past the length is caught by the sanitizers.
    std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(c.Length));
    auto e = makeEvent(cut);
    if (c.Length == 0) e.MofData = nullptr;
    EventCallback(&e);
    auto items = drain();
    ASSERT_EQ(items.size(), c.Queued ? 1u : 0u);
    if (!c.Queued) continue;
    EXPECT_EQ(items[0].File, c.File);
    EXPECT_EQ(items[0].Line, c.Line);
    EXPECT_EQ(items[0].Category, c.Category);
    EXPECT_EQ(items[0].Message, c.Message);
  }
}

TEST_F(Decoder, NothingAfterTheMessageTerminatorIsRead) {
  auto p = supplierPayload(0x0001, u"f", 1, 2, u"msg");
  putText(p, u"trailing");
  auto e = makeEvent(p);
  EventCallback(&e);
  auto items = drain();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].Message, "msg");
}
