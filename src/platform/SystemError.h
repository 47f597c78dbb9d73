// The thread's last system error and its text, and the thread's last socket error.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The calling thread's last error: GetLastError() on Windows, errno elsewhere.
uint32_t GetLastSystemError();
void SetLastSystemError(uint32_t uCode);

// The system's message for an error code, as the system gives it (on Windows with its line
// end). False, and sText empty, when the system has no message for the code.
bool GetSystemErrorText(uint32_t uCode, std::string& sText);

// The reason for messages of the form "Cannot open output file NAME: reason": the system's text
// for the code without its line end, or "error N" when the system has none.
inline std::string SystemErrorReason(uint32_t uCode) {
  std::string sText;
  if (!GetSystemErrorText(uCode, sText)) return "error " + std::to_string(uCode);
  while (!sText.empty() && (sText.back() == '\n' || sText.back() == '\r' || sText.back() == ' ')) {
    sText.pop_back();
  }
  return sText;
}
inline std::string LastSystemErrorReason() {
  return SystemErrorReason(GetLastSystemError());
}

// The calling thread's last socket error, always in WinSock numbering: on POSIX the socket
// functions of this layer map errno values onto the WinSock numbers (ECONNREFUSED -> 10061),
// so that messages read the same on both platforms.
int GetLastSocketError();
void SetLastSocketError(int nCode);

// Maps a POSIX errno value onto its WinSock twin; values without a twin are returned as they
// are. Exposed for the socket functions and their tests.
int MapErrnoToWinSock(int nErrno);

}  // namespace platform
