#include "protocols/ContentServerDirectoryServerCommands.h"

#include <stdexcept>

#include "network/SocketHelperFunctions.h"
#include "network/WSABUFWrapper.h"
#include "protocols/ContentServerDirectoryServerProtocol.h"
#include "protocols/ServerConversation.h"
#include "support/Assert.h"

namespace common {

uint32_t ContentServerDirectoryServerGetContentServers(
    const CIPAddrPort& contentServerDirectoryServer, std::vector<CIPAddrPort>* pReceiveIPAddrPorts,
    uint16_t u16MaxContentServers, uint32_t u32CallerValue, const std::atomic<bool>* pbAbortFlag,
    std::atomic<bool>* pbStalled) {
  LARCH_PRECONDITION("Valid pReceiveIPAddrPorts", pReceiveIPAddrPorts);
  std::vector<CIPAddrPort> vecIgnored;
  if (!pReceiveIPAddrPorts) pReceiveIPAddrPorts = &vecIgnored;
  CWSABUFWrapper wrappedWSABUF(256, 1);
  CSocketGuard socket(Connect(contentServerDirectoryServer, pbAbortFlag, pbStalled));
  if (ExchangeProtocolVersion(wrappedWSABUF, socket.Get(),
                              sc_u32ContentServerDirectoryServerProtocolVersion, pbAbortFlag,
                              pbStalled) == 0) {
    throw std::runtime_error("Protocol version not supported by CSDS");
  }
  SContentServerQuery query;
  query.u16MaxContentServers = u16MaxContentServers;
  query.u32CallerValue = u32CallerValue;
  query.u32ClientIPAddr = GetIPAddrFromString("");
  AppendContentServerQuery(wrappedWSABUF, query);
  Send(wrappedWSABUF, socket.Get(), pbAbortFlag, pbStalled);
  wrappedWSABUF.PrepareToReceiveLengthPrefixedMsg();
  Receive(wrappedWSABUF, socket.Get(), pbAbortFlag, pbStalled);
  uint32_t uCount =
      ExtractContentServerReply(wrappedWSABUF, u16MaxContentServers, pReceiveIPAddrPorts);
  Shutdown(wrappedWSABUF, socket.Get(), pbAbortFlag, pbStalled);
  return uCount;
}

}  // namespace common
