#include "platform/NamedLock.h"

#include <windows.h>

#include "platform/FaultInjection.h"

namespace platform {

CNamedLock::~CNamedLock() {
  Close();
}

bool CNamedLock::Create(const std::string& sName) {
  Close();
  if (ConsumeInjectedFailure("CreateNamedLock")) return false;
  // Auto-reset and initially signalled: the first waiter gets it, SetEvent gives it back.
  m_pHandle = ::CreateEventA(nullptr, FALSE, TRUE, sName.c_str());
  return m_pHandle != nullptr;
}

CNamedLock::EWaitResult CNamedLock::Acquire(uint32_t uMilliseconds) {
  if (ConsumeInjectedFailure("AcquireNamedLock")) return eWaitFailed;
  if (!m_pHandle) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return eWaitFailed;
  }
  DWORD dwResult = ::WaitForSingleObject(m_pHandle, uMilliseconds);
  if (dwResult == WAIT_OBJECT_0) {
    m_bHeld = true;
    return eObtained;
  }
  if (dwResult == WAIT_TIMEOUT) return eTimedOut;
  return eWaitFailed;
}

bool CNamedLock::Release() {
  if (ConsumeInjectedFailure("ReleaseNamedLock")) return false;
  if (!m_pHandle || !m_bHeld) {
    ::SetLastError(ERROR_NOT_OWNER);
    return false;
  }
  if (!::SetEvent(m_pHandle)) return false;
  m_bHeld = false;
  return true;
}

void CNamedLock::Close() {
  if (m_bHeld) ::SetEvent(m_pHandle);
  if (m_pHandle) ::CloseHandle(m_pHandle);
  m_pHandle = nullptr;
  m_bHeld = false;
}

}  // namespace platform
