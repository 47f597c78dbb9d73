#include "platform/ServerSockets.h"

#include <windows.h>
#include <winsock2.h>

#include <cstring>

namespace platform {

bool RaiseOpenFileLimit(uint32_t uWanted, uint32_t& uAllowed) {
  uAllowed = uWanted;
  return true;
}

bool BindSocket(SocketHandle hSocket, uint32_t u32IPAddr, uint16_t u16Port) {
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_port = htons(u16Port);
  addr.sin_addr.s_addr = u32IPAddr;
  return ::bind(static_cast<SOCKET>(hSocket), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) ==
         0;
}

}  // namespace platform
