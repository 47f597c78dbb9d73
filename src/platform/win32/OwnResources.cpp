#include "platform/OwnResources.h"

#include <windows.h>

#include "platform/FaultInjection.h"

namespace platform {

EOwnResourceResult LoadOwnResource(const char* pszType, uint16_t u16Id, const void*& pData,
                                   size_t& uSize) {
  pData = nullptr;
  uSize = 0;
  HMODULE hModule = ::GetModuleHandleA(nullptr);
  HRSRC hRes = ::FindResourceA(hModule, MAKEINTRESOURCEA(u16Id), pszType);
  if (!hRes) return eOwnResourceMissing;
  HGLOBAL hGlobal =
      ConsumeInjectedFailure("LoadResource") ? nullptr : ::LoadResource(hModule, hRes);
  if (!hGlobal) return eOwnResourceLoadFailed;
  const void* p = ConsumeInjectedFailure("LockResource") ? nullptr : ::LockResource(hGlobal);
  if (!p) return eOwnResourceLockFailed;
  pData = p;
  uSize = ::SizeofResource(hModule, hRes);
  return eOwnResourceFound;
}

}  // namespace platform
