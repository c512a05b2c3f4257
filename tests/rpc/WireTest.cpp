// Byte layouts of PDUs, NDR, the control interface's stubs and endpoint-mapper towers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/rpc/Epm.h"
#include "platform/rpc/Ndr.h"
#include "platform/rpc/Pdu.h"
#include "server/ControlInterface.h"

using namespace lw::rpc;
using Bytes = std::vector<uint8_t>;

namespace {
Bytes hex(const std::string& Text) {
  Bytes b;
  std::string digits;
  for (char c : Text)
    if (c != ' ') digits += c;
  for (size_t i = 0; i + 1 < digits.size(); i += 2) b.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return b;
}
}  // namespace

TEST(RpcWire, ControlStubLayouts) {
  control::tRegisterArgs empty;
  empty.ProcessID = 0x1234;
  empty.SupplierID = 7;
  empty.Level = -1;
  control::tRegisterArgs named = empty;
  named.SupplierName = "ab";
  named.Settings = "xyz";
  control::tApplyArgs apply;
  apply.SupplierID = 9;
  apply.Level = 3;
  apply.Settings = "s";
  struct Case {
    const char* Name;
    Bytes Got;
    Bytes Want;
  } cases[] = {
      {"register, empty strings", control::EncodeRegisterRequest(empty),
       hex("34120000 01000000 00000000 01000000 00000000 07000000 ffffffff"
           "01000000 00000000 01000000 00000000 01000000 00000000 01000000 00000000 01000000 00000000 01000000 00")},
      {"register, texts", control::EncodeRegisterRequest(named),
       hex("34120000 03000000 00000000 03000000 61620000 07000000 ffffffff"
           "01000000 00000000 01000000 00000000 04000000 00000000 04000000 78797a00 01000000 00000000 01000000 00")},
      {"poll", control::EncodePollRequest(42), hex("2a000000")},
      {"apply", control::EncodeApplyRequest(apply),
       hex("09000000 03000000 02000000 00000000 02000000 73000000 01000000 00000000 01000000 00")},
      {"check response", control::EncodeLongs(std::vector<int32_t>{1, 0}), hex("01000000 00000000")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.Got, c.Want) << c.Name;
  }

  NdrReader in(cases[1].Got);
  control::tRegisterArgs back;
  ASSERT_TRUE(control::DecodeRegisterRequest(in, back));
  EXPECT_EQ(back.SupplierName, "ab");
  EXPECT_EQ(back.Settings, "xyz");
  EXPECT_EQ(back.Level, -1);
  EXPECT_EQ(back.AuxText2, "");
}

TEST(RpcWire, StringDecodingRejectsBadCounts) {
  struct Case {
    const char* Name;
    Bytes Data;
    bool Ok;
    std::string Value;
  } cases[] = {
      {"good", hex("03000000 00000000 03000000 61620000"), true, "ab"},
      {"actual above max", hex("02000000 00000000 03000000 61620000"), false, ""},
      {"zero actual", hex("01000000 00000000 00000000"), false, ""},
      {"offset not zero", hex("03000000 01000000 03000000 61620000"), false, ""},
      {"no terminator where the count ends", hex("03000000 00000000 03000000 61626300"), false, ""},
      {"count past the data", hex("ffffff7f 00000000 ffffff7f 6162"), false, ""},
      {"inner zero cuts", hex("04000000 00000000 04000000 61006200"), true, "a"},
      {"truncated counts", hex("03000000 0000"), false, ""},
  };
  for (const auto& c : cases) {
    NdrReader r(c.Data);
    std::string v = "untouched";
    EXPECT_EQ(r.readConformantVaryingString(v), c.Ok) << c.Name;
    EXPECT_EQ(v, c.Ok ? c.Value : std::string("untouched")) << c.Name;
  }
  // Big-endian senders.
  Bytes be = hex("00000002 00000000 00000002 41000000");
  NdrReader r(be, false);
  std::string v;
  ASSERT_TRUE(r.readConformantVaryingString(v));
  EXPECT_EQ(v, "A");
}

