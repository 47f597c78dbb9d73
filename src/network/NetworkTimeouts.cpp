#include "network/NetworkTimeouts.h"

#include <atomic>

namespace common {
namespace {

// Each limit is read on its own by conversations of any thread.
std::atomic<uint32_t> g_uConnectMs{SNetworkTimeouts().uConnectMs};
std::atomic<uint32_t> g_uInactivityMs{SNetworkTimeouts().uInactivityMs};

}  // namespace

SNetworkTimeouts GetNetworkTimeouts() {
  SNetworkTimeouts timeouts;
  timeouts.uConnectMs = g_uConnectMs.load();
  timeouts.uInactivityMs = g_uInactivityMs.load();
  return timeouts;
}

void SetNetworkTimeouts(const SNetworkTimeouts& timeouts) {
  g_uConnectMs.store(timeouts.uConnectMs);
  g_uInactivityMs.store(timeouts.uInactivityMs);
}

}  // namespace common
