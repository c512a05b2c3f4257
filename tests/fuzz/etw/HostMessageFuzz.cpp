// The client's decoding of what a session host sends: one frame, and for a buffer every record in it.
#include <cstddef>
#include <cstdint>

#include "platform/etw/posix/Wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  using namespace lw::etw::wire;
  tHostMessage m;
  if (DecodeHostMessage(std::span<const uint8_t>(Data, Size), m) != tDecode::Ok) return 0;
  if (m.Type == tMsg::Buffer) {
    size_t total = 0;
    WalkBuffer(m.Buffer, [&](const lw::etw::EVENT_TRACE_HEADER& H, std::span<const uint8_t> Payload) {
      total += Payload.size() + H.Size;
    });
    (void)total;
  }
  return 0;
}
