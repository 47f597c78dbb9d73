#include "platform/StructuredFault.h"

#include <cinttypes>
#include <cstdio>

namespace platform {

void FormatPointer(const void* p, char* pszBuf, unsigned uBufSize) {
  std::snprintf(pszBuf, uBufSize, "%0*" PRIXPTR, static_cast<int>(2 * sizeof(void*)),
                reinterpret_cast<uintptr_t>(p));
}

}  // namespace platform
