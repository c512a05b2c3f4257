// The server thread's start, listen and stop against a scripted runtime, and the routing of procedures
// 1 and 2 to the published server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/os/Os.h"
#include "server/ControlInterface.h"
#include "server/uETW_RPCServer.h"

namespace {

using namespace lw::rpc;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

struct tEntry {
  uint32_t LevelWord;
  int32_t Line;
  std::string File;
  std::string Message;
  uint32_t ThreadID;
};

std::vector<tEntry> DrainLog() {
  std::vector<tEntry> out;
  tLogItemsLock lock(LogItems);
  for (const tLogItem& item : LogItems) {
    out.push_back({item.LevelWord, item.Line, item.File, item.Message, item.ThreadID});
  }
  LogItems.clear();
  return out;
}

std::vector<std::string> Messages(const std::vector<tEntry>& Entries) {
  std::vector<std::string> out;
  for (const tEntry& e : Entries) out.push_back(e.Message);
  return out;
}

// A runtime that records every call, refuses the step it is told to, and listens until stopped.
class tScriptedRpc : public tRpcApi {
 public:
  std::string RefuseStep;  // call name to refuse
  RPC_STATUS RefuseWith = 0;
  RPC_STATUS ListenResult = 0;
  std::string Endpoint = "49321";

  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> hold(mutex_);
    return calls_;
  }
  int Outstanding() {
    std::lock_guard<std::mutex> hold(mutex_);
    return outstanding_;
  }
  unsigned UseProtseqBacklog = 0, RegisterFlags = 0, RegisterMaxCalls = 0;
  RPC_IF_HANDLE RegisteredIf = nullptr;
  std::string ComposedUuid, ComposedProtseq, ComposedAddress;
  unsigned ListenMinThreads = 0, ListenMaxCalls = 0, ListenDontWait = 99;
  unsigned UnregisterWait = 99;
  RPC_IF_HANDLE UnregisteredIf = nullptr;

