// Server side of the runtime: endpoints, interface registry, listening, and one thread per connection
// that negotiates binds, reassembles requests, runs the routines and carries their callbacks.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/rpc/Internal.h"
#include "platform/rpc/Ndr.h"
#include "platform/rpc/Pdu.h"
#include "platform/rpc/Rpc.h"

namespace lw::rpc {

namespace {

using Clock = std::chrono::steady_clock;

struct RegisteredIf {
  RPC_IF_HANDLE If = nullptr;
  unsigned Flags = 0;
  unsigned MaxCalls = 0;
  unsigned Active = 0;  // guarded by the server mutex
  bool Removed = false;
};

struct Conn {
  Conn(uint64_t TheId, bool IsLoopback, net::Socket Sock, uint16_t Port)
      : Id(TheId), Loopback(IsLoopback), LocalPort(Port), Ch(std::move(Sock)) {}
  const uint64_t Id;
  const bool Loopback;
  const uint16_t LocalPort;
  Channel Ch;
  std::mutex M;  // InCall and the socket's shutdown
  bool InCall = false;
  std::atomic<bool> Stopping{false};
  // Only the connection's thread touches these.
  bool Bound = false;
  uint16_t MaxXmit = pdu::kMaxFragment;
  uint16_t MaxRecv = pdu::kMaxFragment;
  uint32_t AssocGroup = 0;
  std::map<uint16_t, std::shared_ptr<RegisteredIf>> Contexts;
  std::set<RPC_IF_HANDLE> BoundIfs;
};

struct ServerState {
  std::mutex M;
  std::condition_variable Cv;
  std::vector<std::unique_ptr<net::Socket>> Listeners;  // never removed: the accept loop keeps pointers
  std::vector<uint16_t> Ports;
  std::vector<std::shared_ptr<RegisteredIf>> Ifs;
  std::map<RPC_IF_HANDLE, uint32_t> Timeouts;
  bool Listening = false;
  std::atomic<bool> StopRequested{false};
  unsigned MaxCalls = RPC_C_LISTEN_MAX_CALLS_DEFAULT;
  unsigned ActiveCalls = 0;
  std::map<uint64_t, std::shared_ptr<Conn>> Conns;
  std::thread ListenThread;
  std::set<uint32_t> AssocGroups;
  uint32_t NextAssocGroup = 0x0001F3A1;
};

// Never destroyed: connection threads may still be finishing while the process exits.
ServerState& state() {
  static ServerState* s = new ServerState;
  return *s;
}

std::atomic<uint64_t> gNextConnId{1};
constexpr unsigned kMinBacklog = 128;
thread_local CallContext* tCurrentCall = nullptr;

uint32_t timeoutOf(RPC_IF_HANDLE If) {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.M);
  auto it = s.Timeouts.find(If);
  return it == s.Timeouts.end() ? kDefaultCallbackTimeoutMs : it->second;
}

pdu::Header replyHeader(uint8_t PType, uint32_t CallId) {
  pdu::Header h;
  h.PType = PType;
  h.CallId = CallId;
  h.Flags = pdu::kFlagFirst | pdu::kFlagLast;
  return h;
}

void sendFault(Conn& C, uint32_t CallId, uint16_t ContextId, uint32_t Status, bool DidNotExecute) {
  pdu::Header h = replyHeader(pdu::kFault, CallId);
  if (DidNotExecute) h.Flags |= pdu::kFlagDidNotExecute;
  pdu::Fault f;
  f.ContextId = ContextId;
  f.Status = Status;
  C.Ch.send(pdu::encodeFault(h, f));
}

void sendBindNak(Conn& C, uint32_t CallId, uint16_t Reason) {
  pdu::BindNak n;
  n.Reason = Reason;
  n.Versions = {{5, 0}};
  C.Ch.send(pdu::encodeBindNak(replyHeader(pdu::kBindNak, CallId), n));
}

std::shared_ptr<RegisteredIf> findInterface(const RPC_SYNTAX_IDENTIFIER& Abstract) {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.M);
  for (auto& r : s.Ifs) {
    const auto& id = r->If->InterfaceId;
    if (!r->Removed && id.SyntaxGUID == Abstract.SyntaxGUID &&
        id.SyntaxVersion.MajorVersion == Abstract.SyntaxVersion.MajorVersion &&
        Abstract.SyntaxVersion.MinorVersion <= id.SyntaxVersion.MinorVersion)
      return r;
  }
  return nullptr;
}

