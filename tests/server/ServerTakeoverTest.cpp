// A second viewer on the same host takes over the endpoint-mapper entry: suppliers that look the
// interface up afterwards reach it, those registered before stay with the first.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/server/ViewerSide.h"

namespace {

using lwtest::kWaitMs;

TEST(ServerTakeoverTest, SecondServerTakesOverTheEndpointMapperEntry) {
  lwtest::tWindowSide first;
  auto early = lwtest::StartSupplier({"--reg-id", "1", "--poll-ms", "200"});
  const uint32_t earlyPid = lwtest::PidOf(*early);
  ASSERT_TRUE(first.WaitForNotice(earlyPid, 1));

  lwtest::tChild second(LW_SERVER_HOST_PATH, {"--run-ms", "60000"});
  const std::vector<std::string> ready = second.WaitForLines(1, kWaitMs);
  ASSERT_FALSE(ready.empty());
  ASSERT_EQ(ready[0], "ready");

  auto late = lwtest::StartSupplier({"--reg-id", "2", "--poll-ms", "200"});
  const uint32_t latePid = lwtest::PidOf(*late);
  const std::string expected = "notice " + std::to_string(latePid) + " 2";
  EXPECT_TRUE(lwtest::WaitUntil(
      [&] {
        for (const std::string& line : second.Lines()) {
          if (line == expected) return true;
        }
        return false;
      },
      kWaitMs));
  EXPECT_FALSE(first.HasNotice(latePid, 2));
  EXPECT_NE(RPCServerThread->GetSupplierRec(earlyPid, 1), nullptr) << "the first server keeps its suppliers";
  EXPECT_EQ(RPCServerThread->GetSupplierRec(latePid, 2), nullptr);
}

// gtest takes ownership.
::testing::Environment* const kViewerEnvironment =
    ::testing::AddGlobalTestEnvironment(new lwtest::tViewerEnvironment);

}  // namespace
