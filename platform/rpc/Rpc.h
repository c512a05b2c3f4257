// The RPC runtime: connection-oriented DCE RPC 5.0 over TCP ("ncacn_ip_tcp"), NDR 2.0, no authentication.
//
// The server and endpoint-mapper calls carry the platform runtime's names, argument order and status
// numbers, so the control server reads as it would against the system. Everything else (the procedure
// table of an interface, the call context, the client call) is our own, smaller than the platform's
// interpreted-stub machinery: a procedure is one routine that unmarshals its [in] parameters from an
// NdrReader, does the work and marshals its [out] parameters and result into an NdrWriter.
//
// Threads: the runtime serves every connection on a thread of its own (one call at a time per connection,
// many connections at once); server routines run on those threads. All functions below are thread-safe.
//
// Endpoint mapper: RpcEpRegisterA and RpcEpResolveBinding talk to the endpoint mapper on TCP port
// $LOGWARDEN_EPM_PORT (default 135) of the loopback address. On POSIX, when nothing answers there, they
// start `logwarden-epmd` (found through $LOGWARDEN_EPMD, else next to the running program, else on PATH).
// A registration lasts as long as the registering process keeps its endpoint-mapper connection (until
// RpcEpUnregister or process exit); a new registration of the same interface replaces older ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/os/Types.h"

