#include "server/ControlInterface.h"

#include <atomic>

using lw::rpc::CallContext;
using lw::rpc::NdrReader;
using lw::rpc::NdrWriter;
using lw::rpc::RPC_STATUS;

const lw::rpc::RPC_SYNTAX_IDENTIFIER kControlInterfaceId = {
    {0x772aa01b, 0xcff8, 0x4511, {0xaf, 0x9e, 0xd3, 0x54, 0x6d, 0xdf, 0xb0, 0x9b}}, {1, 0}};

namespace {

std::atomic<const tControlServerHooks*> gHooks{nullptr};

RPC_STATUS stubCheckServer(CallContext&, NdrReader&, NdrWriter& Out) {
  int32_t value = 0;
  int32_t result = CheckServer(&value);
  Out.writeI32(value);
  Out.writeI32(result);
  return lw::rpc::RPC_S_OK;
}

RPC_STATUS stubRegisterSupplier(CallContext&, NdrReader& In, NdrWriter& Out) {
  control::tRegisterArgs a;
  if (!control::DecodeRegisterRequest(In, a)) return lw::rpc::RPC_X_BAD_STUB_DATA;
  Out.writeI32(RegisterSupplier(a.ProcessID, a.SupplierName, a.SupplierID, a.Level, a.AuxText1, a.Settings,
                                a.AuxText2));
  return lw::rpc::RPC_S_OK;
}

RPC_STATUS stubPollSupplier(CallContext&, NdrReader& In, NdrWriter& Out) {
  uint32_t pid = 0;
  if (!control::DecodePollRequest(In, pid)) return lw::rpc::RPC_X_BAD_STUB_DATA;
  Out.writeI32(PollSupplier(pid));
  return lw::rpc::RPC_S_OK;
}

lw::rpc::RPC_SERVER_INTERFACE makeInterface() {
  lw::rpc::RPC_SERVER_INTERFACE i;
  i.InterfaceId = kControlInterfaceId;
  i.Flags = lw::rpc::RPC_INTERFACE_HAS_CALLBACKS;
  i.Routines = {stubCheckServer, stubRegisterSupplier, stubPollSupplier};
  return i;
}

}  // namespace

const lw::rpc::RPC_SERVER_INTERFACE ControlInterface = makeInterface();

void SetControlServerHooks(const tControlServerHooks* Hooks) { gHooks.store(Hooks); }

int32_t CheckServer(int32_t* Value) {
  if (Value) *Value = 1;
  return 0;
}

int32_t RegisterSupplier(uint32_t ProcessID, const std::string& SupplierName, uint32_t SupplierID, int32_t Level,
                         const std::string& AuxText1, const std::string& Settings, const std::string& AuxText2) {
  const tControlServerHooks* h = gHooks.load();
  if (!h || !h->RegisterSupplier) return 0;
  return h->RegisterSupplier(ProcessID, SupplierName, SupplierID, Level, AuxText1, Settings, AuxText2);
}

int32_t PollSupplier(uint32_t ProcessID) {
  const tControlServerHooks* h = gHooks.load();
  if (!h || !h->PollSupplier) return 0;
  return h->PollSupplier(ProcessID);
}

int32_t ApplyTraceSettings(uint32_t SupplierID, int32_t Level, const char* Settings, const char* ExceptionSettings) {
  CallContext* call = CallContext::Current();
  if (!call) throw lw::rpc::RpcException(lw::rpc::RPC_S_NO_CALL_ACTIVE);
  control::tApplyArgs a;
  a.SupplierID = SupplierID;
  a.Level = Level;
  a.Settings = Settings ? Settings : "";
  a.ExceptionSettings = ExceptionSettings ? ExceptionSettings : "";
  lw::rpc::StubReply reply = call->Callback(control::kCallbackApplyTraceSettings, control::EncodeApplyRequest(a));
  NdrReader in(reply.Stub, reply.LittleEndian);
  int32_t result = 0;
  if (!control::DecodeLongs(in, {&result, 1})) throw lw::rpc::RpcException(lw::rpc::RPC_X_BAD_STUB_DATA);
  return result;
}

namespace control {

std::vector<uint8_t> EncodeRegisterRequest(const tRegisterArgs& A) {
  NdrWriter w;
  w.writeU32(A.ProcessID);
  w.writeConformantVaryingString(A.SupplierName);
  w.writeU32(A.SupplierID);
  w.writeI32(A.Level);
  w.writeConformantVaryingString(A.AuxText1);
  w.writeConformantVaryingString(A.Settings);
  w.writeConformantVaryingString(A.AuxText2);
  return w.take();
}

bool DecodeRegisterRequest(NdrReader& In, tRegisterArgs& A) {
  tRegisterArgs a;
  if (!In.readU32(a.ProcessID) || !In.readConformantVaryingString(a.SupplierName) || !In.readU32(a.SupplierID) ||
      !In.readI32(a.Level) || !In.readConformantVaryingString(a.AuxText1) ||
      !In.readConformantVaryingString(a.Settings) || !In.readConformantVaryingString(a.AuxText2))
    return false;
  A = std::move(a);
  return true;
}

std::vector<uint8_t> EncodePollRequest(uint32_t ProcessID) {
  NdrWriter w;
  w.writeU32(ProcessID);
  return w.take();
}

bool DecodePollRequest(NdrReader& In, uint32_t& ProcessID) { return In.readU32(ProcessID); }

std::vector<uint8_t> EncodeApplyRequest(const tApplyArgs& A) {
  NdrWriter w;
  w.writeU32(A.SupplierID);
  w.writeI32(A.Level);
  w.writeConformantVaryingString(A.Settings);
  w.writeConformantVaryingString(A.ExceptionSettings);
  return w.take();
}

bool DecodeApplyRequest(NdrReader& In, tApplyArgs& A) {
  tApplyArgs a;
  if (!In.readU32(a.SupplierID) || !In.readI32(a.Level) || !In.readConformantVaryingString(a.Settings) ||
      !In.readConformantVaryingString(a.ExceptionSettings))
    return false;
  A = std::move(a);
  return true;
}

std::vector<uint8_t> EncodeLongs(std::span<const int32_t> Values) {
  NdrWriter w;
  for (int32_t v : Values) w.writeI32(v);
  return w.take();
}

bool DecodeLongs(NdrReader& In, std::span<int32_t> Values) {
  for (int32_t& v : Values)
    if (!In.readI32(v)) return false;
  return true;
}

}  // namespace control
