// The socket subsystem's lifetime for a thread that holds conversations.
#pragma once

namespace common {

// Starts the socket subsystem (version 2.0) and stops it again when the object goes. Throws
// "WSAStartup() for 2.0 returned error code " + the number when it cannot start.
class CWinSockSession {
 public:
  CWinSockSession();
  ~CWinSockSession();
  CWinSockSession(const CWinSockSession&) = delete;
  CWinSockSession& operator=(const CWinSockSession&) = delete;
};

}  // namespace common
