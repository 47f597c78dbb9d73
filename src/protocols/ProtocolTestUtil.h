// Scripted servers of the operator's kinds for the conversation tests.
#pragma once

#include <string>

#include "network/NetTestUtil.h"

namespace larch_test {

// The bytes of a u32 in either order, written independently of the code under test.
inline std::string U32BE(uint32_t u) {
  return Bytes({static_cast<int>(u >> 24), static_cast<int>((u >> 16) & 0xFF),
                static_cast<int>((u >> 8) & 0xFF), static_cast<int>(u & 0xFF)});
}
inline std::string U32LE(uint32_t u) {
  return Bytes({static_cast<int>(u & 0xFF), static_cast<int>((u >> 8) & 0xFF),
                static_cast<int>((u >> 16) & 0xFF), static_cast<int>(u >> 24)});
}

// A u32 big-endian length prefix followed by the body.
inline std::string LengthPrefixed(const std::string& sBody) {
  return U32BE(static_cast<uint32_t>(sBody.size())) + sBody;
}

// A server that reads the 4-byte version, answers u8Accept, then (when it accepts) reads a
// request of uRequestSize bytes, writes sReply and reads until the client closes. *psGot
// receives every byte the client sent.
inline CScriptedServer::Script VersionedServer(std::string* psGot, int nAccept, size_t uRequestSize,
                                               const std::string& sReply) {
  return [=](CServerConnection& c) {
    *psGot = c.Read(4);
    c.Write(Bytes({nAccept}));
    if (nAccept != 0) {
      *psGot += c.Read(uRequestSize);
      c.Write(sReply);
    }
    *psGot += c.ReadUntilClosed();
  };
}

}  // namespace larch_test