namespace lw::rpc {

using RPC_STATUS = int32_t;
using UUID = lw::tGuid;
using RPC_CSTR = char*;

// ---- Status numbers (Win32) ------------------------------------------------------------------------
inline constexpr RPC_STATUS RPC_S_OK = 0;
inline constexpr RPC_STATUS RPC_S_ACCESS_DENIED = 5;
inline constexpr RPC_STATUS RPC_S_OUT_OF_MEMORY = 14;
inline constexpr RPC_STATUS RPC_S_INVALID_ARG = 87;
inline constexpr RPC_STATUS RPC_S_INVALID_STRING_BINDING = 1700;
inline constexpr RPC_STATUS RPC_S_WRONG_KIND_OF_BINDING = 1701;
inline constexpr RPC_STATUS RPC_S_INVALID_BINDING = 1702;
inline constexpr RPC_STATUS RPC_S_PROTSEQ_NOT_SUPPORTED = 1703;
inline constexpr RPC_STATUS RPC_S_INVALID_RPC_PROTSEQ = 1704;
inline constexpr RPC_STATUS RPC_S_INVALID_STRING_UUID = 1705;
inline constexpr RPC_STATUS RPC_S_INVALID_ENDPOINT_FORMAT = 1706;
inline constexpr RPC_STATUS RPC_S_INVALID_NET_ADDR = 1707;
inline constexpr RPC_STATUS RPC_S_NO_ENDPOINT_FOUND = 1708;
inline constexpr RPC_STATUS RPC_S_ALREADY_REGISTERED = 1711;
inline constexpr RPC_STATUS RPC_S_TYPE_ALREADY_REGISTERED = 1712;
inline constexpr RPC_STATUS RPC_S_ALREADY_LISTENING = 1713;
inline constexpr RPC_STATUS RPC_S_NO_PROTSEQS_REGISTERED = 1714;
inline constexpr RPC_STATUS RPC_S_NOT_LISTENING = 1715;
inline constexpr RPC_STATUS RPC_S_UNKNOWN_MGR_TYPE = 1716;
inline constexpr RPC_STATUS RPC_S_UNKNOWN_IF = 1717;
inline constexpr RPC_STATUS RPC_S_NO_BINDINGS = 1718;
inline constexpr RPC_STATUS RPC_S_CANT_CREATE_ENDPOINT = 1720;
inline constexpr RPC_STATUS RPC_S_OUT_OF_RESOURCES = 1721;
inline constexpr RPC_STATUS RPC_S_SERVER_UNAVAILABLE = 1722;
inline constexpr RPC_STATUS RPC_S_SERVER_TOO_BUSY = 1723;
inline constexpr RPC_STATUS RPC_S_NO_CALL_ACTIVE = 1725;
inline constexpr RPC_STATUS RPC_S_CALL_FAILED = 1726;
inline constexpr RPC_STATUS RPC_S_CALL_FAILED_DNE = 1727;
inline constexpr RPC_STATUS RPC_S_PROTOCOL_ERROR = 1728;
inline constexpr RPC_STATUS RPC_S_UNSUPPORTED_TRANS_SYN = 1730;
inline constexpr RPC_STATUS RPC_S_PROCNUM_OUT_OF_RANGE = 1745;
inline constexpr RPC_STATUS EPT_S_CANT_PERFORM_OP = 1752;
inline constexpr RPC_STATUS EPT_S_NOT_REGISTERED = 1753;
inline constexpr RPC_STATUS RPC_S_INTERNAL_ERROR = 1766;
inline constexpr RPC_STATUS RPC_X_BAD_STUB_DATA = 1783;
inline constexpr RPC_STATUS RPC_S_CALL_IN_PROGRESS = 1791;
inline constexpr RPC_STATUS RPC_S_COMM_FAILURE = 1820;

// Limits of the runtime.
inline constexpr uint32_t RPC_C_LISTEN_MAX_CALLS_DEFAULT = 1234;
inline constexpr uint32_t RPC_C_PROTSEQ_MAX_REQS_DEFAULT = 10;
inline constexpr uint32_t RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH = 0x10;
// Interface description flag: the interface has callbacks.
inline constexpr uint32_t RPC_INTERFACE_HAS_CALLBACKS = 0x04000000;
// A request whose stub data (all fragments) exceeds this is refused with status 5.
inline constexpr size_t kMaxRequestBytes = 4u * 1024u * 1024u;
// How long a server routine's callback waits for the client's answer unless the interface sets its own
// time-out with setCallbackTimeout. When it passes, the callback fails with RPC_S_CALL_FAILED and the
// connection is dropped (the answer could no longer be matched to anything).
inline constexpr uint32_t kDefaultCallbackTimeoutMs = 30000;
// How long a client waits for the response of a call (callbacks it serves meanwhile included) unless
// setCallTimeout sets another value on the binding. When it passes the call fails with RPC_S_CALL_FAILED.
inline constexpr uint32_t kDefaultCallTimeoutMs = 60000;
// A peer that stops sending in the middle of a PDU is dropped after this long (setFragmentTimeout).
inline constexpr uint32_t kFragmentTimeoutMs = 10000;

// ---- Identities --------------------------------------------------------------------------------------
struct RPC_VERSION {
  uint16_t MajorVersion = 0;
  uint16_t MinorVersion = 0;
  friend bool operator==(const RPC_VERSION&, const RPC_VERSION&) = default;
};
struct RPC_SYNTAX_IDENTIFIER {
  UUID SyntaxGUID;
  RPC_VERSION SyntaxVersion;
  friend bool operator==(const RPC_SYNTAX_IDENTIFIER&, const RPC_SYNTAX_IDENTIFIER&) = default;
};
// NDR 2.0, the only transfer syntax the runtime accepts.
extern const RPC_SYNTAX_IDENTIFIER kNdrTransferSyntax;

class NdrReader;
class NdrWriter;
class CallContext;

// One procedure (or callback) of an interface: unmarshals the [in] parameters from In, does the work,
// marshals [out] parameters and the result into Out. Returns RPC_S_OK, or a status that the runtime sends
// back as a fault instead of Out (RPC_X_BAD_STUB_DATA when In does not decode). A routine may also throw
// RpcException (for instance a failed callback it does not catch): the client then gets a fault with that
// status. Other exceptions become a fault with RPC_S_CALL_FAILED.
using StubRoutine = std::function<RPC_STATUS(CallContext& Call, NdrReader& In, NdrWriter& Out)>;

// The server's description of one interface; the routines are indexed by opnum. An object of this type
// must outlive its registration. RPC_IF_HANDLE points to it.
struct RPC_SERVER_INTERFACE {
  RPC_SYNTAX_IDENTIFIER InterfaceId;
  uint32_t Flags = 0;  // RPC_INTERFACE_HAS_CALLBACKS when the interface calls back
  std::vector<StubRoutine> Routines;
  // Called once for every connection that had bound to this interface, when it closes (on the
  // connection's thread, after its last call). Optional.
  std::function<void(uint64_t ConnectionId)> ConnectionClosed;
};
using RPC_IF_HANDLE = const RPC_SERVER_INTERFACE*;

// ---- Exception ---------------------------------------------------------------------------------------
// A failed call of the runtime that is raised rather than returned (the callback of a server routine,
// as the platform's client interpreter raises it). Status() is the RPC status: RPC_S_CALL_FAILED when the
// client went away or stayed silent, the client's fault status (mapped to the Win32 number) otherwise.
class RpcException : public std::runtime_error {
 public:
  explicit RpcException(RPC_STATUS Status);
  RPC_STATUS Status() const { return status_; }

