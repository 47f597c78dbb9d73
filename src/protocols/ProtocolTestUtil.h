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

// Where a StallingServer stops: before it answers the version, halfway through its reply, or
// after the whole reply without closing.
enum EStallStep { eStallBeforeAnswer, eStallMidReply, eStallAfterReply };

// A server that reads the version and a request of uRequestSize bytes and answers sReply,
// stalling at the step. Stalled before or within the reply it waits (5 s at most) for the
// client's close, which only the client's time-out brings; after the reply it reads until the
// client closes its side and then holds the connection open with *pHold.
inline CScriptedServer::Script StallingServer(EStallStep eStep, size_t uRequestSize,
                                              const std::string& sReply, SHoldOpen* pHold) {
  return [=](CServerConnection& c) {
    c.Read(4);
    if (eStep != eStallBeforeAnswer) {
      c.Write(Bytes({1}));
      c.Read(uRequestSize);
      c.Write(eStep == eStallMidReply ? sReply.substr(0, sReply.size() / 2) : sReply);
    }
    c.ReadUntilClosed();
    if (eStep == eStallAfterReply) pHold->Hold();
  };
}

}  // namespace larch_test
