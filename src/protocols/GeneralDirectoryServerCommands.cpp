#include "protocols/GeneralDirectoryServerCommands.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "network/SocketHelperFunctions.h"
#include "protocols/ServerConversation.h"
#include "support/Assert.h"
#include "support/ErrorCodeException.h"

namespace common {
namespace {

constexpr uint32_t sc_uBufferSize = 256;

using TimeoutPtr = std::unique_ptr<CTimeoutException>;

constexpr const char* sc_pszNoServer = "Failed to connect to any GeneralDirectoryServer";

// The first server from uFirst on that connects and accepts the version; *puUsed is its index.
// A server that refuses, fails or times out is skipped. When none is usable, the last time-out
// (pTimeout keeps it, also from earlier calls) is reported in preference to the general text,
// as it names the server that stalled; the general text is a network failure unless a server
// answered (refused the version, or spoke garbage).
platform::SocketHandle ConnectToAnyFrom(const std::vector<CIPAddrPort>& vecServers, size_t uFirst,
                                        CWSABUFWrapper& wrappedWSABUF,
                                        const std::atomic<bool>* pbAbortFlag,
                                        std::atomic<bool>* pbStalled, size_t* puUsed,
                                        TimeoutPtr& pTimeout) {
  bool bAnswered = false;
  for (size_t u = uFirst; u < vecServers.size(); ++u) {
    CSocketGuard socket;
    try {
      // A failed attempt may leave the buffer in any state.
      wrappedWSABUF.Reset();
      socket.Reset(Connect(vecServers[u], pbAbortFlag, pbStalled));
      if (ExchangeProtocolVersion(wrappedWSABUF, socket.Get(),
                                  sc_u32GeneralDirectoryServerProtocolVersion, pbAbortFlag,
                                  pbStalled) != 0) {
        *puUsed = u;
        return socket.Release();
      }
      // Refused version: skipped like a server that refuses the connection.
      bAnswered = true;
    } catch (const CTimeoutException& e) {
      pTimeout = std::make_unique<CTimeoutException>(e);
    } catch (const CNetworkException&) {
      // Not reached; the next one is tried.
    } catch (const std::exception&) {
      // This server is unusable for this command; the next one is tried.
      bAnswered = true;
    }
  }
  wrappedWSABUF.Reset();
  if (pTimeout) throw *pTimeout;
  if (bAnswered) throw std::runtime_error(sc_pszNoServer);
  throw CNoGeneralDirectoryServerReachedException();
}

// The query on a connected server; the addresses are appended only once the conversation has
// ended, so that a server failed over to does not add to a half answer.
uint32_t QueryServers(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket,
                      uint8_t u8ServerType, std::vector<CIPAddrPort>& vecReceive,
                      const std::atomic<bool>* pbAbortFlag, std::atomic<bool>* pbStalled) {
  wrappedWSABUF.Reset();
  AppendGeneralDirectoryServerQuery(wrappedWSABUF, u8ServerType);
  Send(wrappedWSABUF, hSocket, pbAbortFlag, pbStalled);
  wrappedWSABUF.PrepareToReceiveLengthPrefixedMsg();
  Receive(wrappedWSABUF, hSocket, pbAbortFlag, pbStalled);
  std::vector<CIPAddrPort> vecFound;
  uint32_t uCount = ExtractGeneralDirectoryServerReply(wrappedWSABUF, &vecFound);
  SendClosingByte(wrappedWSABUF, hSocket, pbAbortFlag, pbStalled);
  Shutdown(wrappedWSABUF, hSocket, pbAbortFlag, pbStalled);
  vecReceive.insert(vecReceive.end(), vecFound.begin(), vecFound.end());
  return uCount;
}

}  // namespace

CNoGeneralDirectoryServerReachedException::CNoGeneralDirectoryServerReachedException()
    : CNetworkException(0, sc_pszNoServer) {}

platform::SocketHandle ConnectToAnyGeneralDirectoryServer(
    const std::vector<CIPAddrPort>& vecGeneralDirectoryServers, CWSABUFWrapper* pWrappedWSABUF,
    const std::atomic<bool>* pbAbortFlag, std::atomic<bool>* pbStalled) {
  LARCH_PRECONDITION("Valid pWrappedWSABUF", pWrappedWSABUF);
  CWSABUFWrapper localWrapper(sc_uBufferSize, 1);
  size_t uUsed = 0;
  TimeoutPtr pTimeout;
  return ConnectToAnyFrom(vecGeneralDirectoryServers, 0,
                          pWrappedWSABUF ? *pWrappedWSABUF : localWrapper, pbAbortFlag, pbStalled,
                          &uUsed, pTimeout);
}

uint32_t GeneralDirectoryServerGetServers(
    uint8_t u8ServerType, const std::vector<CIPAddrPort>& vecGeneralDirectoryServers,
    std::vector<CIPAddrPort>* pReceiveIPAddrPorts, const std::atomic<bool>* pbAbortFlag,
    std::atomic<bool>* pbStalled) {
  LARCH_PRECONDITION("Valid pReceiveIPAddrPorts", pReceiveIPAddrPorts);
  std::vector<CIPAddrPort> vecIgnored;
  if (!pReceiveIPAddrPorts) pReceiveIPAddrPorts = &vecIgnored;
  CWSABUFWrapper wrappedWSABUF(sc_uBufferSize, 1);
  TimeoutPtr pTimeout;
  for (size_t uNext = 0;;) {
    size_t uUsed = 0;
    CSocketGuard socket(ConnectToAnyFrom(vecGeneralDirectoryServers, uNext, wrappedWSABUF,
                                         pbAbortFlag, pbStalled, &uUsed, pTimeout));
    try {
      return QueryServers(wrappedWSABUF, socket.Get(), u8ServerType, *pReceiveIPAddrPorts,
                          pbAbortFlag, pbStalled);
    } catch (const CTimeoutException& e) {
      // A server that stalls after accepting counts as failed, like one that refuses.
      pTimeout = std::make_unique<CTimeoutException>(e);
      uNext = uUsed + 1;
    }
  }
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
