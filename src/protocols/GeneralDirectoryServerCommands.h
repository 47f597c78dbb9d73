// The conversation with a general directory server (GDS): which servers of a type are logged in.
//
//   client: u32 version 1                      server: u8 accepted (non-zero) or refused (0)
//   client: u32 1, u8 server type              server: u32 length, u16 K, K 6-byte addresses
//   client: u8 1, then a graceful close
//
// The client tries the GDS addresses in order and talks to the first one that connects and
// accepts the version; one that refuses the connection or the version, or that runs out of a
// time limit (NetworkTimeouts.h) at any step before its answer, is skipped.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "network/IPAddrPort.h"
#include "network/WSABUFWrapper.h"
#include "platform/Socket.h"
#include "support/ErrorCodeException.h"

namespace common {

constexpr uint32_t sc_u32GeneralDirectoryServerProtocolVersion = 1;

// Server types of the GDS query.
enum EServerType : uint8_t {
  eMasterAuthenticationServer = 0,
  eConfigServer = 3,
  eContentServerDirectoryServer = 6,
};

// The most addresses one reply can carry: the client's 256-byte buffer holds the reply body.
constexpr uint32_t sc_uMaxAddressesPerGeneralDirectoryServerReply = (256 - 2) / 6;

// "Failed to connect to any GeneralDirectoryServer" when no server of the list could be reached
// at all: each refused or lost the connection. A network failure, so that a caller can tell an
// offline network from servers that answer wrongly (the same text then comes as a plain
// std::runtime_error).
class CNoGeneralDirectoryServerReachedException : public CNetworkException {
 public:
  CNoGeneralDirectoryServerReachedException();
};

// A connected socket to the first GDS of the list that accepts the version (the caller closes
// it). When none does, throws the time-out of the last server that stalled, if one did, else
// "Failed to connect to any GeneralDirectoryServer".
platform::SocketHandle ConnectToAnyGeneralDirectoryServer(
    const std::vector<CIPAddrPort>& vecGeneralDirectoryServers, CWSABUFWrapper* pWrappedWSABUF,
    const std::atomic<bool>* pbAbortFlag, std::atomic<bool>* pbStalled);

// Appends the addresses of the servers of the type to pReceiveIPAddrPorts and returns how many.
// A server that times out after accepting the version is failed over like one that refuses; the
// last one's time-out is thrown.
uint32_t GeneralDirectoryServerGetServers(
    uint8_t u8ServerType, const std::vector<CIPAddrPort>& vecGeneralDirectoryServers,
    std::vector<CIPAddrPort>* pReceiveIPAddrPorts, const std::atomic<bool>* pbAbortFlag,
    std::atomic<bool>* pbStalled);

// The one master authentication server; "Failed to find Master AuthenticationServer" unless the
// GDS names exactly one.
CIPAddrPort GetMasterAuthenticationServer(
    const std::vector<CIPAddrPort>& vecGeneralDirectoryServers);

// The messages themselves, for both ends. The Extract functions read a received
// length-prefixed message and throw the protocol errors of the message buffer.
void AppendGeneralDirectoryServerQuery(CWSABUFWrapper& wrappedWSABUF, uint8_t u8ServerType);
uint8_t ExtractGeneralDirectoryServerQuery(CWSABUFWrapper& wrappedWSABUF);
// Appends at most sc_uMaxAddressesPerGeneralDirectoryServerReply addresses.
void AppendGeneralDirectoryServerReply(CWSABUFWrapper& wrappedWSABUF,
                                       const std::vector<CIPAddrPort>& vecIPAddrPorts);
uint32_t ExtractGeneralDirectoryServerReply(CWSABUFWrapper& wrappedWSABUF,
                                            std::vector<CIPAddrPort>* pReceiveIPAddrPorts);

}  // namespace common
