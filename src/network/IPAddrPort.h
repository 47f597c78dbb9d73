// A server address (IPv4 address and port), its text form "a.b.c.d:port", its 6-byte
// serialized form and address lists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace common {

class CIPAddrPort {
 public:
  // The serialized form: 4 address bytes, first octet first, then the port little-endian.
  static constexpr uint32_t sc_uSerializedSize = 6;

  CIPAddrPort() : m_u32IPAddr(0), m_u16Port(0) {}
  CIPAddrPort(uint32_t u32IPAddr, uint16_t u16Port) : m_u32IPAddr(u32IPAddr), m_u16Port(u16Port) {}
  // Parses "IP:port". An empty IP means this host's first address; a missing port is the
  // default port. Throws when the IP is missing and u32DefaultIP is 0xFFFFFFFF, or when the port
  // is missing and u16DefaultPort is 0.
  CIPAddrPort(uint32_t u32DefaultIP, const std::string& sText, uint16_t u16DefaultPort);

  // An address from its octets, first octet first (10, 1, 2, 3 for 10.1.2.3).
  static CIPAddrPort FromOctets(uint8_t u8A, uint8_t u8B, uint8_t u8C, uint8_t u8D,
                                uint16_t u16Port);

  std::string ToString() const;
  void Serialize(uint8_t* pDst) const;
  void GetOctets(uint8_t au8Octets[4]) const;

  bool operator==(const CIPAddrPort& other) const {
    return m_u32IPAddr == other.m_u32IPAddr && m_u16Port == other.m_u16Port;
  }
  bool operator!=(const CIPAddrPort& other) const { return !(*this == other); }

  // Held as the system's address functions give it: network byte order in memory.
  uint32_t m_u32IPAddr;
  uint16_t m_u16Port;
};

// The address of a dotted IPv4 text; "INADDR_ANY" gives 0; the empty text gives this host's
// first address. Host names are not looked up.
uint32_t GetIPAddrFromString(const std::string& sIPAddr);

// Splits "IP:port" at the first ':'; true when a port is given (read the way atoi reads it).
// Ports above 65535, and negative ports, throw "Invalid port: " + the port text.
bool SplitIPPort(const std::string& sText, std::string* psIp, int* pnPort);

// The items of an address list: separated by commas, blanks or tabs; quoted items are allowed.
std::vector<std::string> SplitIPAddrPortList(const std::string& sText);
// The addresses of such a list, each item as the text constructor above reads it.
std::vector<CIPAddrPort> ParseIPAddrPortList(const std::string& sText, uint32_t u32DefaultIP,
                                             uint16_t u16DefaultPort);

// Appends the addresses of a serialized list (6 bytes each, no count) and returns how many.
uint32_t DeserializeIPAddrPorts(const uint8_t* pSerializedIPAddrPorts,
                                uint32_t uSizeOfSerializedIPAddrPorts,
                                std::vector<CIPAddrPort>* pvecReceiveIPAddrPorts);
std::string SerializeIPAddrPorts(const std::vector<CIPAddrPort>& vecIPAddrPorts);

}  // namespace common