std::vector<pdu::ContextResult> negotiate(Conn& C, const pdu::Bind& B) {
  std::vector<pdu::ContextResult> results;
  bool featuresSeen = false;
  for (const auto& ctx : B.Contexts) {
    pdu::ContextResult res;
    uint16_t features = 0;
    if (!ctx.Transfers.empty() && pdu::isBindTimeFeatureSyntax(ctx.Transfers[0], features) && !featuresSeen) {
      // Only the first context that offers the feature syntax first is answered with the features we keep
      // (both: no security contexts exist to multiplex, and an orphaned call never closes the connection).
      featuresSeen = true;
      res.Result = pdu::kResultNegotiateAck;
      res.Reason = features & (pdu::kFeatureSecurityContextMultiplexing | pdu::kFeatureKeepConnectionOnOrphan);
      results.push_back(res);
      continue;
    }
    auto reg = findInterface(ctx.Abstract);
    bool ndr = std::any_of(ctx.Transfers.begin(), ctx.Transfers.end(),
                           [](const RPC_SYNTAX_IDENTIFIER& t) { return t == kNdrTransferSyntax; });
    if (!reg) {
      res.Result = pdu::kResultProviderRejection;
      res.Reason = pdu::kReasonAbstractSyntaxNotSupported;
    } else if (!ndr) {
      res.Result = pdu::kResultProviderRejection;
      res.Reason = pdu::kReasonTransferSyntaxesNotSupported;
    } else {
      res.Result = pdu::kResultAccept;
      res.Transfer = kNdrTransferSyntax;
      C.Contexts[ctx.ContextId] = reg;
      C.BoundIfs.insert(reg->If);
    }
    results.push_back(res);
  }
  return results;
}

// The context of one call being executed on a connection's thread.
class ServerCall final : public CallContext {
 public:
  ServerCall(Conn& C, std::shared_ptr<RegisteredIf> Reg, uint32_t CallId, uint16_t ContextId, uint16_t Op)
      : c_(C), reg_(std::move(Reg)), callId_(CallId), contextId_(ContextId), opnum_(Op) {}

  uint16_t Opnum() const override { return opnum_; }
  uint64_t ConnectionId() const override { return c_.Id; }
  bool PeerIsLoopback() const override { return c_.Loopback; }
  bool broken() const { return broken_; }

