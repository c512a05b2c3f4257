// Client side of the runtime: connect, bind, call, and serve the server's callbacks while waiting.
#include <chrono>
#include <optional>

#include "platform/rpc/Internal.h"
#include "platform/rpc/Ndr.h"
#include "platform/rpc/Pdu.h"
#include "platform/rpc/Rpc.h"

namespace lw::rpc {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point Deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

class ClientCallbackContext final : public CallContext {
 public:
  explicit ClientCallbackContext(uint16_t Op) : op_(Op) {}
  uint16_t Opnum() const override { return op_; }
  uint64_t ConnectionId() const override { return 0; }
  bool PeerIsLoopback() const override { return false; }
  StubReply Callback(uint16_t, std::span<const uint8_t>) override { throw RpcException(RPC_S_CALL_FAILED); }

 private:
  uint16_t op_;
};

bool parsePort(const std::string& Text, uint16_t& Port) {
  if (Text.empty() || Text.size() > 5) return false;
  unsigned v = 0;
  for (char ch : Text) {
    if (ch < '0' || ch > '9') return false;
    v = v * 10 + static_cast<unsigned>(ch - '0');
  }
  if (v == 0 || v > 65535) return false;
  Port = static_cast<uint16_t>(v);
  return true;
}

RPC_STATUS connectAndBind(RpcBinding& B, const RPC_SYNTAX_IDENTIFIER& Interface, Clock::time_point Deadline) {
  uint16_t port = 0;
  if (!parsePort(B.Parts.Endpoint, port)) return RPC_S_INVALID_ENDPOINT_FORMAT;
  net::Socket sock;
  RPC_STATUS st = net::Socket::connectTcp(B.Parts.NetworkAddr, port, static_cast<uint32_t>(msLeft(Deadline)), sock);
  if (st != RPC_S_OK) return st;
  auto conn = std::make_unique<ClientConnection>(std::move(sock));
  pdu::Header h;
  h.PType = pdu::kBind;
  h.CallId = conn->NextCallId++;
  pdu::Bind bind;
  pdu::ContextElement ctx;
  ctx.ContextId = 0;
  ctx.Abstract = Interface;
  ctx.Transfers = {kNdrTransferSyntax};
  bind.Contexts.push_back(ctx);
  if (!conn->Ch.send(pdu::encodeBind(h, bind))) return RPC_S_SERVER_UNAVAILABLE;
  pdu::Header rh;
  std::span<const uint8_t> p;
  if (conn->Ch.readPdu(std::max(1, msLeft(Deadline)), pdu::kMaxFragment, rh, p) != Channel::Read::Ok)
    return RPC_S_CALL_FAILED_DNE;
  if (rh.PType == pdu::kBindNak) return RPC_S_CALL_FAILED_DNE;
  pdu::BindAck ack;
  if (rh.PType != pdu::kBindAck || rh.CallId != h.CallId || !pdu::decodeBindAck(rh, p, ack) || ack.Results.empty())
    return RPC_S_PROTOCOL_ERROR;
  const auto& res = ack.Results[0];
  if (res.Result != pdu::kResultAccept) {
    return res.Reason == pdu::kReasonTransferSyntaxesNotSupported ? RPC_S_UNSUPPORTED_TRANS_SYN : RPC_S_UNKNOWN_IF;
  }
  if (ack.MaxRecvFrag < pdu::kRequestHeaderSize + 8 || ack.MaxXmitFrag < pdu::kHeaderSize) return RPC_S_PROTOCOL_ERROR;
  conn->Interface = Interface;
  conn->MaxXmit = ack.MaxRecvFrag;
  conn->MaxRecv = ack.MaxXmitFrag;
  B.Conn = std::move(conn);
  return RPC_S_OK;
}

// Serves one callback request and answers it. False when the answer cannot be sent.
bool serveCallback(ClientConnection& C, uint32_t CallId, uint16_t ContextId, uint16_t Op, bool LittleEndian,
                   const std::vector<uint8_t>& Stub, const CallbackTable* Callbacks) {
  pdu::Header h;
  h.CallId = CallId;
  if (!Callbacks || Op >= Callbacks->Routines.size() || !Callbacks->Routines[Op]) {
    h.Flags |= pdu::kFlagDidNotExecute;
    pdu::Fault f;
    f.ContextId = ContextId;
    f.Status = pdu::nca_s_op_rng_error;
    return C.Ch.send(pdu::encodeFault(h, f));
  }
  ClientCallbackContext ctx(Op);
  NdrReader in(Stub, LittleEndian);
  NdrWriter out;
  RPC_STATUS st = RPC_S_OK;
  try {
    st = Callbacks->Routines[Op](ctx, in, out);
  } catch (const RpcException& e) {
    st = e.Status();
  } catch (...) {
    st = RPC_S_CALL_FAILED;
  }
  if (st != RPC_S_OK) {
    pdu::Fault f;
    f.ContextId = ContextId;
    f.Status = faultFromStatus(st);
    return C.Ch.send(pdu::encodeFault(h, f));
  }
  bool sent = true;
  pdu::fragmentStub(h, ContextId, 0, false, out.bytes(), C.MaxXmit,
                    [&](const std::vector<uint8_t>& frag) { sent = sent && C.Ch.send(frag); });
  return sent;
}

RPC_STATUS exchange(ClientConnection& C, uint16_t Opnum, std::span<const uint8_t> InStub, StubReply& Reply,
                    const CallbackTable* Callbacks, Clock::time_point Deadline, bool& Broken) {
  uint32_t callId = C.NextCallId++;
  pdu::Header h;
  h.CallId = callId;
  bool sent = true;
  pdu::fragmentStub(h, 0, Opnum, true, InStub, C.MaxXmit,
                    [&](const std::vector<uint8_t>& frag) { sent = sent && C.Ch.send(frag); });
  if (!sent) {
    Broken = true;
    return RPC_S_CALL_FAILED;
  }
  std::optional<std::vector<uint8_t>> response;
  std::optional<std::vector<uint8_t>> callback;
  uint16_t callbackOp = 0;
  bool callbackLe = true;
  for (;;) {
    int left = msLeft(Deadline);
    pdu::Header rh;
    std::span<const uint8_t> p;
    if (left == 0 || C.Ch.readPdu(left, C.MaxRecv, rh, p) != Channel::Read::Ok) {
      Broken = true;
      return RPC_S_CALL_FAILED;
    }
    if (rh.Version != 5 || rh.CallId != callId) {
      if (rh.PType == pdu::kShutdown) continue;
      Broken = true;
      return RPC_S_PROTOCOL_ERROR;
    }
    switch (rh.PType) {
      case pdu::kResponse: {
        pdu::Response r;
        bool first = rh.Flags & pdu::kFlagFirst;
        if (!pdu::decodeResponse(rh, p, r) || (!first && !response)) {
          Broken = true;
          return RPC_S_PROTOCOL_ERROR;
        }
        if (first) {
          response.emplace();
          Reply.LittleEndian = rh.littleEndian();
        }
        if (response->size() + r.Stub.size() > kMaxRequestBytes) {
          Broken = true;
          return RPC_S_PROTOCOL_ERROR;
        }
        response->insert(response->end(), r.Stub.begin(), r.Stub.end());
        if (rh.Flags & pdu::kFlagLast) {
          Reply.Stub = std::move(*response);
          return RPC_S_OK;
        }
        break;
      }
      case pdu::kFault: {
        pdu::Fault f;
        if (!pdu::decodeFault(rh, p, f)) {
          Broken = true;
          return RPC_S_PROTOCOL_ERROR;
        }
        if (f.Status == pdu::nca_s_proto_error) Broken = true;
        return statusFromFault(f.Status);
      }
      case pdu::kRequest: {
        pdu::Request q;
        bool first = rh.Flags & pdu::kFlagFirst;
        if (!pdu::decodeRequest(rh, p, q) || first == callback.has_value()) {
          Broken = true;
          return RPC_S_PROTOCOL_ERROR;
        }
        if (first) {
          callback.emplace();
          callbackOp = q.Opnum;
          callbackLe = rh.littleEndian();
        }
        if (callback->size() + q.Stub.size() > kMaxRequestBytes) {
          Broken = true;
          return RPC_S_PROTOCOL_ERROR;
        }
        callback->insert(callback->end(), q.Stub.begin(), q.Stub.end());
        if (rh.Flags & pdu::kFlagLast) {
          std::vector<uint8_t> stub = std::move(*callback);
          callback.reset();
          if (!serveCallback(C, callId, q.ContextId, callbackOp, callbackLe, stub, Callbacks)) {
            Broken = true;
            return RPC_S_CALL_FAILED;
          }
        }
        break;
      }
      case pdu::kShutdown:
        break;
      default:
        Broken = true;
        return RPC_S_PROTOCOL_ERROR;
    }
  }
}

}  // namespace

RPC_STATUS clientCall(RPC_BINDING_HANDLE Binding, const RPC_SYNTAX_IDENTIFIER& Interface, uint16_t Opnum,
                      std::span<const uint8_t> InStub, StubReply& Reply, const CallbackTable* Callbacks) {
  if (!Binding) return RPC_S_INVALID_BINDING;
  if (InStub.size() > kMaxRequestBytes) return RPC_S_INVALID_ARG;
  net::initSockets();
  std::lock_guard<std::mutex> lock(Binding->CallMutex);
  auto deadline = Clock::now() + std::chrono::milliseconds(Binding->CallTimeoutMs);
  if (Binding->Conn && !(Binding->Conn->Interface == Interface)) Binding->Conn.reset();
  if (!Binding->Conn) {
    RPC_STATUS st = connectAndBind(*Binding, Interface, deadline);
    if (st != RPC_S_OK) return st;
  }
  bool broken = false;
  RPC_STATUS st = exchange(*Binding->Conn, Opnum, InStub, Reply, Callbacks, deadline, broken);
  if (broken) Binding->Conn.reset();
  return st;
}

}  // namespace lw::rpc
