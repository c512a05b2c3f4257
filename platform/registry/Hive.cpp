#include "platform/registry/Hive.h"

#include <algorithm>
#include <cstdio>

namespace lw::reg {
namespace {

char Fold(char C) { return (C >= 'a' && C <= 'z') ? static_cast<char>(C - 'a' + 'A') : C; }

bool IsBlank(char C) { return C == ' ' || C == '\t'; }

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

bool StartsWithFolded(std::string_view Text, std::string_view Prefix) {
  return Text.size() >= Prefix.size() && SameName(Text.substr(0, Prefix.size()), Prefix);
}

// The line without its line break and trailing blanks.
std::string_view Content(std::string_view Line) {
  size_t End = Line.size();
  while (End > 0 && (Line[End - 1] == '\n' || Line[End - 1] == '\r' || IsBlank(Line[End - 1]))) --End;
  return Line.substr(0, End);
}

// Reads a quoted text starting at Text[Pos] == '"'; on success Pos is past the closing quote.
// Escapes: \\ and \" ; any other backslash stands for itself.
bool ReadQuoted(std::string_view Text, size_t& Pos, std::string& Out) {
  if (Pos >= Text.size() || Text[Pos] != '"') return false;
  size_t P = Pos + 1;
  Out.clear();
  while (P < Text.size()) {
    char C = Text[P];
    if (C == '"') {
      Pos = P + 1;
      return true;
    }
    if (C == '\\' && P + 1 < Text.size() && (Text[P + 1] == '\\' || Text[P + 1] == '"')) {
      Out.push_back(Text[P + 1]);
      P += 2;
      continue;
    }
    if (C == '\n' || C == '\r') return false;
    Out.push_back(C);
    ++P;
  }
  return false;
}

std::string Quote(std::string_view Text) {
  std::string Out = "\"";
  for (char C : Text) {
    if (C == '\\' || C == '"') Out.push_back('\\');
    Out.push_back(C);
  }
  Out.push_back('"');
  return Out;
}

// Name part of a value line: "@" or a quoted name, blanks, '=', blanks. On success Pos is where the data
// starts.
bool ReadValueName(std::string_view Line, size_t& Pos, std::string& Name) {
  size_t P = 0;
  while (P < Line.size() && IsBlank(Line[P])) ++P;
  if (P >= Line.size()) return false;
  if (Line[P] == '@') {
    Name.clear();
    ++P;
  } else if (!ReadQuoted(Line, P, Name)) {
    return false;
  }
  while (P < Line.size() && IsBlank(Line[P])) ++P;
  if (P >= Line.size() || Line[P] != '=') return false;
  ++P;
  while (P < Line.size() && IsBlank(Line[P])) ++P;
  Pos = P;
  return true;
}

// hex: or hex(<type>): followed by a comma-separated byte list, possibly continued over lines with a
// trailing backslash.
bool ReadHex(std::string_view Data, tHiveValue& Out) {
  size_t P = 3;  // past "hex"
  uint32_t Type = 3;  // REG_BINARY
  if (P < Data.size() && Data[P] == '(') {
    ++P;
    uint32_t T = 0;
    size_t Digits = 0;
    while (P < Data.size() && HexDigit(Data[P]) >= 0) {
      if (++Digits > 8) return false;
      T = (T << 4) | static_cast<uint32_t>(HexDigit(Data[P]));
      ++P;
    }
    if (Digits == 0 || P >= Data.size() || Data[P] != ')') return false;
    ++P;
    Type = T;
  }
  if (P >= Data.size() || Data[P] != ':') return false;
  ++P;
  Out.Type = Type;
  Out.Data.clear();
  bool NeedByte = false;  // after a comma
  while (P < Data.size()) {
    char C = Data[P];
    if (IsBlank(C) || C == '\r' || C == '\n') {
      ++P;
    } else if (C == '\\') {
      // A continuation: only blanks and the line break may follow on this line.
      ++P;
      while (P < Data.size() && (IsBlank(Data[P]) || Data[P] == '\r')) ++P;
      if (P < Data.size() && Data[P] != '\n') return false;
    } else if (HexDigit(C) >= 0) {
      if (!Out.Data.empty() && !NeedByte) return false;
      int V = HexDigit(C);
      ++P;
      if (P < Data.size() && HexDigit(Data[P]) >= 0) {
        V = V * 16 + HexDigit(Data[P]);
        ++P;
      }
      Out.Data.push_back(static_cast<uint8_t>(V));
      NeedByte = false;
    } else if (C == ',') {
      if (Out.Data.empty() || NeedByte) return false;
      NeedByte = true;
      ++P;
    } else {
      return false;
    }
  }
  return !NeedByte;
}

bool ReadData(std::string_view Data, tHiveValue& Out) {
  if (StartsWithFolded(Data, "dword:")) {
    std::string_view Digits = Content(Data.substr(6));
    if (Digits.empty() || Digits.size() > 8) return false;
    uint32_t V = 0;
    for (char C : Digits) {
      int D = HexDigit(C);
      if (D < 0) return false;
      V = (V << 4) | static_cast<uint32_t>(D);
    }
    Out.Type = 4;  // REG_DWORD
    Out.Data = {static_cast<uint8_t>(V), static_cast<uint8_t>(V >> 8), static_cast<uint8_t>(V >> 16),
                static_cast<uint8_t>(V >> 24)};
    return true;
  }
  if (!Data.empty() && Data[0] == '"') {
    size_t P = 0;
    std::string Text;
    if (!ReadQuoted(Data, P, Text) || P != Content(Data).size()) return false;
    Out.Type = 1;  // REG_SZ
    Out.Data.assign(Text.begin(), Text.end());
    Out.Data.push_back(0);
    return true;
  }
  if (StartsWithFolded(Data, "hex")) return ReadHex(Data, Out);
  return false;
}

std::string DataText(uint32_t Type, std::span<const uint8_t> Data) {
  char Buf[24];
  if (Type == 4 && Data.size() == 4) {
    uint32_t V = uint32_t{Data[0]} | uint32_t{Data[1]} << 8 | uint32_t{Data[2]} << 16 | uint32_t{Data[3]} << 24;
    std::snprintf(Buf, sizeof Buf, "dword:%08x", V);
    return Buf;
  }
  size_t Zero = static_cast<size_t>(std::find(Data.begin(), Data.end(), uint8_t{0}) - Data.begin());
  if (Type == 1 && Zero + 1 >= Data.size()) {
    // A plain string: one terminating zero at most, no other zero byte inside.
    size_t N = Zero < Data.size() ? Zero : Data.size();
    return Quote(std::string(reinterpret_cast<const char*>(Data.data()), N));
  }
  std::string Out;
  if (Type == 3) {
    Out = "hex:";
  } else {
    std::snprintf(Buf, sizeof Buf, "hex(%x):", Type);
    Out = Buf;
  }
  for (size_t I = 0; I < Data.size(); ++I) {
    std::snprintf(Buf, sizeof Buf, I == 0 ? "%02x" : ",%02x", Data[I]);
    Out += Buf;
  }
  return Out;
}

bool IsPrefix(const tKeyPath& Prefix, const tKeyPath& Path) {
  if (Prefix.size() > Path.size()) return false;
  for (size_t I = 0; I < Prefix.size(); ++I) {
    if (!SameName(Prefix[I], Path[I])) return false;
  }
  return true;
}

bool SameKey(const tKeyPath& A, const tKeyPath& B) { return A.size() == B.size() && IsPrefix(A, B); }

}  // namespace

tKeyPath SplitKeyPath(std::string_view Text) {
  tKeyPath Out;
  size_t Start = 0;
  while (Start <= Text.size()) {
    size_t End = Text.find('\\', Start);
    if (End == std::string_view::npos) End = Text.size();
    if (End > Start) Out.emplace_back(Text.substr(Start, End - Start));
    Start = End + 1;
  }
  return Out;
}

std::string JoinKeyPath(const tKeyPath& Path) {
  std::string Out;
  for (const std::string& Part : Path) {
    if (!Out.empty()) Out.push_back('\\');
    Out += Part;
  }
  return Out;
}

bool SameName(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (size_t I = 0; I < A.size(); ++I) {
    if (Fold(A[I]) != Fold(B[I])) return false;
  }
  return true;
}

tHive::tLine tHive::ParseLine(std::string Text) {
  tLine Line;
  Line.Text = std::move(Text);
  std::string_view View = Line.Text;
  std::string_view Body = Content(View);
  size_t P = 0;
  while (P < Body.size() && IsBlank(Body[P])) ++P;
  if (P >= Body.size()) return Line;
  if (Body[P] == '[') {
    size_t Close = Body.rfind(']');
    if (Close != Body.size() - 1 || Close <= P + 1 || Body[P + 1] == '-') return Line;
    tKeyPath Key = SplitKeyPath(Body.substr(P + 1, Close - P - 1));
    if (Key.empty()) return Line;
    Line.Kind = tKind::Section;
    Line.Key = std::move(Key);
    return Line;
  }
  if (Body[P] != '"' && Body[P] != '@') return Line;
  size_t DataPos = 0;
  std::string Name;
  if (!ReadValueName(View, DataPos, Name)) return Line;
  tHiveValue Value;
  if (!ReadData(View.substr(DataPos), Value)) return Line;
  Line.Kind = tKind::Value;
  Line.Name = std::move(Name);
  Line.Data = std::move(Value);
  Line.DataOffset = DataPos;
  return Line;
}

tHiveStatus tHive::Parse(std::string_view Text, tHive& Out) {
  Out.lines_.clear();
  Out.eol_ = "\r\n";
  if (Text.size() > kMaxBytes) return tHiveStatus::TooLarge;

  size_t FirstBreak = Text.find('\n');
  if (FirstBreak != std::string_view::npos && (FirstBreak == 0 || Text[FirstBreak - 1] != '\r')) Out.eol_ = "\n";

  size_t Pos = 0;
  while (Pos < Text.size()) {
    size_t End = Text.find('\n', Pos);
    End = End == std::string_view::npos ? Text.size() : End + 1;
    // A hex value continues while its physical lines end with a backslash.
    std::string_view First = Text.substr(Pos, End - Pos);
    size_t DataPos = 0;
    std::string Name;
    if (ReadValueName(First, DataPos, Name) && StartsWithFolded(First.substr(DataPos), "hex")) {
      // A blank line ends it.
      size_t Last = Pos;
      while (End < Text.size() && !Content(Text.substr(Last, End - Last)).empty() &&
             Content(Text.substr(Last, End - Last)).back() == '\\') {
        Last = End;
        size_t Next = Text.find('\n', End);
        End = Next == std::string_view::npos ? Text.size() : Next + 1;
      }
    }
    Out.lines_.push_back(ParseLine(std::string(Text.substr(Pos, End - Pos))));
    Pos = End;
  }

  if (!Out.lines_.empty()) {
    std::string_view Header = Content(Out.lines_.front().Text);
    if (Header == "REGEDIT4" || Header == "Windows Registry Editor Version 5.00") return tHiveStatus::Ok;
  }
  return tHiveStatus::NoHeader;
}

tHiveStatus tHive::Parse(std::span<const uint8_t> Bytes, tHive& Out) {
  return Parse(std::string_view(reinterpret_cast<const char*>(Bytes.data()), Bytes.size()), Out);
}

std::string tHive::Text() const {
  std::string Out;
  for (const tLine& Line : lines_) Out += Line.Text;
  return Out;
}

bool tHive::KeyExists(const tKeyPath& Key) const {
  if (Key.size() == 1 && SameName(Key[0], "HKEY_LOCAL_MACHINE")) return true;
  return std::any_of(lines_.begin(), lines_.end(),
                     [&](const tLine& L) { return L.Kind == tKind::Section && IsPrefix(Key, L.Key); });
}

std::vector<std::string> tHive::SubKeys(const tKeyPath& Key) const {
  std::vector<std::string> Out;
  for (const tLine& L : lines_) {
    if (L.Kind != tKind::Section || L.Key.size() <= Key.size() || !IsPrefix(Key, L.Key)) continue;
    const std::string& Child = L.Key[Key.size()];
    if (std::none_of(Out.begin(), Out.end(), [&](const std::string& S) { return SameName(S, Child); })) {
      Out.push_back(Child);
    }
  }
  std::sort(Out.begin(), Out.end(), [](const std::string& A, const std::string& B) {
    return std::lexicographical_compare(A.begin(), A.end(), B.begin(), B.end(),
                                        [](char X, char Y) { return Fold(X) < Fold(Y); });
  });
  return Out;
}

size_t tHive::FindValueLine(const tKeyPath& Key, std::string_view Name) const {
  size_t Found = std::string::npos;
  bool InKey = false;
  for (size_t I = 0; I < lines_.size(); ++I) {
    const tLine& L = lines_[I];
    if (L.Kind == tKind::Section) {
      InKey = SameKey(L.Key, Key);
    } else if (L.Kind == tKind::Value && InKey && SameName(L.Name, Name)) {
      Found = I;
    }
  }
  return Found;
}

size_t tHive::FindLastSection(const tKeyPath& Key) const {
  for (size_t I = lines_.size(); I-- > 0;) {
    if (lines_[I].Kind == tKind::Section && SameKey(lines_[I].Key, Key)) return I;
  }
  return std::string::npos;
}

std::optional<tHiveValue> tHive::Value(const tKeyPath& Key, std::string_view Name) const {
  size_t I = FindValueLine(Key, Name);
  if (I == std::string::npos) return std::nullopt;
  return lines_[I].Data;
}

std::string tHive::LineBreakOf(const tLine& Line) const {
  const std::string& T = Line.Text;
  if (T.size() >= 2 && T.compare(T.size() - 2, 2, "\r\n") == 0) return "\r\n";
  if (!T.empty() && T.back() == '\n') return "\n";
  return "";
}

bool tHive::SetValue(const tKeyPath& Key, std::string_view Name, uint32_t Type, std::span<const uint8_t> Data) {
  if (!KeyExists(Key)) return false;
  std::string NewData = DataText(Type, Data);

  size_t At = FindValueLine(Key, Name);
  if (At != std::string::npos) {
    tLine& L = lines_[At];
    lines_[At] = ParseLine(L.Text.substr(0, L.DataOffset) + NewData + LineBreakOf(L));
    return true;
  }

  std::string NewLine = (Name.empty() ? std::string("@") : Quote(Name)) + "=" + NewData + eol_;
  auto EndLine = [&](size_t I) {
    if (LineBreakOf(lines_[I]).empty()) lines_[I] = ParseLine(lines_[I].Text + eol_);
  };
  size_t Section = FindLastSection(Key);
  if (Section != std::string::npos) {
    size_t Insert = Section + 1;
    for (size_t I = Section + 1; I < lines_.size() && lines_[I].Kind != tKind::Section; ++I) {
      if (lines_[I].Kind == tKind::Value) Insert = I + 1;
    }
    // After a value that ends in a continuation backslash, a new line would be read as part of it.
    std::string_view Before = Content(lines_[Insert - 1].Text);
    if (!Before.empty() && Before.back() == '\\') Insert = Section + 1;
    EndLine(Insert - 1);
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(Insert), ParseLine(NewLine));
    return true;
  }

  // The key exists only through its descendants (or is the root): give it a section of its own at the
  // end, spelt as the first descendant spells it.
  tKeyPath Spelling = Key;
  for (const tLine& L : lines_) {
    if (L.Kind == tKind::Section && IsPrefix(Key, L.Key)) {
      Spelling.assign(L.Key.begin(), L.Key.begin() + static_cast<std::ptrdiff_t>(Key.size()));
      break;
    }
  }
  if (!lines_.empty()) {
    EndLine(lines_.size() - 1);
    if (!Content(lines_.back().Text).empty()) lines_.push_back(ParseLine(eol_));
  }
  lines_.push_back(ParseLine("[" + JoinKeyPath(Spelling) + "]" + eol_));
  lines_.push_back(ParseLine(NewLine));
  return true;
}

}  // namespace lw::reg
