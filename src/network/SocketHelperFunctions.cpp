#include "network/SocketHelperFunctions.h"

#include <chrono>
#include <stdexcept>
#include <string>

#include "network/NetworkTimeouts.h"
#include "network/SocketCalls.h"
#include "platform/SystemError.h"
#include "support/Assert.h"
#include "support/ErrorCodeException.h"

namespace common {
namespace {

constexpr int sc_nWSAEWOULDBLOCK = 10035;
constexpr uint32_t sc_uShutdownReceiveSize = 256;

bool IsPolling(const std::atomic<bool>* pbAbortFlag, const std::atomic<bool>* pbStalled) {
  return pbAbortFlag || pbStalled;
}

bool WouldBlock() {
  return platform::GetLastSocketError() == sc_nWSAEWOULDBLOCK;
}

// How an operation waits. The polling forms wait a poll interval at a time and look at the abort
// flag in between; the blocking forms (no flags) wait for all the time that is left.
class CWaiter {
 public:
  // The polling send and receive need both flags (bBoth): a missing one is reported, then
  // taken as a flag that nothing sets.
  CWaiter(const std::atomic<bool>* pbAbortFlag, std::atomic<bool>* pbStalled, bool bBoth)
      : m_pbAbort(pbAbortFlag), m_pbStalled(pbStalled) {
    if (!IsPolling(pbAbortFlag, pbStalled) || !bBoth) return;
    LARCH_PRECONDITION("NonNullAbortFlagPtr", pbAbortFlag);
    LARCH_PRECONDITION("NonNullStalledIndicatorPtr", pbStalled);
  }

  bool Aborted() const { return m_pbAbort && m_pbAbort->load(); }
  void SetStalled(bool bStalled) {
    if (m_pbStalled) m_pbStalled->store(bStalled);
  }
  uint32_t SliceMs(uint32_t uLeftMs) const {
    bool bPolling = IsPolling(m_pbAbort, m_pbStalled);
    return bPolling && uLeftMs > sc_uPollIntervalMs ? sc_uPollIntervalMs : uLeftMs;
  }

 private:
  const std::atomic<bool>* m_pbAbort;
  std::atomic<bool>* m_pbStalled;
};

// A time limit counted from its start or from the last progress.
class CTimeLimit {
 public:
  explicit CTimeLimit(uint32_t uLimitMs) : m_uLimitMs(uLimitMs), m_start(Clock::now()) {}
  void Restart() { m_start = Clock::now(); }
  uint32_t LimitMs() const { return m_uLimitMs; }
  // 0 once the limit has run out.
  uint32_t LeftMs() const {
    auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_start).count();
    return elapsed >= static_cast<long long>(m_uLimitMs)
               ? 0
               : m_uLimitMs - static_cast<uint32_t>(elapsed);
  }

