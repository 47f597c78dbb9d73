// Feeds arbitrary byte streams, cut into receives at arbitrary points, through the
// length-prefixed receive and every parser of the server conversations, with the socket calls
// replaced by a fake that plays the input as the server's side. Every bad stream must end in
// an exception with a text; a failed check of the message buffer (an out-of-state call) or any
// other assertion is a bug and stops the run.
//
// Input: [scenario] [number of cut sizes N] [N cut sizes] [the server's byte stream]. Receive i
// delivers at most cut[i % N] + 1 bytes (all it may when N is 0); an exhausted stream reads as
// the peer closing the connection.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "network/IPAddrPort.h"
#include "network/SocketCalls.h"
#include "network/SocketHelperFunctions.h"
#include "network/WSABUFWrapper.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "protocols/ConfigServerCommands.h"
#include "protocols/ContentServerDirectoryServerCommands.h"
#include "protocols/ContentServerDirectoryServerProtocol.h"
#include "protocols/GeneralDirectoryServerCommands.h"
#include "protocols/PublicContentServerCommands.h"
#include "protocols/ServerConversation.h"
#include "support/Assert.h"

namespace {

struct SFakePeer {
  const uint8_t* pStream = nullptr;
  size_t uSize = 0;
  size_t uPos = 0;
  std::vector<uint8_t> vecCuts;
  size_t uNextCut = 0;

