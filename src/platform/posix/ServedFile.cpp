#include "platform/ServedFile.h"

#include <sys/sendfile.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/FaultInjection.h"
#include "platform/SystemError.h"

namespace platform {

bool SendFileOnSocket(SocketHandle hSocket, CFile& file, uint64_t u64Offset, uint32_t uMaxBytes,
                      uint32_t& uTransferred) {
  uTransferred = 0;
  if (ConsumeInjectedFailure("SocketSendFile")) {
    SetLastSocketError(MapErrnoToWinSock(static_cast<int>(GetLastSystemError())));
    return false;
  }
  off_t nOffset = static_cast<off_t>(u64Offset);
  ssize_t nSent;
  do {
    nSent = ::sendfile(static_cast<int>(hSocket), file.NativeFd(), &nOffset, uMaxBytes);
  } while (nSent < 0 && errno == EINTR);
  if (nSent < 0) {
    SetLastSocketError(MapErrnoToWinSock(errno));
    return false;
  }
  uTransferred = static_cast<uint32_t>(nSent);
  return true;
}

bool IsOpenedPlainFile(const std::string& sPath, CFile& file, uint64_t& u64Size) {
  struct stat opened, named;
  if (::fstat(file.NativeFd(), &opened) != 0 || ::lstat(sPath.c_str(), &named) != 0) {
    SetLastSystemError(static_cast<uint32_t>(errno));
    return false;
  }
  if (!S_ISREG(opened.st_mode) || !S_ISREG(named.st_mode) || opened.st_dev != named.st_dev ||
      opened.st_ino != named.st_ino) {
    SetLastSystemError(ENOENT);
    return false;
  }
  u64Size = static_cast<uint64_t>(opened.st_size);
  return true;
}

}  // namespace platform