  StubReply Callback(uint16_t Op, std::span<const uint8_t> InStub) override {
    if (tCurrentCall != this) throw RpcException(RPC_S_NO_CALL_ACTIVE);
    if (!(reg_->Flags & RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH)) throw RpcException(RPC_S_ACCESS_DENIED);
    if (broken_) throw RpcException(RPC_S_CALL_FAILED);
    bool sent = true;
    pdu::Header h;
    h.CallId = callId_;
    pdu::fragmentStub(h, contextId_, Op, true, InStub, c_.MaxXmit,
                      [&](const std::vector<uint8_t>& frag) { sent = sent && c_.Ch.send(frag); });
    if (!sent) fail(RPC_S_CALL_FAILED);

    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutOf(reg_->If));
    StubReply reply;
    bool started = false;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) fail(RPC_S_CALL_FAILED);
      pdu::Header rh;
      std::span<const uint8_t> p;
      if (c_.Ch.readPdu(static_cast<int>(left), c_.MaxRecv, rh, p) != Channel::Read::Ok) fail(RPC_S_CALL_FAILED);
      if (rh.Version != 5 || rh.MinorVersion > 1) fail(RPC_S_PROTOCOL_ERROR);
      if (rh.PType == pdu::kCoCancel) continue;
      if (rh.CallId != callId_) protocolError(rh.CallId);
      if (rh.PType == pdu::kFault) {
        pdu::Fault f;
        if (!pdu::decodeFault(rh, p, f)) protocolError(rh.CallId);
        throw RpcException(statusFromFault(f.Status));
      }
      if (rh.PType == pdu::kOrphaned) fail(RPC_S_CALL_FAILED);
      if (rh.PType != pdu::kResponse) protocolError(rh.CallId);
      pdu::Response r;
      if (!pdu::decodeResponse(rh, p, r)) protocolError(rh.CallId);
      if (rh.Flags & pdu::kFlagFirst) {
        started = true;
        reply.Stub.clear();
        reply.LittleEndian = rh.littleEndian();
      } else if (!started) {
        protocolError(rh.CallId);
      }
      if (reply.Stub.size() + r.Stub.size() > kMaxRequestBytes) fail(RPC_S_PROTOCOL_ERROR);
      reply.Stub.insert(reply.Stub.end(), r.Stub.begin(), r.Stub.end());
      if (rh.Flags & pdu::kFlagLast) return reply;
    }
  }

 private:
  [[noreturn]] void fail(RPC_STATUS Status) {
    broken_ = true;
    throw RpcException(Status);
  }
  [[noreturn]] void protocolError(uint32_t CallId) {
    sendFault(c_, CallId, contextId_, pdu::nca_s_proto_error, false);
    fail(RPC_S_PROTOCOL_ERROR);
  }

  Conn& c_;
  std::shared_ptr<RegisteredIf> reg_;
  const uint32_t callId_;
  const uint16_t contextId_;
  const uint16_t opnum_;
  bool broken_ = false;
};

struct PendingRequest {
  uint32_t CallId = 0;
  uint16_t ContextId = 0;
  uint16_t Opnum = 0;
  bool LittleEndian = true;
  std::vector<uint8_t> Stub;
};

// What the connection does after one PDU.
enum class Next { Continue, Close };

Next dispatch(Conn& C, PendingRequest& Req) {
  auto ctx = C.Contexts.find(Req.ContextId);
  std::shared_ptr<RegisteredIf> reg = ctx == C.Contexts.end() ? nullptr : ctx->second;
  auto& s = state();
  {
    std::unique_lock<std::mutex> lock(s.M);
    if (!reg || reg->Removed) {
      lock.unlock();
      sendFault(C, Req.CallId, Req.ContextId, pdu::nca_s_unk_if, true);
      return Next::Continue;
    }
    if (Req.Opnum >= reg->If->Routines.size() || !reg->If->Routines[Req.Opnum]) {
      lock.unlock();
      sendFault(C, Req.CallId, Req.ContextId, pdu::nca_s_op_rng_error, true);
      return Next::Continue;
    }
    if (s.ActiveCalls >= s.MaxCalls || reg->Active >= reg->MaxCalls) {
      lock.unlock();
      sendFault(C, Req.CallId, Req.ContextId, pdu::nca_s_server_too_busy, true);
      return Next::Continue;
    }
    ++s.ActiveCalls;
    ++reg->Active;
  }
  {
    std::lock_guard<std::mutex> lock(C.M);
    C.InCall = true;
  }
  ServerCall call(C, reg, Req.CallId, Req.ContextId, Req.Opnum);
  NdrReader in(Req.Stub, Req.LittleEndian);
  NdrWriter out;
  RPC_STATUS status = RPC_S_OK;
  tCurrentCall = &call;
  try {
    status = reg->If->Routines[Req.Opnum](call, in, out);
  } catch (const RpcException& e) {
    status = e.Status();
  } catch (...) {
    status = RPC_S_CALL_FAILED;
  }
  tCurrentCall = nullptr;
  {
    std::lock_guard<std::mutex> lock(s.M);
    --s.ActiveCalls;
    --reg->Active;
  }
  s.Cv.notify_all();
  {
    std::lock_guard<std::mutex> lock(C.M);
    C.InCall = false;
  }
  if (call.broken()) return Next::Close;  // the client is gone or out of step: nothing more to say
  if (status != RPC_S_OK) {
    sendFault(C, Req.CallId, Req.ContextId, faultFromStatus(status), false);
  } else {
    pdu::Header h;
    h.CallId = Req.CallId;
    bool sent = true;
    pdu::fragmentStub(h, Req.ContextId, 0, false, out.bytes(), C.MaxXmit,
                      [&](const std::vector<uint8_t>& frag) { sent = sent && C.Ch.send(frag); });
    if (!sent) return Next::Close;
  }
  return C.Stopping.load() ? Next::Close : Next::Continue;
}