 private:
  RPC_STATUS status_;
};

// The reply of a call or callback: its stub data and the integer representation the peer used.
struct StubReply {
  std::vector<uint8_t> Stub;
  bool LittleEndian = true;
};

// ---- Call context ------------------------------------------------------------------------------------
// What a routine knows of the call it is executing. On the server a routine gets the context of the call;
// CallContext::Current() gives the same object to code deeper down on that thread (null outside calls).
class CallContext {
 public:
  virtual ~CallContext() = default;

  // The context of the call the calling thread is executing, or null.
  static CallContext* Current();

  virtual uint16_t Opnum() const = 0;
  // Identifies the connection (unique for the life of the process, never 0).
  virtual uint64_t ConnectionId() const = 0;
  // True when the peer's address is a loopback address (127.0.0.0/8 or ::1).
  virtual bool PeerIsLoopback() const = 0;

  // Calls back the client of this call over its connection: a request PDU with this call's call_id and
  // presentation context and the callback's own Opnum (callbacks are numbered from 0 on their own). Waits
  // for the client's response, at most the interface's callback time-out. Returns the response's stub.
  // Throws RpcException: the client's fault status; RPC_S_CALL_FAILED when the connection is lost or the
  // client stays silent past the time-out (the connection is then dropped). Only on the thread that
  // executes the call, and only while it does. On the client side (a callback routine's context) nested
  // callbacks are not supported and this throws RPC_S_CALL_FAILED.
  virtual StubReply Callback(uint16_t Opnum, std::span<const uint8_t> InStub) = 0;
};

// Sets the time-out of the callbacks made by the routines of IfSpec (before or after registration; later
// calls replace the value). Default kDefaultCallbackTimeoutMs. RPC_S_INVALID_ARG for 0 or a null IfSpec.
RPC_STATUS setCallbackTimeout(RPC_IF_HANDLE IfSpec, uint32_t Milliseconds);
uint32_t callbackTimeout(RPC_IF_HANDLE IfSpec);
// Sets the process-wide time-out for the rest of a PDU once its first byte has arrived (default
// kFragmentTimeoutMs); applies to reads that start afterwards. RPC_S_INVALID_ARG for 0.
RPC_STATUS setFragmentTimeout(uint32_t Milliseconds);

// ---- Bindings ----------------------------------------------------------------------------------------
struct RpcBinding;  // opaque: string binding parts, and a client connection once used
using RPC_BINDING_HANDLE = RpcBinding*;

struct RPC_BINDING_VECTOR {
  uint32_t Count = 0;
  RPC_BINDING_HANDLE BindingH[1];  // Count entries (allocated by RpcServerInqBindings)
};
struct UUID_VECTOR {
  uint32_t Count = 0;
  UUID* Uuid[1];
};

// ---- Server API --------------------------------------------------------------------------------------
// Opens a listening TCP socket on every address with a port the system chooses; MaxCalls is the listen
// backlog (never below 128: a shorter queue makes bursts of connecting clients fail). Only "ncacn_ip_tcp" (else RPC_S_PROTSEQ_NOT_SUPPORTED); a second call adds another endpoint.
RPC_STATUS RpcServerUseProtseqA(const char* Protseq, unsigned int MaxCalls, void* SecurityDescriptor);
// The same with a fixed port (decimal text): RPC_S_INVALID_ENDPOINT_FORMAT for anything but 1..65535,
// RPC_S_CANT_CREATE_ENDPOINT when the port is taken.
RPC_STATUS RpcServerUseProtseqEpA(const char* Protseq, unsigned int MaxCalls, const char* Endpoint,
                                  void* SecurityDescriptor);
// Registers an interface. MgrTypeUuid and MgrEpv must be null (no manager types), IfCallback null.
// MaxCalls bounds the calls of this interface in progress at once (further calls get a fault
// nca_s_server_too_busy). RPC_S_ALREADY_REGISTERED when the same interface id is registered already.
RPC_STATUS RpcServerRegisterIfEx(RPC_IF_HANDLE IfSpec, const UUID* MgrTypeUuid, void* MgrEpv,
                                 unsigned int Flags, unsigned int MaxCalls, void* IfCallback);
// Removes an interface (null: all). With WaitForCallsToComplete, returns once its calls in progress have
// returned. RPC_S_UNKNOWN_IF when it was not registered.
RPC_STATUS RpcServerUnregisterIf(RPC_IF_HANDLE IfSpec, const UUID* MgrTypeUuid,
                                 unsigned int WaitForCallsToComplete);
// One binding per endpoint ("ncacn_ip_tcp:<host address>[<port>]"); RPC_S_NO_BINDINGS without endpoints.
RPC_STATUS RpcServerInqBindings(RPC_BINDING_VECTOR** BindingVector);
RPC_STATUS RpcBindingVectorFree(RPC_BINDING_VECTOR** BindingVector);
// Accepts and serves calls until RpcMgmtStopServerListening. With DontWait 0 it blocks until listening has
// stopped and every call in progress has returned, then returns RPC_S_OK. RPC_S_NO_PROTSEQS_REGISTERED
// without endpoints, RPC_S_ALREADY_LISTENING when already listening. MinimumCallThreads is accepted and
// has no effect (there is a thread per connection); MaxCalls bounds all calls in progress at once.
RPC_STATUS RpcServerListen(unsigned int MinimumCallThreads, unsigned int MaxCalls, unsigned int DontWait);
// Waits for a listen started with DontWait to end.
RPC_STATUS RpcMgmtWaitServerListen();
// Stops listening of this process (Binding must be null): no new connections or calls; idle connections
// are closed, busy ones after their call. RPC_S_NOT_LISTENING when not listening.
RPC_STATUS RpcMgmtStopServerListening(RPC_BINDING_HANDLE Binding);

// ---- Endpoint mapper ---------------------------------------------------------------------------------
// Registers the endpoints of BindingVector for IfSpec (no object UUIDs: UuidVector null) and replaces
// every earlier entry of that interface. EPT_S_CANT_PERFORM_OP when the mapper refuses,
// RPC_S_SERVER_UNAVAILABLE when it cannot be reached or started.
RPC_STATUS RpcEpRegisterA(RPC_IF_HANDLE IfSpec, RPC_BINDING_VECTOR* BindingVector, UUID_VECTOR* UuidVector,
                          const char* Annotation);
RPC_STATUS RpcEpUnregister(RPC_IF_HANDLE IfSpec, RPC_BINDING_VECTOR* BindingVector, UUID_VECTOR* UuidVector);
// Fills in the endpoint of a binding without one by asking the endpoint mapper of the binding's host
// (ept_map). EPT_S_NOT_REGISTERED when the interface has no entry. A binding with an endpoint is left.
RPC_STATUS RpcEpResolveBinding(RPC_BINDING_HANDLE Binding, RPC_IF_HANDLE IfSpec);
RPC_STATUS RpcEpResolveBinding(RPC_BINDING_HANDLE Binding, const RPC_SYNTAX_IDENTIFIER& Interface);

// ---- String bindings ---------------------------------------------------------------------------------
// "[objuuid@]protseq:netaddr[endpoint,options]". Strings handed out are freed with RpcStringFreeA.
RPC_STATUS RpcStringBindingComposeA(const char* ObjUuid, const char* Protseq, const char* NetworkAddr,
                                    const char* Endpoint, const char* Options, RPC_CSTR* StringBinding);
// Each output may be null when not wanted.
RPC_STATUS RpcStringBindingParseA(const char* StringBinding, RPC_CSTR* ObjUuid, RPC_CSTR* Protseq,
                                  RPC_CSTR* NetworkAddr, RPC_CSTR* Endpoint, RPC_CSTR* NetworkOptions);
RPC_STATUS RpcStringFreeA(RPC_CSTR* String);  // sets *String to null
RPC_STATUS RpcBindingFromStringBindingA(const char* StringBinding, RPC_BINDING_HANDLE* Binding);
RPC_STATUS RpcBindingToStringBindingA(RPC_BINDING_HANDLE Binding, RPC_CSTR* StringBinding);
RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* Binding);  // closes its connection, sets *Binding to null

