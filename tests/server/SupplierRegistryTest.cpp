// The supplier registry, its notices, the liveness sweep and the poll, against a scripted clock and push.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <stdexcept>
#include <ostream>
#include <string>
#include <vector>

#include "platform/os/Os.h"
#include "server/SupplierRegistry.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct tLogged {
  uint32_t LevelWord;
  int32_t Line;
  std::string Message;
  friend bool operator==(const tLogged&, const tLogged&) = default;
};

struct tPushed {
  uint32_t SupplierID;
  int32_t Level;
  std::string Settings;
  std::string ExceptionSettings;
  friend bool operator==(const tPushed&, const tPushed&) = default;
};

// What GetNextSupplierChange handed out, read before the next call.
struct tTaken {
  uint32_t ProcessID;
  uint32_t SupplierID;
  std::string SupplierName;
  friend bool operator==(const tTaken&, const tTaken&) = default;
};

class SupplierRegistryTest : public ::testing::Test {
 protected:
  uint32_t now_ = 100000;
  std::vector<tLogged> logged_;
  std::vector<tPushed> pushed_;
  std::map<uint32_t, int32_t> answers_;  // push status per supplier id; 0 when absent
  tRegistryLock lock_;
  tSupplierRegistry registry_{lock_, [this] { return now_; },
                              [this](uint32_t LevelWord, int32_t Line, const std::string& Message) {
                                logged_.push_back({LevelWord, Line, Message});
                              }};

  tApplyTraceSettings push() {
    return [this](uint32_t SupplierID, int32_t Level, const std::string& Settings, const std::string& Exceptions) {
      pushed_.push_back({SupplierID, Level, Settings, Exceptions});
      auto answer = answers_.find(SupplierID);
      return answer == answers_.end() ? 0 : answer->second;
    };
  }

  void reg(uint32_t Pid, uint32_t Sid, const std::string& Name = "Lib", int32_t Level = 3) {
    EXPECT_EQ(registry_.RegisterSupplier(Pid, Name, Sid, Level, "aux1", "settings", "aux2"), 0);
  }

  std::optional<tTaken> take() {
    const tTraceRec* copy = registry_.GetNextSupplierChange();
    if (copy == nullptr) return std::nullopt;
    return tTaken{copy->ProcessID, copy->SupplierID, copy->SupplierID != 0 ? copy->SupplierName : ""};
  }

  std::vector<tTaken> takeAll() {
    std::vector<tTaken> all;
    for (int guard = 0; guard < 1000; ++guard) {
      auto next = take();
      if (!next) break;
      all.push_back(*next);
    }
    return all;
  }

  bool registered(uint32_t Pid) { return registry_.RegistrySnapshot().count(Pid) != 0; }
};

TEST_F(SupplierRegistryTest, RegistrationIsStoredAndAnnounced) {
  ASSERT_EQ(registry_.RegisterSupplier(42, "ZorvClient", 7, -1, "first aux", "-l2", "second aux"), 0);

  const tTraceRec rec = registry_.RegistrySnapshot().at(42).at(7);
  EXPECT_EQ(rec.ProcessID, 42u);
  EXPECT_EQ(rec.SupplierID, 7u);
  EXPECT_EQ(rec.SupplierName, "ZorvClient");
  EXPECT_EQ(rec.Level, -1);
  EXPECT_EQ(rec.AuxText1, "first aux");
  EXPECT_EQ(rec.Settings, "-l2");
  EXPECT_EQ(rec.AuxText2, "second aux");
  EXPECT_EQ(rec.ExceptionSettings, "");
  EXPECT_FALSE(rec.Changed);
  EXPECT_THAT(registry_.ChangesSnapshot(), ElementsAre(tSupplierRegInfo{42, 7}));
  EXPECT_THAT(registry_.PollTicksSnapshot(), IsEmpty());

  const tTraceRec* copy = registry_.GetNextSupplierChange();
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->ProcessID, 42u);
  EXPECT_EQ(copy->SupplierID, 7u);
  EXPECT_EQ(copy->SupplierName, "ZorvClient");
  EXPECT_EQ(copy->Level, -1);
  EXPECT_EQ(copy->Settings, "-l2");
  EXPECT_EQ(copy->AuxText1, "first aux");
  EXPECT_EQ(registry_.GetNextSupplierChange(), nullptr);
  EXPECT_TRUE(registered(42)) << "a registration notice does not remove anything";
}

