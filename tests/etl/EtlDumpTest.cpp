// logwarden-etldump's logic, run in-process on files written for the test.
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/etw/etl/Format.h"
#include "platform/etw/etl/Writer.h"
#include "tests/etl/EtlTestSupport.h"
#include "tools/etldump/EtlDump.h"

namespace {

using lw::etl::test::kStartRaw;

struct tRun {
  int Status;
  std::vector<std::string> Out;
  std::string Err;
};

std::string slurp(std::FILE* F) {
  std::fflush(F);
  std::rewind(F);
  std::string s;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, F)) > 0) s.append(buf, n);
  return s;
}

tRun run(const lw::etl::test::tTempDir& Dir, const std::vector<std::string>& Args) {
  std::FILE* out = std::fopen(Dir.File("out.txt").c_str(), "wb+");
  std::FILE* err = std::fopen(Dir.File("err.txt").c_str(), "wb+");
  tRun r;
  r.Status = RunEtlDump(Args, out, err);
  std::istringstream lines(slurp(out));
  for (std::string line; std::getline(lines, line);) r.Out.push_back(line);
  r.Err = slurp(err);
  std::fclose(out);
  std::fclose(err);
  return r;
}

struct tEv {
  uint32_t Level;
  std::u16string File;
  int32_t Line, Cat;
  std::u16string Message;
  bool Supplier = true;
};

std::string writeLog(const lw::etl::test::tTempDir& Dir, const std::string& Name, const std::vector<tEv>& Events) {
  const std::string path = Dir.File(Name);
  lw::etl::tEtlWriter w;
  EXPECT_EQ(w.Open(path, lw::etl::test::Options()), 0u);
  uint64_t t = 0;
  for (const tEv& e : Events) {
    const std::vector<uint8_t> payload = lw::etl::test::SupplierPayload(e.Level, e.File, e.Line, e.Cat, e.Message);
    lw::etl::tClassicEvent c;
    c.ClassGuid = e.Supplier ? lw::etl::test::kSupplierClass : lw::etl::test::kOtherClass;
    c.ProcessId = 77;
    c.ThreadId = 88;
    c.TimeStamp = kStartRaw + t;
    t += 12345 * 1000;  // 1.2345 s apart
    c.Payload = payload;
    EXPECT_EQ(w.AppendEvent(c), 0u);
  }
  EXPECT_EQ(w.Close(), 0u);
  return path;
}

// Drops the first column (Seq) after checking that the sequence numbers run on without a gap.
std::vector<std::string> withoutSeq(const std::vector<std::string>& Lines) {
  std::vector<std::string> out;
  long last = -1;
  for (size_t i = 1; i < Lines.size(); ++i) {
    const size_t tab = Lines[i].find('\t');
    const long seq = std::stol(Lines[i].substr(0, tab));
    if (last >= 0) {
      EXPECT_EQ(seq, last + 1) << Lines[i];
    }
    last = seq;
    out.push_back(Lines[i].substr(tab + 1));
  }
  return out;
}

const char kHeaderLine[] = "Seq\tTime\tLevel\tUser\tProcess ID\tThread ID\tCat\tFile\tLine\tMessage";

TEST(EtlDump, DecodesSupplierEventsAsTheViewerDoes) {
  lw::etl::test::tTempDir dir;
  const std::string a = writeLog(dir, "a.etl", {
      {0x00000001, u"src\\unit.cpp", 12, 3, u"started"},
      {0x00000008, u"x.cpp", 1, 0, u"skipped: not a supplier event", false},
      {0x80010004, u"", 0, 0, u""},
      {0x00010004, u"d.cpp", -5, -6, u"tab\there\nline\rcr \\ back"},
      {0x00000002, u"\u00e9t\u00e9.cpp", 7, 8, u"\u20ac \u65e5"},
  });
  const tRun r = run(dir, {a});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Err, "");
  ASSERT_GE(r.Out.size(), 1u);
  EXPECT_EQ(r.Out[0], kHeaderLine);
  const std::vector<std::string> expected = {
      "06-05-2024 07:08:09.000\t1\t0\t77\t88\t3\tsrc\\\\unit.cpp\t12\tstarted",
      "06-05-2024 07:08:11.469\t4\t-32767\t77\t88\t0\t\t0\t",
      "06-05-2024 07:08:12.703\t4\t1\t77\t88\t-6\td.cpp\t-5\ttab\\there\\nline\\rcr \\\\ back",
      "06-05-2024 07:08:13.938\t2\t0\t77\t88\t8\t\xC3\xA9t\xC3\xA9.cpp\t7\t\xE2\x82\xAC ?",
  };
  EXPECT_EQ(withoutSeq(r.Out), expected);

  // Level filter 0 keeps the important words only; the default is 2 (everything).
  const tRun important = run(dir, {"--level-filter", "0", a});
  EXPECT_EQ(important.Status, 0);
  const std::vector<std::string> expectedImportant = {expected[0], expected[3]};
  EXPECT_EQ(withoutSeq(important.Out), expectedImportant);
  const tRun standard = run(dir, {"--level-filter=1", a});
  EXPECT_EQ(withoutSeq(standard.Out).size(), 3u);  // 0x00010004 is debug
}

