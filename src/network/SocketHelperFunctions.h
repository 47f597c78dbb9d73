// The socket operations of a conversation: connect, send, receive and graceful shutdown, each in
// a blocking form and in a polling form. A polling form is used when an abort flag or a stall
// indicator is given: it never waits long in the system, gives up with an "aborted" error once
// the caller (or another thread) sets the abort flag, and keeps the stall indicator true while
// the socket cannot make progress. The bytes are those of the message buffer.
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

// A blocking TCP connection to the address.
platform::SocketHandle CreateSessionSocket(const CIPAddrPort& addr);

// Polling when pbAbortFlag or pbStalled is given: the socket is then non-blocking for the rest of
// the conversation. There is no time limit; it ends by connection, refusal or abort.
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

// Graceful close: ends our sending direction and reads (discarding) until the peer closes.
void DoBlockingConnectionShutdown(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket);
// The polling form reads only what has already arrived, then ends.
void Shutdown(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket,
              const std::atomic<bool>* pbAbortFlag, std::atomic<bool>* pbStalled);

}  // namespace common
