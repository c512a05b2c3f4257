// The session host's decoding of what clients send: a byte stream split into frames, each decoded as
// a request, and the properties a start passes on the command line.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/etw/posix/Wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  using namespace lw::etw::wire;
  std::span<const uint8_t> in(Data, Size);
  size_t pos = 0;
  while (pos < in.size()) {
    std::span<const uint8_t> frame;
    size_t used = 0;
    if (SplitFrame(in.subspan(pos), frame, used) != tDecode::Ok) break;
    tRequest r;
    if (DecodeRequest(frame, r) == tDecode::Ok && r.Type == tMsg::Event && r.Event.size() < 48) __builtin_trap();
    pos += used;
  }
  tSession s;
  DecodeSessionHex(std::string(reinterpret_cast<const char*>(Data), Size), s);
  return 0;
}