// ---- Client API --------------------------------------------------------------------------------------
// The callbacks a client serves while it waits for a response, indexed by callback opnum. A callback
// routine gets a context whose Opnum() is the callback opnum.
struct CallbackTable {
  std::vector<StubRoutine> Routines;
};

// Calls Opnum of Interface over Binding (it must have an endpoint: resolve it first). Connects and binds
// on first use (one connection per binding, reused; one call at a time per binding: concurrent calls on
// one binding wait for each other). While waiting, answers the server's callback requests with Callbacks
// (a callback opnum it does not have is answered with a fault nca_s_op_rng_error). Returns RPC_S_OK with
// the response in Reply, the server's fault mapped to its Win32 number (RPC_S_PROCNUM_OUT_OF_RANGE,
// RPC_S_UNKNOWN_IF, RPC_X_BAD_STUB_DATA, RPC_S_ACCESS_DENIED, ...), RPC_S_SERVER_UNAVAILABLE when it
// cannot connect, RPC_S_CALL_FAILED when the connection breaks or the call times out (the connection is
// then closed and the next call connects anew).
RPC_STATUS clientCall(RPC_BINDING_HANDLE Binding, const RPC_SYNTAX_IDENTIFIER& Interface, uint16_t Opnum,
                      std::span<const uint8_t> InStub, StubReply& Reply,
                      const CallbackTable* Callbacks = nullptr);