 private:
  using Clock = std::chrono::steady_clock;
  uint32_t m_uLimitMs;
  Clock::time_point m_start;
};

// "10.0.0.1:5273", or "the peer" when the socket cannot tell.
std::string PeerText(platform::SocketHandle hSocket) {
  CIPAddrPort peer;
  if (!SocketCalls().pfnGetPeerAddress(hSocket, peer.m_u32IPAddr, peer.m_u16Port)) {
    return "the peer";
  }
  return peer.ToString();
}

// Fresh receive space for the bytes that a closing peer may still send.
void PrepareToDiscard(CWSABUFWrapper& wrappedWSABUF) {
  wrappedWSABUF.Reset();
  uint32_t uSize = wrappedWSABUF.GetStorageSize();
  wrappedWSABUF.PrepareToReceive(uSize ? uSize : sc_uShutdownReceiveSize);
}

bool ReceiveOnce(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket,
                 uint32_t& uReceived) {
  platform::SSocketBuffer* pBuffers = wrappedWSABUF.GetWSABUFsForReceive();
  return SocketCalls().pfnReceive(hSocket, pBuffers, wrappedWSABUF.GetNumWSABUFsForReceive(),
                                  uReceived);
}

void ShutdownSendingOrThrow(platform::SocketHandle hSocket) {
  if (!SocketCalls().pfnShutdownSending(hSocket)) {
    throw std::runtime_error(
        std::string("DoBlockingConnectionShutdown() : shutdown() failed with error ") +
        GetWinSockErrorText(platform::GetLastSocketError()));
  }
}

platform::SocketHandle NewSocket() {
  platform::SocketHandle hSocket = platform::sc_InvalidSocket;
  if (!SocketCalls().pfnCreateTcpSocket(hSocket)) {
    throw CNetworkException("WSASocket() failed to create session socket, with error ");
  }
  return hSocket;
}

// Both forms of the connect. A refusal names the address in the blocking form only, as the
// callers of each form have always reported it.
platform::SocketHandle ConnectWithin(const CIPAddrPort& addr, CWaiter& waiter, bool bBlocking) {
  const SSocketCalls& calls = SocketCalls();
  CSocketGuard socket(NewSocket());
  if (!calls.pfnSetNonBlocking(socket.Get(), true)) {
    throw CNetworkException("Failed to set socket to non-blocking");
  }
  if (calls.pfnConnect(socket.Get(), addr.m_u32IPAddr, addr.m_u16Port)) {
    waiter.SetStalled(false);
    return socket.Release();
  }
  if (!WouldBlock()) throw CConnectException(addr.ToString());
  CTimeLimit limit(GetNetworkTimeouts().uConnectMs);
  for (;;) {
    uint32_t uLeftMs = limit.LeftMs();
    if (uLeftMs == 0) throw CTimeoutException(limit.LimitMs(), "connecting to " + addr.ToString());
    switch (calls.pfnPollConnect(socket.Get(), waiter.SliceMs(uLeftMs))) {
      case platform::eConnectMade:
        waiter.SetStalled(false);
        return socket.Release();
      case platform::eConnectFailed:
        if (bBlocking) throw CConnectException(addr.ToString());
        throw CConnectException();
      case platform::eConnectPollError:
        throw CErrorCodeException(CErrorCodeException::eWin32, "select failed:");
      case platform::eConnectPending:
        if (waiter.Aborted()) throw std::runtime_error("connect aborted");
        waiter.SetStalled(true);
        break;
    }
  }
}

// Sends until the message buffer is sent: a would-block waits for the socket to take bytes.
void SendWithin(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket, CWaiter& waiter) {
  const SSocketCalls& calls = SocketCalls();
  CTimeLimit limit(GetNetworkTimeouts().uInactivityMs);
  while (!waiter.Aborted()) {
    platform::SSocketBuffer* pBuffers = wrappedWSABUF.GetWSABUFsForSend();
    uint32_t uSent = 0;
    if (!calls.pfnSend(hSocket, pBuffers, wrappedWSABUF.GetNumWSABUFsForSend(), uSent)) {
      if (!WouldBlock()) throw CSendException();
      waiter.SetStalled(true);
      uint32_t uLeftMs = limit.LeftMs();
      if (uLeftMs == 0) throw CTimeoutException(limit.LimitMs(), "sending to " + PeerText(hSocket));
      calls.pfnWait(hSocket, platform::eWaitWritable, waiter.SliceMs(uLeftMs));
      continue;
    }
    if (uSent == 0) {
      throw CNetworkException("DoBlockingSend() : WSASend() succeeded but transferred 0 bytes.");
    }
    limit.Restart();
    waiter.SetStalled(false);
    if (wrappedWSABUF.ConsumeSent(uSent)) return;
  }
  throw std::runtime_error("network send aborted by caller");
}

}  // namespace

platform::SocketHandle CSocketGuard::Release() {
  platform::SocketHandle hSocket = m_hSocket;
  m_hSocket = platform::sc_InvalidSocket;
  return hSocket;
}

void CSocketGuard::Reset(platform::SocketHandle hSocket) {
  Close();
  m_hSocket = hSocket;
}

void CSocketGuard::Close() {
  if (m_hSocket == platform::sc_InvalidSocket) return;
  // Closing must not disturb the error that the exception in flight has already read.
  int nError = platform::GetLastSocketError();
  SocketCalls().pfnCloseSocket(m_hSocket);
  platform::SetLastSocketError(nError);
  m_hSocket = platform::sc_InvalidSocket;
}

platform::SocketHandle CreateSessionSocket(const CIPAddrPort& addr) {
  CWaiter waiter(nullptr, nullptr, false);
  return ConnectWithin(addr, waiter, true);
}

platform::SocketHandle Connect(const CIPAddrPort& addr, const std::atomic<bool>* pbAbortFlag,
                               std::atomic<bool>* pbStalled) {
  CWaiter waiter(pbAbortFlag, pbStalled, false);
  return ConnectWithin(addr, waiter, !IsPolling(pbAbortFlag, pbStalled));
}

