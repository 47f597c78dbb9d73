#include "platform/SystemError.h"

#include <windows.h>
#include <winsock2.h>

namespace platform {

uint32_t GetLastSystemError() {
  return ::GetLastError();
}
void SetLastSystemError(uint32_t uCode) {
  ::SetLastError(uCode);
}

bool GetSystemErrorText(uint32_t uCode, std::string& sText) {
  char szBuf[256] = {};
  DWORD dwLen = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, uCode, 0, szBuf, sizeof(szBuf), nullptr);
  sText.assign(szBuf, dwLen);
  return dwLen != 0;
}

uint32_t DefaultInjectedError() {
  return ERROR_ACCESS_DENIED;
}

int GetLastSocketError() {
  return ::WSAGetLastError();
}
void SetLastSocketError(int nCode) {
  ::WSASetLastError(nCode);
}

int MapErrnoToWinSock(int nErrno) {
  return nErrno;
}

}  // namespace platform
