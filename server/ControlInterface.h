// The control interface between the viewer and its suppliers: identity, the three procedures the viewer
// serves, and the callback it makes into the supplier whose poll is running.
//
// Wire layouts (NDR, stub data):
//   0 CheckServer       request: (empty)                                   response: Value, result
//   1 RegisterSupplier  request: ProcessID, SupplierName$, SupplierID, Level, AuxText1$, Settings$, AuxText2$
//                       response: result
//   2 PollSupplier      request: ProcessID                                 response: result
//   callback 0 ApplyTraceSettings (viewer to supplier)
//                       request: SupplierID, Level, Settings$, ExceptionSettings$  response: result
// (longs 4 bytes aligned to 4; $ a conformant varying string with its terminator.)
//
// The server routines of procedures 1 and 2 hand the call to the hooks that the control server installs
// with SetControlServerHooks once it is fully constructed and published. Until then (no hooks) both answer
// 0 and touch nothing. CheckServer always answers Value 1 and result 0.
//
// Thread-safety: the routines run on the runtime's connection threads, concurrently; installing the hooks
// is atomic. The hooks must be thread-safe (the server serialises them on its own lock).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/rpc/Ndr.h"
#include "platform/rpc/Rpc.h"

// Interface 772aa01b-cff8-4511-af9e-d3546ddfb09b version 1.0, flags 0x04000000 (has callbacks), with the
// three server routines in opnum order. Register it with lw::rpc::RpcServerRegisterIfEx.
extern const lw::rpc::RPC_SERVER_INTERFACE ControlInterface;
inline const lw::rpc::RPC_IF_HANDLE ControlInterface_v1_0_s_ifspec = &ControlInterface;
// The interface UUID as text (the object UUID of the server's own port lookup).
inline constexpr const char* kControlInterfaceUuid = "772aa01b-cff8-4511-af9e-d3546ddfb09b";
extern const lw::rpc::RPC_SYNTAX_IDENTIFIER kControlInterfaceId;

// What procedures 1 and 2 call into. Both pointers must be set.
struct tControlServerHooks {
  int32_t (*RegisterSupplier)(uint32_t ProcessID, const std::string& SupplierName, uint32_t SupplierID,
                              int32_t Level, const std::string& AuxText1, const std::string& Settings,
                              const std::string& AuxText2) = nullptr;
  int32_t (*PollSupplier)(uint32_t ProcessID) = nullptr;
};
// Installs the hooks (an object that lives until process end), or removes them with null.
void SetControlServerHooks(const tControlServerHooks* Hooks);

// The server routines, callable without the runtime (the interface's stub routines unmarshal and call
// these).
int32_t CheckServer(int32_t* Value);
int32_t RegisterSupplier(uint32_t ProcessID, const std::string& SupplierName, uint32_t SupplierID, int32_t Level,
                         const std::string& AuxText1, const std::string& Settings, const std::string& AuxText2);
int32_t PollSupplier(uint32_t ProcessID);

// The callback: calls ApplyTraceSettings back on the client of the call the calling thread is executing
// (procedure 2), over its connection, and returns the long the supplier answers. Throws
// lw::rpc::RpcException with the RPC status when the call fails (fault, connection lost, no answer within
// the interface's callback time-out; RPC_S_NO_CALL_ACTIVE when the thread executes no call).
int32_t ApplyTraceSettings(uint32_t SupplierID, int32_t Level, const char* Settings,
                           const char* ExceptionSettings);

// ---- Marshalling, shared with the supplier side and the tests ----------------------------------------
namespace control {

inline constexpr uint16_t kOpCheckServer = 0;
inline constexpr uint16_t kOpRegisterSupplier = 1;
inline constexpr uint16_t kOpPollSupplier = 2;
inline constexpr uint16_t kCallbackApplyTraceSettings = 0;

struct tRegisterArgs {
  uint32_t ProcessID = 0;
  std::string SupplierName;
  uint32_t SupplierID = 0;
  int32_t Level = 0;
  std::string AuxText1;
  std::string Settings;
  std::string AuxText2;
};
struct tApplyArgs {
  uint32_t SupplierID = 0;
  int32_t Level = 0;
  std::string Settings;
  std::string ExceptionSettings;
};

std::vector<uint8_t> EncodeRegisterRequest(const tRegisterArgs& Args);
bool DecodeRegisterRequest(lw::rpc::NdrReader& In, tRegisterArgs& Args);
std::vector<uint8_t> EncodePollRequest(uint32_t ProcessID);
bool DecodePollRequest(lw::rpc::NdrReader& In, uint32_t& ProcessID);
std::vector<uint8_t> EncodeApplyRequest(const tApplyArgs& Args);
bool DecodeApplyRequest(lw::rpc::NdrReader& In, tApplyArgs& Args);
// Responses: a sequence of longs ([out] values, then the result).
std::vector<uint8_t> EncodeLongs(std::span<const int32_t> Values);
bool DecodeLongs(lw::rpc::NdrReader& In, std::span<int32_t> Values);

}  // namespace control
