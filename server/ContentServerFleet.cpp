#include "ContentServerFleet.h"

#include <algorithm>
#include <chrono>

#include "platform/Socket.h"
#include "platform/SystemError.h"
#include "protocols/PublicContentServerCommands.h"
#include "support/ErrorCodeException.h"

namespace larchserver {
namespace {

// A check gives a server at most this long to answer, however long the interval.
constexpr uint32_t sc_uMaxCheckMs = 2000;
constexpr int sc_nWouldBlock = 10035;

using CClock = std::chrono::steady_clock;

uint32_t MsLeft(CClock::time_point end) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - CClock::now()).count();
  return left > 0 ? static_cast<uint32_t>(left) : 0;
}

std::string SocketErrorText(const char* pszWhat) {
  return std::string(pszWhat) + " (" + common::GetWinSockErrorText(platform::GetLastSocketError()) +
         ")";
}

// The handshake on a connected non-blocking socket: the version out, one byte back.
bool Handshake(platform::SocketHandle hSocket, CClock::time_point end, std::string& sWhy) {
  uint8_t au8Version[4] = {0, 0, 0, 0};
  static_assert(common::sc_u32PublicContentServerProtocolVersion == 0, "the bytes above");
  platform::SSocketBuffer out{sizeof(au8Version), au8Version};
  uint32_t uSent = 0;
  if (!platform::SendOnSocket(hSocket, &out, 1, uSent) || uSent != sizeof(au8Version)) {
    sWhy = SocketErrorText("send failed");
    return false;
  }
  for (;;) {
    int nReady = platform::WaitForSocket(hSocket, platform::eWaitReadable, MsLeft(end));
    if (nReady <= 0) {
      sWhy = nReady == 0 ? "no answer to the handshake" : SocketErrorText("wait failed");
      return false;
    }
    uint8_t u8Answer = 0;
    platform::SSocketBuffer in{1, &u8Answer};
    uint32_t uReceived = 0;
    if (platform::ReceiveOnSocket(hSocket, &in, 1, uReceived)) {
      if (uReceived == 1 && u8Answer != 0) return true;
      sWhy = uReceived == 0 ? "closed the connection at the handshake" : "refused the handshake";
      return false;
    }
    if (platform::GetLastSocketError() != sc_nWouldBlock) {
      sWhy = SocketErrorText("receive failed");
      return false;
    }
  }
}

}  // namespace

bool CheckContentServer(const common::CIPAddrPort& addr, uint32_t uTimeoutMs, std::string& sWhy) {
  CClock::time_point end = CClock::now() + std::chrono::milliseconds(uTimeoutMs);
  platform::SocketHandle hSocket = platform::sc_InvalidSocket;
  if (!platform::CreateTcpSocket(hSocket)) {
    sWhy = SocketErrorText("cannot create a socket");
    return false;
  }
  bool bAnswered = false;
  if (!platform::SetSocketNonBlocking(hSocket, true)) {
    sWhy = SocketErrorText("cannot make the socket non-blocking");
  } else if (!platform::ConnectSocket(hSocket, addr.m_u32IPAddr, addr.m_u16Port) &&
             platform::GetLastSocketError() != sc_nWouldBlock) {
    sWhy = SocketErrorText("connect failed");
  } else {
    platform::EConnectProgress eProgress = platform::PollConnect(hSocket, MsLeft(end));
    if (eProgress == platform::eConnectMade) {
      bAnswered = Handshake(hSocket, end, sWhy);
      platform::ShutdownSending(hSocket);
    } else {
      sWhy = eProgress == platform::eConnectPending
                 ? "no connection within " + std::to_string(uTimeoutMs) + " ms"
                 : SocketErrorText("connect failed");
    }
  }
  platform::CloseSocket(hSocket);
  return bAnswered;
}

CContentServerFleet::CContentServerFleet(const std::vector<SWeightedAddress>& vecServers,
                                         uint32_t uCheckIntervalMs, CServerLog& log,
                                         ContentServerCheck fnCheck)
    : m_uCheckIntervalMs(uCheckIntervalMs), m_log(log), m_fnCheck(std::move(fnCheck)) {
  for (const SWeightedAddress& server : vecServers) m_vecMembers.push_back(SMember{server});
}

CContentServerFleet::~CContentServerFleet() {
  Stop();
}

void CContentServerFleet::Start() {
  m_bStopping = false;
  for (size_t u = 0; u < m_vecMembers.size(); ++u) {
    m_vecThreads.emplace_back(&CContentServerFleet::CheckLoop, this, u);
  }
}

void CContentServerFleet::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bStopping = true;
  }
  m_cvStop.notify_all();
  for (std::thread& t : m_vecThreads) t.join();
  m_vecThreads.clear();
}

void CContentServerFleet::CheckLoop(size_t uIndex) {
  common::CIPAddrPort addr = m_vecMembers[uIndex].server.addr;  // never changes
  uint32_t uTimeoutMs = std::min(m_uCheckIntervalMs, sc_uMaxCheckMs);
  auto next = CClock::now();
  for (;;) {
    std::string sWhy;
    bool bAlive = m_fnCheck(addr, uTimeoutMs, sWhy);
    Record(uIndex, bAlive, sWhy);
    next += std::chrono::milliseconds(m_uCheckIntervalMs);
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_cvStop.wait_until(lock, next, [this] { return m_bStopping; })) return;
  }
}

void CContentServerFleet::Record(size_t uIndex, bool bAlive, const std::string& sWhy) {
  std::string sAddr;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    SMember& member = m_vecMembers[uIndex];
    if (member.bAlive == bAlive) return;
    member.bAlive = bAlive;
    member.nCurrent = 0;
    sAddr = member.server.addr.ToString();
  }
  m_log.Note("content server " + sAddr + (bAlive ? " is up again" : " is down: " + sWhy));
}

std::vector<common::CIPAddrPort> CContentServerFleet::Choose(size_t uMax) {
  std::lock_guard<std::mutex> lock(m_mutex);
  bool bAnyAlive = std::any_of(m_vecMembers.begin(), m_vecMembers.end(),
                               [](const SMember& member) { return member.bAlive; });
  auto counts = [&](const SMember& member) { return member.bAlive || !bAnyAlive; };
  // The smooth weighted turn: every candidate gains its weight, the highest goes first and
  // gives back the sum of the weights.
  int64_t nTotal = 0;
  size_t uFirst = m_vecMembers.size();
  for (size_t u = 0; u < m_vecMembers.size(); ++u) {
    SMember& member = m_vecMembers[u];
    if (!counts(member)) continue;
    member.nCurrent += member.server.uWeight;
    nTotal += member.server.uWeight;
    if (uFirst == m_vecMembers.size() || member.nCurrent > m_vecMembers[uFirst].nCurrent) {
      uFirst = u;
    }
  }
  std::vector<common::CIPAddrPort> vecChosen;
  if (uFirst == m_vecMembers.size()) return vecChosen;
  m_vecMembers[uFirst].nCurrent -= nTotal;
  for (size_t u = 0; u < m_vecMembers.size() && vecChosen.size() < uMax; ++u) {
    const SMember& member = m_vecMembers[(uFirst + u) % m_vecMembers.size()];
    if (counts(member)) vecChosen.push_back(member.server.addr);
  }
  return vecChosen;
}

}  // namespace larchserver
