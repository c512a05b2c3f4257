#include "platform/os/CodePage.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace lw::os {

namespace {

// Windows-1252 bytes 0x80..0x9F. The five bytes the code page leaves unassigned map to the C1 control of
// the same number, both ways, as the platform's tables do.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

[[maybe_unused]] char16_t cp1252ToUnicode(unsigned char b) {
  if (b >= 0x80 && b < 0xA0) return kCp1252High[b - 0x80];
  return b;
}

// -1 when the character has no equivalent.
[[maybe_unused]] int unicodeToCp1252(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<int>(c);
  for (int i = 0; i < 32; ++i)
    if (kCp1252High[i] == c) return 0x80 + i;
  return -1;
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

#ifndef _WIN32

std::string WideToAnsi(std::u16string_view Text) {
  std::string out;
  out.reserve(Text.size());
  for (size_t i = 0; i < Text.size(); ++i) {
    const char16_t u = Text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < Text.size() && Text[i + 1] >= 0xDC00 &&
        Text[i + 1] <= 0xDFFF) {
      ++i;  // a pair is one character, and none of them is in the code page
      out += '?';
      continue;
    }
    const int b = unicodeToCp1252(u);
    out += b < 0 ? '?' : static_cast<char>(b);
  }
  return out;
}

std::string Utf16LeToAnsi(const uint8_t* Bytes, size_t Count) {
  std::string out(Count, '\0');
  size_t o = 0;
  for (size_t i = 0; i < Count; ++i) {
    const auto u = static_cast<char16_t>(Bytes[2 * i] | Bytes[2 * i + 1] << 8);
    if (u < 0x80) {
      out[o++] = static_cast<char>(u);
      continue;
    }
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < Count) {
      const auto next = static_cast<char16_t>(Bytes[2 * i + 2] | Bytes[2 * i + 3] << 8);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        ++i;
        out[o++] = '?';
        continue;
      }
    }
    const int b = unicodeToCp1252(u);
    out[o++] = b < 0 ? '?' : static_cast<char>(b);
  }
  out.resize(o);
  return out;
}

std::u16string AnsiToWide(std::string_view Text) {
  std::u16string out;
  out.reserve(Text.size());
  for (char c : Text) out += cp1252ToUnicode(static_cast<unsigned char>(c));
  return out;
}

std::string AnsiLowerCase(std::string_view Text) {
  std::string out(Text);
  for (char& ch : out) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
      ch = static_cast<char>(c + 0x20);
    else if (c == 0x8A || c == 0x8C || c == 0x8E)
      ch = static_cast<char>(c + 0x10);
    else if (c == 0x9F)
      ch = static_cast<char>(0xFF);
  }
  return out;
}

std::string AnsiUpperCase(std::string_view Text) {
  std::string out(Text);
  for (char& ch : out) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
      ch = static_cast<char>(c - 0x20);
    else if (c == 0x9A || c == 0x9C || c == 0x9E)
      ch = static_cast<char>(c - 0x10);
    else if (c == 0xFF)
      ch = static_cast<char>(0x9F);
  }
  return out;
}

#else

std::string WideToAnsi(std::u16string_view Text) {
  if (Text.empty()) return {};
  // One '?' per character: a surrogate pair (never in an ANSI code page) and an unpaired surrogate become
  // U+FFFD first, which has no equivalent either; best-fit substitutes are refused.
  std::wstring wide;
  wide.reserve(Text.size());
  for (size_t i = 0; i < Text.size(); ++i) {
    const char16_t u = Text[i];
    if (u >= 0xD800 && u <= 0xDFFF) {
      if (u <= 0xDBFF && i + 1 < Text.size() && Text[i + 1] >= 0xDC00 && Text[i + 1] <= 0xDFFF) ++i;
      wide += L'\xFFFD';
    } else {
      wide += static_cast<wchar_t>(u);
    }
  }
  const int len = static_cast<int>(wide.size());
  const int n = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), len, nullptr, 0, "?", nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), len, out.data(), n, "?", nullptr);
  return out;
}

std::string Utf16LeToAnsi(const uint8_t* Bytes, size_t Count) {
  std::u16string wide(Count, u'\0');
  for (size_t i = 0; i < Count; ++i)
    wide[i] = static_cast<char16_t>(Bytes[2 * i] | Bytes[2 * i + 1] << 8);
  return WideToAnsi(wide);
}

std::u16string AnsiToWide(std::string_view Text) {
  if (Text.empty()) return {};
  const int len = static_cast<int>(Text.size());
  const int n = ::MultiByteToWideChar(CP_ACP, 0, Text.data(), len, nullptr, 0);
  std::u16string out(static_cast<size_t>(n), u'\0');
  ::MultiByteToWideChar(CP_ACP, 0, Text.data(), len, reinterpret_cast<wchar_t*>(out.data()), n);
  return out;
}

std::string AnsiLowerCase(std::string_view Text) {
  std::string out(Text);
  if (!out.empty()) ::CharLowerBuffA(out.data(), static_cast<DWORD>(out.size()));
  return out;
}

std::string AnsiUpperCase(std::string_view Text) {
  std::string out(Text);
  if (!out.empty()) ::CharUpperBuffA(out.data(), static_cast<DWORD>(out.size()));
  return out;
}

#endif

std::string AnsiToUtf8(std::string_view Text) {
  const std::u16string wide = AnsiToWide(Text);
  std::string out;
  out.reserve(wide.size());
  for (size_t i = 0; i < wide.size(); ++i) {
    char32_t c = wide[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
      ++i;
    }
    appendUtf8(out, c);
  }
  return out;
}

std::string Utf8ToAnsi(std::string_view Text) {
  std::u16string wide;
  wide.reserve(Text.size());
  size_t i = 0;
  while (i < Text.size()) {
    const auto b = static_cast<unsigned char>(Text[i]);
    size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    char32_t c = len == 1 ? b : len == 2 ? (b & 0x1Fu) : len == 3 ? (b & 0x0Fu) : (b & 0x07u);
    bool ok = len > 0 && i + len <= Text.size();
    for (size_t k = 1; ok && k < len; ++k) {
      const auto cb = static_cast<unsigned char>(Text[i + k]);
      if ((cb & 0xC0) != 0x80) {
        ok = false;
        len = k;
      } else {
        c = (c << 6) | (cb & 0x3Fu);
      }
    }
    if (!ok || (len == 2 && c < 0x80) || (len == 3 && c < 0x800) || (len == 4 && (c < 0x10000 || c > 0x10FFFF)) ||
        (c >= 0xD800 && c <= 0xDFFF)) {
      wide += u'?';
      i += len == 0 ? 1 : len;
      continue;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      wide += static_cast<char16_t>(0xD800 + (c >> 10));
      wide += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      wide += static_cast<char16_t>(c);
    }
    i += len;
  }
  return WideToAnsi(wide);
}

}  // namespace lw::os