TEST_F(SupplierRegistryTest, ReRegistrationOverwritesKeepsExceptionsAndDropsPendingChange) {
  reg(5, 7, "Old", 0);
  registry_.SetSupplierSettings(5, 7, -1, "-x", "station 4");
  ASSERT_TRUE(registry_.RegistrySnapshot().at(5).at(7).Changed);

  ASSERT_EQ(registry_.RegisterSupplier(5, "New", 7, 3, "a1", "-s", "a2"), 0);
  const tTraceRec rec = registry_.RegistrySnapshot().at(5).at(7);
  EXPECT_EQ(rec.SupplierName, "New");
  EXPECT_EQ(rec.Level, 3);
  EXPECT_EQ(rec.Settings, "-s");
  EXPECT_EQ(rec.ExceptionSettings, "station 4");
  EXPECT_FALSE(rec.Changed);
  EXPECT_THAT(takeAll(), ElementsAre(tTaken{5, 7, "New"}, tTaken{5, 7, "New"}));

  EXPECT_EQ(registry_.PollSupplier(5, push()), 1);
  EXPECT_THAT(pushed_, IsEmpty()) << "the registration's values win over the pending change";
}

TEST_F(SupplierRegistryTest, SupplierZeroRegistersButReadsAsRemoval) {
  reg(9, 0, "Zero");
  reg(9, 4, "Four");
  EXPECT_EQ(registry_.RegistrySnapshot().at(9).count(0), 1u);
  // (9,0) is taken first and removes the whole entry, so (9,4) then finds nothing.
  EXPECT_THAT(takeAll(), ElementsAre(tTaken{9, 0, ""}, tTaken{9, 0, ""}));
  EXPECT_FALSE(registered(9));
}

TEST_F(SupplierRegistryTest, NoticesOfADroppedProcessThatRegisteredAgain) {
  reg(3, 1);
  EXPECT_THAT(takeAll(), ElementsAre(tTaken{3, 1, "Lib"}));
  reg(3, 1);  // queued (3,1)
  answers_[1] = 5;
  registry_.SetSupplierLevel(3, 1, -1);
  EXPECT_EQ(registry_.PollSupplier(3, push()), 0);  // dropped: queued (3,0)
  reg(3, 2, "Two");  // queued (3,2), a new entry without supplier 1
  ASSERT_THAT(registry_.ChangesSnapshot(),
              ElementsAre(tSupplierRegInfo{3, 1}, tSupplierRegInfo{3, 0}, tSupplierRegInfo{3, 2}));

  EXPECT_THAT(take(), ::testing::Optional(tTaken{3, 0, ""})) << "supplier 1 is not in the new entry";
  EXPECT_TRUE(registered(3));
  EXPECT_THAT(take(), ::testing::Optional(tTaken{3, 0, ""}));
  EXPECT_FALSE(registered(3)) << "the removal notice takes the new entry with it";
  EXPECT_THAT(take(), ::testing::Optional(tTaken{3, 0, ""}));
  EXPECT_EQ(registry_.PollSupplier(3, push()), 0) << "the supplier learns it from its next poll";
}

TEST_F(SupplierRegistryTest, RemovalCopyKeepsThePreviousFieldsButOnlyIdsCount) {
  reg(8, 2, "Named");
  const tTraceRec* first = registry_.GetNextSupplierChange();
  ASSERT_NE(first, nullptr);
  registry_.SetSupplierLevel(8, 2, 0);
  answers_[2] = 1;
  registry_.PollSupplier(8, push());
  const tTraceRec* second = registry_.GetNextSupplierChange();
  ASSERT_EQ(second, first) << "one buffer for every call";
  EXPECT_EQ(second->ProcessID, 8u);
  EXPECT_EQ(second->SupplierID, 0u);
  EXPECT_EQ(second->SupplierName, "Named");
}

