// The numbers of the update worker's six window messages. Each is registered with the system by
// its name ("WEFT_UWM_BOOTSTRAPPER_...") once per process, so every process that registers the
// same name gets the same number.
#pragma once

#include "bootstrapper/DialogMessages.h"

namespace gui {

// Registers the six names on the first call (the application does it during static
// initialisation); any thread afterwards.
void RegisterDialogMessages();
unsigned DialogMessageNumber(bootstrapper::EDialogMessage eKind);
// Which of the six a window message is; false for any other message.
bool FindDialogMessage(unsigned uMsg, bootstrapper::EDialogMessage& eKind);

}  // namespace gui