  RPC_STATUS RpcServerUseProtseqA(const char* Protseq, unsigned MaxCalls, void*) override {
    UseProtseqBacklog = MaxCalls;
    ComposedProtseq = Protseq;
    return record("RpcServerUseProtseqA");
  }
  RPC_STATUS RpcServerRegisterIfEx(RPC_IF_HANDLE IfSpec, const UUID*, void*, unsigned Flags, unsigned MaxCalls,
                                   void*) override {
    RegisteredIf = IfSpec;
    RegisterFlags = Flags;
    RegisterMaxCalls = MaxCalls;
    return record("RpcServerRegisterIfEx");
  }
  RPC_STATUS RpcServerInqBindings(RPC_BINDING_VECTOR** Vector) override {
    const RPC_STATUS status = record("RpcServerInqBindings");
    if (status == 0) {
      *Vector = new RPC_BINDING_VECTOR{};
      count(+1);
    }
    return status;
  }
  RPC_STATUS RpcEpRegisterA(RPC_IF_HANDLE, RPC_BINDING_VECTOR*, UUID_VECTOR*, const char*) override {
    return record("RpcEpRegisterA");
  }
  RPC_STATUS RpcStringBindingComposeA(const char* ObjUuid, const char*, const char* NetworkAddr, const char*,
                                      const char*, RPC_CSTR* StringBinding) override {
    ComposedUuid = ObjUuid != nullptr ? ObjUuid : "";
    ComposedAddress = NetworkAddr != nullptr ? NetworkAddr : "";
    const RPC_STATUS status = record("RpcStringBindingComposeA");
    if (status == 0) *StringBinding = text("772aa01b-cff8-4511-af9e-d3546ddfb09b@ncacn_ip_tcp:localhost");
    return status;
  }
  RPC_STATUS RpcBindingFromStringBindingA(const char*, RPC_BINDING_HANDLE* Binding) override {
    const RPC_STATUS status = record("RpcBindingFromStringBindingA");
    if (status == 0) {
      *Binding = reinterpret_cast<RPC_BINDING_HANDLE>(&bindingStandIn_);
      count(+1);
    }
    return status;
  }
  RPC_STATUS RpcEpResolveBinding(RPC_BINDING_HANDLE, RPC_IF_HANDLE) override {
    return record("RpcEpResolveBinding");
  }
  RPC_STATUS RpcBindingToStringBindingA(RPC_BINDING_HANDLE, RPC_CSTR* StringBinding) override {
    const RPC_STATUS status = record("RpcBindingToStringBindingA");
    if (status == 0) *StringBinding = text("ncacn_ip_tcp:localhost[" + Endpoint + "]");
    return status;
  }
  RPC_STATUS RpcStringBindingParseA(const char*, RPC_CSTR* ObjUuid, RPC_CSTR* Protseq, RPC_CSTR* NetworkAddr,
                                    RPC_CSTR* EndpointOut, RPC_CSTR* Options) override {
    EXPECT_EQ(ObjUuid, nullptr);
    EXPECT_EQ(Protseq, nullptr);
    EXPECT_EQ(NetworkAddr, nullptr);
    EXPECT_EQ(Options, nullptr);
    const RPC_STATUS status = record("RpcStringBindingParseA");
    if (status == 0) *EndpointOut = text(Endpoint);
    return status;
  }
  RPC_STATUS RpcStringFreeA(RPC_CSTR* String) override {
    delete[] *String;
    *String = nullptr;
    count(-1);
    return 0;
  }
  RPC_STATUS RpcBindingVectorFree(RPC_BINDING_VECTOR** Vector) override {
    delete *Vector;
    *Vector = nullptr;
    count(-1);
    return 0;
  }
  RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* Binding) override {
    *Binding = nullptr;
    count(-1);
    return 0;
  }
  RPC_STATUS RpcServerListen(unsigned MinThreads, unsigned MaxCalls, unsigned DontWait) override {
    ListenMinThreads = MinThreads;
    ListenMaxCalls = MaxCalls;
    ListenDontWait = DontWait;
    record("RpcServerListen");
    std::unique_lock<std::mutex> hold(mutex_);
    if (ListenResult != 0) return ListenResult;
    listening_ = true;
    stopped_.wait(hold, [this] { return stop_; });
    listening_ = false;
    return 0;
  }
  RPC_STATUS RpcMgmtStopServerListening(RPC_BINDING_HANDLE) override {
    record("RpcMgmtStopServerListening");
    std::lock_guard<std::mutex> hold(mutex_);
    if (!listening_) return RPC_S_NOT_LISTENING;
    stop_ = true;
    stopped_.notify_all();
    return 0;
  }
  RPC_STATUS RpcServerUnregisterIf(RPC_IF_HANDLE IfSpec, const UUID*, unsigned Wait) override {
    UnregisteredIf = IfSpec;
    UnregisterWait = Wait;
    return record("RpcServerUnregisterIf");
  }

  bool WaitUntilListening() {
    for (int i = 0; i < 2000; ++i) {
      {
        std::lock_guard<std::mutex> hold(mutex_);
        if (listening_) return true;
      }
      lw::os::Sleep(2);
    }
    return false;
  }

 private:
  RPC_STATUS record(const std::string& Name) {
    std::lock_guard<std::mutex> hold(mutex_);
    calls_.push_back(Name);
    return Name == RefuseStep ? RefuseWith : 0;
  }
  RPC_CSTR text(const std::string& Value) {
    count(+1);
    char* copy = new char[Value.size() + 1];
    std::memcpy(copy, Value.c_str(), Value.size() + 1);
    return copy;
  }
  void count(int Delta) {
    std::lock_guard<std::mutex> hold(mutex_);
    outstanding_ += Delta;
  }

  std::mutex mutex_;
  std::condition_variable stopped_;
  std::vector<std::string> calls_;
  bool listening_ = false;
  bool stop_ = false;
  int outstanding_ = 0;
  char bindingStandIn_ = 0;
};

// The start steps in order: the runtime call and the name the error message gives.
struct tStep {
  const char* Call;
  const char* Name;
};
const std::vector<tStep> kSteps = {
    {"RpcServerUseProtseqA", "RpcServerUseProtseq"},
    {"RpcServerRegisterIfEx", "RpcServerRegisterIfEx"},
    {"RpcServerInqBindings", "RpcServerInqBindings"},
    {"RpcEpRegisterA", "RpcEpRegister"},
    {"RpcStringBindingComposeA", "RpcStringBindingCompose"},
    {"RpcBindingFromStringBindingA", "RpcBindingFromStringBinding"},
    {"RpcEpResolveBinding", "RpcEpResolveBinding"},
    {"RpcBindingToStringBindingA", "RpcBindingToStringBinding"},
    {"RpcStringBindingParseA", "RpcStringBindingParse"},
};

