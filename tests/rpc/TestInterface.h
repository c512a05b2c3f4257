// A test interface served by the runtime in the test programs and the interop test server.
//   opnum 0: echo (returns the request's stub unchanged)
//   opnum 1: callback: calls back callback opnum 0 with the request's stub, answers the callback's stub
//            prefixed by status 0, or only the failure status (4 bytes) when the callback raised
//   opnum 2: answers RPC_X_BAD_STUB_DATA
//   opnum 3: the status of the last callback made by opnum 1 (0 or the raised status) as a long
#pragma once

#include <atomic>

#include "platform/rpc/Ndr.h"
#include "platform/rpc/Rpc.h"

namespace lw::rpc::test {

inline const RPC_SYNTAX_IDENTIFIER kTestInterfaceId = {
    {0x5d1e2c3b, 0x4a59, 0x4b68, {0x97, 0x86, 0x75, 0x64, 0x53, 0x42, 0x31, 0x20}}, {1, 0}};

inline std::atomic<int32_t> gLastCallbackStatus{-1};

inline RPC_SERVER_INTERFACE makeTestInterface() {
  RPC_SERVER_INTERFACE i;
  i.InterfaceId = kTestInterfaceId;
  i.Flags = RPC_INTERFACE_HAS_CALLBACKS;
  i.Routines = {
      [](CallContext&, NdrReader& In, NdrWriter& Out) {
        std::span<const uint8_t> all;
        In.readBytes(In.remaining(), all);
        Out.writeBytes(all);
        return RPC_S_OK;
      },
      [](CallContext& Call, NdrReader& In, NdrWriter& Out) {
        std::span<const uint8_t> all;
        In.readBytes(In.remaining(), all);
        try {
          StubReply r = Call.Callback(0, all);
          gLastCallbackStatus.store(0);
          Out.writeU32(0);
          Out.writeBytes(r.Stub);
        } catch (const RpcException& e) {
          gLastCallbackStatus.store(e.Status());
          Out.writeI32(e.Status());
        }
        return RPC_S_OK;
      },
      [](CallContext&, NdrReader&, NdrWriter&) { return RPC_X_BAD_STUB_DATA; },
      [](CallContext&, NdrReader&, NdrWriter& Out) {
        Out.writeI32(gLastCallbackStatus.load());
        return RPC_S_OK;
      },
  };
  return i;
}

}  // namespace lw::rpc::test