void DoBlockingSend(platform::SocketHandle hSocket, CWSABUFWrapper& wrappedWSABUF) {
  CWaiter waiter(nullptr, nullptr, false);
  SendWithin(wrappedWSABUF, hSocket, waiter);
}

void Send(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket,
          const std::atomic<bool>* pbAbortFlag, std::atomic<bool>* pbStalled) {
  CWaiter waiter(pbAbortFlag, pbStalled, true);
  SendWithin(wrappedWSABUF, hSocket, waiter);
}

void Receive(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket,
             const std::atomic<bool>* pbAbortFlag, std::atomic<bool>* pbStalled) {
  if (wrappedWSABUF.IsReceiveComplete()) return;
  CWaiter waiter(pbAbortFlag, pbStalled, true);
  const SSocketCalls& calls = SocketCalls();
  CTimeLimit limit(GetNetworkTimeouts().uInactivityMs);
  while (!waiter.Aborted()) {
    uint32_t uLeftMs = limit.LeftMs();
    if (uLeftMs == 0) throw CTimeoutException(limit.LimitMs(), "waiting for " + PeerText(hSocket));
    // Waiting for readiness first keeps a blocking socket from blocking in the receive, so that
    // the time limit and the abort flag are honoured whatever the socket's mode.
    if (calls.pfnWait(hSocket, platform::eWaitReadable, waiter.SliceMs(uLeftMs)) == 0) {
      waiter.SetStalled(true);
      continue;
    }
    uint32_t uReceived = 0;
    if (!ReceiveOnce(wrappedWSABUF, hSocket, uReceived)) {
      if (!WouldBlock()) throw CRecvException();
      waiter.SetStalled(true);
      continue;
    }
    if (uReceived == 0) throw CPeerGracefullyClosedConnectionCommException();
    limit.Restart();
    waiter.SetStalled(false);
    if (wrappedWSABUF.ConsumeReceived(uReceived)) return;
  }
  throw std::runtime_error("network receive aborted by caller");
}

// The limit counts from the start of the close, not from the last byte: nothing more is needed
// from the peer, so one that keeps sending cannot hold the close either.
void DoBlockingConnectionShutdown(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket) {
  ShutdownSendingOrThrow(hSocket);
  CTimeLimit limit(GetNetworkTimeouts().uInactivityMs);
  for (uint32_t uLeftMs = limit.LeftMs(); uLeftMs > 0; uLeftMs = limit.LeftMs()) {
    PrepareToDiscard(wrappedWSABUF);
    if (SocketCalls().pfnWait(hSocket, platform::eWaitReadable, uLeftMs) == 0) continue;
    uint32_t uReceived = 0;
    if (!ReceiveOnce(wrappedWSABUF, hSocket, uReceived)) {
      if (WouldBlock()) continue;
      throw std::runtime_error(
          std::string("DoBlockingConnectionShutdown() : WSARecv() failed with error ") +
          GetWinSockErrorText(platform::GetLastSocketError()));
    }
    if (uReceived == 0) break;
  }
  wrappedWSABUF.Reset();
}

void Shutdown(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket,
              const std::atomic<bool>* pbAbortFlag, std::atomic<bool>* pbStalled) {
  if (!IsPolling(pbAbortFlag, pbStalled)) {
    return DoBlockingConnectionShutdown(wrappedWSABUF, hSocket);
  }
  CWaiter waiter(pbAbortFlag, pbStalled, false);
  ShutdownSendingOrThrow(hSocket);
  const SSocketCalls& calls = SocketCalls();
  CTimeLimit limit(GetNetworkTimeouts().uInactivityMs);
  while (limit.LeftMs() > 0) {
    PrepareToDiscard(wrappedWSABUF);
    // Nothing more arriving within a poll interval ends the close, as a would-block does.
    if (calls.pfnWait(hSocket, platform::eWaitReadable, sc_uPollIntervalMs) == 0) break;
    uint32_t uReceived = 0;
    if (!ReceiveOnce(wrappedWSABUF, hSocket, uReceived) || uReceived == 0) break;
    if (waiter.Aborted()) throw std::runtime_error("network connection shutdown aborted by caller");
    waiter.SetStalled(true);
  }
  waiter.SetStalled(false);
  wrappedWSABUF.Reset();
}

}  // namespace common
