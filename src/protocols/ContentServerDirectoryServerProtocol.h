// The messages of the content-server directory server (CSDS), for both ends.
//
//   client: u32 version 2                      server: u8 accepted (non-zero) or refused (0)
//   client: the content-server query           server: u32 length, u16 K, K 16-byte entries
//   client: graceful close
//
// Query body (21 bytes): u8 command 0, u8 0, u8 0, u32 0, u32 0, u16 most servers wanted,
// u32 caller value, u32 the client's IPv4 address as a number whose least significant byte is
// the first octet. Reply entry: 4 bytes unused, the content server's 6-byte address, 6 bytes
// unused.
#pragma once

#include <cstdint>
#include <vector>

#include "network/IPAddrPort.h"
#include "network/WSABUFWrapper.h"

namespace common {

constexpr uint32_t sc_u32ContentServerDirectoryServerProtocolVersion = 2;
constexpr uint8_t sc_u8GetContentServersCommand = 0;
constexpr uint32_t sc_uContentServerQueryBodySize = 21;
constexpr uint32_t sc_uContentServerReplyEntrySize = 16;
// The most entries one reply can carry: the client's 256-byte buffer holds the reply body.
constexpr uint32_t sc_uMaxContentServersPerReply = (256 - 2) / 16;

struct SContentServerQuery {
  uint16_t u16MaxContentServers = 0;
  uint32_t u32CallerValue = 0;
  uint32_t u32ClientIPAddr = 0;  // as CIPAddrPort holds it (first octet first in memory)
};

void AppendContentServerQuery(CWSABUFWrapper& wrappedWSABUF, const SContentServerQuery& query);
// Server: reads a received query; a body that is not a content-server query throws
// "ProtocolError - Unknown CSDS command".
SContentServerQuery ExtractContentServerQuery(CWSABUFWrapper& wrappedWSABUF);

// Server: at most the query's maximum and sc_uMaxContentServersPerReply entries.
void AppendContentServerReply(CWSABUFWrapper& wrappedWSABUF,
                              const std::vector<CIPAddrPort>& vecContentServers,
                              uint16_t u16MaxContentServers);
// Client: appends the servers of a received reply and returns how many; a count above
// u16MaxContentServers throws "Bad NumOfContentServers from CSDS".
uint32_t ExtractContentServerReply(CWSABUFWrapper& wrappedWSABUF, uint16_t u16MaxContentServers,
                                   std::vector<CIPAddrPort>* pReceiveIPAddrPorts);

}  // namespace common
