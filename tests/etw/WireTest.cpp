// The messages between processes and session hosts: round trips, and the defined result of bad bytes.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/etw/etl/Writer.h"
#include "platform/etw/posix/Wire.h"
#include "tests/etw/EtwTestSupport.h"

namespace lw::etw::wire {
namespace {

tSession Sample() {
  tSession s;
  s.BufferSize = 16;
  s.MinimumBuffers = 4;
  s.MaximumBuffers = 32;
  s.MaximumFileSize = 10;
  s.LogFileMode = 0x01000102;
  s.AgeLimit = -3;
  s.EventsLost = 7;
  s.Handle = 0x1000000000001234;
  s.Guid = test::kProvider;
  s.HasLogFileName = true;
  s.LoggerName = "qdEventLogSession_1";
  s.LogFileName = "/opt/lw/QD_VELDDLL.etl";
  return s;
}

TEST(Wire, SessionsAndRequestsSurviveTheRoundTrip) {
  tFrameWriter w(tMsg::Control);
  w.U32(EVENT_TRACE_CONTROL_UPDATE);
  w.Session(Sample());
  auto frame = w.Finish();
  std::span<const uint8_t> body;
  size_t used = 0;
  ASSERT_EQ(SplitFrame(frame, body, used), tDecode::Ok);
  EXPECT_EQ(used, frame.size());
  tRequest r;
  ASSERT_EQ(DecodeRequest(body, r), tDecode::Ok);
  EXPECT_EQ(r.Type, tMsg::Control);
  EXPECT_EQ(r.ControlCode, EVENT_TRACE_CONTROL_UPDATE);
  EXPECT_EQ(r.Session.LogFileName, "/opt/lw/QD_VELDDLL.etl");
  EXPECT_EQ(r.Session.AgeLimit, -3);
  EXPECT_EQ(r.Session.Handle, 0x1000000000001234u);
  EXPECT_EQ(r.Session.Guid, test::kProvider);

  tSession back;
  ASSERT_EQ(DecodeSessionHex(EncodeSessionHex(Sample()), back), tDecode::Ok);
  EXPECT_EQ(back.LoggerName, "qdEventLogSession_1");
  EXPECT_EQ(back.MaximumBuffers, 32u);
}

TEST(Wire, BadBytesGetADefinedStatus) {
  auto frameOf = [](std::vector<uint8_t> Body) {
    std::vector<uint8_t> f(4);
    uint32_t n = static_cast<uint32_t>(Body.size());
    std::memcpy(f.data(), &n, 4);
    f.insert(f.end(), Body.begin(), Body.end());
    return f;
  };
  tFrameWriter good(tMsg::Control);
  good.U32(1);
  good.Session(Sample());
  auto control = good.Finish();
  auto cut = std::vector<uint8_t>(control.begin() + 4, control.end() - 3);
  auto trailing = std::vector<uint8_t>(control.begin() + 4, control.end());
  trailing.push_back(0);

  struct tCase {
    const char* What;
    std::vector<uint8_t> Body;
    tDecode Expected;
  } cases[] = {
      {"empty", {}, tDecode::Truncated},
      {"unknown type", {0x7e}, tDecode::Malformed},
      {"reply type as a request", {0x81, 0, 0, 0, 0}, tDecode::Malformed},
      {"control cut short", cut, tDecode::Truncated},
      {"control with trailing bytes", trailing, tDecode::Malformed},
      {"enable cut short", {3, 1, 0, 0, 0, 0, 0}, tDecode::Truncated},
      {"event shorter than its header", {6, 52, 0, 1, 2}, tDecode::Truncated},
      {"lost with trailing bytes", {7, 1, 0, 0, 0, 9}, tDecode::Malformed},
      {"query with trailing bytes", {1, 0}, tDecode::Malformed},
  };
  for (const auto& c : cases) {
    tRequest r;
    EXPECT_EQ(DecodeRequest(c.Body, r), c.Expected) << c.What;
  }

  // An event whose size field disagrees with the frame.
  std::vector<uint8_t> ev(1 + 56, 0);
  ev[0] = 6;
  ev[1] = 57;  // one more than the 56 bytes there are
  tRequest r;
  EXPECT_EQ(DecodeRequest(ev, r), tDecode::Malformed);
  ev[1] = 56;
  EXPECT_EQ(DecodeRequest(ev, r), tDecode::Ok);
  EXPECT_EQ(r.Event.size(), 56u);

  // Texts: a length past the limit, a length past the bytes, a NUL inside.
  tSession s = Sample();
  auto hex = EncodeSessionHex(s);
  tSession out;
  EXPECT_EQ(DecodeSessionHex(hex.substr(0, hex.size() - 2), out), tDecode::Truncated);
  EXPECT_EQ(DecodeSessionHex(hex + "0", out), tDecode::Malformed);
  EXPECT_EQ(DecodeSessionHex(hex.substr(0, hex.size() - 2) + "zz", out), tDecode::Malformed);
  s.LogFileName = std::string("a\0b", 3);
  EXPECT_EQ(DecodeSessionHex(EncodeSessionHex(s), out), tDecode::Malformed);

  // Frames.
  std::span<const uint8_t> body;
  size_t used = 0;
  EXPECT_EQ(SplitFrame(std::vector<uint8_t>{1, 0}, body, used), tDecode::Truncated);
  EXPECT_EQ(SplitFrame(frameOf({}), body, used), tDecode::TooLarge);
  EXPECT_EQ(SplitFrame(std::vector<uint8_t>{0xff, 0xff, 0xff, 0xff, 1}, body, used), tDecode::TooLarge);
  EXPECT_EQ(SplitFrame(std::vector<uint8_t>{3, 0, 0, 0, 1, 2}, body, used), tDecode::Truncated);

  tHostMessage m;
  EXPECT_EQ(DecodeHostMessage(std::vector<uint8_t>{0x84, 1, 0, 0}, m), tDecode::Truncated);
  EXPECT_EQ(DecodeHostMessage(std::vector<uint8_t>{0x01}, m), tDecode::Malformed);
  EXPECT_EQ(DecodeHostMessage(std::vector<uint8_t>{0x81, 5, 0, 0, 0}, m), tDecode::Ok);
  EXPECT_EQ(m.Status, 5u);
  EXPECT_FALSE(m.HasSession);
}

TEST(Wire, BufferWalkYieldsClassicRecordsAndRefusesDamagedOnes) {
  etl::tBufferBuilder builder(16384);
  uint8_t payload[5] = {1, 2, 3, 4, 5};
  for (uint32_t i = 0; i < 3; ++i) {
    etl::tClassicEvent e;
    e.ClassGuid = test::kEventClass;
    e.ProcessId = 10 + i;
    e.ThreadId = 20;
    e.TimeStamp = 1000 + i;
    e.Payload = std::span<const uint8_t>(payload, i + 1);
    ASSERT_TRUE(builder.Append(e));
  }
  std::vector<uint8_t> buffer(builder.Bytes().begin(), builder.Bytes().end());
  std::vector<uint32_t> pids;
  std::vector<size_t> sizes;
  ASSERT_EQ(WalkBuffer(buffer,
                       [&](const EVENT_TRACE_HEADER& H, std::span<const uint8_t> P) {
                         pids.push_back(H.ProcessId);
                         sizes.push_back(P.size());
                         EXPECT_EQ(H.Guid, test::kEventClass);
                       }),
            tDecode::Ok);
  EXPECT_EQ(pids, (std::vector<uint32_t>{10, 11, 12}));
  EXPECT_EQ(sizes, (std::vector<size_t>{1, 2, 3}));

  auto noop = [](const EVENT_TRACE_HEADER&, std::span<const uint8_t>) {};
  auto damaged = buffer;
  uint32_t saved = 0x10000;  // saved offset past the buffer
  std::memcpy(damaged.data() + 4, &saved, 4);
  EXPECT_EQ(WalkBuffer(damaged, noop), tDecode::Malformed);
  damaged = buffer;
  damaged[0x48] = 0xF0;  // first record's size runs past the saved offset
  damaged[0x49] = 0x3F;
  EXPECT_EQ(WalkBuffer(damaged, noop), tDecode::Malformed);
  EXPECT_EQ(WalkBuffer(std::span(buffer).first(0x40), noop), tDecode::Truncated);
}

TEST(Wire, PropertiesBlocksAreReadAndFilledWithinTheirFields) {
  test::tBlock b = test::MakeBlock("name", "/x/file.etl");
  tSession s;
  ASSERT_EQ(FromProperties(&b.Props, s), ERROR_SUCCESS);
  EXPECT_EQ(s.LoggerName, "name");
  EXPECT_EQ(s.LogFileName, "/x/file.etl");
  EXPECT_TRUE(s.HasLogFileName);

  test::tBlock out = test::MakeBlock();
  ASSERT_EQ(ToProperties(Sample(), &out.Props), ERROR_SUCCESS);
  EXPECT_STREQ(out.LoggerName, "qdEventLogSession_1");
  EXPECT_STREQ(out.LogFileName, "/opt/lw/QD_VELDDLL.etl");
  EXPECT_EQ(out.Props.Wnode.HistoricalContext, 0x1000000000001234u);

  // A name that does not fit its field is not written past it.
  test::tBlock tight = test::MakeBlock();
  tight.Props.LogFileNameOffset = 130;  // 10 bytes for the session name
  tSession big = Sample();
  EXPECT_EQ(ToProperties(big, &tight.Props), ERROR_MORE_DATA);
  EXPECT_EQ(tight.LoggerName[0], '\0');

  test::tBlock shortBlock = test::MakeBlock();
  shortBlock.Props.Wnode.BufferSize = 1200;  // the file name's field starts at 1144: 56 bytes
  big.LogFileName = std::string(100, 'f');
  EXPECT_EQ(ToProperties(big, &shortBlock.Props), ERROR_MORE_DATA);
  EXPECT_EQ(shortBlock.LogFileName[0], '\0');
  std::memset(shortBlock.LogFileName, 'x', 56);
  EXPECT_EQ(FromProperties(&shortBlock.Props, s), ERROR_INVALID_PARAMETER);  // no terminator in bounds
}

}  // namespace
}  // namespace lw::etw::wire
