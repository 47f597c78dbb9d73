#include "platform/Interlocked.h"

namespace platform {

int32_t InterlockedIncrement32(volatile int32_t* pValue) {
  return __atomic_add_fetch(pValue, 1, __ATOMIC_SEQ_CST);
}

int32_t InterlockedDecrement32(volatile int32_t* pValue) {
  return __atomic_sub_fetch(pValue, 1, __ATOMIC_SEQ_CST);
}

}  // namespace platform
