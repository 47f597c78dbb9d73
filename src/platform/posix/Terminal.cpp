#include "platform/Terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace platform {

bool IsStderrTerminal() {
  return ::isatty(STDERR_FILENO) == 1;
}

unsigned StderrTerminalWidth() {
  struct winsize ws = {};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

}  // namespace platform