std::vector<std::string> StepCalls(const std::vector<std::string>& Calls) {
  std::vector<std::string> out;
  for (const std::string& call : Calls) {
    if (call == "RpcServerUnregisterIf") continue;  // clean-up of a failed start, not a step
    out.push_back(call);
  }
  return out;
}

class ServerThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { DrainLog(); }
  tScriptedRpc rpc_;
};

class RefusedStepTest : public ServerThreadTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(RefusedStepTest, LogsOnceThrowsTheSameTextAndGoesNoFurther) {
  const size_t refused = GetParam();
  rpc_.RefuseStep = kSteps[refused].Call;
  rpc_.RefuseWith = static_cast<RPC_STATUS>(1703 + refused);
  const std::string expected =
      "RPC start error: " + std::to_string(1703 + refused) + " (" + kSteps[refused].Name + ") ";

  std::string thrown;
  try {
    tRPCServerThread server(rpc_);
    ADD_FAILURE() << "the start did not fail";
  } catch (const tServerStartError& error) {
    thrown = error.what();
  }
  EXPECT_EQ(thrown, expected);

  const std::vector<tEntry> log = DrainLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].LevelWord, 0x0001u);
  EXPECT_EQ(log[0].Line, 55);
  EXPECT_EQ(log[0].File, "uETW_RPCServer");
  EXPECT_EQ(log[0].Message, expected);
  EXPECT_EQ(log[0].ThreadID, lw::os::GetCurrentThreadId());

  std::vector<std::string> upToRefused;
  for (size_t i = 0; i <= refused; ++i) upToRefused.push_back(kSteps[i].Call);
  // Step 6 frees its string binding before step 7.
  EXPECT_THAT(StepCalls(rpc_.Calls()), ElementsAreArray(upToRefused)) << "no later step, no listen";
  EXPECT_EQ(rpc_.Outstanding(), 0) << "everything the runtime handed out is freed";
}

INSTANTIATE_TEST_SUITE_P(Steps, RefusedStepTest, ::testing::Range<size_t>(0, 9),
                         [](const auto& Info) { return std::string(kSteps[Info.param].Name); });

TEST_F(ServerThreadTest, StartsListensAndStopsWhenDestroyed) {
  uint32_t listenerThread = 0;
  {
    tRPCServerThread server(rpc_);
    ASSERT_TRUE(rpc_.WaitUntilListening());
    EXPECT_TRUE(server.Listening());
    EXPECT_EQ(server.LastStatus(), 0);
    listenerThread = server.ThreadID();

    std::vector<std::string> expected;
    for (const tStep& step : kSteps) expected.push_back(step.Call);
    expected.push_back("RpcServerListen");
    EXPECT_THAT(rpc_.Calls(), ElementsAreArray(expected));
    EXPECT_EQ(rpc_.UseProtseqBacklog, 3u);
    EXPECT_EQ(rpc_.ComposedProtseq, "ncacn_ip_tcp");
    EXPECT_EQ(rpc_.RegisteredIf, ControlInterface_v1_0_s_ifspec);
    EXPECT_EQ(rpc_.RegisterFlags, 0x10u);
    EXPECT_EQ(rpc_.RegisterMaxCalls, 1234u);
    EXPECT_EQ(rpc_.ComposedUuid, "772aa01b-cff8-4511-af9e-d3546ddfb09b");
    EXPECT_EQ(rpc_.ComposedAddress, "localhost");
    EXPECT_EQ(rpc_.ListenMinThreads, 1u);
    EXPECT_EQ(rpc_.ListenMaxCalls, 1234u);
    EXPECT_EQ(rpc_.ListenDontWait, 0u);
    EXPECT_EQ(callbackTimeout(ControlInterface_v1_0_s_ifspec), 5000u);
  }
  const std::vector<tEntry> log = DrainLog();
  EXPECT_THAT(Messages(log),
              ElementsAre("ETW RPC Server bound to port: 49321", "ETW RPC Server: start listening..."));
  for (const tEntry& e : log) {
    EXPECT_EQ(e.LevelWord, 0x0008u);
    EXPECT_EQ(e.File, "uETW_RPCServer");
  }
  EXPECT_EQ(log[0].Line, 108);
  EXPECT_EQ(log[0].ThreadID, lw::os::GetCurrentThreadId());
  EXPECT_EQ(log[1].Line, 149);
  EXPECT_EQ(log[1].ThreadID, listenerThread);
  EXPECT_NE(log[1].ThreadID, log[0].ThreadID);

  const std::vector<std::string> calls = rpc_.Calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[calls.size() - 2], "RpcMgmtStopServerListening");
  EXPECT_EQ(calls.back(), "RpcServerUnregisterIf");
  EXPECT_EQ(rpc_.UnregisteredIf, nullptr) << "every interface";
  EXPECT_EQ(rpc_.UnregisterWait, 1u) << "calls in progress complete first";
  EXPECT_EQ(rpc_.Outstanding(), 0);
}

