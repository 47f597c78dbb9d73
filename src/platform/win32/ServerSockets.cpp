#include "platform/ServerSockets.h"

namespace platform {

bool RaiseOpenFileLimit(uint32_t uWanted, uint32_t& uAllowed) {
  uAllowed = uWanted;
  return true;
}

}  // namespace platform
