// The runtime on loopback: a server of this process, raw PDUs from a test client, and the runtime's own
// client with callbacks.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/rpc/Channel.h"
#include "platform/rpc/Ndr.h"
#include "platform/rpc/Pdu.h"
#include "platform/rpc/Rpc.h"
#include "platform/rpc/Socket.h"
#include "server/ControlInterface.h"
#include "tests/rpc/TestInterface.h"

using namespace lw::rpc;
using Bytes = std::vector<uint8_t>;

namespace {

const RPC_SERVER_INTERFACE& testInterface() {
  static const RPC_SERVER_INTERFACE i = test::makeTestInterface();
  return i;
}

uint16_t gPort = 0;

class ServerEnv : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_EQ(RpcServerUseProtseqA("ncacn_ip_tcp", 3, nullptr), RPC_S_OK);
    ASSERT_EQ(RpcServerRegisterIfEx(&testInterface(), nullptr, nullptr, RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH, 1234,
                                    nullptr), RPC_S_OK);
    ASSERT_EQ(RpcServerRegisterIfEx(ControlInterface_v1_0_s_ifspec, nullptr, nullptr,
                                    RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH, 1234, nullptr), RPC_S_OK);
    setCallbackTimeout(&testInterface(), 1500);
    setFragmentTimeout(500);
    RPC_BINDING_VECTOR* v = nullptr;
    ASSERT_EQ(RpcServerInqBindings(&v), RPC_S_OK);
    RPC_CSTR text = nullptr, ep = nullptr;
    ASSERT_EQ(RpcBindingToStringBindingA(v->BindingH[0], &text), RPC_S_OK);
    ASSERT_EQ(RpcStringBindingParseA(text, nullptr, nullptr, nullptr, &ep, nullptr), RPC_S_OK);
    gPort = static_cast<uint16_t>(std::stoi(ep));
    RpcStringFreeA(&text);
    RpcStringFreeA(&ep);
    RpcBindingVectorFree(&v);
    ASSERT_EQ(RpcServerListen(1, 1234, 1), RPC_S_OK);
  }
  void TearDown() override {
    EXPECT_EQ(RpcMgmtStopServerListening(nullptr), RPC_S_OK);
    EXPECT_EQ(RpcMgmtWaitServerListen(), RPC_S_OK);
    EXPECT_EQ(RpcServerUnregisterIf(nullptr, nullptr, 1), RPC_S_OK);
  }
};
[[maybe_unused]] auto* gEnv = ::testing::AddGlobalTestEnvironment(new ServerEnv);

// A client speaking raw PDUs.
struct Raw {
  Raw() {
    net::Socket s;
    EXPECT_EQ(net::Socket::connectTcp("127.0.0.1", gPort, 2000, s), RPC_S_OK);
    ch = std::make_unique<Channel>(std::move(s));
  }
  void send(const Bytes& b) { ASSERT_TRUE(ch->send(b)); }
  // Next PDU, or PType 0xFF when the connection closed.
  Bytes recv(pdu::Header& H) {
    std::span<const uint8_t> p;
    if (ch->readPdu(5000, 0xFFFF, H, p) != Channel::Read::Ok) {
      H.PType = 0xFF;
      return {};
    }
    return Bytes(p.begin(), p.end());
  }
  bool closedByServer() {
    pdu::Header h;
    recv(h);
    return h.PType == 0xFF;
  }
  pdu::BindAck bind(std::vector<pdu::ContextElement> Contexts, uint16_t Frag = 5840) {
    pdu::Header h;
    h.PType = pdu::kBind;
    h.CallId = 1;
    pdu::Bind b;
    b.MaxXmitFrag = b.MaxRecvFrag = Frag;
    b.Contexts = std::move(Contexts);
    send(pdu::encodeBind(h, b));
    pdu::Header rh;
    Bytes r = recv(rh);
    pdu::BindAck ack;
    EXPECT_EQ(rh.PType, pdu::kBindAck);
    EXPECT_TRUE(pdu::decodeBindAck(rh, r, ack));
    return ack;
  }
  void bindTest() { bind({ctx(0, test::kTestInterfaceId, {kNdrTransferSyntax})}); }
  static pdu::ContextElement ctx(uint16_t Id, RPC_SYNTAX_IDENTIFIER Abstract, std::vector<RPC_SYNTAX_IDENTIFIER> T) {
    pdu::ContextElement c;
    c.ContextId = Id;
    c.Abstract = Abstract;
    c.Transfers = std::move(T);
    return c;
  }
  void request(uint32_t CallId, uint16_t Ctx, uint16_t Op, const Bytes& Stub, uint16_t Frag = 5840) {
    pdu::Header h;
    h.CallId = CallId;
    pdu::fragmentStub(h, Ctx, Op, true, Stub, Frag, [&](const Bytes& f) { send(f); });
  }
  // The reply of a call: the response stub, or the fault status in Fault.
  Bytes reply(uint32_t& Fault, uint8_t& Flags) {
    Bytes stub;
    Fault = 0;
    for (;;) {
      pdu::Header h;
      Bytes p = recv(h);
      Flags = h.Flags;
      if (h.PType == pdu::kFault) {
        pdu::Fault f;
        EXPECT_TRUE(pdu::decodeFault(h, p, f));
        Fault = f.Status;
        return {};
      }
      if (h.PType != pdu::kResponse) {
        Fault = 0xFFFFFFFF;
        return {};
      }
      pdu::Response r;
      EXPECT_TRUE(pdu::decodeResponse(h, p, r));
      stub.insert(stub.end(), r.Stub.begin(), r.Stub.end());
      if (h.Flags & pdu::kFlagLast) return stub;
    }
  }
  std::unique_ptr<Channel> ch;
};