  size_t Allowance(size_t uWanted) {
    if (vecCuts.empty()) return uWanted;
    size_t uCut = static_cast<size_t>(vecCuts[uNextCut++ % vecCuts.size()]) + 1;
    return uCut < uWanted ? uCut : uWanted;
  }
};

SFakePeer g_peer;

bool FakeCreate(platform::SocketHandle& hSocket) {
  hSocket = 7;
  return true;
}
bool FakeClose(platform::SocketHandle) {
  return true;
}
bool FakeNonBlocking(platform::SocketHandle, bool) {
  return true;
}
bool FakeConnect(platform::SocketHandle, uint32_t, uint16_t) {
  return true;
}
platform::EConnectProgress FakePollConnect(platform::SocketHandle, uint32_t) {
  return platform::eConnectMade;
}
bool FakeSend(platform::SocketHandle, const platform::SSocketBuffer* pBuffers, uint32_t uCount,
              uint32_t& uTransferred) {
  size_t uTotal = 0;
  for (uint32_t u = 0; u < uCount; ++u) uTotal += pBuffers[u].uLength;
  uTransferred = static_cast<uint32_t>(g_peer.Allowance(uTotal));
  return true;
}
bool FakeReceive(platform::SocketHandle, platform::SSocketBuffer* pBuffers, uint32_t uCount,
                 uint32_t& uTransferred) {
  size_t uTotal = 0;
  for (uint32_t u = 0; u < uCount; ++u) uTotal += pBuffers[u].uLength;
  size_t uLeft = g_peer.uSize - g_peer.uPos;
  size_t uGive = g_peer.Allowance(uTotal < uLeft ? uTotal : uLeft);
  uTransferred = static_cast<uint32_t>(uGive);
  for (uint32_t u = 0; u < uCount && uGive > 0; ++u) {
    size_t uHere = pBuffers[u].uLength < uGive ? pBuffers[u].uLength : uGive;
    std::memcpy(pBuffers[u].pData, g_peer.pStream + g_peer.uPos, uHere);
    g_peer.uPos += uHere;
    uGive -= uHere;
  }
  return true;
}
bool FakeShutdown(platform::SocketHandle) {
  return true;
}
int FakeWait(platform::SocketHandle, platform::ESocketWait, uint32_t) {
  return 1;
}
bool FakePeerAddress(platform::SocketHandle, uint32_t& u32IPAddr, uint16_t& u16Port) {
  u32IPAddr = common::CIPAddrPort::FromOctets(192, 168, 7, 1, 0).m_u32IPAddr;
  u16Port = 5273;
  return true;
}
bool FakeHostName(std::string& sName) {
  sName = "fuzzhost";
  return true;
}
bool FakeLookUp(const std::string&, uint32_t& u32IPAddr) {
  u32IPAddr = common::CIPAddrPort::FromOctets(192, 168, 7, 9, 0).m_u32IPAddr;
  return true;
}

const common::SSocketCalls sc_FakeCalls = {
    FakeCreate,  FakeClose,    FakeNonBlocking, FakeConnect,     FakePollConnect, FakeSend,
    FakeReceive, FakeShutdown, FakeWait,        FakePeerAddress, FakeHostName,    FakeLookUp,
};

// Keeps the file lengths that make the client allocate small, so that a run explores the parsers
// rather than the allocator's limits.
void ClampU32At(std::vector<uint8_t>& vecStream, size_t uAt) {
  if (vecStream.size() < uAt + 4) return;
  vecStream[uAt] = 0;
  vecStream[uAt + 1] &= 0x0F;
}

// Message after message until the stream is exhausted, with extraction patterns that vary.
void LengthPrefixedMessages(uint32_t uStorage) {
  common::CWSABUFWrapper wrappedWSABUF(uStorage, 1);
  for (unsigned uMsg = 0;; ++uMsg) {
    wrappedWSABUF.PrepareToReceiveLengthPrefixedMsg();
    common::Receive(wrappedWSABUF, 7, nullptr, nullptr);
    uint8_t u8 = 0;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    switch (uMsg % 4) {
      case 0:
        wrappedWSABUF.ExtractNext(&u8);
        break;
      case 1:
        wrappedWSABUF.ExtractNext(&u16);
        wrappedWSABUF.ExtractGap(u16 % 300);
        break;
      case 2:
        wrappedWSABUF.ExtractNext(&u32);
        break;
      default:
        wrappedWSABUF.ExtractNext(&u8);
        wrappedWSABUF.ExtractGap(u8);
        break;
    }
    try {
      wrappedWSABUF.DoneExtracting();
    } catch (const std::runtime_error&) {
      // Not fully consumed: read what is left so that the next message can follow.
      while (true) {
        try {
          wrappedWSABUF.ExtractNext(&u8);
        } catch (const std::runtime_error&) {
          break;
        }
      }
      wrappedWSABUF.DoneExtracting();
    }
  }
}

// The server's end: receive one request and parse it with the parser of the given kind.
void ServerSide(unsigned uKind) {
  common::CWSABUFWrapper wrappedWSABUF(256, 1);
  common::ReceiveProtocolVersion(wrappedWSABUF, 7);
  common::AnswerProtocolVersion(wrappedWSABUF, 7, true);
  common::ReceiveRequest(wrappedWSABUF, 7);
  switch (uKind % 4) {
    case 0:
      common::ExtractGeneralDirectoryServerQuery(wrappedWSABUF);
      break;
    case 1:
      common::ExtractContentServerQuery(wrappedWSABUF);
      break;
    case 2:
      common::ExtractFileRequest(wrappedWSABUF);
      break;
    default:
      common::ExtractClientConfigRecordRequest(wrappedWSABUF);
      break;
  }
}

void RunScenario(uint8_t u8Scenario, std::vector<uint8_t>& vecStream) {
  std::atomic<bool> bAbort{false}, bStalled{false};
  const bool bPolling = (u8Scenario & 0x80) != 0;
  const std::atomic<bool>* pAbort = bPolling ? &bAbort : nullptr;
  std::atomic<bool>* pStalled = bPolling ? &bStalled : nullptr;
  const common::CIPAddrPort server = common::CIPAddrPort::FromOctets(10, 0, 0, 1, 5273);
  std::vector<common::CIPAddrPort> vecServers;
  switch (u8Scenario % 8) {
    case 0:
      LengthPrefixedMessages(256);
      break;
    case 1:
      LengthPrefixedMessages(8 + (u8Scenario >> 3) % 16);
      break;
    case 2:
      common::GeneralDirectoryServerGetServers(3, {server, server}, &vecServers, pAbort, pStalled);
      break;
    case 3:
      common::ContentServerDirectoryServerGetContentServers(server, &vecServers, 3, 0, pAbort,
                                                            pStalled);
      break;
    case 4: {
      ClampU32At(vecStream, 1);  // the file length, after the handshake byte
      ClampU32At(vecStream, 5);
      common::ProgressCallbackFn progress;
      if (bPolling) progress = [](int) {};
      if ((u8Scenario >> 3) & 1) {
        // The file form, resuming from an offset; the bytes go nowhere.
        platform::CFile file;
        if (!file.Open("/dev/null", platform::CFile::eReadWrite)) break;
        common::PublicContentServerGetFileToDisk(
            server, "a.pkg", (u8Scenario >> 4) * 5000u, file, [](uint32_t) {}, progress, &bAbort,
            &bStalled);
        break;
      }
      common::CMallocedBlock block(1);
      common::PublicContentServerGetFile(server, "a.pkg", &block, progress, pAbort, pStalled);
      break;
    }
    case 5:
      // The record length is left as it comes: the client bounds it before it allocates.
      common::ConfigServerGetClientConfigRecord(server);
      break;
    default:
      ServerSide(u8Scenario >> 3);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  platform::SetEnvVar("LARCH_ASSERT_REPORT", "ignore");
  fuzz_support::AbortOnAssert();
  common::SetSocketCalls(&sc_FakeCalls);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize) {
  if (uSize < 2) return 0;
  uint8_t u8Scenario = pData[0];
  size_t uCuts = pData[1] % 16;
  if (uSize < 2 + uCuts) return 0;
  std::vector<uint8_t> vecStream(pData + 2 + uCuts, pData + uSize);
  g_peer = SFakePeer();
  g_peer.vecCuts.assign(pData + 2, pData + 2 + uCuts);
  g_peer.pStream = vecStream.data();
  g_peer.uSize = vecStream.size();
  try {
    RunScenario(u8Scenario, vecStream);
  } catch (const std::logic_error& e) {
    // An out-of-state call of the message buffer: a bug of the conversation code.
    std::fprintf(stderr, "logic error: %s\n", e.what());
    std::abort();
  } catch (const std::exception& e) {
    // Every bad stream ends here, with a text.
    if (e.what()[0] == '\0') std::abort();
  }
  return 0;
}
