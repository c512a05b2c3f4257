// Unix-socket plumbing shared by the trace API and the session host: where sessions live, connecting
// with the platform's status codes, and whole-frame exchange with a time limit.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/etw/posix/Wire.h"

namespace lw::etw::posix {

// $LOGWARDEN_ETW_DIR, or /tmp/logwarden-etw; without a trailing separator.
std::string SessionDir();
// True for a name a session may have: 1 to 1023 bytes, no '/', not "." or "..".
bool ValidSessionName(const std::string& Name);
std::string SocketPath(const std::string& Dir, const std::string& Name);
std::string LockPath(const std::string& Dir, const std::string& Name);
// The link the host keeps from its session handle to its socket.
std::string HandleLinkPath(const std::string& Dir, uint64_t Handle);

// Session handles: the host's process id with this tag. Real-time consumer handles and provider
// registrations carry tags of their own; file traces use bit 62.
inline constexpr uint64_t kSessionHandleTag = uint64_t{1} << 60;
inline constexpr uint64_t kRealtimeHandleTag = uint64_t{1} << 61;
inline constexpr uint64_t kRegistrationTag = uint64_t{1} << 59;
inline bool IsSessionHandle(uint64_t H) { return (H >> 56) == (kSessionHandleTag >> 56); }

// Connects to a session socket. Returns the descriptor (close-on-exec) or -1 with Status: 4201 when no
// session answers there, 5 when the caller may not open it, 161 for a path too long for a socket.
int ConnectSession(const std::string& Path, uint32_t& Status);

// Writes all of Bytes (blocking descriptor). False on any error.
bool SendAll(int Fd, std::span<const uint8_t> Bytes);
// Reads one frame (type and body, without the length) within TimeoutMs. False on error, end of stream,
// a bad length or the time running out.
bool ReadFrame(int Fd, std::vector<uint8_t>& Frame, int TimeoutMs);

// One request and its answer on a connection of its own. 0 or the status of the transport failure
// (4201 when the host went away mid-way, 1067 when its answer could not be read).
uint32_t Exchange(const std::string& Path, const std::vector<uint8_t>& Request, wire::tHostMessage& Reply,
                  std::vector<uint8_t>& Storage, int TimeoutMs);

// Status code for an errno value of a file or socket operation.
uint32_t StatusFromErrno(int Error);

// Raw ticks of the session clock: CLOCK_MONOTONIC in 100 ns units (a 10 MHz counter, as QPC is).
uint64_t RawClockNow();

}  // namespace lw::etw::posix
