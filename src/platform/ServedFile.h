// Serving files over sockets: streaming a range of an open file onto a connection without
// copying it through our own buffers, and making sure that an opened file is a plain file of
// the directory that is served, not a link to something elsewhere.
#pragma once

#include <cstdint>
#include <string>

#include "platform/File.h"
#include "platform/Socket.h"

namespace platform {

// Sends up to uMaxBytes of the file from u64Offset on the socket; uTransferred is the count
// sent (it may be less, and 0 with error 10035 on a non-blocking socket that is full). The
// file's own position is not used. Errors are left as the last socket error (injection:
// "SocketSendFile").
bool SendFileOnSocket(SocketHandle hSocket, CFile& file, uint64_t u64Offset, uint32_t uMaxBytes,
                      uint32_t& uTransferred);

// True when the open file is a regular file and sPath names that same file directly (sPath is
// neither a symbolic link nor a reparse point, nor was it replaced after the file was opened).
// u64Size receives the file's size.
bool IsOpenedPlainFile(const std::string& sPath, CFile& file, uint64_t& u64Size);

}  // namespace platform
