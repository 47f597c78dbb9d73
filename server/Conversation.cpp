#include "Conversation.h"

#include <algorithm>
#include <chrono>

#include "platform/ServedFile.h"
#include "platform/SystemError.h"
#include "support/ErrorCodeException.h"

namespace larchserver {
namespace {

constexpr int sc_nWouldBlock = 10035;
// How often a wait looks at the abort flag.
constexpr uint32_t sc_uWaitSliceMs = 100;
// Largest piece handed to the system per file send; big enough to keep a fast link busy.
constexpr uint32_t sc_uFileSendPiece = 1u << 20;
// A client that keeps sending after its request is not worth reading forever.
constexpr uint64_t sc_u64MaxDrainBytes = 65536;

}  // namespace

CConversation::CConversation(platform::SocketHandle hSocket, const std::atomic<bool>* pbAbort,
                             uint32_t uIdleTimeoutMs, uint32_t uRequestDeadlineMs,
                             CRateLimiter* pRateLimiter)
    : m_hSocket(hSocket),
      m_pbAbort(pbAbort),
      m_uIdleTimeoutMs(uIdleTimeoutMs),
      m_pRateLimiter(pRateLimiter) {
  if (!platform::SetSocketNonBlocking(m_hSocket, true)) {
    platform::CloseSocket(m_hSocket);
    FailWithSocketError("cannot make the connection non-blocking");
  }
  SetDeadline(uRequestDeadlineMs, "timed out: the request took longer than " +
                                      std::to_string(uRequestDeadlineMs) + " ms");
}

void CConversation::SetDeadline(uint32_t uMs, const std::string& sWhenPassed) {
  CClock::time_point deadline = CClock::now() + std::chrono::milliseconds(uMs);
  if (deadline >= m_deadline) return;
  m_deadline = deadline;
  m_sDeadlinePassed = sWhenPassed;
}

void CConversation::RequestReceived() {
  m_deadline = CClock::time_point::max();
}

void CConversation::ThrowIfDeadlinePassed(CClock::time_point now) const {
  if (now >= m_deadline) throw CConversationTimedOut(m_sDeadlinePassed);
}

CConversation::~CConversation() {
  platform::CloseSocket(m_hSocket);
}

void CConversation::FailWithSocketError(const char* pszWhat) {
  int nError = platform::GetLastSocketError();
  throw CConversationEnded(std::string(pszWhat) + " (" + common::GetWinSockErrorText(nError) + ")");
}

void CConversation::WaitUntilReady(EWait eWait) {
  CClock::time_point idleEnd = CClock::now() + std::chrono::milliseconds(m_uIdleTimeoutMs);
  for (;;) {
    if (m_pbAbort && m_pbAbort->load()) throw CConversationEnded("server stopping");
    CClock::time_point now = CClock::now();
    ThrowIfDeadlinePassed(now);
    if (now >= idleEnd) {
      throw CConversationTimedOut(eWait == eForReading ? "timed out waiting for the client"
                                                       : "timed out: the client stopped reading");
    }
    // The last slice ends at the limit itself, so that the drop comes on time.
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::min(idleEnd, m_deadline) - now)
            .count();
    uint32_t uSliceMs = static_cast<uint32_t>(std::min<int64_t>(left + 1, sc_uWaitSliceMs));
    int nReady = platform::WaitForSocket(
        m_hSocket, eWait == eForReading ? platform::eWaitReadable : platform::eWaitWritable,
        uSliceMs);
    if (nReady > 0) return;
    if (nReady < 0) FailWithSocketError("wait failed");
  }
}

void CConversation::Receive(common::CWSABUFWrapper& wrapper) {
  for (;;) {
    ThrowIfDeadlinePassed(CClock::now());
    uint32_t uReceived = 0;
    if (!platform::ReceiveOnSocket(m_hSocket, wrapper.GetWSABUFsForReceive(),
                                   wrapper.GetNumWSABUFsForReceive(), uReceived)) {
      if (platform::GetLastSocketError() != sc_nWouldBlock) FailWithSocketError("receive failed");
      WaitUntilReady(eForReading);
      continue;
    }
    if (uReceived == 0) throw CConversationEnded("client closed the connection");
    m_u64BytesReceived += uReceived;
    if (wrapper.ConsumeReceived(uReceived)) return;
  }
}

