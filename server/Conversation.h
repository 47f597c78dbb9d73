// The server side of one TCP conversation: moves the bytes of a message buffer, and of files,
// over an accepted connection. The socket is non-blocking and every wait is cut into short
// slices, so that a client that stops reading or writing is dropped after the idle time-out
// and a stopping server ends the conversation promptly. Besides, the handshake and the request
// must be in within the request deadline, counted from the start in all, so that a client
// trickling a byte now and then cannot hold the conversation; and the wait for the client's
// close after the reply lasts one idle time-out in all, however the client trickles.
//
// Owns the connection and closes it on destruction. Used by one thread. Failures throw
// CConversationEnded (CConversationTimedOut for a time-out) with the reason as its text.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "RateLimiter.h"
#include "network/WSABUFWrapper.h"
#include "platform/File.h"
#include "platform/Socket.h"

namespace larchserver {

class CConversationEnded : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The idle time-out or a deadline passed.
class CConversationTimedOut : public CConversationEnded {
 public:
  using CConversationEnded::CConversationEnded;
};

class CConversation {
 public:
  // pbAbort: set by the server to end every conversation at its next wait. pRateLimiter, when
  // given, paces the file bytes; it is the server's and outlives the conversation.
  CConversation(platform::SocketHandle hSocket, const std::atomic<bool>* pbAbort,
                uint32_t uIdleTimeoutMs, uint32_t uRequestDeadlineMs,
                CRateLimiter* pRateLimiter = nullptr);
  ~CConversation();
  CConversation(const CConversation&) = delete;
  CConversation& operator=(const CConversation&) = delete;

  // Receives until the wrapper's expected bytes or length-prefixed message are complete.
  void Receive(common::CWSABUFWrapper& wrapper);
  // The same for the start of a request: false, instead of a throw, when the client closed or
  // reset the connection before sending a byte of it, as a health check does after the
  // handshake.
  bool ReceiveUnlessClosed(common::CWSABUFWrapper& wrapper);
  // The request is in: the request deadline no longer applies.
  void RequestReceived();
  // Sends everything the wrapper holds.
  void Send(common::CWSABUFWrapper& wrapper);
  // Streams u64Length bytes of the file from u64Offset, straight from the file to the socket.
  void SendFile(platform::CFile& file, uint64_t u64Offset, uint64_t u64Length);
  // The end of a conversation: the client shuts its side down and then waits for ours to
  // close. Whatever it still sends (the closing byte) is read and dropped until then, so that
  // closing does not reset the connection under the client's last read.
  void AwaitPeerClose();

  uint64_t BytesSent() const { return m_u64BytesSent; }

 private:
  using CClock = std::chrono::steady_clock;
  enum EWait { eForReading, eForWriting };
  // Waits until the socket is ready; throws on time-out, deadline, abort or failure.
  void WaitUntilReady(EWait eWait);
  // Brings the deadline forward to uMs from now (a later one is kept as it is).
  void SetDeadline(uint32_t uMs, const std::string& sWhenPassed);
  void ThrowIfDeadlinePassed(CClock::time_point now) const;
  [[noreturn]] void FailWithSocketError(const char* pszWhat);
  void SendFilePiece(platform::CFile& file, uint64_t u64Offset, uint32_t uLength);

  platform::SocketHandle m_hSocket;
  const std::atomic<bool>* m_pbAbort;
  uint32_t m_uIdleTimeoutMs;
  CRateLimiter* m_pRateLimiter;
  CClock::time_point m_deadline = CClock::time_point::max();
  std::string m_sDeadlinePassed;  // the reason given when m_deadline passes
  uint64_t m_u64BytesSent = 0;
  uint64_t m_u64BytesReceived = 0;
};

}  // namespace larchserver