// Per-binding time-out of clientCall (default kDefaultCallTimeoutMs).
RPC_STATUS setCallTimeout(RPC_BINDING_HANDLE Binding, uint32_t Milliseconds);

// Maps a fault status of the wire (nca_s_*) to the Win32 status a caller sees; others pass unchanged.
RPC_STATUS statusFromFault(uint32_t FaultStatus);
// And back: the status a server sends in a fault for a routine's RPC status.
uint32_t faultFromStatus(RPC_STATUS Status);

// ---- Substitutable runtime ---------------------------------------------------------------------------
// The server and endpoint-mapper calls as one interface, for callers that want a scripted runtime in
// unit tests. SystemRpcApi() forwards to the functions above.
class tRpcApi {
 public:
  virtual ~tRpcApi() = default;
  virtual RPC_STATUS RpcServerUseProtseqA(const char* Protseq, unsigned int MaxCalls, void* SecurityDescriptor) = 0;
  virtual RPC_STATUS RpcServerRegisterIfEx(RPC_IF_HANDLE IfSpec, const UUID* MgrTypeUuid, void* MgrEpv,
                                           unsigned int Flags, unsigned int MaxCalls, void* IfCallback) = 0;
  virtual RPC_STATUS RpcServerInqBindings(RPC_BINDING_VECTOR** BindingVector) = 0;
  virtual RPC_STATUS RpcEpRegisterA(RPC_IF_HANDLE IfSpec, RPC_BINDING_VECTOR* BindingVector,
                                    UUID_VECTOR* UuidVector, const char* Annotation) = 0;
  virtual RPC_STATUS RpcStringBindingComposeA(const char* ObjUuid, const char* Protseq, const char* NetworkAddr,
                                              const char* Endpoint, const char* Options,
                                              RPC_CSTR* StringBinding) = 0;
  virtual RPC_STATUS RpcBindingFromStringBindingA(const char* StringBinding, RPC_BINDING_HANDLE* Binding) = 0;
  virtual RPC_STATUS RpcEpResolveBinding(RPC_BINDING_HANDLE Binding, RPC_IF_HANDLE IfSpec) = 0;
  virtual RPC_STATUS RpcBindingToStringBindingA(RPC_BINDING_HANDLE Binding, RPC_CSTR* StringBinding) = 0;
  virtual RPC_STATUS RpcStringBindingParseA(const char* StringBinding, RPC_CSTR* ObjUuid, RPC_CSTR* Protseq,
                                            RPC_CSTR* NetworkAddr, RPC_CSTR* Endpoint,
                                            RPC_CSTR* NetworkOptions) = 0;
  virtual RPC_STATUS RpcStringFreeA(RPC_CSTR* String) = 0;
  virtual RPC_STATUS RpcBindingVectorFree(RPC_BINDING_VECTOR** BindingVector) = 0;
  virtual RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* Binding) = 0;
  virtual RPC_STATUS RpcServerListen(unsigned int MinimumCallThreads, unsigned int MaxCalls,
                                     unsigned int DontWait) = 0;
  virtual RPC_STATUS RpcMgmtStopServerListening(RPC_BINDING_HANDLE Binding) = 0;
  virtual RPC_STATUS RpcServerUnregisterIf(RPC_IF_HANDLE IfSpec, const UUID* MgrTypeUuid,
                                           unsigned int WaitForCallsToComplete) = 0;
};
tRpcApi& SystemRpcApi();

}  // namespace lw::rpc
