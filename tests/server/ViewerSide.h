// The viewer's side of the end-to-end tests: an endpoint mapper on a port of its own, the published
// server in the test process, and a stand-in for the window that takes notices and log entries.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "server/uETW_RPCServer.h"
#include "tests/server/ProcessHarness.h"

namespace lwtest {

// Generous bounds for things that happen within a second or so; they only limit how long a failing
// test waits.
inline constexpr int kWaitMs = 15000;

struct tNotice {
  uint32_t ProcessID;
  uint32_t SupplierID;
  std::string SupplierName;
  int32_t Level;
};

// The test's stand-in for the viewer window: takes the server's notices and log entries.
class tWindowSide {
 public:
  void Pump() {
    for (int i = 0; i < 10000; ++i) {
      const tTraceRec* copy = RPCServerThread->GetNextSupplierChange();
      if (copy == nullptr) break;
      notices_.push_back({copy->ProcessID, copy->SupplierID, copy->SupplierName, copy->Level});
    }
    tLogItemsLock lock(LogItems);
    for (const tLogItem& item : LogItems) messages_.push_back(item.Message);
    LogItems.clear();
  }
  bool HasNotice(uint32_t Pid, uint32_t Sid) {
    Pump();
    for (const tNotice& n : notices_) {
      if (n.ProcessID == Pid && n.SupplierID == Sid) return true;
    }
    return false;
  }
  bool WaitForNotice(uint32_t Pid, uint32_t Sid) {
    return WaitUntil([&] { return HasNotice(Pid, Sid); }, kWaitMs);
  }
  bool WaitForMessage(const std::string& Message) {
    return WaitUntil(
        [&] {
          Pump();
          for (const std::string& m : messages_) {
            if (m == Message) return true;
          }
          return false;
        },
        kWaitMs);
  }
  std::vector<tNotice> NoticesOf(uint32_t Pid) {
    Pump();
    std::vector<tNotice> out;
    for (const tNotice& n : notices_) {
      if (n.ProcessID == Pid) out.push_back(n);
    }
    return out;
  }

 private:
  std::vector<tNotice> notices_;
  std::vector<std::string> messages_;
};

// One endpoint mapper on a port of its own and one published server for the whole program.
class tViewerEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    const int port = lwtest::FreeLoopbackPort();
    ASSERT_NE(port, 0);
    setenv("LOGWARDEN_EPM_PORT", std::to_string(port).c_str(), 1);
    setenv("LOGWARDEN_EPMD", LW_EPMD_PATH, 1);
    epmd_ = std::make_unique<tChild>(LW_EPMD_PATH, std::vector<std::string>{"--port", std::to_string(port)});
    ASSERT_TRUE(lwtest::WaitForListener(port, kWaitMs));
    server_ = std::make_unique<tRPCServerThread>();
    RPCServerThread = server_.get();
  }
  void TearDown() override {
    RPCServerThread = nullptr;
    server_.reset();
    epmd_.reset();
  }

 private:
  std::unique_ptr<tChild> epmd_;
  std::unique_ptr<tRPCServerThread> server_;
};

inline std::unique_ptr<tChild> StartSupplier(std::vector<std::string> Args, bool WithInput = false) {
  return std::make_unique<tChild>(LW_SUPPLIER_PATH, std::move(Args), WithInput);
}

inline uint32_t PidOf(const tChild& Child) { return static_cast<uint32_t>(Child.Pid()); }

}  // namespace lwtest
