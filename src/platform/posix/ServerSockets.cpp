#include "platform/ServerSockets.h"

#include <sys/resource.h>

#include <cerrno>

#include "platform/SystemError.h"

namespace platform {
namespace {

constexpr int sc_nTooManyOpenSockets = 10024;

bool FailWithErrno() {
  SetLastSocketError(MapErrnoToWinSock(errno));
  return false;
}

}  // namespace

bool RaiseOpenFileLimit(uint32_t uWanted, uint32_t& uAllowed) {
  uAllowed = 0;
  rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return FailWithErrno();
  auto clip = [](rlim_t value) {
    return value == RLIM_INFINITY || value > 0xffffffffu ? 0xffffffffu
                                                         : static_cast<uint32_t>(value);
  };
  uAllowed = clip(limit.rlim_cur);
  if (uAllowed >= uWanted) return true;
  // Only the soft limit moves; the hard one is the administrator's.
  if (clip(limit.rlim_max) < uWanted) {
    SetLastSocketError(sc_nTooManyOpenSockets);
    return false;
  }
  limit.rlim_cur = uWanted;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return FailWithErrno();
  uAllowed = uWanted;
  return true;
}

}  // namespace platform
