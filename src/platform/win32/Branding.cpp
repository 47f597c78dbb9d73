#include "platform/Branding.h"

#include <windows.h>

#include <cstring>

namespace platform {

EBrandingResult LoadBrandingString(const char* pszName, const char* pszType, std::string& sValue) {
  sValue.clear();
  HMODULE hModule = ::GetModuleHandleA(nullptr);
  HRSRC hRes = ::FindResourceA(hModule, pszName, pszType);
  if (!hRes) return eBrandingNotFound;
  HGLOBAL hGlobal = ::LoadResource(hModule, hRes);
  if (!hGlobal) return eBrandingLoadFailed;
  const char* pszText = static_cast<const char*>(::LockResource(hGlobal));
  if (!pszText) return eBrandingLoadFailed;
  DWORD dwSize = ::SizeofResource(hModule, hRes);
  size_t uLen = strnlen(pszText, dwSize);
  // A text that fills the resource without a terminator is accepted as long as it does not
  // run past it; the check is that the string length does not exceed the resource size.
  sValue.assign(pszText, uLen);
  return eBrandingFound;
}

}  // namespace platform
