// The endpoint mapper: its routines against a scripted call context, and logwarden-epmd as a real process
// with the runtime's registration and resolution calls.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "platform/rpc/Epm.h"
#include "platform/rpc/Rpc.h"
#include "server/ControlInterface.h"

using namespace lw::rpc;
using Bytes = std::vector<uint8_t>;

namespace {

struct FakeCall : CallContext {
  explicit FakeCall(bool Loop, uint64_t Id = 1) : loop(Loop), id(Id) {}
  uint16_t Opnum() const override { return 0; }
  uint64_t ConnectionId() const override { return id; }
  bool PeerIsLoopback() const override { return loop; }
  StubReply Callback(uint16_t, std::span<const uint8_t>) override { throw RpcException(RPC_S_CALL_FAILED); }
  bool loop;
  uint64_t id;
};

epm::Entry entryFor(uint16_t Port) {
  epm::Tower t;
  t.Interface = kControlInterfaceId;
  t.Transfer = kNdrTransferSyntax;
  t.Port = Port;
  t.Address = {127, 0, 0, 1};
  epm::Entry e;
  e.Tower = epm::encodeTower(t);
  return e;
}

uint32_t call(CallContext& C, uint16_t Op, const Bytes& Stub, Bytes& Out) {
  NdrReader in(Stub);
  NdrWriter w;
  RPC_STATUS st = epm::mapperInterface()->Routines[Op](C, in, w);
  Out = w.take();
  return static_cast<uint32_t>(st);
}

std::vector<uint16_t> mapPorts() {
  epm::MapRequest m;
  epm::Tower want;
  want.Interface = kControlInterfaceId;
  want.Transfer = kNdrTransferSyntax;
  m.Tower = epm::encodeTower(want);
  m.Object = UUID{};
  m.MaxTowers = 10;
  FakeCall c(true);
  Bytes out;
  EXPECT_EQ(call(c, epm::kOpMap, epm::encodeMapRequest(m), out), 0u);
  NdrReader in(out);
  epm::MapResponse r;
  EXPECT_TRUE(epm::decodeMapResponse(in, r));
  std::vector<uint16_t> ports;
  for (const auto& t : r.Towers) {
    epm::Tower d;
    EXPECT_TRUE(epm::decodeTower(t, d));
    ports.push_back(d.Port);
  }
  return ports;
}

}  // namespace

TEST(RpcMapper, InsertRulesAndOwnership) {
  epm::InsertRequest ins;
  ins.Entries = {entryFor(1000)};
  ins.Replace = 1;
  Bytes out;
  FakeCall remote(false, 5);
  ASSERT_EQ(call(remote, epm::kOpInsert, epm::encodeInsertRequest(ins), out), 0u);
  EXPECT_EQ(out, (Bytes{0xD8, 0x06, 0, 0})) << "remote insert refused";
  EXPECT_TRUE(mapPorts().empty());

  FakeCall first(true, 11), second(true, 12);
  ASSERT_EQ(call(first, epm::kOpInsert, epm::encodeInsertRequest(ins), out), 0u);
  EXPECT_EQ(mapPorts(), (std::vector<uint16_t>{1000}));
  ins.Entries = {entryFor(2000)};
  ASSERT_EQ(call(second, epm::kOpInsert, epm::encodeInsertRequest(ins), out), 0u);
  EXPECT_EQ(mapPorts(), (std::vector<uint16_t>{2000})) << "a new registration replaces the old";
  epm::mapperInterface()->ConnectionClosed(12);
  EXPECT_TRUE(mapPorts().empty()) << "gone with its connection";

  // Bad stub data: a count beyond the data.
  Bytes bad = {0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 0, 0};
  EXPECT_EQ(call(first, epm::kOpInsert, bad, out), static_cast<uint32_t>(RPC_X_BAD_STUB_DATA));
}

TEST(RpcMapper, RegisterAndResolveThroughLogwardenEpmd) {
  // A free port for the mapper.
  uint16_t port = static_cast<uint16_t>(20000 + getpid() % 20000);
  std::string portText = std::to_string(port);
  setenv("LOGWARDEN_EPM_PORT", portText.c_str(), 1);
  pid_t epmd = fork();
  if (epmd == 0) {
    execl(LW_EPMD_PATH, LW_EPMD_PATH, "--port", portText.c_str(), "--idle-exit", "20", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(epmd, 0);

  ASSERT_EQ(RpcServerUseProtseqA("ncacn_ip_tcp", 3, nullptr), RPC_S_OK);
  ASSERT_EQ(RpcServerRegisterIfEx(ControlInterface_v1_0_s_ifspec, nullptr, nullptr, 0x10, 1234, nullptr), RPC_S_OK);
  RPC_BINDING_VECTOR* v = nullptr;
  ASSERT_EQ(RpcServerInqBindings(&v), RPC_S_OK);
  RPC_STATUS st = RPC_S_SERVER_UNAVAILABLE;
  for (int i = 0; i < 50 && st != RPC_S_OK; ++i) {  // until the mapper listens
    st = RpcEpRegisterA(ControlInterface_v1_0_s_ifspec, v, nullptr, nullptr);
    if (st != RPC_S_OK) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_EQ(st, RPC_S_OK);
  RPC_CSTR ownText = nullptr, ownEp = nullptr;
  RpcBindingToStringBindingA(v->BindingH[0], &ownText);
  RpcStringBindingParseA(ownText, nullptr, nullptr, nullptr, &ownEp, nullptr);

  // The server's own lookup, as the control server makes it.
  RPC_CSTR text = nullptr;
  ASSERT_EQ(RpcStringBindingComposeA(kControlInterfaceUuid, "ncacn_ip_tcp", "localhost", nullptr, nullptr, &text),
            RPC_S_OK);
  RPC_BINDING_HANDLE b = nullptr;
  ASSERT_EQ(RpcBindingFromStringBindingA(text, &b), RPC_S_OK);
  RpcStringFreeA(&text);
  ASSERT_EQ(RpcEpResolveBinding(b, ControlInterface_v1_0_s_ifspec), RPC_S_OK);
  ASSERT_EQ(RpcBindingToStringBindingA(b, &text), RPC_S_OK);
  RPC_CSTR ep = nullptr;
  ASSERT_EQ(RpcStringBindingParseA(text, nullptr, nullptr, nullptr, &ep, nullptr), RPC_S_OK);
  EXPECT_STREQ(ep, ownEp);

  // An interface nobody registered.
  RPC_SYNTAX_IDENTIFIER other = kControlInterfaceId;
  other.SyntaxGUID.Data1 ^= 0x55;
  RPC_BINDING_HANDLE b2 = nullptr;
  ASSERT_EQ(RpcBindingFromStringBindingA("ncacn_ip_tcp:127.0.0.1", &b2), RPC_S_OK);
  EXPECT_EQ(RpcEpResolveBinding(b2, other), EPT_S_NOT_REGISTERED);

  for (RPC_CSTR* s : {&text, &ep, &ownText, &ownEp}) {
    RpcStringFreeA(s);
  }
  RpcBindingFree(&b);
  RpcBindingFree(&b2);
  RpcBindingVectorFree(&v);
  kill(epmd, SIGTERM);
  int status = 0;
  waitpid(epmd, &status, 0);
}
