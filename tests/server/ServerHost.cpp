// A second viewer-side server for the end-to-end tests: starts the control server in its own process,
// prints "ready", then one line "notice <process> <supplier>" per change notice, until it is stopped
// or --run-ms (default 60000) has passed.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <thread>

#include "server/uETW_RPCServer.h"

int main(int argc, char** argv) {
  long runMs = 60000;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--run-ms") == 0) runMs = std::strtol(argv[i + 1], nullptr, 10);
  }
  try {
    RPCServerThread = new tRPCServerThread();  // lives until the process ends, as in the viewer
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "server_host: %s\n", failure.what());
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  for (long waited = 0; waited < runMs; waited += 50) {
    while (const tTraceRec* copy = RPCServerThread->GetNextSupplierChange()) {
      std::printf("notice %u %u\n", copy->ProcessID, copy->SupplierID);
      std::fflush(stdout);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::_Exit(0);
}
