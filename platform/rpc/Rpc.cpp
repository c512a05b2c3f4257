// The runtime's small pieces: statuses, string bindings, binding handles, the substitutable API.
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/rpc/Internal.h"
#include "platform/rpc/Pdu.h"
#include "platform/rpc/Rpc.h"

namespace lw::rpc {

const RPC_SYNTAX_IDENTIFIER kNdrTransferSyntax = {
    {0x8a885d04, 0x1ceb, 0x11c9, {0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60}}, {2, 0}};

RpcException::RpcException(RPC_STATUS Status)
    : std::runtime_error("RPC status " + std::to_string(Status)), status_(Status) {}

namespace {
struct FaultPair {
  uint32_t Fault;
  RPC_STATUS Status;
};
constexpr FaultPair kFaults[] = {
    {pdu::nca_s_op_rng_error, RPC_S_PROCNUM_OUT_OF_RANGE},
    {pdu::nca_s_unk_if, RPC_S_UNKNOWN_IF},
    {pdu::nca_s_proto_error, RPC_S_PROTOCOL_ERROR},
    {pdu::nca_s_server_too_busy, RPC_S_SERVER_TOO_BUSY},
    {pdu::nca_s_fault_unspec, RPC_S_CALL_FAILED},
    {pdu::nca_s_fault_int_div_by_zero, 1767},
    {pdu::nca_s_fault_cancel, 1818},
    {0x16C9A0D6, EPT_S_NOT_REGISTERED},
};
}  // namespace

RPC_STATUS statusFromFault(uint32_t FaultStatus) {
  for (const auto& f : kFaults)
    if (f.Fault == FaultStatus) return f.Status;
  return static_cast<RPC_STATUS>(FaultStatus);
}

uint32_t faultFromStatus(RPC_STATUS Status) {
  for (const auto& f : kFaults)
    if (f.Status == Status && f.Fault != 0x16C9A0D6) return f.Fault;
  return static_cast<uint32_t>(Status);
}

uint16_t endpointMapperPort() {
  const char* env = std::getenv("LOGWARDEN_EPM_PORT");
  if (env && *env) {
    char* end = nullptr;
    long v = std::strtol(env, &end, 10);
    if (end && *end == 0 && v > 0 && v < 65536) return static_cast<uint16_t>(v);
  }
  return 135;
}

char* dupString(const std::string& Text) {
  auto* p = static_cast<char*>(std::malloc(Text.size() + 1));
  if (p) std::memcpy(p, Text.c_str(), Text.size() + 1);
  return p;
}

RPC_STATUS parseStringBinding(const char* Text, StringBindingParts& Out) {
  if (!Text) return RPC_S_INVALID_STRING_BINDING;
  std::string s(Text);
  StringBindingParts parts;
  size_t at = s.find('@');
  size_t colon = s.find(':');
  if (at != std::string::npos && (colon == std::string::npos || at < colon)) {
    parts.ObjUuid = s.substr(0, at);
    if (!parts.ObjUuid.empty() && !lw::tGuid::Parse(parts.ObjUuid)) return RPC_S_INVALID_STRING_UUID;
    s = s.substr(at + 1);
    colon = s.find(':');
  }
  if (colon == std::string::npos || colon == 0) return RPC_S_INVALID_STRING_BINDING;
  parts.Protseq = s.substr(0, colon);
  std::string rest = s.substr(colon + 1);
  size_t open = rest.find('[');
  if (open == std::string::npos) {
    parts.NetworkAddr = rest;
  } else {
    if (rest.empty() || rest.back() != ']' || rest.find('[', open + 1) != std::string::npos)
      return RPC_S_INVALID_STRING_BINDING;
    parts.NetworkAddr = rest.substr(0, open);
    std::string inside = rest.substr(open + 1, rest.size() - open - 2);
    size_t comma = inside.find(',');
    parts.Endpoint = inside.substr(0, comma);
    if (comma != std::string::npos) parts.Options = inside.substr(comma + 1);
    // "endpoint=N" is the long form of the endpoint option.
    if (parts.Endpoint.rfind("endpoint=", 0) == 0) parts.Endpoint = parts.Endpoint.substr(9);
  }
  if (parts.NetworkAddr.find(']') != std::string::npos) return RPC_S_INVALID_STRING_BINDING;
  Out = std::move(parts);
  return RPC_S_OK;
}

std::string composeStringBinding(const StringBindingParts& P) {
  std::string s;
  if (!P.ObjUuid.empty()) s += P.ObjUuid + "@";
  s += P.Protseq + ":" + P.NetworkAddr;
  if (!P.Endpoint.empty() || !P.Options.empty()) {
    s += "[" + P.Endpoint;
    if (!P.Options.empty()) s += "," + P.Options;
    s += "]";
  }
  return s;
}

RPC_STATUS RpcStringBindingComposeA(const char* ObjUuid, const char* Protseq, const char* NetworkAddr,
                                    const char* Endpoint, const char* Options, RPC_CSTR* StringBinding) {
  if (!StringBinding) return RPC_S_INVALID_ARG;
  StringBindingParts p;
  p.ObjUuid = ObjUuid ? ObjUuid : "";
  if (!p.ObjUuid.empty() && !lw::tGuid::Parse(p.ObjUuid)) return RPC_S_INVALID_STRING_UUID;
  p.Protseq = Protseq ? Protseq : "";
  p.NetworkAddr = NetworkAddr ? NetworkAddr : "";
  p.Endpoint = Endpoint ? Endpoint : "";
  p.Options = Options ? Options : "";
  *StringBinding = dupString(composeStringBinding(p));
  return *StringBinding ? RPC_S_OK : RPC_S_OUT_OF_MEMORY;
}

RPC_STATUS RpcStringBindingParseA(const char* StringBinding, RPC_CSTR* ObjUuid, RPC_CSTR* Protseq,
                                  RPC_CSTR* NetworkAddr, RPC_CSTR* Endpoint, RPC_CSTR* NetworkOptions) {
  StringBindingParts p;
  RPC_STATUS st = parseStringBinding(StringBinding, p);
  if (st != RPC_S_OK) return st;
  if (ObjUuid) *ObjUuid = dupString(p.ObjUuid);
  if (Protseq) *Protseq = dupString(p.Protseq);
  if (NetworkAddr) *NetworkAddr = dupString(p.NetworkAddr);
  if (Endpoint) *Endpoint = dupString(p.Endpoint);
  if (NetworkOptions) *NetworkOptions = dupString(p.Options);
  return RPC_S_OK;
}

RPC_STATUS RpcStringFreeA(RPC_CSTR* String) {
  if (!String) return RPC_S_INVALID_ARG;
  std::free(*String);
  *String = nullptr;
  return RPC_S_OK;
}

RPC_STATUS RpcBindingFromStringBindingA(const char* StringBinding, RPC_BINDING_HANDLE* Binding) {
  if (!Binding) return RPC_S_INVALID_ARG;
  StringBindingParts p;
  RPC_STATUS st = parseStringBinding(StringBinding, p);
  if (st != RPC_S_OK) return st;
  if (p.Protseq != "ncacn_ip_tcp") return RPC_S_PROTSEQ_NOT_SUPPORTED;
  auto* b = new RpcBinding;
  b->Parts = std::move(p);
  *Binding = b;
  return RPC_S_OK;
}

RPC_STATUS RpcBindingToStringBindingA(RPC_BINDING_HANDLE Binding, RPC_CSTR* StringBinding) {
  if (!Binding) return RPC_S_INVALID_BINDING;
  if (!StringBinding) return RPC_S_INVALID_ARG;
  *StringBinding = dupString(composeStringBinding(Binding->Parts));
  return *StringBinding ? RPC_S_OK : RPC_S_OUT_OF_MEMORY;
}

RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* Binding) {
  if (!Binding || !*Binding) return RPC_S_INVALID_BINDING;
  delete *Binding;
  *Binding = nullptr;
  return RPC_S_OK;
}

