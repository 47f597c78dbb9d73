#include "network/IPAddrPort.h"

#include <cctype>
#include <climits>
#include <cstring>
#include <stdexcept>

#include "network/GetTokens.h"
#include "network/SocketCalls.h"
#include "platform/Socket.h"
#include "support/Assert.h"
#include "support/ByteOrder.h"
#include "support/ErrorCodeException.h"

namespace common {
namespace {

constexpr uint32_t sc_u32AnyIP = 0xFFFFFFFFu;  // the default that demands an IP in the text
// Every TCP port can be named; ports of the upper half (ephemeral ports among them) are as valid
// as the lower ones.
constexpr int sc_nLargestPort = 65535;

// atoi's reading (blanks, sign, leading digits; none gives 0), saturated instead of overflowing.
long long ReadLeadingInteger(const std::string& sText) {
  size_t i = 0;
  while (i < sText.size() && std::isspace(static_cast<unsigned char>(sText[i]))) ++i;
  bool bNegative = false;
  if (i < sText.size() && (sText[i] == '+' || sText[i] == '-')) bNegative = sText[i++] == '-';
  long long nValue = 0;
  for (; i < sText.size() && std::isdigit(static_cast<unsigned char>(sText[i])); ++i) {
    if (nValue < INT_MAX) nValue = nValue * 10 + (sText[i] - '0');
  }
  return bNegative ? -nValue : nValue;
}

}  // namespace

CIPAddrPort::CIPAddrPort(uint32_t u32DefaultIP, const std::string& sText, uint16_t u16DefaultPort)
    : m_u32IPAddr(u32DefaultIP), m_u16Port(u16DefaultPort) {
  std::string sIp;
  int nPort = 0;
  bool bHasPort = SplitIPPort(sText, &sIp, &nPort);
  if (sIp.empty() && u32DefaultIP == sc_u32AnyIP) {
    throw std::runtime_error("IP:port doesn't specify an IP addr: " + sText);
  }
  m_u32IPAddr = GetIPAddrFromString(sIp);
  if (bHasPort) {
    m_u16Port = static_cast<uint16_t>(nPort);
  } else if (u16DefaultPort == 0) {
    throw std::runtime_error("IP:port doesn't specify a port: " + sText);
  }
}

CIPAddrPort CIPAddrPort::FromOctets(uint8_t u8A, uint8_t u8B, uint8_t u8C, uint8_t u8D,
                                    uint16_t u16Port) {
  const uint8_t au8Octets[4] = {u8A, u8B, u8C, u8D};
  CIPAddrPort addr(0, u16Port);
  std::memcpy(&addr.m_u32IPAddr, au8Octets, 4);
  return addr;
}

void CIPAddrPort::GetOctets(uint8_t au8Octets[4]) const {
  std::memcpy(au8Octets, &m_u32IPAddr, 4);
}

std::string CIPAddrPort::ToString() const {
  uint8_t au8Octets[4];
  GetOctets(au8Octets);
  std::string s;
  for (int i = 0; i < 4; ++i) {
    if (i) s += '.';
    s += std::to_string(au8Octets[i]);
  }
  return s + ":" + std::to_string(m_u16Port);
}

void CIPAddrPort::Serialize(uint8_t* pDst) const {
  std::memcpy(pDst, &m_u32IPAddr, 4);
  StoreLittleEndian16(pDst + 4, m_u16Port);
}

uint32_t GetIPAddrFromString(const std::string& sIPAddr) {
  if (sIPAddr == "INADDR_ANY") return 0;
  uint32_t u32Addr = 0;
  if (!sIPAddr.empty()) {
    if (!platform::ParseDottedIPv4(sIPAddr, u32Addr)) {
      throw CNetworkException("Bad sIPAddr: " + sIPAddr);
    }
    return u32Addr;
  }
  std::string sHostName;
  if (!SocketCalls().pfnReadLocalHostName(sHostName)) {
    throw CNetworkException("GetIPAddrFromString(): gethostname() failed with error ");
  }
  if (!SocketCalls().pfnLookUpFirstIPv4Address(sHostName, u32Addr)) {
    throw CNetworkException("GetIPAddrFromString(): No addresses returned by gethostname()");
  }
  return u32Addr;
}

bool SplitIPPort(const std::string& sText, std::string* psIp, int* pnPort) {
  LARCH_PRECONDITION("NonNullCallerIpPtr", psIp);
  LARCH_PRECONDITION("NonNullCallerPortPtr", pnPort);
  std::string sIgnoredIp;
  int nIgnoredPort = 0;
  if (!psIp) psIp = &sIgnoredIp;
  if (!pnPort) pnPort = &nIgnoredPort;

  size_t uColon = sText.find(':');
  if (uColon == std::string::npos) {
    *psIp = sText;
    return false;
  }
  *psIp = sText.substr(0, uColon);
  std::string sPort = sText.substr(uColon + 1);
  if (sPort.empty()) return false;
  long long nPort = ReadLeadingInteger(sPort);
  // A negative number would wrap round to a high port; it is as invalid as one that is too big.
  if (nPort > sc_nLargestPort || nPort < 0) throw CNetworkException("Invalid port: " + sPort);
  *pnPort = static_cast<int>(nPort);
  return true;
}

std::vector<std::string> SplitIPAddrPortList(const std::string& sText) {
  std::vector<std::string> vecTokens;
  GetTokens(sText.c_str(), ", \t", "\"'", -1, vecTokens);
  return vecTokens;
}

std::vector<CIPAddrPort> ParseIPAddrPortList(const std::string& sText, uint32_t u32DefaultIP,
                                             uint16_t u16DefaultPort) {
  std::vector<CIPAddrPort> vecAddrs;
  for (const std::string& sToken : SplitIPAddrPortList(sText)) {
    vecAddrs.emplace_back(u32DefaultIP, sToken, u16DefaultPort);
  }
  return vecAddrs;
}

uint32_t DeserializeIPAddrPorts(const uint8_t* pSerializedIPAddrPorts,
                                uint32_t uSizeOfSerializedIPAddrPorts,
                                std::vector<CIPAddrPort>* pvecReceiveIPAddrPorts) {
  LARCH_PRECONDITION("Valid pSerializedIPAddrPorts",
                     pSerializedIPAddrPorts || uSizeOfSerializedIPAddrPorts == 0);
  LARCH_PRECONDITION("Valid pvecReceiveIPAddrPorts", pvecReceiveIPAddrPorts);
  if (uSizeOfSerializedIPAddrPorts % CIPAddrPort::sc_uSerializedSize != 0) {
    throw std::runtime_error("Invalid uSizeOfSerializedIPAddrPorts " +
                             std::to_string(uSizeOfSerializedIPAddrPorts));
  }
  uint32_t uCount = uSizeOfSerializedIPAddrPorts / CIPAddrPort::sc_uSerializedSize;
  if (!pvecReceiveIPAddrPorts || (!pSerializedIPAddrPorts && uCount)) return 0;
  for (uint32_t u = 0; u < uCount; ++u) {
    const uint8_t* p = pSerializedIPAddrPorts + u * CIPAddrPort::sc_uSerializedSize;
    CIPAddrPort addr;
    std::memcpy(&addr.m_u32IPAddr, p, 4);
    addr.m_u16Port = LoadLittleEndian16(p + 4);
    pvecReceiveIPAddrPorts->push_back(addr);
  }
  return uCount;
}

std::string SerializeIPAddrPorts(const std::vector<CIPAddrPort>& vecIPAddrPorts) {
  std::string s(vecIPAddrPorts.size() * CIPAddrPort::sc_uSerializedSize, '\0');
  for (size_t u = 0; u < vecIPAddrPorts.size(); ++u) {
    vecIPAddrPorts[u].Serialize(
        reinterpret_cast<uint8_t*>(&s[u * CIPAddrPort::sc_uSerializedSize]));
  }
  return s;
}

}  // namespace common