Next onBind(Conn& C, const pdu::Header& H, std::span<const uint8_t> P, bool Alter) {
  pdu::Bind b;
  if (!Alter && C.Bound) {
    sendBindNak(C, H.CallId, pdu::kNakNotSpecified);
    return Next::Close;
  }
  if (!pdu::decodeBind(H, P, b)) {
    if (Alter) {
      sendFault(C, H.CallId, 0, pdu::nca_s_proto_error, false);
    } else {
      sendBindNak(C, H.CallId, pdu::kNakNotSpecified);
    }
    return Next::Close;
  }
  if (H.AuthLength > 0) {
    if (Alter) {
      sendFault(C, H.CallId, 0, pdu::nca_s_proto_error, false);
    } else {
      sendBindNak(C, H.CallId, pdu::kNakAuthenticationTypeNotRecognized);
    }
    return Next::Close;
  }
  if (b.Contexts.empty()) {
    if (Alter) {
      sendFault(C, H.CallId, 0, pdu::nca_s_proto_error, false);
    } else {
      sendBindNak(C, H.CallId, pdu::kNakNotSpecified);
    }
    return Next::Close;
  }
  pdu::BindAck ack;
  if (!Alter) {
    uint16_t frag = pdu::negotiateFragment(b.MaxXmitFrag, b.MaxRecvFrag);
    C.MaxXmit = C.MaxRecv = frag;
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.M);
    if (b.AssocGroup != 0 && s.AssocGroups.count(b.AssocGroup)) {
      C.AssocGroup = b.AssocGroup;
    } else {
      C.AssocGroup = s.NextAssocGroup++;
      if (s.NextAssocGroup == 0) s.NextAssocGroup = 1;
      s.AssocGroups.insert(C.AssocGroup);
    }
    ack.SecondaryAddress = std::to_string(C.LocalPort);
  }
  ack.MaxXmitFrag = C.MaxXmit;
  ack.MaxRecvFrag = C.MaxRecv;
  ack.AssocGroup = C.AssocGroup;
  ack.Results = negotiate(C, b);
  C.Bound = true;
  pdu::Header h = replyHeader(Alter ? pdu::kAlterContextResp : pdu::kBindAck, H.CallId);
  return C.Ch.send(pdu::encodeBindAck(h, ack)) ? Next::Continue : Next::Close;
}

