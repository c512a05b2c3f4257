// The reader against the scripted trace API: session control decisions with their calls and blocks,
// log-file search, replay order and budget, the live loop, the status accessors and the shutdown.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "capture/thruETWReaderThread.h"
#include "platform/os/FileSystem.h"
#include "server/LogItems.h"
#include "tests/capture/ScriptedTraceApi.h"

namespace fs = std::filesystem;
using namespace lw::etw;
using lw::etw::test::tCall;
using lw::etw::test::tScriptedTraceApi;

namespace {

bool WaitUntil(const std::function<bool()>& Done) {
  for (int i = 0; i < 4000; ++i) {  // a bound for a broken build, not a timing check
    if (Done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return Done();
}

std::vector<tLogItem> TakeLogItems() {
  tLogItemsLock lock(LogItems);
  std::vector<tLogItem> out(LogItems.begin(), LogItems.end());
  LogItems.clear();
  return out;
}

std::vector<tCall> Only(const std::vector<tCall>& Calls, const std::string& Name) {
  std::vector<tCall> out;
  for (const auto& c : Calls) {
    if (c.Name == Name) out.push_back(c);
  }
  return out;
}

class TempFolder {
 public:
  TempFolder() {
    static int n = 0;
    path_ = fs::temp_directory_path() / ("lwreader-" + std::to_string(lw::os::GetCurrentProcessId()) + "-" +
                                         std::to_string(++n));
    fs::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  // The folder with its trailing separator, as the program's folder is given.
  std::string Folder() const { return path_.string() + std::string(1, lw::os::PathSeparator()); }
  fs::path Make(const std::string& Name, uint64_t Size) const {
    fs::path p = path_ / Name;
    std::ofstream(p, std::ios::binary).put('x');
    fs::resize_file(p, Size);
    return p;
  }

 private:
  fs::path path_;
};

class Reader : public ::testing::Test {
 protected:
  void SetUp() override {
    TakeLogItems();
    LevelFilter = 1;
    CurrentLogFile = folder_.Folder() + "QD_VELDDLL.etl";
  }
  // A reader that has joined or started and is consuming the live session.
  void RunToLive(tETWReaderThread& R) {
    R.Resume();
    ASSERT_TRUE(WaitUntil([&] { return api_.InLive(); }));
  }
  TempFolder folder_;
  tScriptedTraceApi api_;
};

// A session as a query reports it.
auto SessionWith(ULONG Mode, const std::string& File) {
  return [Mode, File](tPropertiesBlock& B) {
    B.Props.LogFileMode = Mode;
    std::strncpy(B.LoggerName, kSessionName, sizeof B.LoggerName - 1);
    std::memset(B.LogFileName, 0, sizeof B.LogFileName);
    std::memcpy(B.LogFileName, File.data(), std::min(File.size(), sizeof B.LogFileName));
  };
}

TEST_F(Reader, PropertiesBlocksHaveTheSessionLayoutAndRefuseNamesTooLongForTheirFields) {
  auto b = tETWReaderThread::BuildProperties(kSessionName, "C:\\x\\QD_VELDDLL.etl");
  const EVENT_TRACE_PROPERTIES& p = b->Props;
  EXPECT_EQ(p.Wnode.BufferSize, 2168u);
  EXPECT_EQ(p.Wnode.Guid, *lw::tGuid::Parse("DD61CD53-BB41-4B3F-A881-BA7D75DE22E9"));
  EXPECT_EQ(p.Wnode.ClientContext, 1u);
  EXPECT_EQ(p.Wnode.Flags, 0x20000u);
  EXPECT_EQ(p.BufferSize, 16u);
  EXPECT_EQ(p.MinimumBuffers, 4u);
  EXPECT_EQ(p.MaximumBuffers, 32u);
  EXPECT_EQ(p.MaximumFileSize, 10u);
  EXPECT_EQ(p.LogFileMode, 0x1000102u);
  EXPECT_EQ(p.LoggerNameOffset, 120u);
  EXPECT_EQ(p.LogFileNameOffset, 1144u);
  EXPECT_EQ(p.FlushTimer + p.EnableFlags + p.NumberOfBuffers + p.EventsLost + p.Wnode.ProviderId, 0u);
  EXPECT_EQ(p.Wnode.HistoricalContext, 0u);
  EXPECT_STREQ(b->LoggerName, "qdEventLogSession_1");
  EXPECT_STREQ(b->LogFileName, "C:\\x\\QD_VELDDLL.etl");
  // The bytes between the structure and the first name stay zero (the structure fills them exactly).
  static_assert(sizeof(EVENT_TRACE_PROPERTIES) == 120);

  EXPECT_EQ(tETWReaderThread::SetPropertyNames(*b, "n", std::string(1023, 'f')), ERROR_SUCCESS);
  EXPECT_EQ(std::strlen(b->LogFileName), 1023u);
  EXPECT_EQ(tETWReaderThread::SetPropertyNames(*b, "n", std::string(1024, 'g')), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(tETWReaderThread::SetPropertyNames(*b, std::string(1024, 'h'), "f"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(b->LoggerName[0], 'n');  // unchanged by the refusals
  EXPECT_EQ(b->LogFileName[0], 'f');
  EXPECT_EQ(b->LogFileName[1], 'f');
}

TEST_F(Reader, StatusNames) {
  const std::pair<uint32_t, const char*> names[] = {
      {0, "SUCCESS"},        {5, "ACCESS_DENIED"},          {6, "INVALID_HANDLE"},
      {24, "BAD_LENGTH"},    {87, "INVALID_PARAMETER"},     {112, "DISK_FULL"},
      {161, "BAD_PATHNAME"}, {183, "ALREADY_EXISTS"},       {234, "MORE_DATA IS AVAILABLE"},
      {998, "NOACCESS"},     {1223, "CANCELLED"},           {1901, "INVALID_TIME"},
      {4201, "INSTANCE_NOT_FOUND"}, {4206, "WMI_ALREADY_ENABLED"}, {2, "Unknown"}, {0xFFFFFFFF, "Unknown"}};
  for (const auto& [code, name] : names) EXPECT_EQ(ETWStatusName(code), name) << code;
}

TEST_F(Reader, AbsentSessionIsStartedWithSessionPropsEnabledAndStoppedAtTheEnd) {
  api_.EnableResult = ERROR_WMI_ALREADY_ENABLED;
  {
    tETWReaderThread reader(api_, folder_.Folder());
    EXPECT_EQ(reader.StartSession(), ERROR_WMI_ALREADY_ENABLED);  // the enable's result is returned
    EXPECT_EQ(reader.SessionHandle(), tScriptedTraceApi::kStartedHandle);
    auto calls = api_.Calls();
    ASSERT_EQ(api_.Names(), (std::vector<std::string>{"QueryTraceA", "StartTraceA", "EnableTrace"}));
    // The query goes out with both names emptied.
    EXPECT_EQ(calls[0].Session, kSessionName);
    EXPECT_EQ(calls[0].Handle, 0u);
    EXPECT_STREQ(calls[0].Block.LoggerName, "");
    EXPECT_STREQ(calls[0].Block.LogFileName, "");
    // The start carries the session name and the window's log file, circular and real time.
    EXPECT_EQ(calls[1].Session, kSessionName);
    EXPECT_STREQ(calls[1].Block.LoggerName, kSessionName);
    EXPECT_EQ(calls[1].Block.LogFileName, folder_.Folder() + "QD_VELDDLL.etl");
    EXPECT_EQ(calls[1].Block.Props.LogFileMode, 0x1000102u);
    EXPECT_EQ(calls[2].Code, 1u);
    EXPECT_EQ(calls[2].Flags, 0u);
    EXPECT_EQ(calls[2].Level, 3u);
    EXPECT_EQ(calls[2].Guid, kSessionGuid);
    EXPECT_EQ(calls[2].Handle, tScriptedTraceApi::kStartedHandle);
    // What the platform wrote back into the started block did not reach SessionProps.
    EXPECT_EQ(reader.SessionPropsCopy().Props.Wnode.HistoricalContext, 0u);
  }
  // The destructor stops the session it started, with a copy of SessionProps.
  auto stops = Only(api_.Calls(), "ControlTraceA");
  ASSERT_EQ(stops.size(), 1u);
  EXPECT_EQ(stops[0].Code, EVENT_TRACE_CONTROL_STOP);
  EXPECT_EQ(stops[0].Handle, 0u);
  EXPECT_STREQ(stops[0].Block.LoggerName, kSessionName);
  EXPECT_EQ(api_.Count("UpdateTraceA"), 0u);
}

TEST_F(Reader, AFailedStartIsReturnedWithoutEnable) {
  api_.StartResults = {ERROR_DISK_FULL};
  tETWReaderThread reader(api_, folder_.Folder());
  EXPECT_EQ(reader.StartSession(), ERROR_DISK_FULL);
  EXPECT_EQ(reader.Status.load(), ERROR_DISK_FULL);
  EXPECT_EQ(reader.SessionHandle(), 0u);
  EXPECT_EQ(api_.Count("EnableTrace"), 0u);
}

TEST_F(Reader, RealTimeSessionIsJoinedWhateverEnableSaysAndOnlyItsRealTimeIsSwitchedOffAtTheEnd) {
  api_.QueryDefault = ERROR_SUCCESS;
  api_.QueryFill = SessionWith(0x1000102, folder_.Folder() + "QD_VELDDLL.etl");
  api_.EnableResult = ERROR_ACCESS_DENIED;
  {
    tETWReaderThread reader(api_, folder_.Folder());
    EXPECT_EQ(reader.StartSession(), ERROR_SUCCESS);
    EXPECT_EQ(reader.Status.load(), ERROR_ACCESS_DENIED);  // recorded, not returned
    EXPECT_EQ(reader.SessionHandle(), 0u);
    EXPECT_EQ(api_.Names(), (std::vector<std::string>{"QueryTraceA", "GetTraceLoggerHandle", "EnableTrace"}));
    EXPECT_EQ(Only(api_.Calls(), "EnableTrace")[0].Handle, tScriptedTraceApi::kLoggerHandle);
  }
  auto updates = Only(api_.Calls(), "UpdateTraceA");
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].Block.Props.LogFileNameOffset, 0u);
  EXPECT_EQ(updates[0].Block.Props.LogFileMode, 0u);
  EXPECT_STREQ(updates[0].Block.LoggerName, kSessionName);
  EXPECT_EQ(api_.Count("ControlTraceA"), 0u);
}

TEST_F(Reader, SessionWithoutRealTimeInAnotherFolderIsJoinedAndSwitchedToRealTime) {
  const std::string other = "/var/log/other/QD_VELDDLL.etl";
  api_.QueryDefault = ERROR_SUCCESS;
  api_.QueryFill = SessionWith(0x1000002, other);
  api_.UpdateResult = ERROR_NOACCESS;
  tETWReaderThread reader(api_, folder_.Folder());
  EXPECT_EQ(reader.StartSession(), ERROR_NOACCESS);
  EXPECT_EQ(reader.Status.load(), ERROR_NOACCESS);
  EXPECT_EQ(CurrentLogFile, other);
  EXPECT_EQ(reader.SessionPropsCopy().LogFileName, other);
  auto updates = Only(api_.Calls(), "UpdateTraceA");
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].Session, kSessionName);
  EXPECT_EQ(updates[0].Handle, 0u);
  EXPECT_EQ(updates[0].Block.Props.LogFileMode, 0x100u);
  EXPECT_EQ(updates[0].Block.Props.LogFileNameOffset, 0u);
  EXPECT_EQ(updates[0].Block.Props.LoggerNameOffset, 120u);
  EXPECT_EQ(updates[0].Block.LogFileName, other);  // a copy of the rewritten SessionProps
  EXPECT_EQ(updates[0].Block.Props.MaximumBuffers, 32u);
}

TEST_F(Reader, QueriedFileNamesThatAreEmptyOrDoNotFitLeaveTheLogFileAsItWas) {
  const std::string before = CurrentLogFile;
  for (const std::string& reported : {std::string(), std::string(1024, 'x')}) {
    api_.QueryDefault = ERROR_SUCCESS;
    api_.QueryFill = SessionWith(0x1000102, reported);
    tETWReaderThread reader(api_, folder_.Folder());
    EXPECT_EQ(reader.StartSession(), ERROR_SUCCESS);
    EXPECT_EQ(CurrentLogFile, before);
    EXPECT_EQ(reader.SessionPropsCopy().LogFileName, before);
  }
}

TEST_F(Reader, QueryFailuresOtherThanAbsentAreReturnedAndStartNothing) {
  for (ULONG status : {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_BAD_LENGTH}) {
    tScriptedTraceApi api;
    api.QueryDefault = status;
    tETWReaderThread reader(api, folder_.Folder());
    EXPECT_EQ(reader.StartSession(), status);
    EXPECT_EQ(reader.Status.load(), status);
    EXPECT_EQ(api.Names(), (std::vector<std::string>{"QueryTraceA"}));
  }
}

TEST_F(Reader, ALogFilePathTooLongForItsFieldIsNeverStartedWith) {
  CurrentLogFile = std::string(1100, 'p');
  tETWReaderThread reader(api_, folder_.Folder());
  EXPECT_EQ(reader.Status.load(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(reader.StartSession(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(api_.Count("StartTraceA"), 0u);
}

TEST_F(Reader, FlushUsesACopyOfSessionPropsAndRecordsItsResult) {
  tETWReaderThread reader(api_, folder_.Folder());
  api_.FlushResult = ERROR_INVALID_TIME;
  EXPECT_EQ(reader.FlushSession(), ERROR_INVALID_TIME);
  EXPECT_EQ(reader.Status.load(), ERROR_INVALID_TIME);
  api_.FlushResult = ERROR_SUCCESS;
  EXPECT_EQ(reader.FlushSession(), ERROR_SUCCESS);
  auto flushes = Only(api_.Calls(), "ControlTraceA");
  ASSERT_EQ(flushes.size(), 2u);
  EXPECT_EQ(flushes[0].Code, EVENT_TRACE_CONTROL_FLUSH);
  EXPECT_EQ(flushes[0].Handle, 0u);
  EXPECT_EQ(flushes[0].Session, kSessionName);
  EXPECT_STREQ(flushes[0].Block.LoggerName, kSessionName);
  EXPECT_EQ(flushes[0].Block.Props.LogFileMode, 0x1000102u);
  // What the platform writes back into the flushed block does not drift into SessionProps.
  EXPECT_EQ(reader.SessionPropsCopy().Props.EventsLost, 0u);
  EXPECT_EQ(flushes[1].Block.Props.EventsLost, 0u);
}

TEST_F(Reader, FailuresAreListedOncePerDistinctStatusInARow) {
  tETWReaderThread reader(api_, folder_.Folder());
  for (ULONG s : {ERROR_INVALID_TIME, ERROR_INVALID_TIME, ERROR_INVALID_TIME, ERROR_DISK_FULL, ERROR_DISK_FULL,
                  ERROR_SUCCESS, ERROR_DISK_FULL}) {
    api_.FlushResult = s;
    reader.FlushSession();
  }
  auto items = TakeLogItems();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_NE(items[0].Message.find("INVALID_TIME"), std::string::npos);
  EXPECT_NE(items[1].Message.find("DISK_FULL"), std::string::npos);
  EXPECT_NE(items[2].Message.find("DISK_FULL"), std::string::npos);  // after a success it counts anew
  for (const auto& i : items) {
    EXPECT_EQ(i.LevelWord, 1u);
    EXPECT_EQ(i.Category, 0);
    EXPECT_EQ(i.File, "thruETWReaderThread");
    EXPECT_EQ(i.ProcessID, lw::os::GetCurrentProcessId());
  }
}

TEST_F(Reader, FindLogFilesListsMainThenNumberedOnlyWhenTheMainFileExists) {
  std::vector<tFileInfo> list;
  folder_.Make("QD_VELDdll_001.etl", 10);
  EXPECT_FALSE(FindLogFiles(list, folder_.Folder()));
  EXPECT_TRUE(list.empty());  // numbered files alone are not replayed

  // The session writes "QD_VELDDLL.etl"; the search for "QD_VELDdll.etl" finds it.
  folder_.Make("QD_VELDDLL.etl", 20);
  list.push_back({"stale", {}, 1});
  EXPECT_TRUE(FindLogFiles(list, folder_.Folder()));
  ASSERT_EQ(list.size(), 2u);
  fs::create_directory(fs::path(folder_.Folder()) / "QD_VELDdll_dir.etl");  // a folder matching the pattern
  folder_.Make("QD_VELDdll_002.etl", 30);
  folder_.Make("QD_VELDdll_1234.etl", 40);  // four do not
  ASSERT_TRUE(FindLogFiles(list, folder_.Folder()));
  std::vector<std::string> names;
  for (const auto& f : list) names.push_back(f.Name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"QD_VELDDLL.etl", "QD_VELDdll_001.etl", "QD_VELDdll_002.etl"}));
  for (const auto& f : list) EXPECT_GT(f.Size, 0u);

  fs::remove(fs::path(folder_.Folder()) / "QD_VELDdll_001.etl");
  fs::remove(fs::path(folder_.Folder()) / "QD_VELDdll_002.etl");
  fs::remove(fs::path(folder_.Folder()) / "QD_VELDdll_dir.etl");
  EXPECT_FALSE(FindLogFiles(list, folder_.Folder()));  // no numbered file: false, the main file kept
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].Size, 20u);
}

TEST_F(Reader, FindLogFilesSortsOldestFirstAtMillisecondResolutionKeepingSearchOrderForTies) {
  auto main = folder_.Make("QD_VELDdll.etl", 1);
  auto a = folder_.Make("QD_VELDdll_001.etl", 1);
  auto b = folder_.Make("QD_VELDdll_002.etl", 1);
  auto c = folder_.Make("QD_VELDdll_003.etl", 1);
  // A base time on a millisecond boundary of the file-time scale.
  auto base = fs::last_write_time(main);
  uint64_t rem = lw::os::FindFiles(folder_.Folder(), "QD_VELDdll.etl").at(0).LastWrite.Value % 10000;
  base -= std::chrono::duration_cast<fs::file_time_type::duration>(std::chrono::nanoseconds(rem * 100));
  auto at = [&](int Ms, int Us = 0) {
    return base + std::chrono::duration_cast<fs::file_time_type::duration>(std::chrono::milliseconds(Ms) +
                                                                           std::chrono::microseconds(Us));
  };
  fs::last_write_time(main, at(-5000));  // oldest
  fs::last_write_time(c, at(-1000));
  fs::last_write_time(a, at(0, 300));   // a and b less than a millisecond apart: equal
  fs::last_write_time(b, at(0, 700));

  std::vector<tFileInfo> list;
  ASSERT_TRUE(FindLogFiles(list, folder_.Folder()));
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].Name, "QD_VELDdll.etl");
  EXPECT_EQ(list[1].Name, "QD_VELDdll_003.etl");
  // The tie keeps the order in which the searches found the two.
  std::vector<std::string> found;
  for (const auto& f : lw::os::FindFiles(folder_.Folder(), "QD_VELDdll_???.etl")) {
    if (f.Name != "QD_VELDdll_003.etl") found.push_back(f.Name);
  }
  EXPECT_EQ((std::vector<std::string>{list[2].Name, list[3].Name}), found);
}

// The replay order of a run, as the opens of files show it.
std::vector<std::string> ReplayedFiles(tScriptedTraceApi& Api) {
  std::vector<std::string> out;
  for (const auto& c : Only(Api.Calls(), "OpenTraceA")) {
    if (!c.LogFileName.empty()) out.push_back(fs::path(c.LogFileName).filename().string());
  }
  return out;
}

TEST_F(Reader, ReplayTakesNewestFirstWhileTheBudgetIsNotReached) {
  constexpr uint64_t MiB = 1024 * 1024;
  auto a = folder_.Make("QD_VELDdll_001.etl", 3 * MiB);
  auto b = folder_.Make("QD_VELDdll_002.etl", 7 * MiB);
  auto main = folder_.Make("QD_VELDdll.etl", 4 * MiB);
  auto now = fs::last_write_time(main);
  fs::last_write_time(a, now - std::chrono::hours(2));
  fs::last_write_time(b, now - std::chrono::hours(1));
  api_.QueryDefault = ERROR_ACCESS_DENIED;  // no live phase
  std::vector<std::string> currentDuringReplay;
  api_.OnFile = [&](const std::string& Path, PEVENT_CALLBACK Callback) {
    EXPECT_EQ(Callback, &EventCallback);
    currentDuringReplay.push_back(CurrentLogFile);
    EXPECT_EQ(CurrentLogFile, Path);
    return ERROR_SUCCESS;
  };
  tETWReaderThread reader(api_, folder_.Folder());
  reader.Resume();
  ASSERT_TRUE(WaitUntil([&] { return api_.Count("QueryTraceA") == 1; }));
  EXPECT_EQ(ReplayedFiles(api_), (std::vector<std::string>{"QD_VELDdll.etl", "QD_VELDdll_002.etl"}));
  EXPECT_EQ(currentDuringReplay.size(), 2u);
  for (const auto& c : Only(api_.Calls(), "OpenTraceA")) {
    if (!c.LogFileName.empty()) {
      EXPECT_EQ(c.Mode, 2u);
    }
  }
  // Each file: one ProcessTrace on one handle with neither start nor end time; the previous is closed.
  auto calls = api_.Calls();
  auto process = Only(calls, "ProcessTrace");
  ASSERT_GE(process.size(), 2u);
  EXPECT_EQ(process[0].Code, 1u);
  EXPECT_EQ(process[0].Flags, 0u);
  EXPECT_EQ(Only(calls, "CloseTrace").front().Handle, process[0].Handle);
}

TEST_F(Reader, AFileOverTheBudgetIsReplayedWholeAndSameTimesReplayTheLaterFoundFirst) {
  folder_.Make("QD_VELDdll.etl", 50ull * 1024 * 1024);
  api_.QueryDefault = ERROR_ACCESS_DENIED;
  {
    tETWReaderThread reader(api_, folder_.Folder());
    reader.Resume();
    ASSERT_TRUE(WaitUntil([&] { return api_.Count("QueryTraceA") == 1; }));
    EXPECT_EQ(ReplayedFiles(api_), (std::vector<std::string>{"QD_VELDdll.etl"}));
  }

  TempFolder ties;
  auto m = ties.Make("QD_VELDdll.etl", 1);
  auto n1 = ties.Make("QD_VELDdll_001.etl", 1);
  auto n2 = ties.Make("QD_VELDdll_002.etl", 1);
  auto t = fs::last_write_time(m);
  for (const auto& p : {m, n1, n2}) fs::last_write_time(p, t);
  std::vector<tFileInfo> list;
  ASSERT_TRUE(FindLogFiles(list, ties.Folder()));
  tScriptedTraceApi api;
  api.QueryDefault = ERROR_ACCESS_DENIED;
  tETWReaderThread reader(api, ties.Folder());
  reader.Resume();
  ASSERT_TRUE(WaitUntil([&] { return api.Count("QueryTraceA") == 1; }));
  std::vector<std::string> expected;
  for (auto it = list.rbegin(); it != list.rend(); ++it) expected.push_back(it->Name);
  EXPECT_EQ(ReplayedFiles(api), expected);  // the list's last (found last) first
}

TEST_F(Reader, AReplayFileThatCannotBeOpenedEndsTheRunWithTheOpenError) {
  auto newer = folder_.Make("QD_VELDdll.etl", 10);
  auto older = folder_.Make("QD_VELDdll_001.etl", 10);
  fs::last_write_time(older, fs::last_write_time(newer) - std::chrono::hours(1));
  api_.FailOpenOf = folder_.Folder() + "QD_VELDdll.etl";
  api_.FailOpenError = ERROR_NOACCESS;
  tETWReaderThread reader(api_, folder_.Folder());
  reader.Resume();
  ASSERT_TRUE(WaitUntil([&] { return reader.GetStatus() == ERROR_NOACCESS; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // give a wrong reader room to go on
  EXPECT_EQ(ReplayedFiles(api_), (std::vector<std::string>{"QD_VELDdll.etl"}));
  EXPECT_EQ(api_.Count("QueryTraceA"), 0u);
  EXPECT_FALSE(reader.IsProcessing());
  EXPECT_FALSE(reader.Finished());  // idles until the stop request
}

TEST_F(Reader, AStopRequestDuringReplayTakesEffectAfterItAndSkipsTheLivePhase) {
  auto newer = folder_.Make("QD_VELDdll.etl", 10);
  auto older = folder_.Make("QD_VELDdll_001.etl", 10);
  fs::last_write_time(older, fs::last_write_time(newer) - std::chrono::hours(1));
  std::atomic<bool> inFirst{false};
  std::atomic<bool> release{false};
  api_.OnFile = [&](const std::string&, PEVENT_CALLBACK) {
    inFirst = true;
    WaitUntil([&] { return release.load(); });
    return ERROR_SUCCESS;
  };
  api_.CloseResult = ERROR_INVALID_HANDLE;
  tETWReaderThread reader(api_, folder_.Folder());
  reader.Resume();
  ASSERT_TRUE(WaitUntil([&] { return inFirst.load(); }));
  reader.Terminate();
  release = true;
  reader.WaitFor();
  EXPECT_EQ(ReplayedFiles(api_).size(), 2u);  // the replay ran to its end
  EXPECT_EQ(api_.Count("QueryTraceA"), 0u);
  auto closes = Only(api_.Calls(), "CloseTrace");
  ASSERT_EQ(closes.size(), 2u);  // the first file before the second, the second at the end
  EXPECT_EQ(reader.Status.load(), ERROR_INVALID_HANDLE);  // step 6 records CloseTrace's result
}

TEST_F(Reader, LiveConsumptionReportsZeroWhileRunningAndRestartsTheSessionWhenItEnds) {
  api_.FlushResult = ERROR_INVALID_TIME;
  api_.LiveOpenErrors = {0, ERROR_INVALID_HANDLE};
  tETWReaderThread reader(api_, folder_.Folder());
  RunToLive(reader);
  EXPECT_TRUE(reader.IsProcessing());
  EXPECT_EQ(reader.FlushSession(), ERROR_INVALID_TIME);
  EXPECT_EQ(reader.GetStatus(), 0u);  // a failed flush does not show while consuming
  auto open = Only(api_.Calls(), "OpenTraceA");
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(open[0].LoggerName, kSessionName);
  EXPECT_EQ(open[0].LogFileName, "");
  EXPECT_EQ(open[0].Mode, 0x100u);

  // The session is stopped from outside: the consumption ends, the reader starts it again; that open
  // fails, which ends the live phase with the open's error.
  api_.EndLive(ERROR_SUCCESS);
  ASSERT_TRUE(WaitUntil([&] { return reader.GetStatus() == ERROR_INVALID_HANDLE; }));
  EXPECT_FALSE(reader.IsProcessing());
  EXPECT_EQ(api_.Count("StartTraceA"), 2u);
  EXPECT_EQ(api_.Count("QueryTraceA"), 2u);
  auto items = TakeLogItems();
  bool listed = false;
  for (const auto& i : items) listed = listed || i.Message.find("INVALID_HANDLE") != std::string::npos;
  EXPECT_TRUE(listed);
}

TEST_F(Reader, EventsOfTheLiveSessionReachTheQueueThroughTheDecoder) {
  tETWReaderThread reader(api_, folder_.Folder());
  RunToLive(reader);
  // Level 0x0002, file "f.cpp", line 7, category 3, message "hi".
  std::vector<uint8_t> payload = {2, 0, 0, 0, 'f', 0, '.', 0, 'c', 0, 'p', 0, 'p', 0, 0, 0,
                                  7, 0, 0, 0, 3, 0, 0, 0, 'h', 0, 'i', 0, 0, 0};
  EVENT_TRACE e{};
  e.Header.Guid = kSupplierEventClass;
  e.Header.ProcessId = 4242;
  e.Header.ThreadId = 77;
  e.Header.TimeStamp = 133000000000000000;
  e.MofData = payload.data();
  e.MofLength = static_cast<ULONG>(payload.size());
  ASSERT_NE(api_.LiveCallback(), nullptr);
  api_.LiveCallback()(&e);
  auto items = TakeLogItems();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].LevelWord, 2u);
  EXPECT_EQ(items[0].File, "f.cpp");
  EXPECT_EQ(items[0].Line, 7);
  EXPECT_EQ(items[0].Category, 3);
  EXPECT_EQ(items[0].Message, "hi");
  EXPECT_EQ(items[0].ProcessID, 4242u);
  EXPECT_EQ(items[0].ThreadID, 77u);
}

TEST_F(Reader, RetriesOtherFailuresAtOnceAndListsEachDistinctFailureOnce) {
  // 183 five times, 87 three times, then 5: the reader gives up and idles.
  api_.StartResults = {183, 183, 183, 183, 183, 87, 87, 87, 5};
  tETWReaderThread reader(api_, folder_.Folder());
  reader.Resume();
  ASSERT_TRUE(WaitUntil([&] { return reader.GetStatus() == ERROR_ACCESS_DENIED; }));
  EXPECT_EQ(api_.Count("StartTraceA"), 9u);
  EXPECT_EQ(api_.Count("OpenTraceA"), 0u);
  auto items = TakeLogItems();
  std::vector<std::string> names;
  for (const auto& i : items) names.push_back(i.Message);
  ASSERT_EQ(items.size(), 3u) << ::testing::PrintToString(names);
  EXPECT_NE(items[0].Message.find("ALREADY_EXISTS"), std::string::npos);
  EXPECT_NE(items[1].Message.find("INVALID_PARAMETER"), std::string::npos);
  EXPECT_NE(items[2].Message.find("ACCESS_DENIED"), std::string::npos);
}

TEST_F(Reader, AccessDeniedIdlesUntilStopWithNoLiveEvents) {
  api_.QueryDefault = ERROR_ACCESS_DENIED;
  auto reader = std::make_unique<tETWReaderThread>(api_, folder_.Folder());
  reader->Resume();
  ASSERT_TRUE(WaitUntil([&] { return reader->GetStatus() == ERROR_ACCESS_DENIED; }));
  EXPECT_FALSE(reader->IsProcessing());
  EXPECT_EQ(api_.Count("OpenTraceA"), 0u);
  EXPECT_FALSE(reader->Finished());
  reader.reset();  // returns: the idle loop honours the stop request
  EXPECT_EQ(api_.Count("StartTraceA"), 0u);
}

TEST_F(Reader, ShutdownEndsALiveConsumptionAndNothingStartsAfterIt) {
  {
    tETWReaderThread reader(api_, folder_.Folder());
    RunToLive(reader);
  }  // the stop ends the consumption; the thread ends
  EXPECT_EQ(api_.Count("StartTraceA"), 1u);
  auto names = api_.Names();
  EXPECT_EQ(names.back(), "CloseTrace");

  // A reader that was never resumed: the shutdown step, then a run that replays and stops.
  tScriptedTraceApi api;
  { tETWReaderThread reader(api, folder_.Folder()); }
  EXPECT_EQ(api.Names(), (std::vector<std::string>{"UpdateTraceA"}));

  // A start attempted after the stop request starts nothing.
  tScriptedTraceApi late;
  tETWReaderThread reader(late, folder_.Folder());
  reader.Terminate();
  EXPECT_EQ(reader.StartSession(), ERROR_CANCELLED);
  EXPECT_TRUE(late.Names().empty());
}

}  // namespace