TEST(RpcWire, PduEncodings) {
  pdu::Header h;
  h.PType = pdu::kBind;
  h.CallId = 2;
  pdu::Bind bind;
  bind.MaxXmitFrag = 4280;
  bind.MaxRecvFrag = 4280;
  pdu::ContextElement ctx;
  ctx.ContextId = 0;
  ctx.Abstract = kControlInterfaceId;
  ctx.Transfers = {kNdrTransferSyntax};
  bind.Contexts = {ctx};
  EXPECT_EQ(pdu::encodeBind(h, bind),
            hex("05000b03 10000000 4800 0000 02000000 b810b810 00000000 01000000 0000 0100"
                "1ba02a77 f8cf 1145 af9ed3546ddfb09b 01000000 045d888a eb1c c911 9fe808002b104860 02000000"));

  pdu::Header ah;
  ah.PType = pdu::kBindAck;
  ah.CallId = 2;
  pdu::BindAck ack;
  ack.MaxXmitFrag = ack.MaxRecvFrag = 4280;
  ack.AssocGroup = 0x1234;
  ack.SecondaryAddress = "49152";
  pdu::ContextResult ok;
  ok.Transfer = kNdrTransferSyntax;
  pdu::ContextResult rej;
  rej.Result = pdu::kResultProviderRejection;
  rej.Reason = pdu::kReasonTransferSyntaxesNotSupported;
  ack.Results = {ok, rej};
  EXPECT_EQ(pdu::encodeBindAck(ah, ack),
            hex("05000c03 10000000 5400 0000 02000000 b810b810 34120000 0600 343931353200 02000000"
                "0000 0000 045d888a eb1c c911 9fe808002b104860 02000000"
                "0200 0200 00000000000000000000000000000000 00000000"));

  pdu::Header fh;
  fh.CallId = 5;
  fh.Flags |= pdu::kFlagDidNotExecute;
  pdu::Fault f;
  f.Status = pdu::nca_s_op_rng_error;
  EXPECT_EQ(pdu::encodeFault(fh, f), hex("05000323 10000000 2000 0000 05000000 00000000 0000 00 00 0200011c 00000000"));

  pdu::Header nh;
  nh.PType = pdu::kBindNak;
  pdu::BindNak nak;
  nak.Reason = 4;
  nak.Versions = {{5, 0}};
  EXPECT_EQ(pdu::encodeBindNak(nh, nak), hex("05000d03 10000000 1500 0000 00000000 0400 01 0500"));
}

TEST(RpcWire, RequestFragmentationAndDecoding) {
  Bytes stub(10000);
  for (size_t i = 0; i < stub.size(); ++i) stub[i] = static_cast<uint8_t>(i * 7);
  std::vector<Bytes> frags;
  pdu::Header h;
  h.CallId = 9;
  pdu::fragmentStub(h, 1, 2, true, stub, 4280, [&](const Bytes& f) { frags.push_back(f); });
  ASSERT_EQ(frags.size(), 3u);
  Bytes joined;
  for (size_t i = 0; i < frags.size(); ++i) {
    pdu::Header fh;
    ASSERT_TRUE(pdu::decodeHeader(frags[i], fh));
    EXPECT_LE(fh.FragLength, 4280);
    EXPECT_EQ(bool(fh.Flags & pdu::kFlagFirst), i == 0);
    EXPECT_EQ(bool(fh.Flags & pdu::kFlagLast), i == 2);
    pdu::Request q;
    ASSERT_TRUE(pdu::decodeRequest(fh, frags[i], q));
    EXPECT_EQ(q.AllocHint, stub.size() - joined.size());
    if (i < 2) {
      EXPECT_EQ(q.Stub.size() % 8, 0u);
    }
    EXPECT_EQ(q.Opnum, 2);
    joined.insert(joined.end(), q.Stub.begin(), q.Stub.end());
  }
  EXPECT_EQ(joined, stub);
}

