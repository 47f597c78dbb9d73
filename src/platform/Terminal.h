// The text console the program may draw on.
#pragma once

namespace platform {

// True when the standard error stream is an interactive terminal (not a file or a pipe).
bool IsStderrTerminal();
// Width of that terminal in characters; 80 when it cannot be found.
unsigned StderrTerminalWidth();

}  // namespace platform
