// The control server end to end: the viewer's server in this process, the endpoint mapper and reference
// supplier processes, all over loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "server/uETW_RPCServer.h"
#include "tests/server/ViewerSide.h"

namespace {

using lwtest::tChild;
using lwtest::WaitUntil;
using lwtest::tWindowSide;
using lwtest::StartSupplier;
using lwtest::PidOf;
using lwtest::kWaitMs;
using lwtest::tNotice;

class ServerEndToEndTest : public ::testing::Test {
 protected:
  tWindowSide window_;
};

TEST_F(ServerEndToEndTest, RegistrationAppearsAsANotice) {
  auto supplier = StartSupplier({"--reg-id", "7", "--reg-name", "ZorvClient", "--reg-level", "-1", "--reg-settings", "-l2 -t",
                                 "--reg-aux1", "first", "--reg-aux2", "second", "--poll-ms", "200"});
  const uint32_t pid = PidOf(*supplier);
  ASSERT_TRUE(window_.WaitForNotice(pid, 7));
  const std::vector<tNotice> notices = window_.NoticesOf(pid);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].SupplierName, "ZorvClient");
  EXPECT_EQ(notices[0].Level, -1);

  const tTraceRec* rec = RPCServerThread->GetSupplierRec(pid, 7);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->Settings, "-l2 -t");
  EXPECT_EQ(rec->AuxText1, "first");
  EXPECT_EQ(rec->ExceptionSettings, "");
  EXPECT_EQ(GetProcessName(pid), "logwarden-supplier");
}

TEST_F(ServerEndToEndTest, ChangesReachTheSupplierAtItsNextPoll) {
  auto supplier = StartSupplier({"--reg-id", "7", "--reg-name", "Lib", "--reg-level", "3", "--reg-settings", "-a", "--poll-ms", "200"});
  const uint32_t pid = PidOf(*supplier);
  ASSERT_TRUE(window_.WaitForNotice(pid, 7));

  RPCServerThread->SetSupplierLevel(pid, 7, -1);
  std::vector<std::string> lines = supplier->WaitForLinesStartingWith("{", 1, kWaitMs);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], R"({"supplier":7,"level":-1,"settings":"-a","exceptions":""})");

  RPCServerThread->SetSupplierSettings(pid, 7, 0, "-l1 \"quoted\"", "S1;S2");
  lines = supplier->WaitForLinesStartingWith("{", 2, kWaitMs);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], R"({"supplier":7,"level":0,"settings":"-l1 \"quoted\"","exceptions":"S1;S2"})");
  EXPECT_NE(RPCServerThread->GetSupplierRec(pid, 7), nullptr) << "accepted pushes keep the registration";
}

TEST_F(ServerEndToEndTest, TwoSuppliersOfOneProcessGetTheirCallbacksInAscendingOrder) {
  // Polls only when told, so that both changes wait for the same poll.
  auto supplier = StartSupplier({"--reg-id", "9", "--reg-name", "Nine", "--reg-id", "3", "--reg-name", "Three", "--poll-on-input"},
                                true);
  const uint32_t pid = PidOf(*supplier);
  ASSERT_TRUE(window_.WaitForNotice(pid, 9));
  ASSERT_TRUE(window_.WaitForNotice(pid, 3));
  // The first poll follows the registration at once; wait for it before changing anything.
  ASSERT_TRUE(WaitUntil([&] { return RPCServerThread->Registry().PollTicksSnapshot().count(pid) == 1; }, kWaitMs));

  RPCServerThread->SetSupplierLevel(pid, 9, 0);
  RPCServerThread->SetSupplierLevel(pid, 3, -1);
  supplier->Write("poll\n");
  const std::vector<std::string> lines = supplier->WaitForLinesStartingWith("{", 2, kWaitMs);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], R"({"supplier":3,"level":-1,"settings":"","exceptions":""})");
  EXPECT_EQ(lines[1], R"({"supplier":9,"level":0,"settings":"","exceptions":""})");
}

struct tFaultCase {
  const char* Name;
  friend void PrintTo(const tFaultCase& Case, std::ostream* Out) { *Out << Case.Name; }
  std::vector<std::string> Options;
  const char* Code;
};

