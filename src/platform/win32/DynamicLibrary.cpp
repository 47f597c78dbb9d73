#include "platform/DynamicLibrary.h"

#include <windows.h>

#include "platform/FaultInjection.h"

namespace platform {

CDynamicLibrary::~CDynamicLibrary() {
  if (m_pHandle) ::FreeLibrary(static_cast<HMODULE>(m_pHandle));
}

bool CDynamicLibrary::Load(const std::string& sPath) {
  m_sLoaderMessage.clear();
  if (ConsumeInjectedFailure("LoadLibrary")) return false;
  if (m_pHandle) {
    ::SetLastError(ERROR_BUSY);
    return false;
  }
  m_pHandle = ::LoadLibraryA(sPath.c_str());
  return m_pHandle != nullptr;
}

void* CDynamicLibrary::FindSymbol(const char* pszName) const {
  if (!m_pHandle) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(m_pHandle), pszName));
}

bool CDynamicLibrary::Unload() {
  if (ConsumeInjectedFailure("FreeLibrary")) return false;
  if (!m_pHandle) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  HMODULE hModule = static_cast<HMODULE>(m_pHandle);
  m_pHandle = nullptr;
  return ::FreeLibrary(hModule) != 0;
}

}  // namespace platform
