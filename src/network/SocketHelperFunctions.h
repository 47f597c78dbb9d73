// The socket operations of a conversation: connect, send, receive and graceful shutdown, each in
// a blocking form and in a polling form. A polling form is used when an abort flag or a stall
// indicator is given: it never waits long in the system, gives up with an "aborted" error once
// the caller (or another thread) sets the abort flag, and keeps the stall indicator true while
// the socket cannot make progress. The bytes are those of the message buffer.
//
// Both forms keep to the time limits of NetworkTimeouts.h: a connection not made within the
// connect limit, and a send or receive that moves no byte within the inactivity limit, throw
// CTimeoutException ("Timed out after 30 s waiting for 10.0.0.1:5273"). The graceful close
// gives up quietly after the inactivity limit: the answer has already arrived.
//
// Failures throw the network exceptions (their text carries the WinSock error) or
// std::runtime_error; nothing is retried here.
#pragma once

#include <atomic>

#include "network/IPAddrPort.h"
#include "network/WSABUFWrapper.h"
#include "platform/Socket.h"

namespace common {

// Owns a connected socket and closes it when it goes, on every path.
class CSocketGuard {
 public:
  explicit CSocketGuard(platform::SocketHandle hSocket = platform::sc_InvalidSocket)
      : m_hSocket(hSocket) {}
  ~CSocketGuard() { Close(); }
  CSocketGuard(const CSocketGuard&) = delete;
  CSocketGuard& operator=(const CSocketGuard&) = delete;

  platform::SocketHandle Get() const { return m_hSocket; }
  // Gives the socket up to the caller.
  platform::SocketHandle Release();
  void Reset(platform::SocketHandle hSocket);
  void Close();

 private:
  platform::SocketHandle m_hSocket;
};

// How long a polling operation waits in the system for the socket before it looks at the abort
// flag again.
constexpr uint32_t sc_uPollIntervalMs = 10;

// A TCP connection to the address, for the blocking forms. The socket is non-blocking, so that
// a peer that takes no bytes cannot hold a send beyond its time limit; the forms here wait for it.
platform::SocketHandle CreateSessionSocket(const CIPAddrPort& addr);

// Polling when pbAbortFlag or pbStalled is given. Either form ends by connection, refusal, the
// connect limit or (polling) abort; the socket is non-blocking for the rest of the conversation.
platform::SocketHandle Connect(const CIPAddrPort& addr, const std::atomic<bool>* pbAbortFlag,
                               std::atomic<bool>* pbStalled);

void DoBlockingSend(platform::SocketHandle hSocket, CWSABUFWrapper& wrappedWSABUF);
// Polling needs both the abort flag and the stall indicator; neither: blocking.
void Send(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket,
          const std::atomic<bool>* pbAbortFlag, std::atomic<bool>* pbStalled);
// Receives until the prepared bytes, or the length-prefixed message, are complete. Returns at
// once when the message is already held.
void Receive(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket,
             const std::atomic<bool>* pbAbortFlag, std::atomic<bool>* pbStalled);

// Graceful close: ends our sending direction and reads (discarding) until the peer closes, for
// at most the inactivity limit in all.
void DoBlockingConnectionShutdown(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket);
// The polling form reads only what has already arrived (within the same limit), then ends.
void Shutdown(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket,
              const std::atomic<bool>* pbAbortFlag, std::atomic<bool>* pbStalled);

}  // namespace common
