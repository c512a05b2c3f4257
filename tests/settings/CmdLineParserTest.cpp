#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "settings/CmdLineParser.h"
#include "settings/SettingsStrings.h"

namespace {

using tEntries = std::vector<std::pair<std::string, std::string>>;

tEntries entries(const std::string& Text, int Open = '[', int Close = ']') {
  tCmdLineParser p(Text, Open, Close);
  tEntries out;
  std::string k = "untouched", v = "untouched";
  EXPECT_FALSE(p.Next(k, v));  // the cursor stands at the end until First
  p.First();
  while (p.Next(k, v)) out.emplace_back(k, v);
  EXPECT_FALSE(p.Next(k, v));
  return out;
}

}  // namespace

TEST(CmdLineParser, ScanRule) {
  struct Case {
    const char* Text;
    tEntries Expected;
  };
  const Case cases[] = {
      {"", {}},
      {"[S=2][F=20]", {{"f", "20"}, {"s", "2"}}},
      {"[ s = 2 ]", {{"s", "2"}}},
      {"[S=]", {{"s", ""}}},
      {"[S=2][S=3]", {{"s", "3"}}},
      {"[D=a=b]", {{"d", "a=b"}}},
      {"[[S=2]", {{"s", "2"}}},
      {"[=5][S=2]", {}},
      {"x=1[S=2]", {}},
      {"[S=1]x=1[F=2]", {{"s", "1"}}},
      {"[S=2", {}},
      {"S=2]", {}},
      {"[S=1]F=2]", {{"s", "1"}, {"s=1]f", "2"}}},
      {"[D=\"a]b\"]", {{"d", "\"a"}}},
      {"[D=[x]][S=1]", {}},  // an opening character inside a value loses the rest
      {"[\tK\x01=\x1f v \x20]", {{"k", "v"}}},  // codes 0 to 32 are trimmed
      {"[\xC9T=1]", {{"\xE9t", "1"}}},          // ANSI lower-casing
      {"[b=1][B2=2][a=3][\xE0=4][A=5]", {{"a", "5"}, {"b", "1"}, {"b2", "2"}, {"\xE0", "4"}}},  // unsigned order
  };
  for (const auto& c : cases) EXPECT_EQ(entries(c.Text), c.Expected) << c.Text;
}

TEST(CmdLineParser, Lookups) {
  tCmdLineParser p("[S=2][F=20][D=\"c:\\x\"][E=][N=two][H=$1F][M=-2147483648][O=2147483648]", '[', ']');
  EXPECT_EQ(p.GetInt("S", 0), 2);
  EXPECT_EQ(p.GetInt("f", 0), 20);
  EXPECT_EQ(p.GetString("D", "x"), "\"c:\\x\"");  // quotes are kept
  EXPECT_EQ(p.GetString("E", "x"), "x");           // empty value gives the default
  EXPECT_EQ(p.GetInt("E", 7), 7);
  EXPECT_EQ(p.GetInt("N", 7), 7);
  EXPECT_EQ(p.GetInt("H", 7), 31);
  EXPECT_EQ(p.GetInt("M", 7), INT32_MIN);
  EXPECT_EQ(p.GetInt("O", 7), 7);
  EXPECT_EQ(p.GetString("missing", "dflt"), "dflt");
  EXPECT_EQ(p.GetString(" S", "dflt"), "dflt");  // the requested key is not trimmed
  tCmdLineParser empty("", '[', ']');
  EXPECT_EQ(empty.GetInt("s", -1), -1);
}

TEST(CmdLineParser, ExceptionListWithBraces) {
  EXPECT_EQ(entries("{B=}{a=[S=1]}", '{', '}'), (tEntries{{"a", "[S=1]"}, {"b", ""}}));
  EXPECT_EQ(entries("{Press1=[S=3]}{press0=}", '{', '}'), (tEntries{{"press0", ""}, {"press1", "[S=3]"}}));
  // Names that differ only in case or blanks become one; the later one wins.
  EXPECT_EQ(entries("{St1=[S=1]}{ st1 =[S=2]}", '{', '}'), (tEntries{{"st1", "[S=2]"}}));
}

TEST(CmdLineParser, StripQuotes) {
  const std::pair<const char*, const char*> cases[] = {
      {"\"c:\\zorv\\log\"", "c:\\zorv\\log"}, {"\"", ""}, {"\"\"", ""}, {"\"abc", "\"abc"},
      {"abc\"", "abc\""},                     {"a\"b", "a\"b"}, {"", ""}, {"\"a\"b\"", "a\"b"},
      {"\"a", "\"a"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(tCmdLineParser::StripQuotes(in), out) << in;
}

TEST(StrToIntDef, ClassLibraryRules) {
  const std::pair<const char*, int32_t> cases[] = {
      {"0", 0},           {"42", 42},         {"-42", -42},      {"+7", 7},
      {"007", 7},         {"$10", 16},        {"0x1f", 31},      {"0XFF", 255},
      {"-$10", -16},      {"$FFFFFFFF", -1},  {"$100000000", 99}, {"2147483647", 2147483647},
      {"2147483648", 99}, {"-2147483648", INT32_MIN}, {"-2147483649", 99}, {"", 99},
      {"-", 99},          {"$", 99},          {"0x", 99},        {"12a", 99},
      {" 1", 99},         {"1 ", 99},         {"1.5", 99},       {"99999999999999999999", 99},
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(StrToIntDef(text, 99), value) << text;
}

TEST(SettingsStrings, BuildAndReadBack) {
  tClientSettings standard{0, 10, 1000, NormaliseFolder("  C:\\Zorv\\LOG ")};
  EXPECT_EQ(FormatClientSettings(standard), "[S=0][F=10][L=1000][D=\"c:\\zorv\\log\"]");

  tClientSettings std2{2, 20, 5000, "c:\\x"};
  std::vector<tStationException> rows = {{"press0", std2}, {"press1", {3, 20, 5000, "c:\\x"}}};
  EXPECT_EQ(FormatExceptionList(std2, rows), "{press0=}{press1=[S=3]}");
  rows.push_back({"Other", {-1, 5, 100, "d:\\y"}});
  EXPECT_EQ(FormatExceptionList(std2, rows),
            "{press0=}{press1=[S=3]}{Other=[S=-1][F=5][L=100][D=\"d:\\y\"]}");
  EXPECT_EQ(FormatExceptionList(std2, {}), "");
  EXPECT_EQ(FormatGatewaySettings(1500, NormaliseFolder("C:\\Test\\Mirex")), "[D=1500][L=\"c:\\test\\mirex\"]");

  // What the strings carry reads back with the parser.
  const std::string text = FormatClientSettings(std2);
  tCmdLineParser p(text, '[', ']');
  EXPECT_EQ(p.GetInt("S", 0), 2);
  EXPECT_EQ(p.GetInt("F", 10), 20);
  EXPECT_EQ(p.GetInt("L", 1000), 5000);
  EXPECT_EQ(tCmdLineParser::StripQuotes(p.GetString("D", "\"C:\\Zorv\\LOG\"")), "c:\\x");
}
