#include "platform/Signals.h"

#include <windows.h>

namespace platform {
namespace {

HANDLE g_hRequested = nullptr;
volatile LONG g_lLastEvent = -1;

BOOL WINAPI OnConsoleControl(DWORD dwCtrlType) {
  ::InterlockedExchange(&g_lLastEvent, static_cast<LONG>(dwCtrlType));
  ::SetEvent(g_hRequested);
  return TRUE;
}

const char* EventName(LONG lEvent) {
  switch (lEvent) {
    case CTRL_C_EVENT:
      return "CTRL_C_EVENT";
    case CTRL_BREAK_EVENT:
      return "CTRL_BREAK_EVENT";
    case CTRL_CLOSE_EVENT:
      return "CTRL_CLOSE_EVENT";
    case CTRL_LOGOFF_EVENT:
      return "CTRL_LOGOFF_EVENT";
    case CTRL_SHUTDOWN_EVENT:
      return "CTRL_SHUTDOWN_EVENT";
    default:
      return "termination request";
  }
}

}  // namespace

bool HoldTerminationRequests() {
  if (!g_hRequested) g_hRequested = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!g_hRequested) return false;
  return ::SetConsoleCtrlHandler(OnConsoleControl, TRUE) != 0;
}

bool WaitForTerminationRequest(std::string& sName) {
  if (!g_hRequested) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (::WaitForSingleObject(g_hRequested, INFINITE) != WAIT_OBJECT_0) return false;
  sName = EventName(g_lLastEvent);
  return true;
}

bool RequestProcessTermination(uint32_t uPid) {
  ::SetLastError(ERROR_NOT_SUPPORTED);
  return false;
}

void IgnoreBrokenPipes() {}

}  // namespace platform
