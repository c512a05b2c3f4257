// logwarden-epmd: the endpoint mapper of this host (TCP $LOGWARDEN_EPM_PORT, else 135, all addresses).
//
//   logwarden-epmd [--port N] [--idle-exit SECONDS]
//
// With --idle-exit it ends once it has held no entry and served no call for that long (the runtime starts
// it on demand with 30 s). Exit status 0 after a stop, 1 when the port cannot be opened.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/rpc/Epm.h"
#include "platform/rpc/Internal.h"
#include "platform/rpc/Rpc.h"

int main(int argc, char** argv) {
  using namespace lw::rpc;
  std::string port = std::to_string(endpointMapperPort());
  long idleExit = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
      port = argv[++i];
    } else if (std::strcmp(argv[i], "--idle-exit") == 0 && i + 1 < argc) {
      idleExit = std::strtol(argv[++i], nullptr, 10);
    } else {
      std::fprintf(stderr, "usage: logwarden-epmd [--port N] [--idle-exit SECONDS]\n");
      return 2;
    }
  }
  RPC_STATUS st = RpcServerUseProtseqEpA("ncacn_ip_tcp", 64, port.c_str(), nullptr);
  if (st != RPC_S_OK) {
    std::fprintf(stderr, "logwarden-epmd: cannot listen on port %s (status %d)\n", port.c_str(), st);
    return 1;
  }
  st = RpcServerRegisterIfEx(epm::mapperInterface(), nullptr, nullptr, 0, RPC_C_LISTEN_MAX_CALLS_DEFAULT, nullptr);
  if (st != RPC_S_OK) return 1;
  std::atomic<bool> done{false};
  std::thread idle;
  if (idleExit > 0) {
    idle = std::thread([&] {
      auto now = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
      };
      int64_t start = now();
      while (!done.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        int64_t last = std::max(start, epm::mapperLastActivityMs());
        if (epm::mapperEntryCount() == 0 && now() - last > idleExit * 1000) {
          RpcMgmtStopServerListening(nullptr);
          break;
        }
      }
    });
  }
  st = RpcServerListen(1, RPC_C_LISTEN_MAX_CALLS_DEFAULT, 0);
  done.store(true);
  if (idle.joinable()) idle.join();
  return st == RPC_S_OK ? 0 : 1;
}
