#include "protocols/GeneralDirectoryServerCommands.h"

#include <algorithm>
#include <stdexcept>

#include "network/SocketHelperFunctions.h"
#include "protocols/ServerConversation.h"
#include "support/Assert.h"

namespace common {
namespace {

constexpr uint32_t sc_uBufferSize = 256;

}  // namespace

platform::SocketHandle ConnectToAnyGeneralDirectoryServer(
    const std::vector<CIPAddrPort>& vecGeneralDirectoryServers, CWSABUFWrapper* pWrappedWSABUF,
    const std::atomic<bool>* pbAbortFlag, std::atomic<bool>* pbStalled) {
  LARCH_PRECONDITION("Valid pWrappedWSABUF", pWrappedWSABUF);
  CWSABUFWrapper localWrapper(sc_uBufferSize, 1);
  CWSABUFWrapper& wrappedWSABUF = pWrappedWSABUF ? *pWrappedWSABUF : localWrapper;
  for (const CIPAddrPort& addr : vecGeneralDirectoryServers) {
    CSocketGuard socket;
    try {
      // A failed attempt may leave the buffer in any state.
      wrappedWSABUF.Reset();
      socket.Reset(Connect(addr, pbAbortFlag, pbStalled));
      if (ExchangeProtocolVersion(wrappedWSABUF, socket.Get(),
                                  sc_u32GeneralDirectoryServerProtocolVersion, pbAbortFlag,
                                  pbStalled) != 0) {
        return socket.Release();
      }
      // Refused version: skipped like a server that refuses the connection.
    } catch (const std::exception&) {
      // This server is unusable for this command; the next one is tried.
    }
  }
  wrappedWSABUF.Reset();
  throw std::runtime_error("Failed to connect to any GeneralDirectoryServer");
}

uint32_t GeneralDirectoryServerGetServers(
    uint8_t u8ServerType, const std::vector<CIPAddrPort>& vecGeneralDirectoryServers,
    std::vector<CIPAddrPort>* pReceiveIPAddrPorts, const std::atomic<bool>* pbAbortFlag,
    std::atomic<bool>* pbStalled) {
  LARCH_PRECONDITION("Valid pReceiveIPAddrPorts", pReceiveIPAddrPorts);
  std::vector<CIPAddrPort> vecIgnored;
  if (!pReceiveIPAddrPorts) pReceiveIPAddrPorts = &vecIgnored;
  CWSABUFWrapper wrappedWSABUF(sc_uBufferSize, 1);
  CSocketGuard socket(ConnectToAnyGeneralDirectoryServer(vecGeneralDirectoryServers, &wrappedWSABUF,
                                                         pbAbortFlag, pbStalled));
  wrappedWSABUF.Reset();
  AppendGeneralDirectoryServerQuery(wrappedWSABUF, u8ServerType);
  Send(wrappedWSABUF, socket.Get(), pbAbortFlag, pbStalled);
  wrappedWSABUF.PrepareToReceiveLengthPrefixedMsg();
  Receive(wrappedWSABUF, socket.Get(), pbAbortFlag, pbStalled);
  uint32_t uCount = ExtractGeneralDirectoryServerReply(wrappedWSABUF, pReceiveIPAddrPorts);
  SendClosingByte(wrappedWSABUF, socket.Get(), pbAbortFlag, pbStalled);
  Shutdown(wrappedWSABUF, socket.Get(), pbAbortFlag, pbStalled);
  return uCount;
}

CIPAddrPort GetMasterAuthenticationServer(
    const std::vector<CIPAddrPort>& vecGeneralDirectoryServers) {
  std::vector<CIPAddrPort> vecServers;
  GeneralDirectoryServerGetServers(eMasterAuthenticationServer, vecGeneralDirectoryServers,
                                   &vecServers, nullptr, nullptr);
  if (vecServers.size() != 1) {
    throw std::runtime_error("Failed to find Master AuthenticationServer");
  }
  return vecServers[0];
}

void AppendGeneralDirectoryServerQuery(CWSABUFWrapper& wrappedWSABUF, uint8_t u8ServerType) {
  AppendOneByteRequest(wrappedWSABUF, u8ServerType);
}

uint8_t ExtractGeneralDirectoryServerQuery(CWSABUFWrapper& wrappedWSABUF) {
  return ExtractOneByteRequest(wrappedWSABUF);
}

void AppendGeneralDirectoryServerReply(CWSABUFWrapper& wrappedWSABUF,
                                       const std::vector<CIPAddrPort>& vecIPAddrPorts) {
  size_t uCount =
      std::min<size_t>(vecIPAddrPorts.size(), sc_uMaxAddressesPerGeneralDirectoryServerReply);
  std::vector<CIPAddrPort> vecSent(vecIPAddrPorts.begin(), vecIPAddrPorts.begin() + uCount);
  std::string sSerialized = SerializeIPAddrPorts(vecSent);
  wrappedWSABUF.Append(static_cast<uint32_t>(2 + sSerialized.size()));
  wrappedWSABUF.Append(static_cast<uint16_t>(uCount));
  wrappedWSABUF.Append(sSerialized.data(), static_cast<uint32_t>(sSerialized.size()));
}

uint32_t ExtractGeneralDirectoryServerReply(CWSABUFWrapper& wrappedWSABUF,
                                            std::vector<CIPAddrPort>* pReceiveIPAddrPorts) {
  uint16_t u16Count = 0;
  wrappedWSABUF.ExtractNext(&u16Count);
  uint32_t uSize = static_cast<uint32_t>(u16Count) * CIPAddrPort::sc_uSerializedSize;
  const uint8_t* pSerialized = wrappedWSABUF.ExtractGap(uSize);
  wrappedWSABUF.DoneExtracting();
  // The bytes stay in the buffer's storage until the next receive.
  return DeserializeIPAddrPorts(pSerialized, uSize, pReceiveIPAddrPorts);
}

}  // namespace common
