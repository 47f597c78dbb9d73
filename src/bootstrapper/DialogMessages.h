// The six messages by which the update worker reports to the progress dialog. On Windows they
// are registered window messages of these names; every view delivers them on its own thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bootstrapper {

enum EDialogMessage {
  eStatusUpdate,
  eVersionNumUpdate,
  eClientVersionNumUpdate,
  eQuitWithoutLaunching,
  eLaunchClientApp,
  eFileProgressUpdate,
  eDialogMessageCount
};

// "WEFT_UWM_BOOTSTRAPPER_STATUS_UPDATE", ... in the order of EDialogMessage.
extern const char* const sc_apszDialogMessageNames[eDialogMessageCount];

// The status text travels in a heap buffer of this size, owned by the message: whoever holds
// the message last frees it with FreeStatusText.
constexpr size_t sc_uStatusBufferSize = 256;

struct SDialogMessage {
  EDialogMessage eKind = eStatusUpdate;
  uintptr_t uWParam = 0;    // text length, version number or progress position
  char* pszText = nullptr;  // eStatusUpdate only
};

char* AllocateStatusText();  // sc_uStatusBufferSize bytes, empty text
void FreeStatusText(char* pszText);

// Dialog results.
constexpr int sc_nIdOk = 1;
constexpr int sc_nIdCancel = 2;

}  // namespace bootstrapper
