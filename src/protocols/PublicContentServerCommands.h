// Downloading a file whole from a public content server.
//
//   client: u32 version 0                      server: u8 accepted (non-zero) or refused (0)
//   client: u32 n + 9, u8 command 0, u32 offset, u16 0, u16 n, n name bytes
//   server: u32 F (file length), u32 bytes that follow from the offset (= F - offset), the bytes
//   client: graceful close
//
// A server that does not have the file closes the connection instead of answering.
// The whole-file form asks from offset 0; the file form resumes a download from an offset.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "network/IPAddrPort.h"
#include "network/WSABUFWrapper.h"
#include "platform/File.h"
#include "support/MallocedBlock.h"

namespace common {

constexpr uint32_t sc_u32PublicContentServerProtocolVersion = 0;
constexpr uint8_t sc_u8SendFileCommand = 0;
// File bytes are received in chunks of this size between progress reports and abort checks.
constexpr uint32_t sc_uFileChunkSize = 32768;

// Told the percentage of the file already received (0 to 99) before each chunk.
using ProgressCallbackFn = std::function<void(int nPercentDone)>;
// Told the file's length before the first file byte is received; refuses it by throwing.
using FileLengthCheckFn = std::function<void(uint32_t u32FileLength)>;
// Told each piece of the file once it is written, in file order.
using FileDataFn = std::function<void(const uint8_t* pu8Data, uint32_t u32Size)>;

// The server refused the request or answered what the protocol does not allow (a refused
// version, a missing file, a length that does not fit the request): another server may serve.
class CContentServerRefusal : public std::runtime_error {
 public:
  explicit CContentServerRefusal(const std::string& sText) : std::runtime_error(sText) {}
};

// Resizes pmbReceiveFileData to the file's length and receives the file straight into it. With a
// progress callback, an abort flag or a stall indicator the file comes in chunks with the
// polling socket forms; a callback needs an abort flag or a stall indicator. On failure the
// block keeps what was received.
void PublicContentServerGetFile(const CIPAddrPort& publicContentServer, const std::string& sFile,
                                CMallocedBlock* pmbReceiveFileData,
                                const ProgressCallbackFn& pCallback,
                                const std::atomic<bool>* pbAbortFlag, std::atomic<bool>* pbStalled);

// Asks for the file's bytes from u32Offset on and writes them to the open file at its current
// position, a chunk at a time as they arrive, so that memory use does not grow with the file.
// The progress counts from the start of the file. On failure the file keeps the chunks
// written; a write that fails throws "PublicContentServer: unable to write the file
// (errno = N)". Needs an abort flag or a stall indicator. fnWritten, when given, sees the bytes
// written (a download hashes them on the way instead of reading the file back).
void PublicContentServerGetFileToDisk(const CIPAddrPort& publicContentServer,
                                      const std::string& sFile, uint32_t u32Offset,
                                      platform::CFile& file, const FileLengthCheckFn& fnCheckLength,
                                      const ProgressCallbackFn& pCallback,
                                      const std::atomic<bool>* pbAbortFlag,
                                      std::atomic<bool>* pbStalled,
                                      const FileDataFn& fnWritten = nullptr);

// The same without a file: fnData is told each chunk as it arrives (memory use does not grow
// with the file; a check of the whole file hashes it on the way). Without an abort flag and a
// stall indicator it uses the blocking socket forms, within the same time limits: a thousand
// downloads in one process then wait in the system instead of waking every poll interval. A
// progress callback needs one of them.
void PublicContentServerReadFile(const CIPAddrPort& publicContentServer, const std::string& sFile,
                                 uint32_t u32Offset, const FileLengthCheckFn& fnCheckLength,
                                 const FileDataFn& fnData, const ProgressCallbackFn& pCallback,
                                 const std::atomic<bool>* pbAbortFlag,
                                 std::atomic<bool>* pbStalled);

// The messages, for both ends.
struct SFileRequest {
  uint8_t u8Command = sc_u8SendFileCommand;
  uint32_t u32Offset = 0;
  uint16_t u16Reserved = 0;
  std::string sFileName;
};
void AppendFileRequest(CWSABUFWrapper& wrappedWSABUF, const std::string& sFile,
                       uint32_t u32Offset = 0);
// Server: reads a received request (length-prefixed).
SFileRequest ExtractFileRequest(CWSABUFWrapper& wrappedWSABUF);
// The 8 bytes of file information (not length-prefixed).
void AppendFileInfo(CWSABUFWrapper& wrappedWSABUF, uint32_t u32FileLength,
                    uint32_t u32BytesFromOffset);
void ExtractFileInfo(CWSABUFWrapper& wrappedWSABUF, uint32_t* pu32FileLength,
                     uint32_t* pu32BytesFromOffset);

}  // namespace common
