#include "platform/Terminal.h"

#include <windows.h>

namespace platform {

bool IsStderrTerminal() {
  DWORD dwMode = 0;
  HANDLE hErr = ::GetStdHandle(STD_ERROR_HANDLE);
  return hErr != nullptr && hErr != INVALID_HANDLE_VALUE && ::GetConsoleMode(hErr, &dwMode) != 0;
}

unsigned StderrTerminalWidth() {
  CONSOLE_SCREEN_BUFFER_INFO info = {};
  if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info)) {
    return static_cast<unsigned>(info.srWindow.Right - info.srWindow.Left + 1);
  }
  return 80;
}

}  // namespace platform
