// rpc-test-server: serves the control interface and the test interface for the interoperability tests.
// Registers both with the endpoint mapper ($LOGWARDEN_EPM_PORT), prints "port N" on standard output and
// serves until standard input closes (at most two minutes).
//
// Control hooks: RegisterSupplier remembers the process id; PollSupplier of a remembered process calls
// ApplyTraceSettings(pid, -1, "set", "exc") and answers its result, or the RPC status it raised; other
// polls answer 0.
#include <cstdio>
#include <mutex>
#include <set>
#include <thread>

#include "platform/rpc/Rpc.h"
#include "server/ControlInterface.h"
#include "tests/rpc/TestInterface.h"

using namespace lw::rpc;

namespace {
std::mutex gMutex;
std::set<uint32_t> gRegistered;

int32_t onRegister(uint32_t Pid, const std::string&, uint32_t, int32_t, const std::string&, const std::string&,
                   const std::string&) {
  std::lock_guard<std::mutex> lock(gMutex);
  gRegistered.insert(Pid);
  return 0;
}

int32_t onPoll(uint32_t Pid) {
  {
    std::lock_guard<std::mutex> lock(gMutex);
    if (!gRegistered.count(Pid)) return 0;
  }
  try {
    return ApplyTraceSettings(Pid, -1, "set", "exc");
  } catch (const RpcException& e) {
    return e.Status();
  }
}
const tControlServerHooks kHooks = {onRegister, onPoll};
}  // namespace

int main() {
  static const RPC_SERVER_INTERFACE testIf = test::makeTestInterface();
  if (RpcServerUseProtseqA("ncacn_ip_tcp", 3, nullptr) != RPC_S_OK) return 1;
  for (RPC_IF_HANDLE i : {ControlInterface_v1_0_s_ifspec, &testIf}) {
    if (RpcServerRegisterIfEx(i, nullptr, nullptr, RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH, 1234, nullptr) != RPC_S_OK)
      return 1;
    setCallbackTimeout(i, 1000);
  }
  RPC_BINDING_VECTOR* v = nullptr;
  if (RpcServerInqBindings(&v) != RPC_S_OK) return 1;
  RPC_STATUS st = RpcEpRegisterA(ControlInterface_v1_0_s_ifspec, v, nullptr, "control");
  if (st != RPC_S_OK) {
    std::fprintf(stderr, "RpcEpRegisterA: %d\n", st);
    return 1;
  }
  RPC_CSTR text = nullptr, ep = nullptr;
  RpcBindingToStringBindingA(v->BindingH[0], &text);
  RpcStringBindingParseA(text, nullptr, nullptr, nullptr, &ep, nullptr);
  std::printf("port %s\n", ep);
  std::fflush(stdout);
  RpcStringFreeA(&text);
  RpcStringFreeA(&ep);
  RpcBindingVectorFree(&v);
  SetControlServerHooks(&kHooks);
  std::thread watch([] {
    // Ends with standard input, or after two minutes.
    std::thread reader([] {
      while (std::getchar() != EOF) {
      }
      RpcMgmtStopServerListening(nullptr);
    });
    reader.detach();
    std::this_thread::sleep_for(std::chrono::minutes(2));
    RpcMgmtStopServerListening(nullptr);
  });
  watch.detach();
  RpcServerListen(1, 1234, 0);
  return 0;
}