void serveConnection(std::shared_ptr<Conn> C) {
  PendingRequest pending;  // valid while pendingActive
  bool pendingActive = false;
  for (;;) {
    pdu::Header h;
    std::span<const uint8_t> p;
    Channel::Read r = C->Ch.readPdu(-1, C->Bound ? C->MaxRecv : pdu::kMaxFragment, h, p, &C->Stopping);
    if (r == Channel::Read::Malformed) {
      if (h.FragLength != 0 && h.Version == 5) sendFault(*C, h.CallId, 0, pdu::nca_s_proto_error, false);
      break;
    }
    if (r != Channel::Read::Ok) break;
    if (h.Version != 5 || h.MinorVersion > 1) {
      if (h.PType == pdu::kBind) sendBindNak(*C, h.CallId, pdu::kNakProtocolVersionNotSupported);
      break;
    }
    Next next = Next::Continue;
    switch (h.PType) {
      case pdu::kBind:
        next = onBind(*C, h, p, false);
        break;
      case pdu::kAlterContext:
        if (!C->Bound) {
          sendFault(*C, h.CallId, 0, pdu::nca_s_proto_error, false);
          next = Next::Close;
        } else {
          next = onBind(*C, h, p, true);
        }
        break;
      case pdu::kRequest: {
        pdu::Request q;
        if (!C->Bound || h.AuthLength > 0 || !pdu::decodeRequest(h, p, q)) {
          sendFault(*C, h.CallId, 0, pdu::nca_s_proto_error, false);
          next = Next::Close;
          break;
        }
        bool first = h.Flags & pdu::kFlagFirst;
        if (first == pendingActive || (pendingActive && pending.CallId != h.CallId)) {
          // A new call before the last one is complete, or a middle fragment of no call.
          sendFault(*C, h.CallId, q.ContextId, pdu::nca_s_proto_error, false);
          next = Next::Close;
          break;
        }
        if (first) {
          if (q.AllocHint > kMaxRequestBytes) {
            sendFault(*C, h.CallId, q.ContextId, static_cast<uint32_t>(RPC_S_ACCESS_DENIED), true);
            next = Next::Close;
            break;
          }
          pending = PendingRequest{};
          pendingActive = true;
          pending.CallId = h.CallId;
          pending.ContextId = q.ContextId;
          pending.Opnum = q.Opnum;
          pending.LittleEndian = h.littleEndian();
        }
        if (pending.Stub.size() + q.Stub.size() > kMaxRequestBytes) {
          sendFault(*C, h.CallId, q.ContextId, static_cast<uint32_t>(RPC_S_ACCESS_DENIED), true);
          next = Next::Close;
          break;
        }
        pending.Stub.insert(pending.Stub.end(), q.Stub.begin(), q.Stub.end());
        if (h.Flags & pdu::kFlagLast) {
          PendingRequest req = std::move(pending);
          pendingActive = false;
          next = dispatch(*C, req);
        }
        break;
      }
      case pdu::kOrphaned:
        if (pendingActive && pending.CallId == h.CallId) pendingActive = false;
        break;
      case pdu::kCoCancel:
      case pdu::kAuth3:
      case pdu::kShutdown:
        break;
      default:
        sendFault(*C, h.CallId, 0, pdu::nca_s_proto_error, false);
        next = Next::Close;
        break;
    }
    if (next == Next::Close || C->Stopping.load()) break;
  }
  C->Ch.socket().shutdownBoth();
  for (RPC_IF_HANDLE If : C->BoundIfs)
    if (If->ConnectionClosed) If->ConnectionClosed(C->Id);
  auto& s = state();
  {
    std::lock_guard<std::mutex> lock(s.M);
    s.Conns.erase(C->Id);
  }
  s.Cv.notify_all();
}

void acceptLoop() {
  auto& s = state();
  while (!s.StopRequested.load()) {
    std::vector<net::Socket*> listeners;
    std::vector<uint16_t> ports;
    {
      std::lock_guard<std::mutex> lock(s.M);
      for (auto& l : s.Listeners) listeners.push_back(l.get());
      ports = s.Ports;
    }
    // Short waits: a stop request is seen within a tenth of a second.
    for (size_t i : net::Socket::waitReadableAny(listeners, 100)) {
      if (s.StopRequested.load()) break;
      bool loop = false;
      net::Socket c = listeners[i]->accept(loop);
      if (!c.valid()) continue;
      auto conn = std::make_shared<Conn>(gNextConnId.fetch_add(1), loop, std::move(c), ports[i]);
      {
        std::lock_guard<std::mutex> lock(s.M);
        s.Conns[conn->Id] = conn;
      }
      std::thread(serveConnection, conn).detach();
    }
  }
  // Close idle connections now, busy ones after their call; then wait for every connection to end.
  std::unique_lock<std::mutex> lock(s.M);
  for (auto& [id, conn] : s.Conns) {
    std::lock_guard<std::mutex> cl(conn->M);
    conn->Stopping.store(true);
    if (!conn->InCall) conn->Ch.socket().shutdownBoth();
  }
  s.Cv.wait(lock, [&] { return s.Conns.empty(); });
  s.Listening = false;
  s.Cv.notify_all();
}

}  // namespace

