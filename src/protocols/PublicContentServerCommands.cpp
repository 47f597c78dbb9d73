#include "protocols/PublicContentServerCommands.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "network/SocketHelperFunctions.h"
#include "platform/SystemError.h"
#include "protocols/ServerConversation.h"
#include "support/Assert.h"
#include "support/ErrorCodeException.h"

namespace common {
namespace {

// One connection to a content server: the version handshake, the request from an offset, the
// file bytes and the graceful close.
class CFileConversation {
 public:
  CFileConversation(const CIPAddrPort& server, const std::atomic<bool>* pbAbortFlag,
                    std::atomic<bool>* pbStalled)
      : m_flags(pbAbortFlag, pbStalled), m_socket(CreateSessionSocket(server)) {}

  bool IsPolling() const { return m_flags.IsPolling(); }

  // Agrees the version and asks for the file from the offset; returns the file's length once
  // the server's answer fits the request.
  uint32_t Request(const std::string& sFile, uint32_t u32Offset) {
    if (ExchangeProtocolVersion(m_wrapped, m_socket.Get(), sc_u32PublicContentServerProtocolVersion,
                                m_flags.Abort(), m_flags.Stalled()) == 0) {
      SendClosingByte(m_wrapped, m_socket.Get(), m_flags.Abort(), m_flags.Stalled());
      throw CContentServerRefusal("PublicContentServer: unacceptable protocol version");
    }
    uint32_t u32FileLength = 0, u32BytesFromOffset = 0;
    try {
      AppendFileRequest(m_wrapped, sFile, u32Offset);
      Send(m_wrapped, m_socket.Get(), m_flags.Abort(), m_flags.Stalled());
      m_wrapped.PrepareToReceive(8);
      Receive(m_wrapped, m_socket.Get(), m_flags.Abort(), m_flags.Stalled());
      ExtractFileInfo(m_wrapped, &u32FileLength, &u32BytesFromOffset);
    } catch (const CTimeoutException&) {
      throw;  // a stalled server has not answered: a network failure, retried like one
    } catch (const CNetworkException&) {
      // A server without the file closes the connection instead of answering.
      throw CContentServerRefusal("PublicContentServer: Requested file does not exist");
    }
    if (u32FileLength == 0)
      throw CContentServerRefusal("PublicContentServer: invalid file length (0)");
    if (u32Offset >= u32FileLength || u32BytesFromOffset != u32FileLength - u32Offset) {
      throw CContentServerRefusal(
          "PublicContentServer: invalid file info for requested offset of " +
          (u32Offset ? std::to_string(u32Offset) : std::string("zero")));
    }
    return u32FileLength;
  }

  // Receives the bytes from the offset to the end in chunks: each into pu8Area, which moves
  // along with the data when bAdvance (a whole-file block) or is reused (a chunk buffer);
  // fnChunk, when given, is told each chunk once it is complete.
  void ReceiveInChunks(uint32_t u32Offset, uint32_t u32FileLength, uint8_t* pu8Area, bool bAdvance,
                       const std::function<void(const uint8_t*, uint32_t)>& fnChunk,
                       const ProgressCallbackFn& pCallback) {
    for (uint32_t u32Done = u32Offset; u32Done < u32FileLength;) {
      uint32_t u32ChunkSize = std::min(sc_uFileChunkSize, u32FileLength - u32Done);
      if (pCallback) {
        pCallback(static_cast<int>(static_cast<uint64_t>(u32Done) * 100 / u32FileLength));
      }
      m_wrapped.SetExternalReceiveAreaAndSize(pu8Area, u32ChunkSize);
      Receive(m_wrapped, m_socket.Get(), m_flags.Abort(), m_flags.Stalled());
      LARCH_DEBUG_ASSERT((m_wrapped.ExtractGap(u32ChunkSize)) == (pu8Area));
      m_wrapped.DoneExtracting();
      if (fnChunk) fnChunk(pu8Area, u32ChunkSize);
      if (bAdvance) pu8Area += u32ChunkSize;
      u32Done += u32ChunkSize;
    }
  }

