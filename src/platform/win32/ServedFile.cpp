#include "platform/ServedFile.h"

#include <windows.h>

#include <vector>

#include "platform/FaultInjection.h"
#include "platform/SystemError.h"

namespace platform {

// Windows reads a piece of the file and sends it; the server is not meant for heavy use there.
bool SendFileOnSocket(SocketHandle hSocket, CFile& file, uint64_t u64Offset, uint32_t uMaxBytes,
                      uint32_t& uTransferred) {
  uTransferred = 0;
  if (ConsumeInjectedFailure("SocketSendFile")) {
    SetLastSocketError(static_cast<int>(GetLastSystemError()));
    return false;
  }
  std::vector<uint8_t> buffer(uMaxBytes < 65536 ? uMaxBytes : 65536);
  int64_t nRead = -1;
  if (file.Seek(u64Offset)) nRead = file.Read(buffer.data(), buffer.size());
  if (nRead < 0) {
    SetLastSocketError(static_cast<int>(::GetLastError()));
    return false;
  }
  SSocketBuffer piece{static_cast<uint32_t>(nRead), buffer.data()};
  return SendOnSocket(hSocket, &piece, 1, uTransferred);
}

bool IsOpenedPlainFile(const std::string& sPath, CFile& file, uint64_t& u64Size) {
  DWORD dwAttributes = ::GetFileAttributesA(sPath.c_str());
  if (dwAttributes == INVALID_FILE_ATTRIBUTES) return false;
  if (dwAttributes &
      (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) {
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  return file.GetSize(u64Size);
}

}  // namespace platform
