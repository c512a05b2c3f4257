// PDU parser: every decoder over arbitrary fragments.
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/rpc/Pdu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  using namespace lw::rpc::pdu;
  std::span<const uint8_t> in(Data, Size);
  Header h;
  if (!decodeHeader(in, h) || h.FragLength > Size) return 0;
  auto frag = in.first(h.FragLength);
  Bind b;
  BindAck a;
  BindNak n;
  Request q;
  Response r;
  Fault f;
  decodeBind(h, frag, b);
  decodeBindAck(h, frag, a);
  decodeBindNak(h, frag, n);
  decodeRequest(h, frag, q);
  decodeResponse(h, frag, r);
  decodeFault(h, frag, f);
  return 0;
}
