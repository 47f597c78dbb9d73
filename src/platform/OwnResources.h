// Binary resources built into the running program.
//
// Windows: resources of a named type and 16-bit id in the program's own module (the .rc file's
// "BINDATA" entries, for example). POSIX: executables carry no resource table, so every lookup
// reports the resource as missing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

enum EOwnResourceResult {
  eOwnResourceFound,
  eOwnResourceMissing,
  eOwnResourceLoadFailed,
  eOwnResourceLockFailed
};

// On success pData and uSize describe the resource's bytes; they stay valid for the life of
// the process and must not be written. injection: "LoadResource", "LockResource"
EOwnResourceResult LoadOwnResource(const char* pszType, uint16_t u16Id, const void*& pData,
                                   size_t& uSize);

}  // namespace platform
