// Steps shared by the conversations with the operator's servers: the version handshake that
// opens each of them (the client sends a u32 version, the server answers one byte, non-zero when
// it accepts), from both ends, and the choice between the polling and blocking socket forms.
#pragma once

#include <atomic>
#include <cstdint>

#include "network/SocketHelperFunctions.h"
#include "network/WSABUFWrapper.h"

namespace common {

// The caller's abort flag and stall indicator for a conversation that uses the polling forms
// when either is given: a missing one is replaced by a local flag that nothing sets.
class CConversationFlags {
 public:
  CConversationFlags(const std::atomic<bool>* pbAbortFlag, std::atomic<bool>* pbStalled);
  CConversationFlags(const CConversationFlags&) = delete;
  CConversationFlags& operator=(const CConversationFlags&) = delete;

  bool IsPolling() const { return m_bPolling; }
  // Null, null for the blocking forms.
  const std::atomic<bool>* Abort() const { return m_bPolling ? m_pAbort : nullptr; }
  std::atomic<bool>* Stalled() const { return m_bPolling ? m_pStalled : nullptr; }

 private:
  bool m_bPolling;
  std::atomic<bool> m_bLocalAbort{false};
  std::atomic<bool> m_bLocalStalled{false};
  const std::atomic<bool>* m_pAbort;
  std::atomic<bool>* m_pStalled;
};

// Client: sends the version and returns the server's answer byte (0: refused).
uint8_t ExchangeProtocolVersion(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket,
                                uint32_t u32Version, const std::atomic<bool>* pbAbortFlag,
                                std::atomic<bool>* pbStalled);
// Client: the single byte 1 that a client sends before it leaves a server.
void SendClosingByte(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket,
                     const std::atomic<bool>* pbAbortFlag, std::atomic<bool>* pbStalled);

// Server: receives the client's version (blocking) and answers whether it is accepted.
uint32_t ReceiveProtocolVersion(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket);
void AnswerProtocolVersion(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket,
                           bool bAccepted);
// Server: receives one length-prefixed request (blocking); its fields are then extracted.
void ReceiveRequest(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket);

// A request that is a single byte after its u32 length 1, appended and extracted.
void AppendOneByteRequest(CWSABUFWrapper& wrappedWSABUF, uint8_t u8Byte);
uint8_t ExtractOneByteRequest(CWSABUFWrapper& wrappedWSABUF);

}  // namespace common
