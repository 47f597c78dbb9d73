#include "platform/ExeResources.h"

#include <windows.h>

#include "platform/FaultInjection.h"

namespace platform {

bool CanUpdateExeResources() {
  return true;
}

bool UpdateExeResources(const std::string& sPath, const std::vector<SExeResourceUpdate>& updates) {
  if (ConsumeInjectedFailure("UpdateExeResources")) return false;
  HANDLE hUpdate = ::BeginUpdateResourceA(sPath.c_str(), FALSE);
  if (!hUpdate) return false;
  for (const SExeResourceUpdate& update : updates) {
    void* pData = update.bDelete ? nullptr : const_cast<uint8_t*>(update.data.data());
    DWORD dwSize = update.bDelete ? 0 : static_cast<DWORD>(update.data.size());
    if (!::UpdateResourceA(hUpdate, update.sType.c_str(), update.sName.c_str(), update.u16Language,
                           pData, dwSize)) {
      DWORD dwError = ::GetLastError();
      ::EndUpdateResourceA(hUpdate, TRUE);  // discard: the file stays as it was
      ::SetLastError(dwError);
      return false;
    }
  }
  return ::EndUpdateResourceA(hUpdate, FALSE) != FALSE;
}

}  // namespace platform
