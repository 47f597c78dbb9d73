#include "network/TcpListener.h"

#include "support/ErrorCodeException.h"

namespace common {

CTcpListener::CTcpListener(const CIPAddrPort& addr) : m_hSocket(platform::sc_InvalidSocket) {
  if (!platform::CreateListeningSocket(addr.m_u32IPAddr, addr.m_u16Port, m_hSocket)) {
    throw CNetworkException("Failed to listen on " + addr.ToString());
  }
  m_localAddress = addr;
  if (!platform::GetSocketLocalAddress(m_hSocket, m_localAddress.m_u32IPAddr,
                                       m_localAddress.m_u16Port)) {
    CNetworkException error("Failed to read the listening address");
    platform::CloseSocket(m_hSocket);
    throw error;
  }
}

CTcpListener::~CTcpListener() {
  platform::CloseSocket(m_hSocket);
}

bool CTcpListener::Accept(uint32_t uTimeoutMs, platform::SocketHandle& hConnection,
                          CIPAddrPort* pPeer) {
  hConnection = platform::sc_InvalidSocket;
  int nReady = platform::WaitForSocket(m_hSocket, platform::eWaitReadable, uTimeoutMs);
  if (nReady < 0) throw CNetworkException("Failed to wait for a connection");
  if (nReady == 0) return false;
  CIPAddrPort peer;
  if (!platform::AcceptConnection(m_hSocket, hConnection, peer.m_u32IPAddr, peer.m_u16Port)) {
    throw CNetworkException("Failed to accept a connection");
  }
  if (pPeer) *pPeer = peer;
  return true;
}

}  // namespace common