class ServerFaultTest : public ServerEndToEndTest, public ::testing::WithParamInterface<tFaultCase> {};

TEST_P(ServerFaultTest, FailedPushDropsTheProcess) {
  const tFaultCase& c = GetParam();
  std::vector<std::string> args = {"--reg-id", "5", "--reg-name", "Faulty", "--reg-id", "8", "--reg-name", "Other",
                                   "--poll-ms", "200"};
  args.insert(args.end(), c.Options.begin(), c.Options.end());
  auto supplier = StartSupplier(args);
  const uint32_t pid = PidOf(*supplier);
  ASSERT_TRUE(window_.WaitForNotice(pid, 5));
  ASSERT_TRUE(window_.WaitForNotice(pid, 8));

  RPCServerThread->SetSupplierLevel(pid, 5, -1);
  RPCServerThread->SetSupplierLevel(pid, 8, -1);
  EXPECT_TRUE(window_.WaitForMessage(std::string("Supplier: 5, Broken by client process, error code:") + c.Code));
  EXPECT_TRUE(window_.WaitForNotice(pid, 0));
  const std::vector<std::string> lines = supplier->WaitForLinesStartingWith("{", 1, 0);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], R"({"supplier":5,"level":-1,"settings":"","exceptions":""})");
  for (const std::string& line : lines) EXPECT_EQ(line.find("\"supplier\":8"), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ServerFaultTest,
    ::testing::Values(tFaultCase{"Refuses", {"--answer", "5", "--on-dropped", "exit"}, "5"},
                      tFaultCase{"ExitsInTheCallback", {"--exit-in-callback"}, "6BE"},
                      tFaultCase{"HangsInTheCallback", {"--hang-in-callback", "30000"}, "6BE"}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(ServerEndToEndTest, RefusingSupplierLearnsOfTheDropAndEnds) {
  auto supplier = StartSupplier({"--reg-id", "2", "--answer", "7", "--on-dropped", "exit", "--poll-ms", "200"});
  const uint32_t pid = PidOf(*supplier);
  ASSERT_TRUE(window_.WaitForNotice(pid, 2));
  RPCServerThread->SetSupplierLevel(pid, 2, 0);
  EXPECT_EQ(supplier->WaitForExit(kWaitMs), 3) << "the poll after the drop answers 0";
}

TEST_F(ServerEndToEndTest, SupplierThatStopsPollingIsSwept) {
  auto supplier = StartSupplier({"--reg-id", "4", "--poll-ms", "200", "--stop-polling-after", "2"});
  const uint32_t pid = PidOf(*supplier);
  ASSERT_TRUE(window_.WaitForNotice(pid, 4));
  ASSERT_TRUE(WaitUntil([&] { return RPCServerThread->Registry().PollTicksSnapshot().count(pid) == 1; }, kWaitMs));
  EXPECT_TRUE(WaitUntil([&] { return window_.HasNotice(pid, 0); }, 5000 + kWaitMs));
  EXPECT_EQ(RPCServerThread->GetSupplierRec(pid, 4), nullptr);
}

TEST_F(ServerEndToEndTest, DroppedSupplierRegistersAgain) {
  auto supplier = StartSupplier({"--reg-id", "6", "--answer", "9", "--poll-ms", "200"});
  const uint32_t pid = PidOf(*supplier);
  ASSERT_TRUE(window_.WaitForNotice(pid, 6));
  RPCServerThread->SetSupplierLevel(pid, 6, -1);
  ASSERT_TRUE(window_.WaitForNotice(pid, 0));
  // The next poll answers 0 and the supplier registers anew: a second registration notice follows.
  EXPECT_TRUE(WaitUntil(
      [&] {
        const std::vector<tNotice> notices = window_.NoticesOf(pid);
        return notices.size() >= 3 && notices.back().SupplierID == 6;
      },
      kWaitMs));
}

// gtest takes ownership.
::testing::Environment* const kViewerEnvironment =
    ::testing::AddGlobalTestEnvironment(new lwtest::tViewerEnvironment);

}  // namespace
