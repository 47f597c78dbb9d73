// The time limits of the client's conversations, in one place for the whole process: how long a
// connection may take to be made, and how long a send or a receive may go without one byte
// moving while bytes are due (the graceful close waits as long for the peer to close). Tools
// and tests change them before they talk to a server.
#pragma once

#include <cstdint>

namespace common {

struct SNetworkTimeouts {
  uint32_t uConnectMs = 10000;
  uint32_t uInactivityMs = 30000;
};

SNetworkTimeouts GetNetworkTimeouts();
void SetNetworkTimeouts(const SNetworkTimeouts& timeouts);

}  // namespace common
