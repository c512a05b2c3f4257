#include "platform/rpc/Channel.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace lw::rpc {

namespace {
using Clock = std::chrono::steady_clock;

std::atomic<uint32_t> gFragmentTimeoutMs{kFragmentTimeoutMs};

int msLeft(Clock::time_point Deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}
}  // namespace

RPC_STATUS setFragmentTimeout(uint32_t Milliseconds) {
  if (Milliseconds == 0) return RPC_S_INVALID_ARG;
  gFragmentTimeoutMs.store(Milliseconds);
  return RPC_S_OK;
}

Channel::Read Channel::fill(size_t Need, int FirstWaitMs, const std::atomic<bool>* Stop) {
  if (end_ - start_ >= Need) return Read::Ok;
  if (buf_.size() - start_ < Need) {
    // Move what is left to the front and grow only to what the fragment needs (bounded by MaxFrag).
    std::memmove(buf_.data(), buf_.data() + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
    if (buf_.size() < Need) buf_.resize(Need);
  }
  bool first = true;
  while (end_ - start_ < Need) {
    int waitMs = first ? FirstWaitMs : static_cast<int>(gFragmentTimeoutMs.load());
    auto deadline = Clock::now() + std::chrono::milliseconds(waitMs < 0 ? 0 : waitMs);
    for (;;) {
      if (Stop && Stop->load()) return Read::Stopped;
      int slice = waitMs < 0 ? 1000 : std::min(msLeft(deadline), 1000);
      net::Wait w = sock_.waitReadable(slice);
      if (w == net::Wait::Ready) break;
      if (w == net::Wait::Error) return Read::Closed;
      if (waitMs >= 0 && msLeft(deadline) == 0) return Read::Timeout;
    }
    if (end_ == buf_.size()) {
      std::memmove(buf_.data(), buf_.data() + start_, end_ - start_);
      end_ -= start_;
      start_ = 0;
    }
    long n = sock_.recvSome(buf_.data() + end_, buf_.size() - end_);
    if (n <= 0) return Read::Closed;
    end_ += static_cast<size_t>(n);
    first = false;
  }
  return Read::Ok;
}

Channel::Read Channel::readPdu(int IdleTimeoutMs, uint16_t MaxFrag, pdu::Header& H, std::span<const uint8_t>& Pdu,
                               const std::atomic<bool>* Stop) {
  // Drop the previous fragment.
  if (start_ == end_) start_ = end_ = 0;
  Read r = fill(pdu::kHeaderSize, IdleTimeoutMs, Stop);
  if (r != Read::Ok) return r;
  std::span<const uint8_t> head(buf_.data() + start_, pdu::kHeaderSize);
  if (!pdu::decodeHeader(head, H)) return Read::Malformed;
  if (H.FragLength < pdu::kHeaderSize || H.FragLength > MaxFrag) return Read::Malformed;
  // The rest of this fragment: the peer has already begun sending it.
  r = fill(H.FragLength, static_cast<int>(gFragmentTimeoutMs.load()), Stop);
  if (r != Read::Ok) return r;
  Pdu = std::span<const uint8_t>(buf_.data() + start_, H.FragLength);
  start_ += H.FragLength;
  return Read::Ok;
}

}  // namespace lw::rpc
