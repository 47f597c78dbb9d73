// The socket calls of the network layer, as one swappable table. The network code calls the
// platform through it; tests and the fuzzer put a fake table in place to feed the conversations
// byte streams without a real socket.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Socket.h"

namespace common {

struct SSocketCalls {
  bool (*pfnCreateTcpSocket)(platform::SocketHandle& hSocket);
  bool (*pfnCloseSocket)(platform::SocketHandle hSocket);
  bool (*pfnSetNonBlocking)(platform::SocketHandle hSocket, bool bNonBlocking);
  bool (*pfnConnect)(platform::SocketHandle hSocket, uint32_t u32IPAddr, uint16_t u16Port);
  platform::EConnectProgress (*pfnPollConnect)(platform::SocketHandle hSocket, uint32_t uTimeoutMs);
  bool (*pfnSend)(platform::SocketHandle hSocket, const platform::SSocketBuffer* pBuffers,
                  uint32_t uCount, uint32_t& uTransferred);
  bool (*pfnReceive)(platform::SocketHandle hSocket, platform::SSocketBuffer* pBuffers,
                     uint32_t uCount, uint32_t& uTransferred);
  bool (*pfnShutdownSending)(platform::SocketHandle hSocket);
  int (*pfnWait)(platform::SocketHandle hSocket, platform::ESocketWait eWait, uint32_t uTimeoutMs);
  bool (*pfnGetPeerAddress)(platform::SocketHandle hSocket, uint32_t& u32IPAddr, uint16_t& u16Port);
  bool (*pfnReadLocalHostName)(std::string& sName);
  bool (*pfnLookUpFirstIPv4Address)(const std::string& sHost, uint32_t& u32IPAddr);
};

// The table in use: the platform's calls unless a test has put its own in place.
const SSocketCalls& SocketCalls();
const SSocketCalls& PlatformSocketCalls();

// Puts a table in place for the whole process (null: the platform's again). Not synchronised:
// only for a test or fuzzer that runs no conversation while it swaps.
void SetSocketCalls(const SSocketCalls* pCalls);

}  // namespace common
