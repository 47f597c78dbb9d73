// The client's question to a content-server directory server: which public content servers
// to download from (the messages are in ContentServerDirectoryServerProtocol.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "network/IPAddrPort.h"

namespace common {

// Appends at most u16MaxContentServers content-server addresses, in the order of the reply,
// and returns how many. Polling socket forms when an abort flag or stall indicator is given.
// Throws "Protocol version not supported by CSDS" when the server refuses the version and
// "Bad NumOfContentServers from CSDS" when it names more servers than asked for.
uint32_t ContentServerDirectoryServerGetContentServers(
    const CIPAddrPort& contentServerDirectoryServer, std::vector<CIPAddrPort>* pReceiveIPAddrPorts,
    uint16_t u16MaxContentServers, uint32_t u32CallerValue, const std::atomic<bool>* pbAbortFlag,
    std::atomic<bool>* pbStalled);

}  // namespace common
