// tCmdLineParser: reader of the extended settings strings and exception lists of suppliers.
//
// A text is a run of items "<open>key=value<close>". The constructor scans the text once with a fixed
// rule (see CmdLineParser.cpp) and keeps one entry per key: keys lower-cased (ANSI rules) and trimmed,
// values trimmed, ordered by unsigned byte comparison of the keys. The parser never changes afterwards,
// only its cursor moves (First, Next). Malformed text is skipped, never reported. Not thread-safe; meant as
// a short-lived local object.
#pragma once

#include <cstdint>
#include <map>
#include <string>

class tCmdLineParser {
 public:
  tCmdLineParser(const std::string& Text, int OpenChar, int CloseChar);

  // The value stored for Key (lower-cased, not trimmed), or Default when there is none or it is empty.
  std::string GetString(const std::string& Key, const std::string& Default) const;
  // The value converted as the class library's StrToIntDef does, or Default.
  int32_t GetInt(const std::string& Key, int32_t Default) const;

  // Puts the cursor on the smallest key.
  void First();
  // False at the end (Key and Value untouched); otherwise the entry under the cursor, cursor advanced.
  bool Next(std::string& Key, std::string& Value);

  // Without enclosing double quotes: "\"x\"" gives "x", a lone "\"" gives "". Anything else unchanged.
  static std::string StripQuotes(const std::string& Text);

 private:
  struct ByteLess {
    bool operator()(const std::string& A, const std::string& B) const;
  };
  using tEntries = std::map<std::string, std::string, ByteLess>;
  tEntries entries_;
  tEntries::const_iterator cursor_;
};

// Conversion of a whole text to a signed 32-bit integer by the rules of the class library's StrToIntDef:
// an optional sign, then decimal digits or hexadecimal digits after "$" or "0x"; the value must fit in 32
// bits (hexadecimal up to $FFFFFFFF, taken as the signed value with those bits). Anything else gives
// Default.
int32_t StrToIntDef(const std::string& Text, int32_t Default);

// Removes leading and trailing characters with codes 0 to 32.
std::string TrimText(const std::string& Text);
