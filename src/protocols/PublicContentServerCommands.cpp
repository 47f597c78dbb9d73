#include "protocols/PublicContentServerCommands.h"

#include <algorithm>
#include <stdexcept>

#include "network/SocketHelperFunctions.h"
#include "protocols/ServerConversation.h"
#include "support/Assert.h"
#include "support/ErrorCodeException.h"

namespace common {
namespace {

// Sends the request and reads the file information; returns the file length.
uint32_t RequestFile(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket,
                     const std::string& sFile, const CConversationFlags& flags) {
  uint32_t u32FileLength = 0, u32BytesFromOffset = 0;
  try {
    AppendFileRequest(wrappedWSABUF, sFile);
    Send(wrappedWSABUF, hSocket, flags.Abort(), flags.Stalled());
    wrappedWSABUF.PrepareToReceive(8);
    Receive(wrappedWSABUF, hSocket, flags.Abort(), flags.Stalled());
    ExtractFileInfo(wrappedWSABUF, &u32FileLength, &u32BytesFromOffset);
  } catch (const CNetworkException&) {
    // A server without the file closes the connection instead of answering.
    throw std::runtime_error("PublicContentServer: Requested file does not exist");
  }
  if (u32FileLength == 0) throw std::runtime_error("PublicContentServer: invalid file length (0)");
  if (u32BytesFromOffset != u32FileLength) {
    throw std::runtime_error("PublicContentServer: invalid file info for requested offset of zero");
  }
  return u32FileLength;
}

void ReceiveInChunks(CWSABUFWrapper& wrappedWSABUF, platform::SocketHandle hSocket,
                     uint8_t* pu8Block, uint32_t u32FileLength, const ProgressCallbackFn& pCallback,
                     const CConversationFlags& flags) {
  uint32_t u32Remaining = u32FileLength;
  uint8_t* pu8RxLocation = pu8Block;
  while (u32Remaining > 0) {
    uint32_t u32ChunkSize = std::min(sc_uFileChunkSize, u32Remaining);
    if (pCallback) {
      pCallback(static_cast<int>(static_cast<uint64_t>(u32FileLength - u32Remaining) * 100 /
                                 u32FileLength));
    }
    wrappedWSABUF.SetExternalReceiveAreaAndSize(pu8RxLocation, u32ChunkSize);
    Receive(wrappedWSABUF, hSocket, flags.Abort(), flags.Stalled());
    LARCH_DEBUG_ASSERT((wrappedWSABUF.ExtractGap(u32ChunkSize)) == (pu8RxLocation));
    wrappedWSABUF.DoneExtracting();
    pu8RxLocation += u32ChunkSize;
    u32Remaining -= u32ChunkSize;
  }
}

}  // namespace

void PublicContentServerGetFile(const CIPAddrPort& publicContentServer, const std::string& sFile,
                                CMallocedBlock* pmbReceiveFileData,
                                const ProgressCallbackFn& pCallback,
                                const std::atomic<bool>* pbAbortFlag,
                                std::atomic<bool>* pbStalled) {
  LARCH_PRECONDITION("NonNullFileName", !sFile.empty());
  LARCH_PRECONDITION("Valid pmbReceiveFileData", pmbReceiveFileData);
  LARCH_PRECONDITION("NonBlockingArgsValid", (!(pCallback) || (pbAbortFlag || pbStalled)));
  if (!pmbReceiveFileData) throw std::invalid_argument("PublicContentServerGetFile: no block");
  // A callback alone still makes the download report progress in chunks.
  CConversationFlags flags(pbAbortFlag, pbStalled);
  const bool bChunked = flags.IsPolling() || pCallback;

  CWSABUFWrapper wrappedWSABUF(256, 1);
  CSocketGuard socket(CreateSessionSocket(publicContentServer));
  if (ExchangeProtocolVersion(wrappedWSABUF, socket.Get(), sc_u32PublicContentServerProtocolVersion,
                              flags.Abort(), flags.Stalled()) == 0) {
    SendClosingByte(wrappedWSABUF, socket.Get(), flags.Abort(), flags.Stalled());
    throw std::runtime_error("PublicContentServer: unacceptable protocol version");
  }
  uint32_t u32FileLength = RequestFile(wrappedWSABUF, socket.Get(), sFile, flags);
  pmbReceiveFileData->Resize(u32FileLength);
  if (bChunked) {
    ReceiveInChunks(wrappedWSABUF, socket.Get(), pmbReceiveFileData->Data(), u32FileLength,
                    pCallback, flags);
  } else {
    wrappedWSABUF.SetExternalReceiveAreaAndSize(pmbReceiveFileData->Data(), u32FileLength);
    Receive(wrappedWSABUF, socket.Get(), nullptr, nullptr);
    wrappedWSABUF.ExtractGap(u32FileLength);
    wrappedWSABUF.DoneExtracting();
  }
  Shutdown(wrappedWSABUF, socket.Get(), flags.Abort(), flags.Stalled());
}

void AppendFileRequest(CWSABUFWrapper& wrappedWSABUF, const std::string& sFile) {
  wrappedWSABUF.Append(static_cast<uint32_t>(sFile.size() + 9));
  wrappedWSABUF.Append(sc_u8SendFileCommand);
  wrappedWSABUF.Append(static_cast<uint32_t>(0));
  wrappedWSABUF.Append(static_cast<uint16_t>(0));
  wrappedWSABUF.Append(sFile);
}

SFileRequest ExtractFileRequest(CWSABUFWrapper& wrappedWSABUF) {
  SFileRequest request;
  uint16_t u16NameLength = 0;
  wrappedWSABUF.ExtractNext(&request.u8Command);
  wrappedWSABUF.ExtractNext(&request.u32Offset);
  wrappedWSABUF.ExtractNext(&request.u16Reserved);
  wrappedWSABUF.ExtractNext(&u16NameLength);
  const uint8_t* pName = wrappedWSABUF.ExtractGap(u16NameLength);
  request.sFileName.assign(reinterpret_cast<const char*>(pName), u16NameLength);
  wrappedWSABUF.DoneExtracting();
  return request;
}

void AppendFileInfo(CWSABUFWrapper& wrappedWSABUF, uint32_t u32FileLength,
                    uint32_t u32BytesFromOffset) {
  wrappedWSABUF.Append(u32FileLength);
  wrappedWSABUF.Append(u32BytesFromOffset);
}

void ExtractFileInfo(CWSABUFWrapper& wrappedWSABUF, uint32_t* pu32FileLength,
                     uint32_t* pu32BytesFromOffset) {
  wrappedWSABUF.ExtractNext(pu32FileLength);
  wrappedWSABUF.ExtractNext(pu32BytesFromOffset);
  wrappedWSABUF.DoneExtracting();
}

}  // namespace common
