// The endpoint-mapper calls of the runtime: registration over a connection kept for the life of the
// process (the mapper forgets the entries when it closes), and resolution of a binding's endpoint.
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/os/Os.h"
#include "platform/rpc/Epm.h"
#include "platform/rpc/Internal.h"
#include "platform/rpc/Ndr.h"
#include "platform/rpc/Socket.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace lw::rpc {

namespace {

#ifndef _WIN32
// Starts logwarden-epmd detached, so that it outlives this process as the system's mapper would.
void startMapper() {
  std::string path;
  if (const char* env = std::getenv("LOGWARDEN_EPMD"); env && *env) {
    path = env;
  } else {
    std::string local = lw::os::ProgramFolder() + "logwarden-epmd";
    struct stat st {};
    path = ::stat(local.c_str(), &st) == 0 ? local : std::string("logwarden-epmd");
  }
  std::string port = std::to_string(endpointMapperPort());
  const char* argv[] = {path.c_str(), "--port", port.c_str(), "--idle-exit", "30", nullptr};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    if (::fork() != 0) ::_exit(0);
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    ::execvp(argv[0], const_cast<char* const*>(argv));
    ::_exit(127);
  }
  if (pid > 0) {
    int status = 0;
    ::waitpid(pid, &status, 0);
  }
}
#endif

// Connects Binding to the mapper, starting a local one when nothing answers.
RPC_STATUS callMapper(RpcBinding& Binding, uint16_t Opnum, const std::vector<uint8_t>& Stub, StubReply& Reply) {
  RPC_STATUS st = clientCall(&Binding, epm::kEpmInterface, Opnum, Stub, Reply);
  if (st != RPC_S_SERVER_UNAVAILABLE || !net::isLocalHostName(Binding.Parts.NetworkAddr)) return st;
#ifdef _WIN32
  return st;
#else
  startMapper();
  for (int i = 0; i < 50 && st == RPC_S_SERVER_UNAVAILABLE; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    st = clientCall(&Binding, epm::kEpmInterface, Opnum, Stub, Reply);
  }
  return st;
#endif
}

void initMapperBinding(RpcBinding& B, const std::string& Host) {
  B.Parts.Protseq = "ncacn_ip_tcp";
  B.Parts.NetworkAddr = Host.empty() ? "127.0.0.1" : Host;
  B.Parts.Endpoint = std::to_string(endpointMapperPort());
  B.CallTimeoutMs = 10000;
}

std::mutex gRegistrationMutex;
RpcBinding* gRegistration = nullptr;  // kept open until process exit

RPC_STATUS insertOrDelete(RPC_IF_HANDLE IfSpec, RPC_BINDING_VECTOR* BindingVector, UUID_VECTOR* UuidVector,
                          const char* Annotation, bool Delete) {
  if (!IfSpec || !BindingVector) return RPC_S_INVALID_ARG;
  if (UuidVector && UuidVector->Count > 0) return RPC_S_INVALID_ARG;  // no object UUIDs in this runtime
  epm::InsertRequest req;
  req.Replace = Delete ? 0 : 1;
  for (uint32_t i = 0; i < BindingVector->Count; ++i) {
    RPC_BINDING_HANDLE b = BindingVector->BindingH[i];
    if (!b) return RPC_S_INVALID_BINDING;
    epm::Tower t;
    t.Interface = IfSpec->InterfaceId;
    t.Transfer = kNdrTransferSyntax;
    unsigned long port = std::strtoul(b->Parts.Endpoint.c_str(), nullptr, 10);
    if (port == 0 || port > 65535) return RPC_S_INVALID_ENDPOINT_FORMAT;
    t.Port = static_cast<uint16_t>(port);
    t.Address = {127, 0, 0, 1};
    epm::Entry e;
    e.Tower = epm::encodeTower(t);
    e.Annotation = Annotation ? Annotation : "";
    req.Entries.push_back(std::move(e));
  }
  std::lock_guard<std::mutex> lock(gRegistrationMutex);
  if (!gRegistration) {
    gRegistration = new RpcBinding;
    initMapperBinding(*gRegistration, "127.0.0.1");
  }
  StubReply reply;
  RPC_STATUS st = callMapper(*gRegistration, Delete ? epm::kOpDelete : epm::kOpInsert,
                             epm::encodeInsertRequest(req), reply);
  if (st == RPC_S_CALL_FAILED_DNE || st == RPC_S_CALL_FAILED) st = RPC_S_SERVER_UNAVAILABLE;
  if (st != RPC_S_OK) return st;
  NdrReader in(reply.Stub, reply.LittleEndian);
  uint32_t status = 0;
  if (!in.readU32(status)) return RPC_X_BAD_STUB_DATA;
  return statusFromFault(status);
}

}  // namespace

RPC_STATUS RpcEpRegisterA(RPC_IF_HANDLE IfSpec, RPC_BINDING_VECTOR* BindingVector, UUID_VECTOR* UuidVector,
                          const char* Annotation) {
  return insertOrDelete(IfSpec, BindingVector, UuidVector, Annotation, false);
}

RPC_STATUS RpcEpUnregister(RPC_IF_HANDLE IfSpec, RPC_BINDING_VECTOR* BindingVector, UUID_VECTOR* UuidVector) {
  return insertOrDelete(IfSpec, BindingVector, UuidVector, nullptr, true);
}

RPC_STATUS RpcEpResolveBinding(RPC_BINDING_HANDLE Binding, RPC_IF_HANDLE IfSpec) {
  if (!IfSpec) return RPC_S_INVALID_ARG;
  return RpcEpResolveBinding(Binding, IfSpec->InterfaceId);
}

RPC_STATUS RpcEpResolveBinding(RPC_BINDING_HANDLE Binding, const RPC_SYNTAX_IDENTIFIER& Interface) {
  if (!Binding) return RPC_S_INVALID_BINDING;
  {
    std::lock_guard<std::mutex> lock(Binding->CallMutex);
    if (!Binding->Parts.Endpoint.empty()) return RPC_S_OK;
  }
  epm::MapRequest req;
  if (!Binding->Parts.ObjUuid.empty()) req.Object = lw::tGuid::Parse(Binding->Parts.ObjUuid);
  if (!req.Object) req.Object = UUID{};
  epm::Tower want;
  want.Interface = Interface;
  want.Transfer = kNdrTransferSyntax;
  req.Tower = epm::encodeTower(want);
  req.MaxTowers = 4;
  RpcBinding mapper;
  initMapperBinding(mapper, Binding->Parts.NetworkAddr);
  StubReply reply;
  RPC_STATUS st = callMapper(mapper, epm::kOpMap, epm::encodeMapRequest(req), reply);
  if (st == RPC_S_CALL_FAILED_DNE) st = RPC_S_SERVER_UNAVAILABLE;
  if (st != RPC_S_OK) return st;
  NdrReader in(reply.Stub, reply.LittleEndian);
  epm::MapResponse resp;
  if (!epm::decodeMapResponse(in, resp)) return RPC_X_BAD_STUB_DATA;
  if (resp.Status != 0) return statusFromFault(resp.Status);
  for (const auto& octets : resp.Towers) {
    epm::Tower t;
    if (epm::decodeTower(octets, t) && t.Port != 0) {
      std::lock_guard<std::mutex> lock(Binding->CallMutex);
      Binding->Parts.Endpoint = std::to_string(t.Port);
      return RPC_S_OK;
    }
  }
  return EPT_S_NOT_REGISTERED;
}

}  // namespace lw::rpc