RPC_SYNTAX_IDENTIFIER unknownIf() {
  RPC_SYNTAX_IDENTIFIER s = test::kTestInterfaceId;
  s.SyntaxGUID.Data1 ^= 1;
  return s;
}

}  // namespace

TEST(RpcRuntime, BindNegotiation) {
  Raw c;
  uint16_t features = pdu::kFeatureSecurityContextMultiplexing | pdu::kFeatureKeepConnectionOnOrphan;
  pdu::BindAck ack = c.bind({Raw::ctx(0, kControlInterfaceId, {kNdrTransferSyntax}),
                             Raw::ctx(1, kControlInterfaceId, {pdu::kNdr64TransferSyntax}),
                             Raw::ctx(2, unknownIf(), {kNdrTransferSyntax}),
                             Raw::ctx(3, kControlInterfaceId, {pdu::bindTimeFeatureSyntax(features)})},
                            4283);
  EXPECT_EQ(ack.MaxXmitFrag, 4280);
  EXPECT_EQ(ack.MaxRecvFrag, 4280);
  EXPECT_NE(ack.AssocGroup, 0u);
  EXPECT_EQ(ack.SecondaryAddress, std::to_string(gPort));
  ASSERT_EQ(ack.Results.size(), 4u);
  EXPECT_EQ(ack.Results[0].Result, pdu::kResultAccept);
  EXPECT_EQ(ack.Results[0].Transfer, kNdrTransferSyntax);
  EXPECT_EQ(ack.Results[1].Result, pdu::kResultProviderRejection);
  EXPECT_EQ(ack.Results[1].Reason, pdu::kReasonTransferSyntaxesNotSupported);
  EXPECT_EQ(ack.Results[2].Result, pdu::kResultProviderRejection);
  EXPECT_EQ(ack.Results[2].Reason, pdu::kReasonAbstractSyntaxNotSupported);
  EXPECT_EQ(ack.Results[3].Result, pdu::kResultNegotiateAck);
  EXPECT_EQ(ack.Results[3].Reason, features);
  EXPECT_EQ(ack.Results[3].Transfer, RPC_SYNTAX_IDENTIFIER{});

  // The accepted context serves CheckServer: Value 1, result 0.
  uint32_t fault = 0;
  uint8_t flags = 0;
  c.request(2, 0, control::kOpCheckServer, {});
  EXPECT_EQ(c.reply(fault, flags), (Bytes{1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(fault, 0u);
}

TEST(RpcRuntime, FaultsKeepOrCloseTheConnection) {
  struct Case {
    const char* Name;
    uint16_t Ctx, Op;
    uint32_t Fault;
    bool DidNotExecute;
  } cases[] = {
      {"unknown opnum", 0, 9, pdu::nca_s_op_rng_error, true},
      {"unknown context", 7, 0, pdu::nca_s_unk_if, true},
      {"bad stub data", 0, 2, 0x6F7, false},
  };
  Raw c;
  c.bindTest();
  uint32_t callId = 10;
  for (const auto& k : cases) {
    c.request(++callId, k.Ctx, k.Op, {1, 2, 3, 4});
    uint32_t fault = 0;
    uint8_t flags = 0;
    c.reply(fault, flags);
    EXPECT_EQ(fault, k.Fault) << k.Name;
    EXPECT_EQ(bool(flags & pdu::kFlagDidNotExecute), k.DidNotExecute) << k.Name;
  }
  // Still usable after those.
  c.request(++callId, 0, 0, {9, 8});
  uint32_t fault = 0;
  uint8_t flags = 0;
  EXPECT_EQ(c.reply(fault, flags), (Bytes{9, 8}));

  // A response PDU from a client is a protocol error: fault, then the connection is closed.
  pdu::Header h;
  h.PType = pdu::kResponse;
  h.CallId = 99;
  c.send(pdu::encodeResponse(h, pdu::Response{}));
  c.reply(fault, flags);
  EXPECT_EQ(fault, pdu::nca_s_proto_error);
  EXPECT_TRUE(c.closedByServer());
}

TEST(RpcRuntime, MalformedInputTable) {
  struct Case {
    const char* Name;
    bool BindFirst;
    std::function<Bytes()> Pdu;
    uint32_t Fault;  // 0: the server closes without a fault
  } cases[] = {
      {"request before bind", false, [] {
         pdu::Header h;
         h.CallId = 3;
         return pdu::encodeRequest(h, pdu::Request{});
       }, pdu::nca_s_proto_error},
      {"fragment length below the header", true, [] {
         Bytes b = pdu::encodeRequest(pdu::Header{}, pdu::Request{});
         b[8] = 10;
         b[9] = 0;
         return b;
       }, pdu::nca_s_proto_error},
      {"fragment longer than negotiated", true, [] {
         pdu::Request q;
         Bytes big(6000);
         q.Stub = big;
         return pdu::encodeRequest(pdu::Header{}, q);
       }, pdu::nca_s_proto_error},
      {"middle fragment of no call", true, [] {
         pdu::Header h;
         h.Flags = 0;
         return pdu::encodeRequest(h, pdu::Request{});
       }, pdu::nca_s_proto_error},
      {"request over 4 MB announced", true, [] {
         pdu::Header h;
         h.Flags = pdu::kFlagFirst;
         pdu::Request q;
         q.AllocHint = 5u << 20;
         return pdu::encodeRequest(h, q);
       }, 5},
      {"version 4", true, [] {
         Bytes b = pdu::encodeRequest(pdu::Header{}, pdu::Request{});
         b[0] = 4;
         return b;
       }, 0},
      {"second bind", true, [] {
         pdu::Header h;
         h.PType = pdu::kBind;
         return pdu::encodeBind(h, pdu::Bind{});
       }, 0},
  };
  for (const auto& k : cases) {
    Raw c;
    if (k.BindFirst) c.bindTest();
    c.send(k.Pdu());
    if (k.Fault != 0) {
      uint32_t fault = 0;
      uint8_t flags = 0;
      c.reply(fault, flags);
      EXPECT_EQ(fault, k.Fault) << k.Name;
    }
    pdu::Header h;
    Bytes rest = c.recv(h);
    if (h.PType == pdu::kBindNak) rest = c.recv(h);
    EXPECT_EQ(h.PType, 0xFF) << k.Name << ": the connection stays open";
  }
}

TEST(RpcRuntime, RequestOverFourMegabytesInFragments) {
  Raw c;
  c.bindTest();
  // Fragments that do not announce their total: the server counts what arrives.
  pdu::Header h;
  h.CallId = 4;
  Bytes chunk(5816);
  pdu::Request q;
  q.Stub = chunk;
  size_t sent = 0;
  for (bool first = true; sent <= kMaxRequestBytes; first = false) {
    h.Flags = first ? pdu::kFlagFirst : 0;
    if (!c.ch->send(pdu::encodeRequest(h, q))) break;
    sent += chunk.size();
  }
  uint32_t fault = 0;
  uint8_t flags = 0;
  c.reply(fault, flags);
  EXPECT_EQ(fault, 5u);
  EXPECT_TRUE(c.closedByServer());
}

TEST(RpcRuntime, MultiFragmentRequestAndResponse) {
  Raw c;
  c.bind({Raw::ctx(0, test::kTestInterfaceId, {kNdrTransferSyntax})}, 2048);
  Bytes stub(50000);
  for (size_t i = 0; i < stub.size(); ++i) stub[i] = static_cast<uint8_t>(i % 251);
  c.request(5, 0, 0, stub, 2048);
  uint32_t fault = 0;
  uint8_t flags = 0;
  EXPECT_EQ(c.reply(fault, flags), stub);
}

TEST(RpcRuntime, StalledPeerIsDroppedAndOthersGoOn) {
  Raw stalled;
  stalled.bindTest();
  Bytes half = pdu::encodeRequest(pdu::Header{}, pdu::Request{});
  half.resize(10);
  stalled.send(half);
  // Another connection is served meanwhile.
  Raw other;
  other.bindTest();
  other.request(2, 0, 0, {1});
  uint32_t fault = 0;
  uint8_t flags = 0;
  EXPECT_EQ(other.reply(fault, flags), (Bytes{1}));
  EXPECT_TRUE(stalled.closedByServer());
}

namespace {
RPC_BINDING_HANDLE bindingToServer() {
  RPC_CSTR text = nullptr;
  std::string port = std::to_string(gPort);
  EXPECT_EQ(RpcStringBindingComposeA(nullptr, "ncacn_ip_tcp", "127.0.0.1", port.c_str(), nullptr, &text), RPC_S_OK);
  RPC_BINDING_HANDLE b = nullptr;
  EXPECT_EQ(RpcBindingFromStringBindingA(text, &b), RPC_S_OK);
  RpcStringFreeA(&text);
  return b;
}
}  // namespace

TEST(RpcRuntime, CallbacksAnsweredFailedAndAbandoned) {
  RPC_BINDING_HANDLE b = bindingToServer();
  // Answered: the callback's stub comes back inside the outer call's response.
  CallbackTable answer;
  answer.Routines = {[](CallContext& C, NdrReader& In, NdrWriter& Out) {
    EXPECT_EQ(C.Opnum(), 0);
    Bytes mark = {In.remaining() == 3 ? uint8_t{0xAA} : uint8_t{0}};
    Out.writeBytes(mark);
    return RPC_S_OK;
  }};
  StubReply r;
  Bytes three = {1, 2, 3};
  ASSERT_EQ(clientCall(b, test::kTestInterfaceId, 1, three, r, &answer), RPC_S_OK);
  EXPECT_EQ(r.Stub, (Bytes{0, 0, 0, 0, 0xAA}));

  // A fault from the client reaches the server routine as the exception's status.
  CallbackTable refuse;
  refuse.Routines = {[](CallContext&, NdrReader&, NdrWriter&) { return RPC_S_ACCESS_DENIED; }};
  ASSERT_EQ(clientCall(b, test::kTestInterfaceId, 1, three, r, &refuse), RPC_S_OK);
  EXPECT_EQ(r.Stub, (Bytes{5, 0, 0, 0}));
  // No callback routines at all: the client answers nca_s_op_rng_error, seen as 1745.
  ASSERT_EQ(clientCall(b, test::kTestInterfaceId, 1, three, r, nullptr), RPC_S_OK);
  EXPECT_EQ(r.Stub, (Bytes{0xD1, 0x06, 0, 0}));
  RpcBindingFree(&b);

  struct Case {
    const char* Name;
    bool Close;
  } cases[] = {{"client closes", true}, {"client stays silent", false}};
  for (const auto& k : cases) {
    test::gLastCallbackStatus.store(-1);
    {
      Raw c;
      c.bindTest();
      c.request(7, 0, 1, {1});
      pdu::Header h;
      Bytes p = c.recv(h);
      ASSERT_EQ(h.PType, pdu::kRequest) << k.Name;
      EXPECT_EQ(h.CallId, 7u);
      pdu::Request q;
      ASSERT_TRUE(pdu::decodeRequest(h, p, q));
      EXPECT_EQ(q.Opnum, 0);
      EXPECT_EQ(q.ContextId, 0);
      if (!k.Close) {
        EXPECT_TRUE(c.closedByServer()) << k.Name;  // after the callback time-out
      }
    }
    RPC_BINDING_HANDLE q = bindingToServer();
    for (int i = 0; i < 100 && test::gLastCallbackStatus.load() == -1; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(clientCall(q, test::kTestInterfaceId, 3, {}, r), RPC_S_OK);
    EXPECT_EQ(r.Stub, (Bytes{0xBE, 0x06, 0, 0})) << k.Name << ": RPC_S_CALL_FAILED";
    RpcBindingFree(&q);
  }
}

TEST(RpcRuntime, ControlProceduresWithoutServerObject) {
  SetControlServerHooks(nullptr);
  RPC_BINDING_HANDLE b = bindingToServer();
  StubReply r;
  ASSERT_EQ(clientCall(b, kControlInterfaceId, control::kOpCheckServer, {}, r), RPC_S_OK);
  EXPECT_EQ(r.Stub, control::EncodeLongs(std::vector<int32_t>{1, 0}));
  control::tRegisterArgs a;
  a.ProcessID = 1;
  a.SupplierID = 2;
  ASSERT_EQ(clientCall(b, kControlInterfaceId, control::kOpRegisterSupplier, control::EncodeRegisterRequest(a), r),
            RPC_S_OK);
  EXPECT_EQ(r.Stub, control::EncodeLongs(std::vector<int32_t>{0}));
  ASSERT_EQ(clientCall(b, kControlInterfaceId, control::kOpPollSupplier, control::EncodePollRequest(1), r), RPC_S_OK);
  EXPECT_EQ(r.Stub, control::EncodeLongs(std::vector<int32_t>{0}));
  // A truncated string is bad stub data.
  Bytes bad = control::EncodeRegisterRequest(a);
  bad.resize(bad.size() - 3);
  EXPECT_EQ(clientCall(b, kControlInterfaceId, control::kOpRegisterSupplier, bad, r), RPC_X_BAD_STUB_DATA);
  // ApplyTraceSettings outside any call.
  try {
    ApplyTraceSettings(1, 0, "", "");
    ADD_FAILURE() << "no exception";
  } catch (const RpcException& e) {
    EXPECT_EQ(e.Status(), RPC_S_NO_CALL_ACTIVE);
  }
  RpcBindingFree(&b);
}

TEST(RpcRuntime, ControlPollCallsBackThroughTheHook) {
  static std::vector<std::string> seen;
  static const tControlServerHooks hooks = {
      [](uint32_t, const std::string&, uint32_t, int32_t, const std::string&, const std::string&,
         const std::string&) { return int32_t{0}; },
      [](uint32_t Pid) -> int32_t {
        try {
          return ApplyTraceSettings(Pid, -1, "set", "exc");
        } catch (const RpcException& e) {
          return e.Status();
        }
      }};
  SetControlServerHooks(&hooks);
  RPC_BINDING_HANDLE b = bindingToServer();
  CallbackTable supplier;
  supplier.Routines = {[](CallContext&, NdrReader& In, NdrWriter& Out) {
    control::tApplyArgs a;
    if (!control::DecodeApplyRequest(In, a)) return RPC_X_BAD_STUB_DATA;
    seen.push_back(std::to_string(a.SupplierID) + "/" + std::to_string(a.Level) + "/" + a.Settings + "/" +
                   a.ExceptionSettings);
    Out.writeI32(42);
    return RPC_S_OK;
  }};
  StubReply r;
  ASSERT_EQ(clientCall(b, kControlInterfaceId, control::kOpPollSupplier, control::EncodePollRequest(77), r, &supplier),
            RPC_S_OK);
  EXPECT_EQ(r.Stub, control::EncodeLongs(std::vector<int32_t>{42}));
  EXPECT_EQ(seen, (std::vector<std::string>{"77/-1/set/exc"}));
  SetControlServerHooks(nullptr);
  RpcBindingFree(&b);
}

TEST(RpcRuntime, StringBindings) {
  RPC_CSTR text = nullptr;
  ASSERT_EQ(RpcStringBindingComposeA(kControlInterfaceUuid, "ncacn_ip_tcp", "localhost", nullptr, nullptr, &text),
            RPC_S_OK);
  EXPECT_STREQ(text, "772aa01b-cff8-4511-af9e-d3546ddfb09b@ncacn_ip_tcp:localhost");
  RPC_CSTR obj = nullptr, seq = nullptr, addr = nullptr, ep = nullptr;
  ASSERT_EQ(RpcStringBindingParseA("ncacn_ip_tcp:10.0.0.1[4711,opt]", &obj, &seq, &addr, &ep, nullptr), RPC_S_OK);
  EXPECT_STREQ(obj, "");
  EXPECT_STREQ(seq, "ncacn_ip_tcp");
  EXPECT_STREQ(addr, "10.0.0.1");
  EXPECT_STREQ(ep, "4711");
  for (RPC_CSTR* str : {&text, &obj, &seq, &addr, &ep}) {
    RpcStringFreeA(str);
  }
  RPC_BINDING_HANDLE b = nullptr;
  EXPECT_EQ(RpcBindingFromStringBindingA("nonsense", &b), RPC_S_INVALID_STRING_BINDING);
  EXPECT_EQ(RpcBindingFromStringBindingA("ncalrpc:[x]", &b), RPC_S_PROTSEQ_NOT_SUPPORTED);
  EXPECT_EQ(RpcBindingFromStringBindingA("zz@ncacn_ip_tcp:h", &b), RPC_S_INVALID_STRING_UUID);
  EXPECT_EQ(RpcServerUseProtseqA("ncacn_np", 3, nullptr), RPC_S_PROTSEQ_NOT_SUPPORTED);
  EXPECT_EQ(RpcServerRegisterIfEx(ControlInterface_v1_0_s_ifspec, nullptr, nullptr, 0x10, 1234, nullptr),
            RPC_S_ALREADY_REGISTERED);
}