TEST(EtlDump, SequenceRunsOnAcrossFilesAndABadFileGivesStatus2) {
  lw::etl::test::tTempDir dir;
  const std::string a = writeLog(dir, "a.etl", {{1, u"a", 1, 1, u"one"}, {1, u"a", 2, 1, u"two"}});
  const std::string b = writeLog(dir, "b.etl", {{1, u"b", 3, 1, u"three"}});
  lw::etl::test::WriteBytes(dir.File("junk.etl"), std::vector<uint8_t>(5000, 0x11));
  const tRun r = run(dir, {a, dir.File("missing.etl"), b, dir.File("junk.etl")});
  EXPECT_EQ(r.Status, 2);
  const std::vector<std::string> rows = withoutSeq(r.Out);  // checks the numbering has no gap
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_NE(rows[2].find("three"), std::string::npos);
  EXPECT_NE(r.Err.find("missing.etl: file not found\n"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("junk.etl: not a trace log file\n"), std::string::npos) << r.Err;
}

TEST(EtlDump, DamagedBuffersAreReportedAndStillGiveStatus0) {
  lw::etl::test::tTempDir dir;
  std::vector<tEv> events;
  for (int i = 0; i < 300; ++i) events.push_back({1, u"f", i, 0, std::u16string(30, u'm')});
  const std::string a = writeLog(dir, "a.etl", events);
  std::vector<uint8_t> bytes = lw::etl::test::ReadBytes(a);
  lw::etl::Store32(bytes.data() + 16384 + 4, 3);  // first data buffer: impossible saved offset
  lw::etl::test::WriteBytes(a, bytes);
  const tRun r = run(dir, {a});
  EXPECT_EQ(r.Status, 0);
  EXPECT_NE(r.Err.find("a.etl: 1 damaged buffer(s) skipped"), std::string::npos) << r.Err;
  EXPECT_GT(r.Out.size(), 1u);
  EXPECT_LT(r.Out.size(), 301u);
}

TEST(EtlDump, RecordsModeListsEveryRecordAndASummary) {
  lw::etl::test::tTempDir dir;
  const std::string a = writeLog(dir, "a.etl", {{1, u"a", 1, 1, u"one"}, {1, u"b", 1, 1, u"two", false}});
  const tRun r = run(dir, {"--records", a});
  EXPECT_EQ(r.Status, 0) << r.Err;
  ASSERT_EQ(r.Out.size(), 7u);
  EXPECT_EQ(r.Out[0], "Offset\tBuffer\tType\tSize\tClass\tProcess ID\tThread ID\tTime (UTC)\tPayload");
  EXPECT_EQ(r.Out[1], "# " + a);
  EXPECT_EQ(r.Out[2].rfind("0x00000048\t0\tHeader\t", 0), 0u) << r.Out[2];
  EXPECT_NE(r.Out[2].find("{68FDD900-4A3E-11D1-84F4-0000F80464E3}\t4242\t4343\t2024-05-06T07:08:09.0000000Z"),
            std::string::npos);
  // Payload: level word, "a" and its terminator, line, category, "one" and its terminator.
  EXPECT_EQ(r.Out[3], "0x00004048\t1\tFull64\t72\t{8EC0B600-00C8-485F-B2DA-FB9121D128BA}\t77\t88\t"
                      "2024-05-06T07:08:09.0000000Z\t24");
  EXPECT_EQ(r.Out[4].rfind("0x00004090\t1\tFull64", 0), 0u) << r.Out[4];
  EXPECT_NE(r.Out[4].find("2024-05-06T07:08:10.2345000Z"), std::string::npos);
  EXPECT_EQ(r.Out[5].substr(0, 34), "# records: System64=1 Full64=2 tot");
  EXPECT_EQ(r.Out[6], "# buffers: slots=2 read=2 skipped=0 compressed=0 unused=0 bad-records=0");
}

TEST(EtlDump, UsageErrors) {
  lw::etl::test::tTempDir dir;
  struct {
    std::vector<std::string> Args;
    int Status;
  } cases[] = {
      {{}, 1},
      {{"--level-filter"}, 1},
      {{"--level-filter", "3", "x.etl"}, 1},
      {{"--level-filter=-1", "x.etl"}, 1},
      {{"--frobnicate", "x.etl"}, 1},
      {{"--records"}, 1},
      {{"--help"}, 0},
  };
  for (const auto& c : cases) {
    const tRun r = run(dir, c.Args);
    EXPECT_EQ(r.Status, c.Status) << (c.Args.empty() ? "" : c.Args[0]);
    if (c.Status == 1) {
      EXPECT_NE(r.Err.find("usage: logwarden-etldump"), std::string::npos);
    }
  }
  const tRun help = run(dir, {"--help"});
  ASSERT_FALSE(help.Out.empty());
  EXPECT_EQ(help.Out[0], "usage: logwarden-etldump [--level-filter 0|1|2] [--records] FILE...");
}

}  // namespace
