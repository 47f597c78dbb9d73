// Fetching the client config record from a configuration server.
//
//   client: u32 version 0                      server: u8 accepted (non-zero) or refused (0)
//   client: u32 1, u8 command 1                server: u32 L, then the record's L-byte image
//   client: graceful close
//
// A client that is refused sends the single byte 1 before it closes.
#pragma once

#include <cstdint>
#include <memory>

#include "network/IPAddrPort.h"
#include "network/WSABUFWrapper.h"
#include "protocols/ClientConfigDBKeyRecord.h"

namespace common {

constexpr uint32_t sc_u32ConfigServerProtocolVersion = 0;
constexpr uint8_t sc_u8SendClientConfigRecordCommand = 1;
// The longest record the client takes (a real one is a few dozen bytes).
constexpr uint32_t sc_uMaxConfigRecordSize = 1024 * 1024;

// The record of the configuration server (blocking conversation). Throws "ConfigServer
// unacceptable protocol version" when refused, "ConfigServer: record length N exceeds 1048576"
// before it allocates for a longer record, the blob's load errors for a reply that is not a
// blob image, and CValidateFieldsException for a record without its three version fields.
std::unique_ptr<Weft::CClientConfigRecord> ConfigServerGetClientConfigRecord(
    const CIPAddrPort& configServer);

// The messages, for both ends.
void AppendClientConfigRecordRequest(CWSABUFWrapper& wrappedWSABUF);
// Server: the command of a received request (length-prefixed).
uint8_t ExtractClientConfigRecordRequest(CWSABUFWrapper& wrappedWSABUF);
// Server: the length and the image (which must be valid).
void AppendClientConfigRecordReply(CWSABUFWrapper& wrappedWSABUF,
                                   const Weft::CClientConfigRecord& record);

}  // namespace common
