#include "platform/SingleInstance.h"

#include <windows.h>

namespace platform {

CNamedInstanceMarker::CNamedInstanceMarker(const std::string& sName) {
  m_pHandle = ::CreateMutexA(nullptr, FALSE, sName.c_str());
  m_uCreationError = ::GetLastError();
  m_bValid = m_pHandle != nullptr;
}

CNamedInstanceMarker::~CNamedInstanceMarker() {
  if (m_pHandle) ::CloseHandle(m_pHandle);
}

}  // namespace platform
