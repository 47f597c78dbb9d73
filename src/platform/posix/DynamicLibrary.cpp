#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

#include <cerrno>

#include "platform/FaultInjection.h"
#include "platform/File.h"

namespace platform {

CDynamicLibrary::~CDynamicLibrary() {
  if (m_pHandle) ::dlclose(m_pHandle);
}

bool CDynamicLibrary::Load(const std::string& sPath) {
  m_sLoaderMessage.clear();
  if (ConsumeInjectedFailure("LoadLibrary")) return false;
  if (m_pHandle) {
    errno = EBUSY;
    return false;
  }
  // dlopen searches the library path for a bare name; the program means its own directory.
  std::string sOpen = sPath.find('/') == std::string::npos ? "./" + sPath : sPath;
  m_pHandle = ::dlopen(sOpen.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!m_pHandle) {
    const char* pszError = ::dlerror();
    m_sLoaderMessage = pszError ? pszError : "";
    if (errno == 0) errno = ENOENT;
    return false;
  }
  return true;
}

void* CDynamicLibrary::FindSymbol(const char* pszName) const {
  if (!m_pHandle) return nullptr;
  return ::dlsym(m_pHandle, pszName);
}

bool CDynamicLibrary::Unload() {
  if (ConsumeInjectedFailure("FreeLibrary")) return false;
  if (!m_pHandle) {
    errno = EINVAL;
    return false;
  }
  void* pHandle = m_pHandle;
  m_pHandle = nullptr;
  if (::dlclose(pHandle) != 0) {
    const char* pszError = ::dlerror();
    m_sLoaderMessage = pszError ? pszError : "";
    return false;
  }
  return true;
}

}  // namespace platform