TEST(RpcWire, MalformedPdusAreRejected) {
  Bytes good = pdu::encodeFault(pdu::Header{}, pdu::Fault{});
  struct Case {
    const char* Name;
    Bytes Data;
  } cases[] = {
      {"short header", Bytes(good.begin(), good.begin() + 10)},
      {"frag length differs from data", Bytes(good.begin(), good.end() - 4)},
      {"auth trailer past the body", [&] { Bytes b = good; b[10] = 0xF0; return b; }()},
      {"bad integer representation", [&] { Bytes b = good; b[4] = 0x20; return b; }()},
  };
  for (const auto& c : cases) {
    pdu::Header h;
    pdu::Fault f;
    bool ok = pdu::decodeHeader(c.Data, h) && pdu::decodeFault(h, c.Data, f);
    EXPECT_FALSE(ok) << c.Name;
  }
  // A bind whose context count runs past the fragment.
  pdu::Header bh;
  bh.PType = pdu::kBind;
  Bytes bind = pdu::encodeBind(bh, pdu::Bind{});
  bind[24] = 200;
  pdu::Header h;
  pdu::Bind b;
  ASSERT_TRUE(pdu::decodeHeader(bind, h));
  EXPECT_FALSE(pdu::decodeBind(h, bind, b));
}

TEST(RpcWire, FragmentNegotiation) {
  struct Case {
    uint16_t Xmit, Recv, Want;
  } cases[] = {{5840, 5840, 5840}, {4280, 5840, 4280}, {65535, 65535, 5840}, {1024, 4000, 2048}, {4283, 4283, 4280}};
  for (const auto& c : cases) {
    EXPECT_EQ(pdu::negotiateFragment(c.Xmit, c.Recv), c.Want) << c.Xmit << "/" << c.Recv;
  }
}

TEST(RpcWire, TowerLayout) {
  epm::Tower t;
  t.Interface = kControlInterfaceId;
  t.Transfer = kNdrTransferSyntax;
  t.Port = 0xC001;
  t.Address = {127, 0, 0, 1};
  Bytes want = hex("0500 1300 0d 1ba02a77f8cf1145af9ed3546ddfb09b 0100 0200 0000"
                   "1300 0d 045d888aeb1cc9119fe808002b104860 0200 0200 0000"
                   "0100 0b 0200 0000 0100 07 0200 c001 0100 09 0400 7f000001");
  EXPECT_EQ(epm::encodeTower(t), want);
  epm::Tower back;
  ASSERT_TRUE(epm::decodeTower(want, back));
  EXPECT_EQ(back.Port, 0xC001);
  EXPECT_EQ(back.Interface, kControlInterfaceId);
  RPC_SYNTAX_IDENTIFIER id;
  EXPECT_FALSE(epm::decodeTowerInterface(Bytes{0, 0}, id)) << "a tower without floors";
  for (size_t cut = 0; cut < want.size(); ++cut) {
    EXPECT_FALSE(epm::decodeTower(std::span<const uint8_t>(want.data(), cut), back)) << cut;
  }
}

TEST(RpcWire, MapperStubsRoundTrip) {
  epm::MapRequest req;
  req.Object = kControlInterfaceId.SyntaxGUID;
  epm::Tower t;
  t.Interface = kControlInterfaceId;
  t.Transfer = kNdrTransferSyntax;
  req.Tower = epm::encodeTower(t);
  req.MaxTowers = 4;
  Bytes enc = epm::encodeMapRequest(req);
  NdrReader in(enc);
  epm::MapRequest back;
  ASSERT_TRUE(epm::decodeMapRequest(in, back));
  EXPECT_EQ(back.Tower, req.Tower);
  EXPECT_EQ(back.MaxTowers, 4u);

  epm::MapResponse resp;
  resp.Towers = {*req.Tower, *req.Tower};
  Bytes renc = epm::encodeMapResponse(resp, 4);
  NdrReader rin(renc);
  epm::MapResponse rback;
  ASSERT_TRUE(epm::decodeMapResponse(rin, rback));
  EXPECT_EQ(rback.Towers.size(), 2u);
  // A tower count far beyond the data is refused before anything is sized from it.
  Bytes bad = renc;
  bad[20] = bad[24] = bad[32] = 0xFF;
  NdrReader bin(bad);
  EXPECT_FALSE(epm::decodeMapResponse(bin, rback));
}
