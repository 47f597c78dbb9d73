#include "platform/Socket.h"

#include <windows.h>
#include <winsock2.h>

#include <cstddef>
#include <cstring>

#include "platform/FaultInjection.h"
#include "platform/SystemError.h"

namespace platform {
namespace {

static_assert(sizeof(SSocketBuffer) == sizeof(WSABUF), "descriptor layout");
static_assert(offsetof(SSocketBuffer, uLength) == offsetof(WSABUF, len), "descriptor layout");
static_assert(offsetof(SSocketBuffer, pData) == offsetof(WSABUF, buf), "descriptor layout");

SOCKET Sock(SocketHandle hSocket) {
  return static_cast<SOCKET>(hSocket);
}

// An injected failure of the named call, reported like a real one.
bool Injected(const char* pszCall) {
  if (!ConsumeInjectedFailure(pszCall)) return false;
  ::WSASetLastError(static_cast<int>(GetLastSystemError()));
  return true;
}

sockaddr_in MakeAddress(uint32_t u32IPAddr, uint16_t u16Port) {
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_port = htons(u16Port);
  addr.sin_addr.s_addr = u32IPAddr;
  return addr;
}

timeval MakeTimeout(uint32_t uTimeoutMs) {
  timeval tv;
  tv.tv_sec = static_cast<long>(uTimeoutMs / 1000);
  tv.tv_usec = static_cast<long>((uTimeoutMs % 1000) * 1000);
  return tv;
}

// The socket's own or its peer's address, by getsockname() or getpeername().
bool ReadSocketAddress(decltype(&::getsockname) pfnRead, SocketHandle hSocket, uint32_t& u32IPAddr,
                       uint16_t& u16Port) {
  sockaddr_in addr;
  int nLen = sizeof(addr);
  if (pfnRead(Sock(hSocket), reinterpret_cast<sockaddr*>(&addr), &nLen) != 0) return false;
  u32IPAddr = addr.sin_addr.s_addr;
  u16Port = ntohs(addr.sin_port);
  return true;
}

}  // namespace

int StartSockets() {
  WSADATA data;
  return ::WSAStartup(MAKEWORD(2, 0), &data);
}

void StopSockets() {
  ::WSACleanup();
}

bool CreateTcpSocket(SocketHandle& hSocket) {
  hSocket = sc_InvalidSocket;
  if (Injected("SocketCreate")) return false;
  SOCKET s = ::WSASocketA(AF_INET, SOCK_STREAM, 0, nullptr, 0, 0);
  if (s == INVALID_SOCKET) return false;
  hSocket = static_cast<SocketHandle>(s);
  return true;
}

bool CloseSocket(SocketHandle hSocket) {
  return ::closesocket(Sock(hSocket)) == 0;
}

bool SetSocketNonBlocking(SocketHandle hSocket, bool bNonBlocking) {
  if (Injected("SocketNonBlocking")) return false;
  u_long uMode = bNonBlocking ? 1 : 0;
  return ::ioctlsocket(Sock(hSocket), FIONBIO, &uMode) == 0;
}

bool ConnectSocket(SocketHandle hSocket, uint32_t u32IPAddr, uint16_t u16Port) {
  if (Injected("SocketConnect")) return false;
  sockaddr_in addr = MakeAddress(u32IPAddr, u16Port);
  return ::WSAConnect(Sock(hSocket), reinterpret_cast<sockaddr*>(&addr), sizeof(addr), nullptr,
                      nullptr, nullptr, nullptr) == 0;
}

EConnectProgress PollConnect(SocketHandle hSocket, uint32_t uTimeoutMs) {
  if (Injected("SocketPoll")) {
    SetLastSystemError(static_cast<uint32_t>(::WSAGetLastError()));
    return eConnectPollError;
  }
  fd_set writeSet, exceptSet;
  FD_ZERO(&writeSet);
  FD_ZERO(&exceptSet);
  FD_SET(Sock(hSocket), &writeSet);
  FD_SET(Sock(hSocket), &exceptSet);
  timeval tv = MakeTimeout(uTimeoutMs);
  int nRet = ::select(0, nullptr, &writeSet, &exceptSet, &tv);
  if (nRet == SOCKET_ERROR) return eConnectPollError;
  if (FD_ISSET(Sock(hSocket), &writeSet)) return eConnectMade;
  if (!FD_ISSET(Sock(hSocket), &exceptSet)) return eConnectPending;
  int nError = 0;
  int nLen = sizeof(nError);
  if (::getsockopt(Sock(hSocket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&nError), &nLen) !=
      0) {
    nError = 0;
  }
  ::WSASetLastError(nError ? nError : WSAECONNREFUSED);
  return eConnectFailed;
}

bool SendOnSocket(SocketHandle hSocket, const SSocketBuffer* pBuffers, uint32_t uCount,
                  uint32_t& uTransferred) {
  uTransferred = 0;
  if (Injected("SocketSend")) return false;
  DWORD dwSent = 0;
  WSABUF* pWSABUF = reinterpret_cast<WSABUF*>(const_cast<SSocketBuffer*>(pBuffers));
  if (::WSASend(Sock(hSocket), pWSABUF, uCount, &dwSent, 0, nullptr, nullptr) != 0) {
    return false;
  }
  ::WSASetLastError(0);
  uTransferred = dwSent;
  return true;
}

bool ReceiveOnSocket(SocketHandle hSocket, SSocketBuffer* pBuffers, uint32_t uCount,
                     uint32_t& uTransferred) {
  uTransferred = 0;
  if (Injected("SocketReceive")) return false;
  DWORD dwReceived = 0;
  DWORD dwFlags = 0;
  if (::WSARecv(Sock(hSocket), reinterpret_cast<WSABUF*>(pBuffers), uCount, &dwReceived, &dwFlags,
                nullptr, nullptr) != 0) {
    return false;
  }
  ::WSASetLastError(0);
  uTransferred = dwReceived;
  return true;
}

bool ShutdownSending(SocketHandle hSocket) {
  if (Injected("SocketShutdown")) return false;
  return ::shutdown(Sock(hSocket), SD_SEND) == 0;
}

int WaitForSocket(SocketHandle hSocket, ESocketWait eWait, uint32_t uTimeoutMs) {
  if (Injected("SocketPoll")) {
    SetLastSystemError(static_cast<uint32_t>(::WSAGetLastError()));
    return -1;
  }
  fd_set set;
  FD_ZERO(&set);
  FD_SET(Sock(hSocket), &set);
  timeval tv = MakeTimeout(uTimeoutMs);
  int nRet = eWait == eWaitReadable ? ::select(0, &set, nullptr, nullptr, &tv)
                                    : ::select(0, nullptr, &set, nullptr, &tv);
  if (nRet == SOCKET_ERROR) return -1;
  return nRet > 0 ? 1 : 0;
}

bool CreateListeningSocket(uint32_t u32IPAddr, uint16_t u16Port, SocketHandle& hSocket) {
  hSocket = sc_InvalidSocket;
  SOCKET s = ::WSASocketA(AF_INET, SOCK_STREAM, 0, nullptr, 0, 0);
  if (s == INVALID_SOCKET) return false;
  sockaddr_in addr = MakeAddress(u32IPAddr, u16Port);
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::listen(s, SOMAXCONN) != 0) {
    int nError = ::WSAGetLastError();
    ::closesocket(s);
    ::WSASetLastError(nError);
    return false;
  }
  hSocket = static_cast<SocketHandle>(s);
  return true;
}

