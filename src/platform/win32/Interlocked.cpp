#include "platform/Interlocked.h"

#include <windows.h>

namespace platform {

int32_t InterlockedIncrement32(volatile int32_t* pValue) {
  return ::InterlockedIncrement(reinterpret_cast<volatile LONG*>(pValue));
}

int32_t InterlockedDecrement32(volatile int32_t* pValue) {
  return ::InterlockedDecrement(reinterpret_cast<volatile LONG*>(pValue));
}

}  // namespace platform
