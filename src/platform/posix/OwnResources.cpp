#include "platform/OwnResources.h"

namespace platform {

EOwnResourceResult LoadOwnResource(const char*, uint16_t, const void*& pData, size_t& uSize) {
  pData = nullptr;
  uSize = 0;
  return eOwnResourceMissing;
}

}  // namespace platform
