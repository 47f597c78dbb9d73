#include "protocols/ServerConversation.h"

namespace common {

CConversationFlags::CConversationFlags(const std::atomic<bool>* pbAbortFlag,
                                       std::atomic<bool>* pbStalled)
    : m_bPolling(pbAbortFlag || pbStalled),
      m_pAbort(pbAbortFlag ? pbAbortFlag : &m_bLocalAbort),
      m_pStalled(pbStalled ? pbStalled : &m_bLocalStalled) {}

uint8_t ExchangeProtocolVersion(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket,
                                uint32_t u32Version, const std::atomic<bool>* pbAbortFlag,
                                std::atomic<bool>* pbStalled) {
  wrappedWSABUF.Append(u32Version);
  Send(wrappedWSABUF, hSocket, pbAbortFlag, pbStalled);
  wrappedWSABUF.PrepareToReceive(1);
  Receive(wrappedWSABUF, hSocket, pbAbortFlag, pbStalled);
  uint8_t u8Accepted = 0;
  wrappedWSABUF.ExtractNext(&u8Accepted);
  wrappedWSABUF.DoneExtracting();
  return u8Accepted;
}

void SendClosingByte(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket,
                     const std::atomic<bool>* pbAbortFlag, std::atomic<bool>* pbStalled) {
  wrappedWSABUF.Reset();
  wrappedWSABUF.Append(static_cast<uint8_t>(1));
  Send(wrappedWSABUF, hSocket, pbAbortFlag, pbStalled);
}

uint32_t ReceiveProtocolVersion(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket) {
  wrappedWSABUF.Reset();
  wrappedWSABUF.PrepareToReceive(4);
  Receive(wrappedWSABUF, hSocket, nullptr, nullptr);
  uint32_t u32Version = 0;
  wrappedWSABUF.ExtractNext(&u32Version);
  wrappedWSABUF.DoneExtracting();
  return u32Version;
}

void AnswerProtocolVersion(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket,
                           bool bAccepted) {
  wrappedWSABUF.Reset();
  wrappedWSABUF.Append(static_cast<uint8_t>(bAccepted ? 1 : 0));
  DoBlockingSend(hSocket, wrappedWSABUF);
}

void ReceiveRequest(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket) {
  if (wrappedWSABUF.GetState() != CWSABUFWrapper::eFinishedExtractingLengthPrefixedMsg) {
    wrappedWSABUF.Reset();
  }
  wrappedWSABUF.PrepareToReceiveLengthPrefixedMsg();
  Receive(wrappedWSABUF, hSocket, nullptr, nullptr);
}

void AppendOneByteRequest(CWSABUFWrapper& wrappedWSABUF, uint8_t u8Byte) {
  wrappedWSABUF.Append(static_cast<uint32_t>(1));
  wrappedWSABUF.Append(u8Byte);
}

uint8_t ExtractOneByteRequest(CWSABUFWrapper& wrappedWSABUF) {
  uint8_t u8Byte = 0;
  wrappedWSABUF.ExtractNext(&u8Byte);
  wrappedWSABUF.DoneExtracting();
  return u8Byte;
}

}  // namespace common
