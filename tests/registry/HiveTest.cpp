// The hive text model: what it reads from regedit text, and that an edit changes only the one line.
#include "platform/registry/Hive.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace lw::reg {
namespace {

const tKeyPath kAppA{"HKEY_LOCAL_MACHINE", "SOFTWARE", "Quendral", "AppA"};

std::vector<uint8_t> Dword(uint32_t V) {
  return {static_cast<uint8_t>(V), static_cast<uint8_t>(V >> 8), static_cast<uint8_t>(V >> 16),
          static_cast<uint8_t>(V >> 24)};
}

struct tReadCase {
  const char* Line;  // a value line in [...\AppA]
  bool Understood;
  uint32_t Type;
  std::vector<uint8_t> Data;
};

TEST(Hive, ReadsTheValueForms) {
  const std::vector<tReadCase> Cases = {
      {"\"DebugLevel\"=dword:00000003", true, 4, Dword(3)},
      {"\"DebugLevel\"=DWORD:FFFFFFFF", true, 4, Dword(0xFFFFFFFF)},
      {"\"DebugLevel\" = dword:7", true, 4, Dword(7)},
      {"\"DebugLevel\"=\"C:\\\\Te\\\"st\"", true, 1, {'C', ':', '\\', 'T', 'e', '"', 's', 't', 0}},
      {"\"DebugLevel\"=hex:01,02,ff", true, 3, {1, 2, 0xFF}},
      {"\"DebugLevel\"=hex(b):01,00,00,00,\\\r\n  00,00,00,00", true, 11, {1, 0, 0, 0, 0, 0, 0, 0}},
      {"\"DebugLevel\"=hex:", true, 3, {}},
      {"\"DebugLevel\"=dword:123456789", false, 0, {}},  // more than 32 bits
      {"\"DebugLevel\"=dword:", false, 0, {}},
      {"\"DebugLevel\"=dword:12x4", false, 0, {}},
      {"\"DebugLevel\"=\"open", false, 0, {}},
      {"\"DebugLevel\"=-", false, 0, {}},  // a deletion is no value
      {"\"DebugLevel\"=hex:01,,02", false, 0, {}},
      {"\"DebugLevel\"=hex(1ffffffff):00", false, 0, {}},
      {"\"DebugLevel=dword:00000003", false, 0, {}},
      {"DebugLevel=dword:00000003", false, 0, {}},
  };
  for (const tReadCase& C : Cases) {
    SCOPED_TRACE(C.Line);
    std::string Text = std::string("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral\\AppA]\r\n") + C.Line +
                       "\r\n\r\n";
    tHive Hive;
    ASSERT_EQ(tHive::Parse(Text, Hive), tHiveStatus::Ok);
    EXPECT_EQ(Hive.Text(), Text);
    std::optional<tHiveValue> V = Hive.Value(kAppA, "debuglevel");
    ASSERT_EQ(V.has_value(), C.Understood);
    if (V) {
      EXPECT_EQ(V->Type, C.Type);
      EXPECT_EQ(V->Data, C.Data);
    }
  }
}

TEST(Hive, KeysSubkeysAndCase) {
  const std::string Text =
      "REGEDIT4\n"
      "; a comment\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral\\zeta]\n"
      "[HKEY_LOCAL_MACHINE\\software\\quendral\\AppB\\Deep\\Deeper]\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral\\appa]\n"
      "\"DebugLevel\"=dword:00000001\n"
      "[HKEY_CURRENT_USER\\SOFTWARE\\Quendral\\Other]\n"
      "\"DebugLevel\"=dword:00000009\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral\\Gone]\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral\\APPA]\n"
      "\"debuglevel\"=dword:00000002\n";
  tHive Hive;
  ASSERT_EQ(tHive::Parse(Text, Hive), tHiveStatus::Ok);
  const tKeyPath Root{"HKEY_LOCAL_MACHINE", "SOFTWARE", "Quendral"};
  EXPECT_EQ(Hive.SubKeys(Root), (std::vector<std::string>{"appa", "AppB", "zeta"}));
  EXPECT_TRUE(Hive.KeyExists({"hkey_local_machine", "Software", "QUENDRAL", "appb", "deep"}));
  EXPECT_FALSE(Hive.KeyExists({"HKEY_LOCAL_MACHINE", "SOFTWARE", "Quendral", "Gone"}));
  EXPECT_FALSE(Hive.KeyExists({"HKEY_LOCAL_MACHINE", "SOFTWARE", "Quendral", "Other"}));
  // Two sections of one key: the later value counts.
  EXPECT_EQ(Hive.Value(kAppA, "DebugLevel").value().Data, Dword(2));
  EXPECT_EQ(Hive.Text(), Text);
}

TEST(Hive, HeaderAndSize) {
  tHive Hive;
  EXPECT_EQ(tHive::Parse(std::string_view("Windows Registry Editor Version 5.00\r\n"), Hive), tHiveStatus::Ok);
  EXPECT_EQ(tHive::Parse(std::string_view("[HKEY_LOCAL_MACHINE\\A]\n"), Hive), tHiveStatus::NoHeader);
  EXPECT_TRUE(Hive.KeyExists({"HKEY_LOCAL_MACHINE", "A"}));
  EXPECT_EQ(tHive::Parse(std::string_view(""), Hive), tHiveStatus::NoHeader);
  std::string Big(tHive::kMaxBytes + 1, '\n');
  EXPECT_EQ(tHive::Parse(Big, Hive), tHiveStatus::TooLarge);
  EXPECT_EQ(Hive.Text(), "");
}

struct tEditCase {
  const char* What;
  std::string Before;
  tKeyPath Key;
  const char* Name;
  uint32_t Value;
  std::string After;
};

TEST(Hive, SetValueChangesOnlyItsLine) {
  const std::string Head = "REGEDIT4\r\n\r\n";
  const std::vector<tEditCase> Cases = {
      {"replace, keeping the name's spelling and the other lines",
       Head + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral\\AppA]\r\n\"Path\"=\"C:\\\\x\"\r\n"
              "\"debuglevel\"=dword:00000000\r\n; note\r\n\"Blob\"=hex:01,\\\r\n  02\r\n\r\n",
       kAppA, "DebugLevel", 3,
       Head + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral\\AppA]\r\n\"Path\"=\"C:\\\\x\"\r\n"
              "\"debuglevel\"=dword:00000003\r\n; note\r\n\"Blob\"=hex:01,\\\r\n  02\r\n\r\n"},
      {"replace a value of another type",
       Head + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral\\AppA]\r\n\"DebugLevel\"=\"3\"\r\n",
       kAppA, "DebugLevel", 0xFFFFFFFF,
       Head + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral\\AppA]\r\n\"DebugLevel\"=dword:ffffffff\r\n"},
      {"add after the section's last value, before the blank line",
       Head + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral\\AppA]\r\n\"Other\"=dword:00000001\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral\\AppB]\r\n",
       kAppA, "DebugLevel", 3,
       Head + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral\\AppA]\r\n\"Other\"=dword:00000001\r\n"
              "\"DebugLevel\"=dword:00000003\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral\\AppB]\r\n"},
      {"add to a last section without a final line break, LF text",
       "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral\\AppA]", kAppA, "DebugLevel", 0,
       "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral\\AppA]\n\"DebugLevel\"=dword:00000000\n"},
      {"a value of the later of two sections",
       Head + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral\\AppA]\r\n\r\n[HKEY_LOCAL_MACHINE\\X]\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral\\AppA]\r\n\"A\"=dword:00000001\r\n",
       kAppA, "DebugLevel", 3,
       Head + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral\\AppA]\r\n\r\n[HKEY_LOCAL_MACHINE\\X]\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral\\AppA]\r\n\"A\"=dword:00000001\r\n"
              "\"DebugLevel\"=dword:00000003\r\n"},
      {"a key known only through a descendant gets a section",
       Head + "[HKEY_LOCAL_MACHINE\\software\\quendral\\appa\\Sub]\r\n", kAppA, "DebugLevel", 3,
       Head + "[HKEY_LOCAL_MACHINE\\software\\quendral\\appa\\Sub]\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\software\\quendral\\appa]\r\n\"DebugLevel\"=dword:00000003\r\n"},
  };
  for (const tEditCase& C : Cases) {
    SCOPED_TRACE(C.What);
    tHive Hive;
    tHive::Parse(C.Before, Hive);
    ASSERT_TRUE(Hive.SetValue(C.Key, C.Name, 4, Dword(C.Value)));
    EXPECT_EQ(Hive.Text(), C.After);
    EXPECT_EQ(Hive.Value(C.Key, C.Name).value().Data, Dword(C.Value));
    // What was written reads back the same.
    tHive Again;
    tHive::Parse(Hive.Text(), Again);
    EXPECT_EQ(Again.Value(C.Key, C.Name).value().Data, Dword(C.Value));
  }
}

