// Interlocked 32-bit counters (full barriers).
#pragma once

#include <cstdint>

namespace platform {

// Both return the new value.
int32_t InterlockedIncrement32(volatile int32_t* pValue);
int32_t InterlockedDecrement32(volatile int32_t* pValue);

}  // namespace platform
