// Requests to end the program (Ctrl+C, SIGINT, SIGTERM; on Windows Ctrl+C, Ctrl+Break and
// closing the console) for programs that shut down in order instead of dying mid-transfer.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// From now on the requests no longer end the process; they wait for
// WaitForTerminationRequest. Call on the main thread before any other thread starts, so that
// every thread inherits it.
bool HoldTerminationRequests();

// Blocks until a termination request arrives; sName receives its name ("SIGINT", "SIGTERM",
// "CTRL_C_EVENT", ...). False when the wait itself fails.
bool WaitForTerminationRequest(std::string& sName);

// Asks another process to end in order (SIGTERM). Windows has no such request for an
// arbitrary process: false with ERROR_NOT_SUPPORTED.
bool RequestProcessTermination(uint32_t uPid);

// A peer that closes its connection while we write to it must give a write error, not end the
// process (SIGPIPE). Process-wide; a no-op on Windows.
void IgnoreBrokenPipes();

}  // namespace platform
