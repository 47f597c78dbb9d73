// TCP sockets over IPv4: the client side (create, connect, send, receive, shut down, close),
// the server side (listen, accept) for the operator's servers and the tests, readiness waits,
// and the few address functions of the system.
//
// Every function returns success and leaves the reason of a failure in the thread's last socket
// error (GetLastSocketError), always in WinSock numbering. Addresses are IPv4 addresses as the
// system holds them (network byte order in memory: first octet first); ports are in host order.
//
// Injection names (FaultInjection.h; inject WinSock numbers, e.g. 10061): "SocketCreate",
// "SocketNonBlocking", "SocketConnect", "SocketPoll", "SocketSend", "SocketReceive",
// "SocketShutdown", "SocketPeerAddress", "SocketHostName".
#pragma once

#include <cstdint>
#include <string>

namespace platform {

using SocketHandle = uintptr_t;
constexpr SocketHandle sc_InvalidSocket = ~static_cast<SocketHandle>(0);

// One scatter/gather descriptor; the same layout as the system's own (length, then pointer).
struct SSocketBuffer {
  uint32_t uLength;
  uint8_t* pData;
};

// The socket subsystem is reference-counted: every successful StartSockets needs one
// StopSockets. Returns the system's start-up result, 0 on success.
int StartSockets();
void StopSockets();

bool CreateTcpSocket(SocketHandle& hSocket);
bool CloseSocket(SocketHandle hSocket);
bool SetSocketNonBlocking(SocketHandle hSocket, bool bNonBlocking);

// Starts a connection. A blocking socket returns once connected (or failed). A non-blocking
// socket fails with 10035 (would block) while the connection is being made; PollConnect then
// tells how it ended.
bool ConnectSocket(SocketHandle hSocket, uint32_t u32IPAddr, uint16_t u16Port);

enum EConnectProgress { eConnectPending, eConnectMade, eConnectFailed, eConnectPollError };
// Waits up to uTimeoutMs for a connection started on a non-blocking socket. eConnectFailed sets
// the last socket error to the reason (10061 when the system gives none).
EConnectProgress PollConnect(SocketHandle hSocket, uint32_t uTimeoutMs);

// Sends from / receives into the descriptors; uTransferred is the byte count moved. A receive of
// 0 bytes means that the peer has closed its side. Non-blocking sockets fail with 10035. A
// success leaves the last socket error 0, so that a later "closed by peer" reads the same.
bool SendOnSocket(SocketHandle hSocket, const SSocketBuffer* pBuffers, uint32_t uCount,
                  uint32_t& uTransferred);
bool ReceiveOnSocket(SocketHandle hSocket, SSocketBuffer* pBuffers, uint32_t uCount,
                     uint32_t& uTransferred);

// Ends the sending direction (the peer reads end-of-stream once our data is delivered).
bool ShutdownSending(SocketHandle hSocket);

enum ESocketWait { eWaitReadable, eWaitWritable };
// 1: ready (readable also when the peer closed or a connection waits to be accepted),
// 0: not ready within uTimeoutMs, -1: failure.
int WaitForSocket(SocketHandle hSocket, ESocketWait eWait, uint32_t uTimeoutMs);

// A socket bound to the address and port (port 0: an ephemeral port) and listening. On POSIX a
// restarted server may take the port over at once.
bool CreateListeningSocket(uint32_t u32IPAddr, uint16_t u16Port, SocketHandle& hSocket);
// Binds a socket that is not yet connected to a local address and port (port 0: any), so that
// it connects from that address (the server tests speak from several loopback addresses).
bool BindSocket(SocketHandle hSocket, uint32_t u32IPAddr, uint16_t u16Port);
bool GetSocketLocalAddress(SocketHandle hSocket, uint32_t& u32IPAddr, uint16_t& u16Port);
// The address of the connected peer.
bool GetSocketPeerAddress(SocketHandle hSocket, uint32_t& u32IPAddr, uint16_t& u16Port);
// Accepts one waiting connection (blocks when none waits); the new socket is blocking.
bool AcceptConnection(SocketHandle hListening, SocketHandle& hConnection, uint32_t& u32IPAddr,
                      uint16_t& u16Port);

// A dotted IPv4 text as the system's classic converter reads it; false when it cannot.
bool ParseDottedIPv4(const std::string& sText, uint32_t& u32IPAddr);
// This host's name (at most 127 characters) and the first IPv4 address of a host name.
bool ReadLocalHostName(std::string& sName);
bool LookUpFirstIPv4Address(const std::string& sHost, uint32_t& u32IPAddr);

}  // namespace platform
