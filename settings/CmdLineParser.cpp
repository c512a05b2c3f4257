#include "settings/CmdLineParser.h"

#include <cstring>

#include "platform/os/CodePage.h"

bool tCmdLineParser::ByteLess::operator()(const std::string& A, const std::string& B) const {
  const size_t n = A.size() < B.size() ? A.size() : B.size();
  const int c = n == 0 ? 0 : std::memcmp(A.data(), B.data(), n);
  return c != 0 ? c < 0 : A.size() < B.size();
}

std::string TrimText(const std::string& Text) {
  size_t first = 0, last = Text.size();
  while (first < last && static_cast<unsigned char>(Text[first]) <= 32) ++first;
  while (last > first && static_cast<unsigned char>(Text[last - 1]) <= 32) --last;
  return Text.substr(first, last - first);
}

// The scan keeps two positions: open (the latest opening character, never cleared) and equals (the first
// "=" since the last stored item). An item is stored at a closing character when open is set and equals
// stands at least two places after it. So "=" outside an item, an empty key or an opening character
// inside a value leave equals before every later opening character, and nothing after them is stored.
tCmdLineParser::tCmdLineParser(const std::string& Text, int OpenChar, int CloseChar) {
  size_t open = 0, equals = 0;  // 1-based positions, 0 = none
  for (size_t i = 1; i <= Text.size(); ++i) {
    const int c = static_cast<unsigned char>(Text[i - 1]);
    if (c == OpenChar) open = i;
    if (equals == 0 && c == '=') equals = i;
    if (open != 0 && equals > open + 1 && c == CloseChar) {
      const std::string rawKey = Text.substr(open, equals - 1 - open);
      const std::string rawValue = Text.substr(equals, i - 1 - equals);
      entries_[TrimText(lw::os::AnsiLowerCase(rawKey))] = TrimText(rawValue);
      equals = 0;
    }
  }
  cursor_ = entries_.end();
}

std::string tCmdLineParser::GetString(const std::string& Key, const std::string& Default) const {
  const auto it = entries_.find(lw::os::AnsiLowerCase(Key));
  if (it == entries_.end() || it->second.empty()) return Default;
  return it->second;
}

int32_t tCmdLineParser::GetInt(const std::string& Key, int32_t Default) const {
  const auto it = entries_.find(lw::os::AnsiLowerCase(Key));
  if (it == entries_.end() || it->second.empty()) return Default;
  return StrToIntDef(it->second, Default);
}

void tCmdLineParser::First() { cursor_ = entries_.begin(); }

bool tCmdLineParser::Next(std::string& Key, std::string& Value) {
  if (cursor_ == entries_.end()) return false;
  Key = cursor_->first;
  Value = cursor_->second;
  ++cursor_;
  return true;
}

std::string tCmdLineParser::StripQuotes(const std::string& Text) {
  if (!Text.empty() && Text.front() == '"' && Text.back() == '"')
    return Text.size() == 1 ? std::string() : Text.substr(1, Text.size() - 2);
  return Text;
}

int32_t StrToIntDef(const std::string& Text, int32_t Default) {
  size_t i = 0;
  bool negative = false;
  if (i < Text.size() && (Text[i] == '+' || Text[i] == '-')) negative = Text[i++] == '-';
  bool hex = false;
  if (i < Text.size() && Text[i] == '$') {
    hex = true;
    ++i;
  } else if (i + 1 < Text.size() && Text[i] == '0' && (Text[i + 1] == 'x' || Text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= Text.size()) return Default;
  uint64_t value = 0;
  for (; i < Text.size(); ++i) {
    const char c = Text[i];
    unsigned digit = 0;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (hex && c >= 'a' && c <= 'f')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else if (hex && c >= 'A' && c <= 'F')
      digit = static_cast<unsigned>(c - 'A' + 10);
    else
      return Default;
    value = value * (hex ? 16u : 10u) + digit;
    if (value > 0xFFFFFFFFULL) return Default;
  }
  if (hex) {
    const auto bits = static_cast<uint32_t>(value);
    const auto signedBits = static_cast<int64_t>(static_cast<int32_t>(bits));
    return static_cast<int32_t>(negative ? -signedBits : signedBits);
  }
  if (!negative && value > 0x7FFFFFFFULL) return Default;
  if (negative && value > 0x80000000ULL) return Default;
  return static_cast<int32_t>(negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value));
}
