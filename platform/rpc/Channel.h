// One connection's PDU framing: reads whole fragments off a socket and sends encoded PDUs.
//
// readPdu waits up to IdleTimeoutMs for the first byte of a PDU (waking every second to look at Stop), and
// then at most kFragmentTimeoutMs for each further piece of it, so a peer that stops in the middle of a PDU
// is noticed. The fragment is checked against MaxFrag and the header size before anything is kept of it.
// Owned by one thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/rpc/Pdu.h"
#include "platform/rpc/Socket.h"

namespace lw::rpc {

class Channel {
 public:
  enum class Read { Ok, Closed, Timeout, Malformed, Stopped };

  explicit Channel(net::Socket Sock) : sock_(std::move(Sock)) {}

  // On Ok, H and Pdu describe the fragment; Pdu stays valid until the next readPdu. Malformed: the header
  // does not decode, or frag_length is below the header size or above MaxFrag (H is filled when the header
  // itself decoded, so a fault can name the call).
  Read readPdu(int IdleTimeoutMs, uint16_t MaxFrag, pdu::Header& H, std::span<const uint8_t>& Pdu,
               const std::atomic<bool>* Stop = nullptr);
  bool send(std::span<const uint8_t> Bytes) { return sock_.sendAll(Bytes); }
  net::Socket& socket() { return sock_; }

 private:
  // Makes at least Need bytes available from start_; the first wait is bounded by FirstWaitMs.
  Read fill(size_t Need, int FirstWaitMs, const std::atomic<bool>* Stop);

  net::Socket sock_;
  std::vector<uint8_t> buf_ = std::vector<uint8_t>(16384);
  size_t start_ = 0;
  size_t end_ = 0;
};

}  // namespace lw::rpc
