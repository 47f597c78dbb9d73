#include "bootstrapper/DialogMessages.h"

#include <cstdlib>

namespace bootstrapper {

const char* const sc_apszDialogMessageNames[eDialogMessageCount] = {
    "WEFT_UWM_BOOTSTRAPPER_STATUS_UPDATE",
    "WEFT_UWM_BOOTSTRAPPER_VERSION_NUM_UPDATE",
    "WEFT_UWM_BOOTSTRAPPER_CLIENT_VERSION_NUM_UPDATE",
    "WEFT_UWM_BOOTSTRAPPER_QUIT_WITHOUT_LAUNCHING",
    "WEFT_UWM_BOOTSTRAPPER_LAUNCH_CLIENT_APP",
    "WEFT_UWM_BOOTSTRAPPER_FILE_PROGRESS_UPDATE",
};

char* AllocateStatusText() {
  char* pszText = static_cast<char*>(std::calloc(sc_uStatusBufferSize, 1));
  return pszText;
}

void FreeStatusText(char* pszText) {
  std::free(pszText);
}

}  // namespace bootstrapper
