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

// The calling thread's last socket error, always in WinSock numbering: on POSIX the socket
// functions of this layer map errno values onto the WinSock numbers (ECONNREFUSED -> 10061),
// so that messages read the same on both platforms.
int GetLastSocketError();
void SetLastSocketError(int nCode);

// Maps a POSIX errno value onto its WinSock twin; values without a twin are returned as they
// are. Exposed for the socket functions and their tests.
int MapErrnoToWinSock(int nErrno);

}  // namespace platform