CallContext* CallContext::Current() { return tCurrentCall; }

RPC_STATUS setCallbackTimeout(RPC_IF_HANDLE IfSpec, uint32_t Milliseconds) {
  if (!IfSpec || Milliseconds == 0) return RPC_S_INVALID_ARG;
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.M);
  s.Timeouts[IfSpec] = Milliseconds;
  return RPC_S_OK;
}

uint32_t callbackTimeout(RPC_IF_HANDLE IfSpec) { return timeoutOf(IfSpec); }

namespace {
RPC_STATUS useProtseq(const char* Protseq, unsigned int Backlog, uint16_t Port) {
  if (!Protseq) return RPC_S_INVALID_RPC_PROTSEQ;
  if (std::strcmp(Protseq, "ncacn_ip_tcp") != 0) return RPC_S_PROTSEQ_NOT_SUPPORTED;
  net::Socket l;
  // A backlog as small as the caller may ask for (the control server asks for 3) makes a burst of
  // suppliers connecting at once fail their bind; the queue is never made shorter than kMinBacklog.
  int backlog = static_cast<int>(std::clamp(Backlog, kMinBacklog, 4096u));
  RPC_STATUS st = net::Socket::listenTcp(Port, backlog, l);
  if (st != RPC_S_OK) return st;
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.M);
  s.Ports.push_back(l.localPort());
  s.Listeners.push_back(std::make_unique<net::Socket>(std::move(l)));
  return RPC_S_OK;
}
}  // namespace

RPC_STATUS RpcServerUseProtseqA(const char* Protseq, unsigned int MaxCalls, void* /*SecurityDescriptor*/) {
  return useProtseq(Protseq, MaxCalls, 0);
}

RPC_STATUS RpcServerUseProtseqEpA(const char* Protseq, unsigned int MaxCalls, const char* Endpoint,
                                  void* /*SecurityDescriptor*/) {
  if (!Endpoint || !*Endpoint) return RPC_S_INVALID_ENDPOINT_FORMAT;
  unsigned long port = 0;
  for (const char* p = Endpoint; *p; ++p) {
    if (*p < '0' || *p > '9' || port > 65535) return RPC_S_INVALID_ENDPOINT_FORMAT;
    port = port * 10 + static_cast<unsigned long>(*p - '0');
  }
  if (port == 0 || port > 65535) return RPC_S_INVALID_ENDPOINT_FORMAT;
  return useProtseq(Protseq, MaxCalls, static_cast<uint16_t>(port));
}

RPC_STATUS RpcServerRegisterIfEx(RPC_IF_HANDLE IfSpec, const UUID* MgrTypeUuid, void* MgrEpv, unsigned int Flags,
                                 unsigned int MaxCalls, void* IfCallback) {
  if (!IfSpec || MgrEpv || IfCallback) return RPC_S_INVALID_ARG;
  if (MgrTypeUuid && *MgrTypeUuid != UUID{}) return RPC_S_UNKNOWN_MGR_TYPE;
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.M);
  for (auto& r : s.Ifs)
    if (!r->Removed && r->If->InterfaceId == IfSpec->InterfaceId) return RPC_S_ALREADY_REGISTERED;
  auto reg = std::make_shared<RegisteredIf>();
  reg->If = IfSpec;
  reg->Flags = Flags;
  reg->MaxCalls = MaxCalls == 0 ? RPC_C_LISTEN_MAX_CALLS_DEFAULT : MaxCalls;
  s.Ifs.push_back(reg);
  return RPC_S_OK;
}