TEST(Hive, SetValueOnAMissingKeyChangesNothing) {
  const std::string Text = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral\\AppB]\r\n";
  tHive Hive;
  tHive::Parse(Text, Hive);
  EXPECT_FALSE(Hive.SetValue(kAppA, "DebugLevel", 4, Dword(3)));
  EXPECT_EQ(Hive.Text(), Text);
}

TEST(Hive, OtherTypesAndNamesAreWrittenInRegeditForm) {
  tHive Hive;
  tHive::Parse(std::string_view("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n"), Hive);
  const tKeyPath K{"HKEY_LOCAL_MACHINE", "K"};
  const std::vector<uint8_t> Sz{'a', '"', '\\', 0};
  const std::vector<uint8_t> Bin{0, 0xAB};
  ASSERT_TRUE(Hive.SetValue(K, "q\"n", 1, Sz));
  ASSERT_TRUE(Hive.SetValue(K, "", 3, Bin));
  ASSERT_TRUE(Hive.SetValue(K, "odd", 4, Bin));  // a REG_DWORD of two bytes stays two bytes
  EXPECT_EQ(Hive.Text(),
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"q\\\"n\"=\"a\\\"\\\\\"\r\n@=hex:00,ab\r\n"
            "\"odd\"=hex(4):00,ab\r\n");
  tHive Again;
  tHive::Parse(Hive.Text(), Again);
  EXPECT_EQ(Again.Value(K, "Q\"N").value().Data, Sz);
  EXPECT_EQ(Again.Value(K, "").value().Data, Bin);
  EXPECT_EQ(Again.Value(K, "odd").value().Type, 4u);
}

}  // namespace
}  // namespace lw::reg
