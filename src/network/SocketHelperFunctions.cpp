#include "network/SocketHelperFunctions.h"

#include <stdexcept>
#include <string>

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

void SetStalled(std::atomic<bool>* pbStalled, bool bStalled) {
  if (pbStalled) pbStalled->store(bStalled);
}

bool IsAborted(const std::atomic<bool>* pbAbortFlag) {
  return pbAbortFlag && pbAbortFlag->load();
}

// The polling send and receive need both flags; a missing one is reported, then replaced by a
// local one that nothing sets.
struct SPollingFlags {
  SPollingFlags(const std::atomic<bool>* pbAbortFlag, std::atomic<bool>* pbStalled)
      : pAbort(pbAbortFlag ? pbAbortFlag : &bLocalAbort),
        pStalled(pbStalled ? pbStalled : &bLocalStalled) {
    LARCH_PRECONDITION("NonNullAbortFlagPtr", pbAbortFlag);
    LARCH_PRECONDITION("NonNullStalledIndicatorPtr", pbStalled);
  }
  std::atomic<bool> bLocalAbort{false};
  std::atomic<bool> bLocalStalled{false};
  const std::atomic<bool>* pAbort;
  std::atomic<bool>* pStalled;
};

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
  CSocketGuard socket(NewSocket());
  if (!SocketCalls().pfnConnect(socket.Get(), addr.m_u32IPAddr, addr.m_u16Port)) {
    throw CConnectException(addr.ToString());
  }
  return socket.Release();
}

platform::SocketHandle Connect(const CIPAddrPort& addr, const std::atomic<bool>* pbAbortFlag,
                               std::atomic<bool>* pbStalled) {
  if (!IsPolling(pbAbortFlag, pbStalled)) return CreateSessionSocket(addr);
  const SSocketCalls& calls = SocketCalls();
  CSocketGuard socket(NewSocket());
  if (!calls.pfnSetNonBlocking(socket.Get(), true)) {
    throw CNetworkException("Failed to set socket to non-blocking");
  }
  if (calls.pfnConnect(socket.Get(), addr.m_u32IPAddr, addr.m_u16Port)) {
    SetStalled(pbStalled, false);
    return socket.Release();
  }
  if (platform::GetLastSocketError() != sc_nWSAEWOULDBLOCK) {
    throw CConnectException(addr.ToString());
  }
  for (;;) {
    switch (calls.pfnPollConnect(socket.Get(), sc_uPollIntervalMs)) {
      case platform::eConnectMade:
        SetStalled(pbStalled, false);
        return socket.Release();
      case platform::eConnectFailed:
        throw CConnectException();
      case platform::eConnectPollError:
        throw CErrorCodeException(CErrorCodeException::eWin32, "select failed:");
      case platform::eConnectPending:
        if (IsAborted(pbAbortFlag)) throw std::runtime_error("connect aborted");
        SetStalled(pbStalled, true);
        break;
    }
  }
}

void DoBlockingSend(platform::SocketHandle hSocket, CWSABUFWrapper& wrappedWSABUF) {
  for (;;) {
    platform::SSocketBuffer* pBuffers = wrappedWSABUF.GetWSABUFsForSend();
    uint32_t uSent = 0;
    if (!SocketCalls().pfnSend(hSocket, pBuffers, wrappedWSABUF.GetNumWSABUFsForSend(), uSent)) {
      throw CSendException();
    }
    if (uSent == 0) {
      throw CNetworkException("DoBlockingSend() : WSASend() succeeded but transferred 0 bytes.");
    }
    if (wrappedWSABUF.ConsumeSent(uSent)) return;
  }
}

void Send(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket,
          const std::atomic<bool>* pbAbortFlag, std::atomic<bool>* pbStalled) {
  if (!IsPolling(pbAbortFlag, pbStalled)) return DoBlockingSend(hSocket, wrappedWSABUF);
  SPollingFlags flags(pbAbortFlag, pbStalled);
  const SSocketCalls& calls = SocketCalls();
  while (!flags.pAbort->load()) {
    platform::SSocketBuffer* pBuffers = wrappedWSABUF.GetWSABUFsForSend();
    uint32_t uSent = 0;
    if (!calls.pfnSend(hSocket, pBuffers, wrappedWSABUF.GetNumWSABUFsForSend(), uSent)) {
      if (platform::GetLastSocketError() != sc_nWSAEWOULDBLOCK) throw CSendException();
      flags.pStalled->store(true);
      calls.pfnWait(hSocket, platform::eWaitWritable, sc_uPollIntervalMs);
      continue;
    }
    if (uSent == 0) {
      throw CNetworkException("DoBlockingSend() : WSASend() succeeded but transferred 0 bytes.");
    }
    flags.pStalled->store(false);
    if (wrappedWSABUF.ConsumeSent(uSent)) return;
  }
  throw std::runtime_error("network send aborted by caller");
}

void Receive(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket,
             const std::atomic<bool>* pbAbortFlag, std::atomic<bool>* pbStalled) {
  if (wrappedWSABUF.IsReceiveComplete()) return;
  if (!IsPolling(pbAbortFlag, pbStalled)) {
    for (;;) {
      uint32_t uReceived = 0;
      if (!ReceiveOnce(wrappedWSABUF, hSocket, uReceived)) throw CRecvException();
      if (uReceived == 0) throw CPeerGracefullyClosedConnectionCommException();
      if (wrappedWSABUF.ConsumeReceived(uReceived)) return;
    }
  }
  SPollingFlags flags(pbAbortFlag, pbStalled);
  const SSocketCalls& calls = SocketCalls();
  while (!flags.pAbort->load()) {
    // Waiting for readiness first keeps a blocking socket from blocking in the receive, so that
    // the abort flag is honoured whatever the socket's mode.
    if (calls.pfnWait(hSocket, platform::eWaitReadable, sc_uPollIntervalMs) == 0) {
      flags.pStalled->store(true);
      continue;
    }
    uint32_t uReceived = 0;
    if (!ReceiveOnce(wrappedWSABUF, hSocket, uReceived)) {
      if (platform::GetLastSocketError() != sc_nWSAEWOULDBLOCK) throw CRecvException();
      flags.pStalled->store(true);
      continue;
    }
    if (uReceived == 0) throw CPeerGracefullyClosedConnectionCommException();
    flags.pStalled->store(false);
    if (wrappedWSABUF.ConsumeReceived(uReceived)) return;
  }
  throw std::runtime_error("network receive aborted by caller");
}

void DoBlockingConnectionShutdown(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket) {
  ShutdownSendingOrThrow(hSocket);
  for (;;) {
    PrepareToDiscard(wrappedWSABUF);
    uint32_t uReceived = 0;
    if (!ReceiveOnce(wrappedWSABUF, hSocket, uReceived)) {
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
  ShutdownSendingOrThrow(hSocket);
  const SSocketCalls& calls = SocketCalls();
  for (;;) {
    PrepareToDiscard(wrappedWSABUF);
    // Nothing more arriving within a poll interval ends the close, as a would-block does.
    if (calls.pfnWait(hSocket, platform::eWaitReadable, sc_uPollIntervalMs) == 0) break;
    uint32_t uReceived = 0;
    if (!ReceiveOnce(wrappedWSABUF, hSocket, uReceived) || uReceived == 0) break;
    if (IsAborted(pbAbortFlag)) {
      throw std::runtime_error("network connection shutdown aborted by caller");
    }
    SetStalled(pbStalled, true);
  }
  SetStalled(pbStalled, false);
  wrappedWSABUF.Reset();
}

}  // namespace common
