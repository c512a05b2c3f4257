// Pieces shared by the runtime's own units (not for callers).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/rpc/Channel.h"
#include "platform/rpc/Rpc.h"

namespace lw::rpc {

struct StringBindingParts {
  std::string ObjUuid, Protseq, NetworkAddr, Endpoint, Options;
};
// Parses "[objuuid@]protseq:[netaddr][[endpoint][,options]]". RPC_S_INVALID_STRING_BINDING when malformed,
// RPC_S_INVALID_STRING_UUID for an object UUID that does not parse.
RPC_STATUS parseStringBinding(const char* Text, StringBindingParts& Out);
std::string composeStringBinding(const StringBindingParts& Parts);
// A string handed to the caller, freed with RpcStringFreeA.
char* dupString(const std::string& Text);

// A client connection bound to one interface.
struct ClientConnection {
  explicit ClientConnection(net::Socket Sock) : Ch(std::move(Sock)) {}
  Channel Ch;
  RPC_SYNTAX_IDENTIFIER Interface;
  uint16_t MaxXmit = 0;
  uint16_t MaxRecv = 0;
  uint32_t NextCallId = 1;
};

struct RpcBinding {
  StringBindingParts Parts;
  std::mutex CallMutex;  // one call at a time
  std::unique_ptr<ClientConnection> Conn;
  uint32_t CallTimeoutMs = kDefaultCallTimeoutMs;
};

// Port of the endpoint mapper: $LOGWARDEN_EPM_PORT or 135.
uint16_t endpointMapperPort();

}  // namespace lw::rpc
