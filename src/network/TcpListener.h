// The server side of a conversation: a listening socket that accepts connections, for the
// operator's reference servers and the tests' scripted servers.
#pragma once

#include <cstdint>

#include "network/IPAddrPort.h"
#include "platform/Socket.h"

namespace common {

class CTcpListener {
 public:
  // Listens on the address (port 0: an ephemeral port). Throws a CNetworkException.
  explicit CTcpListener(const CIPAddrPort& addr);
  ~CTcpListener();
  CTcpListener(const CTcpListener&) = delete;
  CTcpListener& operator=(const CTcpListener&) = delete;

  // The address and port actually bound.
  CIPAddrPort LocalAddress() const { return m_localAddress; }

  // Waits up to uTimeoutMs for a connection; false when none came. The accepted socket is
  // blocking and belongs to the caller. Throws a CNetworkException when accepting fails.
  bool Accept(uint32_t uTimeoutMs, platform::SocketHandle& hConnection,
              CIPAddrPort* pPeer = nullptr);

 private:
  platform::SocketHandle m_hSocket;
  CIPAddrPort m_localAddress;
};

}  // namespace common
