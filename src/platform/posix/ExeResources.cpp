#include "platform/ExeResources.h"

#include <cerrno>

#include "platform/SystemError.h"

namespace platform {

bool CanUpdateExeResources() {
  return false;
}

bool UpdateExeResources(const std::string&, const std::vector<SExeResourceUpdate>&) {
  SetLastSystemError(ENOTSUP);
  return false;
}

}  // namespace platform