TEST_F(ServerThreadTest, ListenErrorIsLoggedAndTheThreadEnds) {
  rpc_.ListenResult = RPC_S_NO_PROTSEQS_REGISTERED;
  tRPCServerThread server(rpc_);
  server.WaitFor();
  EXPECT_FALSE(server.Listening());
  EXPECT_EQ(server.LastStatus(), RPC_S_NO_PROTSEQS_REGISTERED);
  const std::vector<tEntry> log = DrainLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[2].Message, "ETW RPC execute error: 1714 (RpcServerListen) ");
  EXPECT_EQ(log[2].LevelWord, 0x0001u);
  EXPECT_EQ(log[2].Line, 153);
  // The object stays usable for the window after the thread has ended.
  EXPECT_EQ(server.RegisterSupplier(1, "A", 1, 3, "", "", ""), 0);
  EXPECT_NE(server.GetSupplierRec(1, 1), nullptr);
}

TEST_F(ServerThreadTest, NonNumericEndpointFailsWithoutAStartErrorEntry) {
  rpc_.Endpoint = "pipe";
  EXPECT_THROW(tRPCServerThread server(rpc_), tServerStartError);
  EXPECT_TRUE(DrainLog().empty());
  for (const std::string& call : rpc_.Calls()) EXPECT_NE(call, "RpcServerListen");
  EXPECT_EQ(rpc_.Outstanding(), 0);
}

TEST_F(ServerThreadTest, ProceduresReachTheServerOnlyOncePublished) {
  tRPCServerThread server(rpc_);
  ASSERT_EQ(RPCServerThread.get(), nullptr);
  server.SetSupplierLevel(1, 1, 0);
  EXPECT_EQ(::RegisterSupplier(31, "Early", 1, 3, "", "", ""), 0);
  EXPECT_EQ(::PollSupplier(31), 0);
  EXPECT_TRUE(server.Registry().RegistrySnapshot().empty()) << "calls before publication change nothing";
  EXPECT_TRUE(server.Registry().PollTicksSnapshot().empty());

  RPCServerThread = &server;
  EXPECT_EQ(::RegisterSupplier(31, "Late", 1, 3, "", "", ""), 0);
  EXPECT_EQ(::RegisterSupplier(31, "Later", 2, 3, "", "", ""), 0);
  EXPECT_EQ(::PollSupplier(31), 2);
  ASSERT_NE(server.GetSupplierRec(31, 2), nullptr);
  EXPECT_EQ(server.GetSupplierRec(31, 2)->SupplierName, "Later");
  EXPECT_EQ(server.Registry().PollTicksSnapshot().count(31), 1u);

  RPCServerThread = nullptr;  // the program never does this; the test's server goes out of scope
  EXPECT_EQ(::PollSupplier(31), 0);
}

TEST_F(ServerThreadTest, PushOutsideACallFailsAndDropsTheProcess) {
  // A change pushed by PollSupplier from a thread that executes no RPC call cannot reach anybody: the
  // callback fails, the process is dropped with the message.
  tRPCServerThread server(rpc_);
  ASSERT_TRUE(rpc_.WaitUntilListening());  // its entry is written before the listen call
  DrainLog();
  server.RegisterSupplier(44, "Lib", 3, 0, "", "", "");
  server.SetSupplierLevel(44, 3, -1);
  EXPECT_EQ(server.PollSupplier(44), 0);
  const std::vector<tEntry> log = DrainLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].Line, 179);
  EXPECT_THAT(log[0].Message, ::testing::StartsWith("Supplier: 3, Broken by client process, error code:"));
  EXPECT_EQ(server.Registry().RegistrySnapshot().count(44), 0u);
}

}  // namespace