RPC_STATUS RpcServerUnregisterIf(RPC_IF_HANDLE IfSpec, const UUID* /*MgrTypeUuid*/,
                                 unsigned int WaitForCallsToComplete) {
  auto& s = state();
  std::unique_lock<std::mutex> lock(s.M);
  std::vector<std::shared_ptr<RegisteredIf>> removed;
  for (auto it = s.Ifs.begin(); it != s.Ifs.end();) {
    if (!IfSpec || (*it)->If == IfSpec) {
      (*it)->Removed = true;
      removed.push_back(*it);
      it = s.Ifs.erase(it);
    } else {
      ++it;
    }
  }
  if (IfSpec && removed.empty()) return RPC_S_UNKNOWN_IF;
  if (WaitForCallsToComplete)
    s.Cv.wait(lock, [&] {
      return std::all_of(removed.begin(), removed.end(), [](const auto& r) { return r->Active == 0; });
    });
  return RPC_S_OK;
}

RPC_STATUS RpcServerInqBindings(RPC_BINDING_VECTOR** BindingVector) {
  if (!BindingVector) return RPC_S_INVALID_ARG;
  std::vector<uint16_t> ports;
  {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.M);
    ports = s.Ports;
  }
  if (ports.empty()) return RPC_S_NO_BINDINGS;
  size_t bytes = sizeof(RPC_BINDING_VECTOR) + sizeof(RPC_BINDING_HANDLE) * (ports.size() - 1);
  auto* v = static_cast<RPC_BINDING_VECTOR*>(::operator new(bytes));
  v->Count = static_cast<uint32_t>(ports.size());
  for (size_t i = 0; i < ports.size(); ++i) {
    auto* b = new RpcBinding;
    b->Parts.Protseq = "ncacn_ip_tcp";
    b->Parts.NetworkAddr = net::localHostAddress();
    b->Parts.Endpoint = std::to_string(ports[i]);
    v->BindingH[i] = b;
  }
  *BindingVector = v;
  return RPC_S_OK;
}

RPC_STATUS RpcBindingVectorFree(RPC_BINDING_VECTOR** BindingVector) {
  if (!BindingVector || !*BindingVector) return RPC_S_INVALID_ARG;
  for (uint32_t i = 0; i < (*BindingVector)->Count; ++i) RpcBindingFree(&(*BindingVector)->BindingH[i]);
  ::operator delete(*BindingVector);
  *BindingVector = nullptr;
  return RPC_S_OK;
}

RPC_STATUS RpcServerListen(unsigned int /*MinimumCallThreads*/, unsigned int MaxCalls, unsigned int DontWait) {
  auto& s = state();
  {
    std::lock_guard<std::mutex> lock(s.M);
    if (s.Listeners.empty()) return RPC_S_NO_PROTSEQS_REGISTERED;
    if (s.Listening) return RPC_S_ALREADY_LISTENING;
    if (s.ListenThread.joinable()) s.ListenThread.join();
    s.Listening = true;
    s.StopRequested.store(false);
    s.MaxCalls = MaxCalls == 0 ? RPC_C_LISTEN_MAX_CALLS_DEFAULT : MaxCalls;
  }
  if (DontWait) {
    std::lock_guard<std::mutex> lock(s.M);
    s.ListenThread = std::thread(acceptLoop);
    return RPC_S_OK;
  }
  acceptLoop();
  return RPC_S_OK;
}

RPC_STATUS RpcMgmtWaitServerListen() {
  auto& s = state();
  std::unique_lock<std::mutex> lock(s.M);
  if (!s.Listening && !s.ListenThread.joinable()) return RPC_S_NOT_LISTENING;
  s.Cv.wait(lock, [&] { return !s.Listening; });
  if (s.ListenThread.joinable()) {
    std::thread t = std::move(s.ListenThread);
    lock.unlock();
    t.join();
  }
  return RPC_S_OK;
}

RPC_STATUS RpcMgmtStopServerListening(RPC_BINDING_HANDLE Binding) {
  if (Binding) return RPC_S_WRONG_KIND_OF_BINDING;
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.M);
  if (!s.Listening) return RPC_S_NOT_LISTENING;
  s.StopRequested.store(true);
  return RPC_S_OK;
}

}  // namespace lw::rpc
