#include "bootstrapper/win32/RegisteredMessages.h"

#include <windows.h>

namespace gui {

namespace {

struct SMessageNumbers {
  SMessageNumbers() {
    for (int i = 0; i < bootstrapper::eDialogMessageCount; ++i) {
      auNumbers[i] = ::RegisterWindowMessageA(bootstrapper::sc_apszDialogMessageNames[i]);
    }
  }
  UINT auNumbers[bootstrapper::eDialogMessageCount];
};

const SMessageNumbers& Numbers() {
  static const SMessageNumbers s_numbers;
  return s_numbers;
}

}  // namespace

void RegisterDialogMessages() {
  Numbers();
}

unsigned DialogMessageNumber(bootstrapper::EDialogMessage eKind) {
  return Numbers().auNumbers[eKind];
}

bool FindDialogMessage(unsigned uMsg, bootstrapper::EDialogMessage& eKind) {
  // Registered messages lie in 0xC000 to 0xFFFF; 0 means the registration failed.
  if (uMsg < 0xC000) return false;
  const SMessageNumbers& numbers = Numbers();
  for (int i = 0; i < bootstrapper::eDialogMessageCount; ++i) {
    if (numbers.auNumbers[i] == uMsg) {
      eKind = static_cast<bootstrapper::EDialogMessage>(i);
      return true;
    }
  }
  return false;
}

}  // namespace gui
