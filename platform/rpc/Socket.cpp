#include "platform/rpc/Socket.h"

#include <chrono>
#include <cstring>
#include <mutex>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#endif

namespace lw::rpc::net {

namespace {

#ifdef _WIN32
using SockLen = int;
void closeNative(NativeSocket s) { ::closesocket(s); }
bool wouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }
int pollFds(pollfd* fds, unsigned long n, int timeout) { return WSAPoll(fds, n, timeout); }
void setNonBlocking(NativeSocket s, bool on) {
  u_long mode = on ? 1 : 0;
  ioctlsocket(s, static_cast<long>(static_cast<int32_t>(static_cast<uint32_t>(FIONBIO))), &mode);
}
#else
using SockLen = socklen_t;
void closeNative(NativeSocket s) { ::close(s); }
bool wouldBlock() { return errno == EINPROGRESS || errno == EWOULDBLOCK || errno == EAGAIN; }
int pollFds(pollfd* fds, unsigned long n, int timeout) {
  int r;
  do {
    r = ::poll(fds, static_cast<nfds_t>(n), timeout);
  } while (r < 0 && errno == EINTR);
  return r;
}
void setNonBlocking(NativeSocket s, bool on) {
  int flags = fcntl(s, F_GETFL, 0);
  fcntl(s, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
}
#endif

void setNoDelay(NativeSocket s) {
  int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

bool isLoopback(const sockaddr_storage& a) {
  if (a.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&a);
    return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
  }
  if (a.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&a);
    static const uint8_t loop6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    const auto* b = reinterpret_cast<const uint8_t*>(&in6->sin6_addr);
    return std::memcmp(b, loop6, 16) == 0 || (std::memcmp(b, mapped, 12) == 0 && b[12] == 127);
  }
  return false;
}

}  // namespace

void initSockets() {
#ifdef _WIN32
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
#endif
}

Socket& Socket::operator=(Socket&& Other) noexcept {
  if (this != &Other) {
    close();
    fd_ = Other.fd_;
    Other.fd_ = kInvalidSocket;
  }
  return *this;
}

void Socket::close() {
  if (fd_ != kInvalidSocket) {
    closeNative(fd_);
    fd_ = kInvalidSocket;
  }
}

void Socket::shutdownBoth() {
  if (fd_ != kInvalidSocket) {
#ifdef _WIN32
    ::shutdown(fd_, SD_BOTH);
#else
    ::shutdown(fd_, SHUT_RDWR);
#endif
  }
}

bool isLocalHostName(const std::string& Host) {
  return Host.empty() || Host == "localhost" || Host.rfind("127.", 0) == 0 || Host == "::1";
}

std::string localHostAddress() { return "127.0.0.1"; }

RPC_STATUS Socket::connectTcp(const std::string& Host, uint16_t Port, uint32_t TimeoutMs, Socket& Out) {
  initSockets();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  std::string host = Host.empty() ? std::string("127.0.0.1") : Host;
  std::string port = std::to_string(Port);
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &list) != 0 || !list) return RPC_S_INVALID_NET_ADDR;
  RPC_STATUS status = RPC_S_SERVER_UNAVAILABLE;
  for (addrinfo* ai = list; ai; ai = ai->ai_next) {
    Socket s(::socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol));
    if (!s.valid()) continue;
    setNonBlocking(s.fd_, true);
    int r = ::connect(s.fd_, ai->ai_addr, static_cast<SockLen>(ai->ai_addrlen));
    if (r != 0 && !wouldBlock()) continue;
    if (r != 0) {
      pollfd p{};
      p.fd = s.fd_;
      p.events = POLLOUT;
      if (pollFds(&p, 1, static_cast<int>(TimeoutMs)) <= 0) continue;
      int err = 0;
      SockLen len = sizeof err;
      getsockopt(s.fd_, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len);
      if (err != 0) continue;
    }
    setNonBlocking(s.fd_, false);
    setNoDelay(s.fd_);
    Out = std::move(s);
    status = RPC_S_OK;
    break;
  }
  freeaddrinfo(list);
  return status;
}

RPC_STATUS Socket::listenTcp(uint16_t Port, int Backlog, Socket& Out) {
  initSockets();
  Socket s(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!s.valid()) return RPC_S_CANT_CREATE_ENDPOINT;
#ifndef _WIN32
  int one = 1;
  setsockopt(s.fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#endif
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(Port);
  if (::bind(s.fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) return RPC_S_CANT_CREATE_ENDPOINT;
  if (::listen(s.fd_, Backlog > 0 ? Backlog : SOMAXCONN) != 0) return RPC_S_CANT_CREATE_ENDPOINT;
  Out = std::move(s);
  return RPC_S_OK;
}

Socket Socket::accept(bool& PeerLoopback) {
  sockaddr_storage peer{};
  SockLen len = sizeof peer;
  NativeSocket c = ::accept(fd_, reinterpret_cast<sockaddr*>(&peer), &len);
  if (c == kInvalidSocket) return Socket();
  PeerLoopback = isLoopback(peer);
  setNoDelay(c);
  return Socket(c);
}

uint16_t Socket::localPort() const {
  sockaddr_storage a{};
  SockLen len = sizeof a;
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&a)->sin_port);
  if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&a)->sin6_port);
  return 0;
}

Wait Socket::waitReadable(int TimeoutMs) {
  pollfd p{};
  p.fd = fd_;
  p.events = POLLIN;
  int r = pollFds(&p, 1, TimeoutMs);
  if (r == 0) return Wait::Timeout;
  if (r < 0) return Wait::Error;
  return Wait::Ready;  // readable, closed or failed: recv tells which
}

std::vector<size_t> Socket::waitReadableAny(std::span<net::Socket* const> Sockets, int TimeoutMs) {
  std::vector<pollfd> fds(Sockets.size());
  for (size_t i = 0; i < Sockets.size(); ++i) {
    fds[i].fd = Sockets[i]->fd_;
    fds[i].events = POLLIN;
  }
  std::vector<size_t> ready;
  if (fds.empty()) return ready;
  if (pollFds(fds.data(), static_cast<unsigned long>(fds.size()), TimeoutMs) <= 0) return ready;
  for (size_t i = 0; i < fds.size(); ++i)
    if (fds[i].revents & POLLIN) ready.push_back(i);
  return ready;
}

long Socket::recvSome(uint8_t* Buffer, size_t Size) {
  int chunk = Size > 1 << 20 ? 1 << 20 : static_cast<int>(Size);
#ifdef _WIN32
  int r = ::recv(fd_, reinterpret_cast<char*>(Buffer), chunk, 0);
  return r == SOCKET_ERROR ? -1 : r;
#else
  ssize_t r;
  do {
    r = ::recv(fd_, Buffer, static_cast<size_t>(chunk), 0);
  } while (r < 0 && errno == EINTR);
  return static_cast<long>(r);
#endif
}

bool Socket::sendAll(std::span<const uint8_t> Bytes) {
  size_t sent = 0;
  while (sent < Bytes.size()) {
    size_t left = Bytes.size() - sent;
    int chunk = left > 1 << 20 ? 1 << 20 : static_cast<int>(left);
#ifdef _WIN32
    int r = ::send(fd_, reinterpret_cast<const char*>(Bytes.data() + sent), chunk, 0);
    if (r == SOCKET_ERROR || r == 0) return false;
#else
    ssize_t r = ::send(fd_, Bytes.data() + sent, static_cast<size_t>(chunk), MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
#endif
    sent += static_cast<size_t>(r);
  }
  return true;
}

}  // namespace lw::rpc::net
