#include "network/WinSockHelperFunctions.h"

#include <stdexcept>
#include <string>

#include "platform/Socket.h"

namespace common {

CWinSockSession::CWinSockSession() {
  int nResult = platform::StartSockets();
  if (nResult != 0) {
    throw std::runtime_error("WSAStartup() for 2.0 returned error code " + std::to_string(nResult));
  }
}

CWinSockSession::~CWinSockSession() {
  platform::StopSockets();
}

}  // namespace common
