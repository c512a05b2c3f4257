// TCP sockets for the runtime: POSIX sockets or Winsock behind one small class.
//
// Sockets are blocking; waits go through waitReadable with a time-out, so no read ever blocks longer than
// its caller allows. A Socket is owned by one thread at a time, except shutdownBoth, which another thread
// may call to wake a blocked reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/rpc/Rpc.h"

namespace lw::rpc::net {

#ifdef _WIN32
using NativeSocket = uintptr_t;
inline constexpr NativeSocket kInvalidSocket = ~uintptr_t{0};
#else
using NativeSocket = int;
inline constexpr NativeSocket kInvalidSocket = -1;
#endif

enum class Wait { Ready, Timeout, Error };

class Socket {
 public:
  Socket() = default;
  explicit Socket(NativeSocket Fd) : fd_(Fd) {}
  ~Socket() { close(); }
  Socket(Socket&& Other) noexcept : fd_(Other.fd_) { Other.fd_ = kInvalidSocket; }
  Socket& operator=(Socket&& Other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool valid() const { return fd_ != kInvalidSocket; }
  NativeSocket native() const { return fd_; }

  // Connects to Host (a name or IPv4 address) on Port within TimeoutMs. RPC_S_SERVER_UNAVAILABLE when
  // refused or unreachable, RPC_S_INVALID_NET_ADDR when the name does not resolve.
  static RPC_STATUS connectTcp(const std::string& Host, uint16_t Port, uint32_t TimeoutMs, Socket& Out);
  // Listens on every IPv4 address on Port (0: the system chooses).
  static RPC_STATUS listenTcp(uint16_t Port, int Backlog, Socket& Out);

  // A connection waiting on a listening socket, or an invalid Socket. PeerLoopback tells whether the
  // peer's address is a loopback address.
  Socket accept(bool& PeerLoopback);
  uint16_t localPort() const;

  // Indexes of the sockets that are readable within TimeoutMs (empty on time-out).
  static std::vector<size_t> waitReadableAny(std::span<net::Socket* const> Sockets, int TimeoutMs);
  // TimeoutMs < 0 waits without limit.
  Wait waitReadable(int TimeoutMs);
  // Bytes read (> 0), 0 when the peer closed, < 0 on error.
  long recvSome(uint8_t* Buffer, size_t Size);
  bool sendAll(std::span<const uint8_t> Bytes);
  void shutdownBoth();
  void close();

 private:
  NativeSocket fd_ = kInvalidSocket;
};

// Starts the socket library once (Winsock); nothing on POSIX.
void initSockets();
// True for "localhost", "127.x.x.x", "::1" and an empty name.
bool isLocalHostName(const std::string& Host);
// The host's primary IPv4 address as text for bindings of listening endpoints ("127.0.0.1" if unknown).
std::string localHostAddress();

}  // namespace lw::rpc::net
