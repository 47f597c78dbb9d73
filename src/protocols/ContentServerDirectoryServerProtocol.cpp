#include "protocols/ContentServerDirectoryServerProtocol.h"

#include <algorithm>
#include <stdexcept>

#include "support/ByteOrder.h"

namespace common {
namespace {

// The address as a number whose least significant byte is the first octet.
uint32_t AddressAsLittleEndianNumber(uint32_t u32IPAddr) {
  uint8_t au8[4];
  CIPAddrPort(u32IPAddr, 0).GetOctets(au8);
  return LoadLittleEndian32(au8);
}

uint32_t AddressFromLittleEndianNumber(uint32_t u32Number) {
  uint8_t au8[4];
  StoreLittleEndian32(au8, u32Number);
  return CIPAddrPort::FromOctets(au8[0], au8[1], au8[2], au8[3], 0).m_u32IPAddr;
}

}  // namespace

void AppendContentServerQuery(CWSABUFWrapper& wrappedWSABUF, const SContentServerQuery& query) {
  wrappedWSABUF.Append(sc_uContentServerQueryBodySize);
  wrappedWSABUF.Append(sc_u8GetContentServersCommand);
  wrappedWSABUF.Append(static_cast<uint8_t>(0));
  wrappedWSABUF.Append(static_cast<uint8_t>(0));
  wrappedWSABUF.Append(static_cast<uint32_t>(0));
  wrappedWSABUF.Append(static_cast<uint32_t>(0));
  wrappedWSABUF.Append(query.u16MaxContentServers);
  wrappedWSABUF.Append(query.u32CallerValue);
  wrappedWSABUF.Append(AddressAsLittleEndianNumber(query.u32ClientIPAddr));
}

SContentServerQuery ExtractContentServerQuery(CWSABUFWrapper& wrappedWSABUF) {
  uint8_t u8Command = 0, u8Unused = 0;
  uint32_t u32Unused = 0, u32Address = 0;
  SContentServerQuery query;
  wrappedWSABUF.ExtractNext(&u8Command);
  if (u8Command != sc_u8GetContentServersCommand) {
    throw std::runtime_error("ProtocolError - Unknown CSDS command");
  }
  wrappedWSABUF.ExtractNext(&u8Unused);
  wrappedWSABUF.ExtractNext(&u8Unused);
  wrappedWSABUF.ExtractNext(&u32Unused);
  wrappedWSABUF.ExtractNext(&u32Unused);
  wrappedWSABUF.ExtractNext(&query.u16MaxContentServers);
  wrappedWSABUF.ExtractNext(&query.u32CallerValue);
  wrappedWSABUF.ExtractNext(&u32Address);
  wrappedWSABUF.DoneExtracting();
  query.u32ClientIPAddr = AddressFromLittleEndianNumber(u32Address);
  return query;
}

void AppendContentServerReply(CWSABUFWrapper& wrappedWSABUF,
                              const std::vector<CIPAddrPort>& vecContentServers,
                              uint16_t u16MaxContentServers) {
  size_t uCount = std::min<size_t>(
      {vecContentServers.size(), u16MaxContentServers, sc_uMaxContentServersPerReply});
  wrappedWSABUF.Append(static_cast<uint32_t>(2 + uCount * sc_uContentServerReplyEntrySize));
  wrappedWSABUF.Append(static_cast<uint16_t>(uCount));
  const uint8_t au8Unused[6] = {};
  for (size_t u = 0; u < uCount; ++u) {
    uint8_t au8Address[CIPAddrPort::sc_uSerializedSize];
    vecContentServers[u].Serialize(au8Address);
    wrappedWSABUF.Append(au8Unused, 4);
    wrappedWSABUF.Append(au8Address, sizeof(au8Address));
    wrappedWSABUF.Append(au8Unused, 6);
  }
}

uint32_t ExtractContentServerReply(CWSABUFWrapper& wrappedWSABUF, uint16_t u16MaxContentServers,
                                   std::vector<CIPAddrPort>* pReceiveIPAddrPorts) {
  uint16_t u16Count = 0;
  wrappedWSABUF.ExtractNext(&u16Count);
  if (u16Count > u16MaxContentServers) {
    throw std::runtime_error("Bad NumOfContentServers from CSDS");
  }
  // Collected first, so that a reply that turns out malformed adds nothing.
  std::vector<CIPAddrPort> vecServers;
  for (uint16_t u = 0; u < u16Count; ++u) {
    wrappedWSABUF.ExtractGap(4);
    DeserializeIPAddrPorts(wrappedWSABUF.ExtractGap(CIPAddrPort::sc_uSerializedSize),
                           CIPAddrPort::sc_uSerializedSize, &vecServers);
    wrappedWSABUF.ExtractGap(6);
  }
  wrappedWSABUF.DoneExtracting();
  pReceiveIPAddrPorts->insert(pReceiveIPAddrPorts->end(), vecServers.begin(), vecServers.end());
  return u16Count;
}

}  // namespace common