struct tSweepCase {
  const char* Name;
  friend void PrintTo(const tSweepCase& Case, std::ostream* Out) { *Out << Case.Name; }
  uint32_t LastPoll;
  uint32_t Now;
  bool Swept;
};

class SweepTest : public SupplierRegistryTest, public ::testing::WithParamInterface<tSweepCase> {};

TEST_P(SweepTest, SilenceOfMoreThan5000msDropsTheProcess) {
  const tSweepCase& c = GetParam();
  reg(11, 1);
  takeAll();
  now_ = c.LastPoll;
  ASSERT_EQ(registry_.PollSupplier(11, push()), 1);
  now_ = c.Now;
  if (c.Swept) {
    EXPECT_THAT(take(), ::testing::Optional(tTaken{11, 0, ""}));
    EXPECT_FALSE(registered(11));
    EXPECT_THAT(registry_.PollTicksSnapshot(), IsEmpty());
  } else {
    EXPECT_EQ(take(), std::nullopt);
    EXPECT_TRUE(registered(11));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ticks, SweepTest,
    ::testing::Values(tSweepCase{"Fresh", 1000, 1000, false}, tSweepCase{"Exactly5000", 1000, 6000, false},
                      tSweepCase{"Just5001", 1000, 6001, true}, tSweepCase{"Long", 1000, 900000, true},
                      tSweepCase{"WrapExactly5000", 0xFFFFF000u, 0x00000388u, false},
                      tSweepCase{"WrapJust5001", 0xFFFFF000u, 0x00000389u, true}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(SupplierRegistryTest, NoSweepWhileNoticesArePending) {
  reg(1, 1);
  takeAll();
  registry_.PollSupplier(1, push());
  reg(2, 1);  // pending notice
  now_ += 60000;
  EXPECT_THAT(take(), ::testing::Optional(tTaken{2, 1, "Lib"}));
  EXPECT_TRUE(registered(1)) << "the sweep waits for an empty queue";
  EXPECT_THAT(take(), ::testing::Optional(tTaken{1, 0, ""}));
}

TEST_F(SupplierRegistryTest, SilentProcessesAreDroppedInAscendingOrder) {
  for (uint32_t pid : {300u, 7u, 12u}) reg(pid, 1);
  reg(50, 1);  // registered, never polled: never swept
  takeAll();
  for (uint32_t pid : {300u, 7u, 12u}) registry_.PollSupplier(pid, push());
  now_ += 5001;
  EXPECT_THAT(take(), ::testing::Optional(tTaken{7, 0, ""}));
  EXPECT_THAT(registry_.ChangesSnapshot(), ElementsAre(tSupplierRegInfo{12, 0}, tSupplierRegInfo{300, 0}));
  EXPECT_THAT(take(), ::testing::Optional(tTaken{12, 0, ""}));
  EXPECT_THAT(take(), ::testing::Optional(tTaken{300, 0, ""}));
  EXPECT_EQ(take(), std::nullopt);
  now_ += 1000000;
  EXPECT_EQ(take(), std::nullopt);
  EXPECT_TRUE(registered(50));
}

TEST_F(SupplierRegistryTest, GetSupplierRecCopiesOrGivesNull) {
  reg(4, 2, "Gateway", -1);
  registry_.SetSupplierSettings(4, 2, -1, "-f C:\\tel", "ex");
  const tTraceRec* rec = registry_.GetSupplierRec(4, 2);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->ProcessID, 4u);
  EXPECT_EQ(rec->SupplierID, 2u);
  EXPECT_EQ(rec->SupplierName, "Gateway");
  EXPECT_EQ(rec->Level, -1);
  EXPECT_EQ(rec->Settings, "-f C:\\tel");
  EXPECT_EQ(rec->ExceptionSettings, "ex");
  EXPECT_EQ(rec->AuxText1, "aux1");
  EXPECT_EQ(registry_.GetSupplierRec(4, 3), nullptr) << "process there, supplier not";
  EXPECT_EQ(registry_.GetSupplierRec(5, 2), nullptr);
}

TEST_F(SupplierRegistryTest, SetOperationsOnUnknownSuppliersChangeNothing) {
  reg(4, 2);
  takeAll();
  const auto before = registry_.RegistrySnapshot();
  registry_.SetSupplierLevel(4, 9, -1);
  registry_.SetSupplierLevel(99, 2, -1);
  registry_.SetSupplierSettings(4, 9, -1, "s", "e");
  registry_.SetSupplierSettings(99, 2, -1, "s", "e");
  const auto after = registry_.RegistrySnapshot();
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after.at(4).size(), 1u);
  EXPECT_FALSE(after.at(4).at(2).Changed);
  EXPECT_EQ(after.at(4).at(2).Level, before.at(4).at(2).Level);
  EXPECT_THAT(registry_.ChangesSnapshot(), IsEmpty());
}

// ---- Poll and push -----------------------------------------------------------------------------------

struct tPollCase {
  const char* Name;
  friend void PrintTo(const tPollCase& Case, std::ostream* Out) { *Out << Case.Name; }
  std::vector<uint32_t> Changed;     // suppliers of process 77 (3 and 9 registered) given a new level
  std::map<uint32_t, int32_t> Answers;
  std::vector<uint32_t> Pushed;      // expected push order
  int32_t Result;
  std::string Message;               // expected log text, empty for none
};

class PollTest : public SupplierRegistryTest, public ::testing::WithParamInterface<tPollCase> {};

TEST_P(PollTest, PushesPendingChangesInSupplierOrder) {
  const tPollCase& c = GetParam();
  reg(77, 9, "Nine", 0);
  reg(77, 3, "Three", 0);
  takeAll();
  for (uint32_t sid : c.Changed) registry_.SetSupplierLevel(77, sid, -1);
  answers_ = c.Answers;
  now_ = 424242;

  EXPECT_EQ(registry_.PollSupplier(77, push()), c.Result);

  std::vector<uint32_t> order;
  for (const tPushed& p : pushed_) order.push_back(p.SupplierID);
  EXPECT_EQ(order, c.Pushed);
  EXPECT_EQ(registry_.PollTicksSnapshot(), (tLastPollTicks{{77, 424242}})) << "recorded on every path";
  if (c.Message.empty()) {
    EXPECT_THAT(logged_, IsEmpty());
    EXPECT_THAT(registry_.ChangesSnapshot(), IsEmpty());
    const tSupplierRegistryMap after = registry_.RegistrySnapshot();
    for (const auto& [sid, rec] : after.at(77)) EXPECT_FALSE(rec.Changed) << sid;
  } else {
    EXPECT_THAT(logged_, ElementsAre(tLogged{0x0001, 179, c.Message}));
    EXPECT_THAT(registry_.ChangesSnapshot(), ElementsAre(tSupplierRegInfo{77, 0}));
    EXPECT_FALSE(registered(77));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PollTest,
    ::testing::Values(
        tPollCase{"NothingChanged", {}, {}, {}, 2, ""},
        tPollCase{"BothChanged", {9, 3}, {}, {3, 9}, 2, ""},
        tPollCase{"OnlyNine", {9}, {}, {9}, 2, ""},
        tPollCase{"ThreeRefuses", {3, 9}, {{3, 5}}, {3}, 0,
                  "Supplier: 3, Broken by client process, error code:5"},
        tPollCase{"NineCallFails", {3, 9}, {{9, 1726}}, {3, 9}, 0,
                  "Supplier: 9, Broken by client process, error code:6BE"},
        tPollCase{"NegativeAnswer", {3}, {{3, -1}}, {3}, 0,
                  "Supplier: 3, Broken by client process, error code:FFFFFFFF"},
        tPollCase{"RefusalOfUnchangedIsNeverAsked", {9}, {{3, 5}}, {9}, 2, ""}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(SupplierRegistryTest, PushCarriesTheRecordsValues) {
  reg(6, 1, "Client", 3);
  registry_.SetSupplierSettings(6, 1, 0, "-l1 -t", "S1,S2");
  EXPECT_EQ(registry_.PollSupplier(6, push()), 1);
  EXPECT_THAT(pushed_, ElementsAre(tPushed{1, 0, "-l1 -t", "S1,S2"}));
  pushed_.clear();
  EXPECT_EQ(registry_.PollSupplier(6, push()), 1);
  EXPECT_THAT(pushed_, IsEmpty()) << "a pushed change is not pushed again";
}

TEST_F(SupplierRegistryTest, PollOfUnknownProcessChangesNothing) {
  EXPECT_EQ(registry_.PollSupplier(1234, push()), 0);
  EXPECT_THAT(pushed_, IsEmpty());
  EXPECT_THAT(registry_.PollTicksSnapshot(), IsEmpty());
  EXPECT_EQ(take(), std::nullopt);
}

TEST_F(SupplierRegistryTest, DroppedProcessIsSweptAgainAfterItsLastPoll) {
  reg(21, 1);
  takeAll();
  registry_.SetSupplierLevel(21, 1, -1);
  answers_[1] = 1726;
  now_ = 1000;
  EXPECT_EQ(registry_.PollSupplier(21, push()), 0);
  EXPECT_THAT(take(), ::testing::Optional(tTaken{21, 0, ""}));
  now_ = 3000;
  EXPECT_EQ(registry_.PollSupplier(21, push()), 0);
  EXPECT_EQ(registry_.PollTicksSnapshot().at(21), 1000u) << "polls of an unregistered process renew nothing";
  now_ = 6000;
  EXPECT_EQ(take(), std::nullopt);
  now_ = 6001;
  EXPECT_THAT(take(), ::testing::Optional(tTaken{21, 0, ""})) << "second removal notice, no entry behind it";
  EXPECT_EQ(take(), std::nullopt);
}

TEST_F(SupplierRegistryTest, LockIsReleasedWhenThePushThrows) {
  reg(2, 1);
  registry_.SetSupplierLevel(2, 1, 0);
  auto throwing = [](uint32_t, int32_t, const std::string&, const std::string&) -> int32_t {
    throw std::runtime_error("push broke");
  };
  EXPECT_THROW(registry_.PollSupplier(2, throwing), std::runtime_error);
  // Every operation takes the lock again; a lock left held would hang here.
  reg(2, 2);
  EXPECT_NE(registry_.GetSupplierRec(2, 2), nullptr);
}

// ---- Process names -----------------------------------------------------------------------------------

TEST(GetProcessNameTest, OwnProcessGivesTheExecutablesFileName) {
#ifdef _WIN32
  const std::string expected = "server_registry_test.exe";
#else
  const std::string expected = "server_registry_test";
#endif
  EXPECT_EQ(GetProcessName(lw::os::GetCurrentProcessId()), expected);
}

TEST(GetProcessNameTest, MissingProcessGivesThePidText) {
  EXPECT_EQ(GetProcessName(4294967290u), "PID: 4294967290");
}

TEST(GetProcessNameTest, FileNamePartOfModulePaths) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"C:\\Program Files\\Zorv\\ZorvClient.exe", "ZorvClient.exe"},
      {"C:ZorvClient.exe", "ZorvClient.exe"},
      {"\\\\server\\share\\x.y.exe", "x.y.exe"},
      {"plain.exe", "plain.exe"},
      {"C:\\folder\\", ""},
  };
  for (const auto& [path, name] : cases) EXPECT_EQ(ModuleFileNamePart(path), name) << path;
}

}  // namespace
