// A registry hive held as the text regedit exports, and edited in place.
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Quendral\AppA]
//   "DebugLevel"=dword:00000003
//
// The text is kept line by line exactly as read; an edit replaces or inserts single lines, so comments,
// unknown lines, other keys and other values come back byte for byte when the hive is written out. Key
// names and value names compare without regard to case (ASCII letters; other bytes compare as they are).
// A key exists when a section names it or one of its descendants. When a key has several sections, or a
// value is listed twice, the last one counts, as when such a file is imported.
//
// Understood values: dword:, "string", hex: and hex(<type>):. Lines that are not understood (deletions
// "[-...]" and "=-", stray text, bytes of another encoding) are kept but carry no key or value.
//
// Parse accepts any bytes: it bounds every read and never fails on content; only a text larger than
// kMaxBytes is refused. Not thread-safe; callers serialise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lw::reg {

// Key path from the root, one component per element: {"HKEY_LOCAL_MACHINE", "SOFTWARE", "Quendral"}.
using tKeyPath = std::vector<std::string>;

// Splits "A\B\C\" into components; empty components (a leading, doubled or trailing backslash) are
// dropped. Empty when Text is empty.
tKeyPath SplitKeyPath(std::string_view Text);
std::string JoinKeyPath(const tKeyPath& Path);
// ASCII case-insensitive equality, as key and value names compare.
bool SameName(std::string_view A, std::string_view B);

enum class tHiveStatus {
  Ok,
  NoHeader,  // usable, but the text does not start with a regedit header line
  TooLarge,  // refused: larger than kMaxBytes
};

struct tHiveValue {
  uint32_t Type = 0;
  std::vector<uint8_t> Data;
};

class tHive {
 public:
  static constexpr size_t kMaxBytes = size_t{64} << 20;

  // Replaces Out with the hive in Bytes. On TooLarge, Out is left empty.
  static tHiveStatus Parse(std::span<const uint8_t> Bytes, tHive& Out);
  static tHiveStatus Parse(std::string_view Text, tHive& Out);

  // The whole text: what was read, with the edits made since.
  std::string Text() const;

  bool KeyExists(const tKeyPath& Key) const;
  // Names of the direct subkeys of Key, in the platform's order (case-insensitive alphabetical), each
  // spelt as where it first appears.
  std::vector<std::string> SubKeys(const tKeyPath& Key) const;
  // Name "" is the default value ("@").
  std::optional<tHiveValue> Value(const tKeyPath& Key, std::string_view Name) const;
  // Replaces the value's data in its (last) line, keeping the name as spelt there, or adds a line at the
  // end of the key's last section (a section is added at the end when the key exists only through its
  // descendants). False, and nothing changed, when the key does not exist.
  bool SetValue(const tKeyPath& Key, std::string_view Name, uint32_t Type, std::span<const uint8_t> Data);

 private:
  enum class tKind { Other, Section, Value };
  struct tLine {
    std::string Text;  // the logical line as it stands, continuation lines and line break included
    tKind Kind = tKind::Other;
    tKeyPath Key;      // Section: the key it opens
    std::string Name;  // Value: decoded name, "" for "@"
    tHiveValue Data;   // Value
    size_t DataOffset = 0;  // Value: where the data text starts in Text
  };

  static tLine ParseLine(std::string Text);
  std::string LineBreakOf(const tLine& Line) const;
  // Index of the line of the effective value, or npos; Section: index of the key's last section or npos.
  size_t FindValueLine(const tKeyPath& Key, std::string_view Name) const;
  size_t FindLastSection(const tKeyPath& Key) const;

  std::vector<tLine> lines_;
  std::string eol_ = "\r\n";  // line break for added lines: the text's first one, CR LF by default
};

}  // namespace lw::reg
