// Test seam: makes chosen calls of this layer fail the way they fail on a real machine (a rename
// that keeps failing because the target is locked, a write that comes up short), so that retry
// loops and error paths are testable without real locked files.
//
// A call of the layer that supports injection asks ConsumeInjectedFailure with its name (the
// names are listed beside each function, e.g. "Rename", "Remove", "Write", "Open"). Nothing is
// injected unless a test asks for it; the check is one relaxed atomic load otherwise.
#pragma once

#include <cstdint>

namespace platform {

// The next uCount calls named pszCall fail with the system error uError (0: the platform's
// usual "access denied" / EACCES). A "Write" failure writes half of the bytes and then fails.
void InjectFailure(const char* pszCall, uint32_t uCount, uint32_t uError = 0);
void ClearInjectedFailures();

// True when the named call must fail now; sets the thread's last system error to the injected
// error. Called by the layer's own functions.
bool ConsumeInjectedFailure(const char* pszCall);

}  // namespace platform