bool CConversation::ReceiveUnlessClosed(common::CWSABUFWrapper& wrapper) {
  uint64_t u64Before = m_u64BytesReceived;
  try {
    Receive(wrapper);
    return true;
  } catch (const CConversationTimedOut&) {
    throw;
  } catch (const CConversationEnded&) {
    bool bStopping = m_pbAbort && m_pbAbort->load();
    if (bStopping || m_u64BytesReceived != u64Before) throw;
    return false;
  }
}

void CConversation::Send(common::CWSABUFWrapper& wrapper) {
  for (;;) {
    uint32_t uSent = 0;
    if (!platform::SendOnSocket(m_hSocket, wrapper.GetWSABUFsForSend(),
                                wrapper.GetNumWSABUFsForSend(), uSent)) {
      if (platform::GetLastSocketError() != sc_nWouldBlock) FailWithSocketError("send failed");
      WaitUntilReady(eForWriting);
      continue;
    }
    if (uSent == 0) {
      WaitUntilReady(eForWriting);
      continue;
    }
    m_u64BytesSent += uSent;
    if (wrapper.ConsumeSent(uSent)) return;
  }
}

void CConversation::SendFile(platform::CFile& file, uint64_t u64Offset, uint64_t u64Length) {
  while (u64Length > 0) {
    // A fast reader never makes us wait, so a stopping server is noticed here too.
    if (m_pbAbort && m_pbAbort->load()) throw CConversationEnded("server stopping");
    uint32_t uPiece =
        u64Length < sc_uFileSendPiece ? static_cast<uint32_t>(u64Length) : sc_uFileSendPiece;
    if (m_pRateLimiter) uPiece = m_pRateLimiter->Take(uPiece, m_pbAbort);
    if (uPiece == 0) continue;  // aborted while waiting: said above
    SendFilePiece(file, u64Offset, uPiece);
    u64Offset += uPiece;
    u64Length -= uPiece;
  }
}

void CConversation::SendFilePiece(platform::CFile& file, uint64_t u64Offset, uint32_t uLength) {
  while (uLength > 0) {
    if (m_pbAbort && m_pbAbort->load()) throw CConversationEnded("server stopping");
    uint32_t uSent = 0;
    if (!platform::SendFileOnSocket(m_hSocket, file, u64Offset, uLength, uSent)) {
      if (platform::GetLastSocketError() != sc_nWouldBlock) FailWithSocketError("send failed");
      WaitUntilReady(eForWriting);
      continue;
    }
    // Nothing sent from a file that still has bytes left: it was cut short under us.
    if (uSent == 0) throw CConversationEnded("file became shorter while being sent");
    u64Offset += uSent;
    uLength -= uSent;
    m_u64BytesSent += uSent;
  }
}

void CConversation::AwaitPeerClose() {
  uint8_t au8Scratch[512];
  uint64_t u64Drained = 0;
  SetDeadline(m_uIdleTimeoutMs, "timed out waiting for the client");
  for (;;) {
    ThrowIfDeadlinePassed(CClock::now());
    platform::SSocketBuffer buffer{sizeof(au8Scratch), au8Scratch};
    uint32_t uReceived = 0;
    if (!platform::ReceiveOnSocket(m_hSocket, &buffer, 1, uReceived)) {
      if (platform::GetLastSocketError() != sc_nWouldBlock) FailWithSocketError("receive failed");
      WaitUntilReady(eForReading);
      continue;
    }
    if (uReceived == 0) return;
    u64Drained += uReceived;
    if (u64Drained > sc_u64MaxDrainBytes) throw CConversationEnded("client kept sending");
  }
}

}  // namespace larchserver
