// libsodium must be initialised once before use; every entry point of this folder calls this.
#pragma once

#include <sodium.h>

#include <stdexcept>

namespace common {

inline void EnsureSodium() {
  // Thread-safe and idempotent in the library; a failure means no random source.
  static const int s_nInit = sodium_init();
  if (s_nInit < 0) throw std::runtime_error("the cryptography library cannot start");
}

}  // namespace common
