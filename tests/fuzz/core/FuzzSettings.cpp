// Any text through the settings parser, with both bracket pairs, and every lookup path.
#include <cstdint>
#include <string>

#include "settings/CmdLineParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string text(reinterpret_cast<const char*>(Data), Size);
  for (auto [open, close] : {std::pair{'[', ']'}, std::pair{'{', '}'}}) {
    tCmdLineParser p(text, open, close);
    p.First();
    std::string k, v;
    while (p.Next(k, v)) {
      // Items may overlap (the opening position is never cleared), but each lies inside the text.
      if (k.size() + v.size() > text.size()) __builtin_trap();
      if (p.GetString(k, "") != v && !v.empty()) __builtin_trap();  // a stored key finds its value
      (void)p.GetInt(k, 0);
      (void)tCmdLineParser::StripQuotes(v);
    }
  }
  (void)StrToIntDef(text, 0);
  return 0;
}
