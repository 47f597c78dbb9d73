#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/FaultInjection.h"
#include "platform/SystemError.h"

namespace platform {
namespace {

constexpr int sc_nWouldBlock = 10035;
constexpr int sc_nConnectionRefused = 10061;

int Fd(SocketHandle hSocket) {
  return static_cast<int>(hSocket);
}

// Records errno as the thread's socket error and reports failure.
bool FailWithErrno() {
  SetLastSocketError(MapErrnoToWinSock(errno));
  return false;
}

// An injected failure of the named call, reported like a real one.
bool Injected(const char* pszCall) {
  if (!ConsumeInjectedFailure(pszCall)) return false;
  SetLastSocketError(MapErrnoToWinSock(static_cast<int>(GetLastSystemError())));
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

std::vector<iovec> ToIoVectors(const SSocketBuffer* pBuffers, uint32_t uCount) {
  std::vector<iovec> vec(uCount);
  for (uint32_t u = 0; u < uCount; ++u) {
    vec[u].iov_base = pBuffers[u].pData;
    vec[u].iov_len = pBuffers[u].uLength;
  }
  return vec;
}

// poll() with the timeout clipped to what it takes; EINTR counts as "not ready yet".
int PollOne(int nFd, short nEvents, uint32_t uTimeoutMs, short& nRevents) {
  pollfd pfd{nFd, nEvents, 0};
  int nTimeout = uTimeoutMs > 0x7fffffffu ? -1 : static_cast<int>(uTimeoutMs);
  int nRet = ::poll(&pfd, 1, nTimeout);
  if (nRet < 0 && errno == EINTR) return 0;
  nRevents = pfd.revents;
  return nRet;
}

// The socket's own or its peer's address, by getsockname() or getpeername().
bool ReadSocketAddress(decltype(&::getsockname) pfnRead, SocketHandle hSocket, uint32_t& u32IPAddr,
                       uint16_t& u16Port) {
  sockaddr_in addr;
  socklen_t nLen = sizeof(addr);
  if (pfnRead(Fd(hSocket), reinterpret_cast<sockaddr*>(&addr), &nLen) != 0) return FailWithErrno();
  u32IPAddr = addr.sin_addr.s_addr;
  u16Port = ntohs(addr.sin_port);
  return true;
}

}  // namespace

int StartSockets() {
  return 0;
}
void StopSockets() {}

bool CreateTcpSocket(SocketHandle& hSocket) {
  hSocket = sc_InvalidSocket;
  if (Injected("SocketCreate")) return false;
  int nFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (nFd < 0) return FailWithErrno();
  hSocket = static_cast<SocketHandle>(nFd);
  return true;
}

bool CloseSocket(SocketHandle hSocket) {
  if (::close(Fd(hSocket)) != 0) return FailWithErrno();
  return true;
}

bool SetSocketNonBlocking(SocketHandle hSocket, bool bNonBlocking) {
  if (Injected("SocketNonBlocking")) return false;
  int nFlags = ::fcntl(Fd(hSocket), F_GETFL, 0);
  if (nFlags < 0) return FailWithErrno();
  nFlags = bNonBlocking ? (nFlags | O_NONBLOCK) : (nFlags & ~O_NONBLOCK);
  if (::fcntl(Fd(hSocket), F_SETFL, nFlags) != 0) return FailWithErrno();
  return true;
}

bool ConnectSocket(SocketHandle hSocket, uint32_t u32IPAddr, uint16_t u16Port) {
  if (Injected("SocketConnect")) return false;
  sockaddr_in addr = MakeAddress(u32IPAddr, u16Port);
  if (::connect(Fd(hSocket), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) return true;
  // A connection in progress reads as "would block", the number WinSock gives.
  if (errno == EINPROGRESS) {
    SetLastSocketError(sc_nWouldBlock);
    return false;
  }
  return FailWithErrno();
}

EConnectProgress PollConnect(SocketHandle hSocket, uint32_t uTimeoutMs) {
  if (Injected("SocketPoll")) {
    SetLastSystemError(static_cast<uint32_t>(GetLastSocketError()));
    return eConnectPollError;
  }
  short nRevents = 0;
  int nRet = PollOne(Fd(hSocket), POLLOUT, uTimeoutMs, nRevents);
  if (nRet < 0) {
    FailWithErrno();
    return eConnectPollError;
  }
  if (nRet == 0) return eConnectPending;
  int nError = 0;
  socklen_t nLen = sizeof(nError);
  if (::getsockopt(Fd(hSocket), SOL_SOCKET, SO_ERROR, &nError, &nLen) != 0) nError = errno;
  if (nError == 0 && !(nRevents & (POLLERR | POLLHUP))) return eConnectMade;
  SetLastSocketError(nError ? MapErrnoToWinSock(nError) : sc_nConnectionRefused);
  return eConnectFailed;
}

bool SendOnSocket(SocketHandle hSocket, const SSocketBuffer* pBuffers, uint32_t uCount,
                  uint32_t& uTransferred) {
  uTransferred = 0;
  if (Injected("SocketSend")) return false;
  std::vector<iovec> vec = ToIoVectors(pBuffers, uCount);
  msghdr msg;
  std::memset(&msg, 0, sizeof(msg));
  msg.msg_iov = vec.data();
  msg.msg_iovlen = vec.size();
  // A peer that has gone must give an error, not end the process with SIGPIPE.
  ssize_t nSent = ::sendmsg(Fd(hSocket), &msg, MSG_NOSIGNAL);
  if (nSent < 0) return FailWithErrno();
  SetLastSocketError(0);
  uTransferred = static_cast<uint32_t>(nSent);
  return true;
}

bool ReceiveOnSocket(SocketHandle hSocket, SSocketBuffer* pBuffers, uint32_t uCount,
                     uint32_t& uTransferred) {
  uTransferred = 0;
  if (Injected("SocketReceive")) return false;
  std::vector<iovec> vec = ToIoVectors(pBuffers, uCount);
  msghdr msg;
  std::memset(&msg, 0, sizeof(msg));
  msg.msg_iov = vec.data();
  msg.msg_iovlen = vec.size();
  ssize_t nReceived;
  do {
    nReceived = ::recvmsg(Fd(hSocket), &msg, 0);
  } while (nReceived < 0 && errno == EINTR);
  if (nReceived < 0) return FailWithErrno();
  SetLastSocketError(0);
  uTransferred = static_cast<uint32_t>(nReceived);
  return true;
}

bool ShutdownSending(SocketHandle hSocket) {
  if (Injected("SocketShutdown")) return false;
  if (::shutdown(Fd(hSocket), SHUT_WR) != 0) return FailWithErrno();
  return true;
}

int WaitForSocket(SocketHandle hSocket, ESocketWait eWait, uint32_t uTimeoutMs) {
  if (Injected("SocketPoll")) {
    SetLastSystemError(static_cast<uint32_t>(GetLastSocketError()));
    return -1;
  }
  short nRevents = 0;
  int nRet = PollOne(Fd(hSocket), eWait == eWaitReadable ? POLLIN : POLLOUT, uTimeoutMs, nRevents);
  if (nRet < 0) {
    FailWithErrno();
    return -1;
  }
  return nRet > 0 ? 1 : 0;
}

bool CreateListeningSocket(uint32_t u32IPAddr, uint16_t u16Port, SocketHandle& hSocket) {
  hSocket = sc_InvalidSocket;
  int nFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (nFd < 0) return FailWithErrno();
  int nOne = 1;
  ::setsockopt(nFd, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof(nOne));
  sockaddr_in addr = MakeAddress(u32IPAddr, u16Port);
  if (::bind(nFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::listen(nFd, SOMAXCONN) != 0) {
    FailWithErrno();
    ::close(nFd);
    return false;
  }
  hSocket = static_cast<SocketHandle>(nFd);
  return true;
}

bool BindSocket(SocketHandle hSocket, uint32_t u32IPAddr, uint16_t u16Port) {
  sockaddr_in addr = MakeAddress(u32IPAddr, u16Port);
  if (::bind(Fd(hSocket), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    return FailWithErrno();
  }
  return true;
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
  socklen_t nLen = sizeof(addr);
  int nFd;
  do {
    nFd = ::accept4(Fd(hListening), reinterpret_cast<sockaddr*>(&addr), &nLen, SOCK_CLOEXEC);
  } while (nFd < 0 && errno == EINTR);
  if (nFd < 0) return FailWithErrno();
  // A reply goes out as its header, then the file: held back for the header's acknowledgement,
  // which the client delays, the file's last bytes would wait 40 ms on every download.
  int nOne = 1;
  ::setsockopt(nFd, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof(nOne));
  hConnection = static_cast<SocketHandle>(nFd);
  u32IPAddr = addr.sin_addr.s_addr;
  u16Port = ntohs(addr.sin_port);
  return true;
}

bool ParseDottedIPv4(const std::string& sText, uint32_t& u32IPAddr) {
  in_addr_t addr = ::inet_addr(sText.c_str());
  if (addr == INADDR_NONE) return false;
  u32IPAddr = addr;
  return true;
}

bool ReadLocalHostName(std::string& sName) {
  if (Injected("SocketHostName")) return false;
  char szName[128] = {};
  if (::gethostname(szName, sizeof(szName) - 1) != 0) return FailWithErrno();
  sName = szName;
  return true;
}

bool LookUpFirstIPv4Address(const std::string& sHost, uint32_t& u32IPAddr) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* pResult = nullptr;
  if (::getaddrinfo(sHost.c_str(), nullptr, &hints, &pResult) != 0 || !pResult) {
    SetLastSocketError(11001);  // host not found
    return false;
  }
  u32IPAddr = reinterpret_cast<sockaddr_in*>(pResult->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(pResult);
  return true;
}

}  // namespace platform