bool BindSocket(SocketHandle hSocket, uint32_t u32IPAddr, uint16_t u16Port) {
  sockaddr_in addr = MakeAddress(u32IPAddr, u16Port);
  return ::bind(static_cast<SOCKET>(hSocket), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) ==
         0;
}

bool GetSocketLocalAddress(SocketHandle hSocket, uint32_t& u32IPAddr, uint16_t& u16Port) {
  return ReadSocketAddress(::getsockname, hSocket, u32IPAddr, u16Port);
}

bool GetSocketPeerAddress(SocketHandle hSocket, uint32_t& u32IPAddr, uint16_t& u16Port) {
  if (Injected("SocketPeerAddress")) return false;
  return ReadSocketAddress(::getpeername, hSocket, u32IPAddr, u16Port);
}

bool AcceptConnection(SocketHandle hListening, SocketHandle& hConnection, uint32_t& u32IPAddr,
                      uint16_t& u16Port) {
  hConnection = sc_InvalidSocket;
  sockaddr_in addr;
  int nLen = sizeof(addr);
  SOCKET s = ::accept(Sock(hListening), reinterpret_cast<sockaddr*>(&addr), &nLen);
  if (s == INVALID_SOCKET) return false;
  // An accepted socket inherits the listener's mode; callers expect a blocking one.
  u_long uMode = 0;
  ::ioctlsocket(s, FIONBIO, &uMode);
  // A reply goes out as its header, then the file: held back for the header's acknowledgement,
  // which the client delays, the file's last bytes would wait on every download.
  BOOL bNoDelay = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&bNoDelay),
               sizeof(bNoDelay));
  hConnection = static_cast<SocketHandle>(s);
  u32IPAddr = addr.sin_addr.s_addr;
  u16Port = ntohs(addr.sin_port);
  return true;
}

bool ParseDottedIPv4(const std::string& sText, uint32_t& u32IPAddr) {
  unsigned long uAddr = ::inet_addr(sText.c_str());
  if (uAddr == INADDR_NONE) return false;
  u32IPAddr = static_cast<uint32_t>(uAddr);
  return true;
}

bool ReadLocalHostName(std::string& sName) {
  if (Injected("SocketHostName")) return false;
  char szName[128] = {};
  if (::gethostname(szName, sizeof(szName) - 1) != 0) return false;
  sName = szName;
  return true;
}

bool LookUpFirstIPv4Address(const std::string& sHost, uint32_t& u32IPAddr) {
  hostent* pHost = ::gethostbyname(sHost.c_str());
  if (!pHost || pHost->h_addrtype != AF_INET || !pHost->h_addr_list || !pHost->h_addr_list[0]) {
    if (!pHost) return false;
    ::WSASetLastError(WSANO_DATA);
    return false;
  }
  std::memcpy(&u32IPAddr, pHost->h_addr_list[0], sizeof(u32IPAddr));
  return true;
}

}  // namespace platform
