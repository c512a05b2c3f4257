// Endpoint-mapper stubs and towers, and the mapper's routines on what decodes.
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/rpc/Epm.h"

namespace {
struct LoopCall : lw::rpc::CallContext {
  uint16_t Opnum() const override { return 0; }
  uint64_t ConnectionId() const override { return 1; }
  bool PeerIsLoopback() const override { return true; }
  lw::rpc::StubReply Callback(uint16_t, std::span<const uint8_t>) override {
    throw lw::rpc::RpcException(lw::rpc::RPC_S_CALL_FAILED);
  }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  using namespace lw::rpc;
  if (Size == 0) return 0;
  std::span<const uint8_t> in(Data + 1, Size - 1);
  epm::Tower t;
  epm::decodeTower(in, t);
  {
    NdrReader r(in);
    epm::MapResponse m;
    epm::decodeMapResponse(r, m);
  }
  {
    NdrReader r(in);
    epm::LookupResponse l;
    epm::decodeLookupResponse(r, l);
  }
  // The mapper's routines (insert, delete, lookup, map, handle free), chosen by the first byte.
  LoopCall call;
  NdrReader r(in, (Data[0] & 0x80) == 0);
  NdrWriter w;
  epm::mapperInterface()->Routines[Data[0] % 5](call, r, w);
  if (Data[0] & 0x40) epm::mapperInterface()->ConnectionClosed(1);
  return 0;
}
