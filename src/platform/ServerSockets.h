// What a program that holds many connections at once needs beyond Socket.h: more open
// descriptors than the default allowance.
//
// Failures leave the reason as the last socket error (WinSock numbering), as in Socket.h.
#pragma once

#include <cstdint>

#include "platform/Socket.h"

namespace platform {

// Raises this process's allowance of open descriptors (files and sockets) to at least uWanted;
// false (10024) when the system's ceiling is lower. uAllowed receives the allowance now in
// force. Windows has no such allowance for sockets: always true with uAllowed = uWanted.
bool RaiseOpenFileLimit(uint32_t uWanted, uint32_t& uAllowed);

}  // namespace platform
