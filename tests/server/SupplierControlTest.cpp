// The reference supplier's control side without a viewer: options, the callback's JSON line and the
// rule by which its events follow the trace level.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/supplier/Control.h"

namespace {

using supplier::tOptionResult;

TEST(SupplierControlTest, OptionsDescribeOneSupplierPerId) {
  supplier::tControlOptions options;
  std::string message;
  for (const char* arg : {"--reg-id=9", "--reg-name=Nine", "--reg-level=-1", "--reg-id=3", "--reg-settings=-a b",
                          "--reg-aux1=x=y", "--poll-ms=250", "--on-dropped=exit", "--answer=-5", "--poll-on-input"}) {
    ASSERT_EQ(supplier::ParseControlOption(arg, options, message), tOptionResult::Taken) << arg;
  }
  ASSERT_EQ(options.Suppliers.size(), 2u);
  EXPECT_EQ(options.Suppliers[0].SupplierID, 9u);
  EXPECT_EQ(options.Suppliers[0].Name, "Nine");
  EXPECT_EQ(options.Suppliers[0].Level, -1);
  EXPECT_EQ(options.Suppliers[1].SupplierID, 3u);
  EXPECT_EQ(options.Suppliers[1].Settings, "-a b");
  EXPECT_EQ(options.Suppliers[1].AuxText1, "x=y");
  EXPECT_EQ(options.PollIntervalMs, 250u);
  EXPECT_EQ(options.OnDropped, supplier::tOnDropped::Exit);
  EXPECT_EQ(options.CallbackAnswer, -5);
  EXPECT_TRUE(options.PollOnInput);
}

TEST(SupplierControlTest, BadOptionValuesAreRefused) {
  const std::vector<const char*> bad = {"--reg-id=x",        "--reg-id=-1", "--reg-level=3x", "--poll-ms=0",
                                        "--on-dropped=stay", "--answer=",   "--stop-polling-after=-2"};
  for (const char* arg : bad) {
    supplier::tControlOptions options;
    std::string message;
    EXPECT_EQ(supplier::ParseControlOption(arg, options, message), tOptionResult::Error) << arg;
    EXPECT_NE(message, "") << arg;
  }
  supplier::tControlOptions options;
  std::string message;
  EXPECT_EQ(supplier::ParseControlOption("--count", options, message), tOptionResult::NotMine);
  EXPECT_EQ(supplier::ParseControlOption("--reg-idx=1", options, message), tOptionResult::NotMine);
}

TEST(SupplierControlTest, JsonLineEscapesAndConvertsTexts) {
  control::tApplyArgs args;
  args.SupplierID = 7;
  args.Level = -1;
  args.Settings = "-f \"C:\\tel\"\t\xE9";  // quote, backslash, tab, e acute in Windows-1252
  args.ExceptionSettings = "";
  EXPECT_EQ(supplier::ApplyJsonLine(args),
            "{\"supplier\":7,\"level\":-1,\"settings\":\"-f \\\"C:\\\\tel\\\"\\u0009\xC3\xA9\",\"exceptions\":\"\"}");
}

TEST(SupplierControlTest, EventsFollowTheTraceLevel) {
  struct tCase {
    int32_t TraceLevel;
    uint32_t LevelWord;
    bool Written;
  };
  const std::vector<tCase> cases = {
      {0, 0x0001, false},  {-1, 0x0080, true},    {-1, 0xFFFF, true},    {3, 0x0001, true},
      {3, 0x0004, true},   {3, 0x0008, false},    {3, 0x00010004, true},  // the user code does not count
      {1, 0x0002, false},  {5, 0x0010, true},     {3, 0x0000, false},    {16, 0xFFFF, true},
  };
  for (const tCase& c : cases) {
    EXPECT_EQ(supplier::LevelAllows(c.TraceLevel, c.LevelWord), c.Written) << c.TraceLevel << " " << c.LevelWord;
  }
}

}  // namespace