  void ReceiveWhole(uint8_t* pu8Area, uint32_t u32FileLength) {
    m_wrapped.SetExternalReceiveAreaAndSize(pu8Area, u32FileLength);
    Receive(m_wrapped, m_socket.Get(), nullptr, nullptr);
    m_wrapped.ExtractGap(u32FileLength);
    m_wrapped.DoneExtracting();
  }

  void Close() { Shutdown(m_wrapped, m_socket.Get(), m_flags.Abort(), m_flags.Stalled()); }

 private:
  CConversationFlags m_flags;
  CWSABUFWrapper m_wrapped{256, 1};
  CSocketGuard m_socket;
};

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
  CFileConversation conversation(publicContentServer, pbAbortFlag, pbStalled);
  uint32_t u32FileLength = conversation.Request(sFile, 0);
  pmbReceiveFileData->Resize(u32FileLength);
  // A callback alone still makes the download report progress in chunks.
  if (conversation.IsPolling() || pCallback) {
    conversation.ReceiveInChunks(0, u32FileLength, pmbReceiveFileData->Data(), true, nullptr,
                                 pCallback);
  } else {
    conversation.ReceiveWhole(pmbReceiveFileData->Data(), u32FileLength);
  }
  conversation.Close();
}

void PublicContentServerGetFileToDisk(const CIPAddrPort& publicContentServer,
                                      const std::string& sFile, uint32_t u32Offset,
                                      platform::CFile& file, const FileLengthCheckFn& fnCheckLength,
                                      const ProgressCallbackFn& pCallback,
                                      const std::atomic<bool>* pbAbortFlag,
                                      std::atomic<bool>* pbStalled, const FileDataFn& fnWritten) {
  LARCH_PRECONDITION("PollingArgsGiven", pbAbortFlag || pbStalled);
  PublicContentServerReadFile(
      publicContentServer, sFile, u32Offset, fnCheckLength,
      [&file, &fnWritten](const uint8_t* pu8Data, uint32_t u32Size) {
        if (!file.Write(pu8Data, u32Size)) {
          throw std::runtime_error("PublicContentServer: unable to write the file (errno = " +
                                   std::to_string(platform::GetLastSystemError()) + ")");
        }
        if (fnWritten) fnWritten(pu8Data, u32Size);
      },
      pCallback, pbAbortFlag, pbStalled);
}

void PublicContentServerReadFile(const CIPAddrPort& publicContentServer, const std::string& sFile,
                                 uint32_t u32Offset, const FileLengthCheckFn& fnCheckLength,
                                 const FileDataFn& fnData, const ProgressCallbackFn& pCallback,
                                 const std::atomic<bool>* pbAbortFlag,
                                 std::atomic<bool>* pbStalled) {
  LARCH_PRECONDITION("NonNullFileName", !sFile.empty());
  LARCH_PRECONDITION("PollingArgsGiven", !pCallback || pbAbortFlag || pbStalled);
  CFileConversation conversation(publicContentServer, pbAbortFlag, pbStalled);
  uint32_t u32FileLength = conversation.Request(sFile, u32Offset);
  if (fnCheckLength) fnCheckLength(u32FileLength);
  std::vector<uint8_t> chunk(sc_uFileChunkSize);
  conversation.ReceiveInChunks(u32Offset, u32FileLength, chunk.data(), false, fnData, pCallback);
  conversation.Close();
}

void AppendFileRequest(CWSABUFWrapper& wrappedWSABUF, const std::string& sFile,
                       uint32_t u32Offset) {
  wrappedWSABUF.Append(static_cast<uint32_t>(sFile.size() + 9));
  wrappedWSABUF.Append(sc_u8SendFileCommand);
  wrappedWSABUF.Append(u32Offset);
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