RPC_STATUS setCallTimeout(RPC_BINDING_HANDLE Binding, uint32_t Milliseconds) {
  if (!Binding) return RPC_S_INVALID_BINDING;
  if (Milliseconds == 0) return RPC_S_INVALID_ARG;
  std::lock_guard<std::mutex> lock(Binding->CallMutex);
  Binding->CallTimeoutMs = Milliseconds;
  return RPC_S_OK;
}

namespace {
class SystemApi final : public tRpcApi {
 public:
  RPC_STATUS RpcServerUseProtseqA(const char* Protseq, unsigned int MaxCalls, void* Sd) override {
    return lw::rpc::RpcServerUseProtseqA(Protseq, MaxCalls, Sd);
  }
  RPC_STATUS RpcServerRegisterIfEx(RPC_IF_HANDLE IfSpec, const UUID* Mgr, void* Epv, unsigned int Flags,
                                   unsigned int MaxCalls, void* Cb) override {
    return lw::rpc::RpcServerRegisterIfEx(IfSpec, Mgr, Epv, Flags, MaxCalls, Cb);
  }
  RPC_STATUS RpcServerInqBindings(RPC_BINDING_VECTOR** V) override { return lw::rpc::RpcServerInqBindings(V); }
  RPC_STATUS RpcEpRegisterA(RPC_IF_HANDLE IfSpec, RPC_BINDING_VECTOR* V, UUID_VECTOR* U, const char* A) override {
    return lw::rpc::RpcEpRegisterA(IfSpec, V, U, A);
  }
  RPC_STATUS RpcStringBindingComposeA(const char* O, const char* P, const char* N, const char* E, const char* Opt,
                                      RPC_CSTR* S) override {
    return lw::rpc::RpcStringBindingComposeA(O, P, N, E, Opt, S);
  }
  RPC_STATUS RpcBindingFromStringBindingA(const char* S, RPC_BINDING_HANDLE* B) override {
    return lw::rpc::RpcBindingFromStringBindingA(S, B);
  }
  RPC_STATUS RpcEpResolveBinding(RPC_BINDING_HANDLE B, RPC_IF_HANDLE IfSpec) override {
    return lw::rpc::RpcEpResolveBinding(B, IfSpec);
  }
  RPC_STATUS RpcBindingToStringBindingA(RPC_BINDING_HANDLE B, RPC_CSTR* S) override {
    return lw::rpc::RpcBindingToStringBindingA(B, S);
  }
  RPC_STATUS RpcStringBindingParseA(const char* S, RPC_CSTR* O, RPC_CSTR* P, RPC_CSTR* N, RPC_CSTR* E,
                                    RPC_CSTR* Opt) override {
    return lw::rpc::RpcStringBindingParseA(S, O, P, N, E, Opt);
  }
  RPC_STATUS RpcStringFreeA(RPC_CSTR* S) override { return lw::rpc::RpcStringFreeA(S); }
  RPC_STATUS RpcBindingVectorFree(RPC_BINDING_VECTOR** V) override { return lw::rpc::RpcBindingVectorFree(V); }
  RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* B) override { return lw::rpc::RpcBindingFree(B); }
  RPC_STATUS RpcServerListen(unsigned int Min, unsigned int Max, unsigned int DontWait) override {
    return lw::rpc::RpcServerListen(Min, Max, DontWait);
  }
  RPC_STATUS RpcMgmtStopServerListening(RPC_BINDING_HANDLE B) override {
    return lw::rpc::RpcMgmtStopServerListening(B);
  }
  RPC_STATUS RpcServerUnregisterIf(RPC_IF_HANDLE IfSpec, const UUID* Mgr, unsigned int Wait) override {
    return lw::rpc::RpcServerUnregisterIf(IfSpec, Mgr, Wait);
  }
};
}  // namespace

tRpcApi& SystemRpcApi() {
  static SystemApi api;
  return api;
}

}  // namespace lw::rpc
