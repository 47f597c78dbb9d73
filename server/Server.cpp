#include "Server.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "platform/Process.h"
#include "platform/Signals.h"

namespace larchserver {
namespace {

constexpr uint32_t sc_uAcceptSliceMs = 100;

// The conversation's result goes on with what ended it; its outcome is the role's own if the
// role had already settled it.
void EndedBy(SConversationLog& entry, EOutcome eOutcome, const std::exception& e) {
  entry.sResult = entry.sResult.empty() ? e.what() : entry.sResult + ", then " + e.what();
  if (entry.eOutcome == eServed) entry.eOutcome = eOutcome;
}

}  // namespace

CServer::CServer(const SServerOptions& options, CServerLog& log)
    : m_options(options), m_limits(m_options.limits), m_log(log), m_dir(options.sPublishDir) {
  if (!m_options.vecContentServers.empty()) {
    m_pFleet.reset(
        new CContentServerFleet(m_options.vecContentServers, m_options.uCheckIntervalMs, m_log));
  }
  if (m_limits.uRateLimitMBps != 0) {
    m_pRateLimiter.reset(new CRateLimiter(uint64_t{m_limits.uRateLimitMBps} * 1000000));
  }
  platform::IgnoreBrokenPipes();
  platform::StartSockets();
}

CServer::~CServer() {
  Stop();
  CloseListeners();
  platform::StopSockets();
}

void CServer::CloseListeners() {
  for (std::unique_ptr<common::CTcpListener>& pListener : m_apListeners) pListener.reset();
}

void CServer::Listen(ERole eRole) {
  const common::CIPAddrPort& addr = m_options.aListen[eRole];
  try {
    m_apListeners[eRole].reset(new common::CTcpListener(addr));
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("unable to listen on ") + addr.ToString() + " for " +
                             RoleName(eRole) + ": " + e.what());
  }
  m_aBound[eRole] = m_apListeners[eRole]->LocalAddress();
}

common::CIPAddrPort CServer::AdvertisedAddress(ERole eRole) const {
  common::CIPAddrPort addr = m_aBound[eRole];
  if (addr.m_u32IPAddr == 0) {
    // Bound to every interface: clients are told this host's own address.
    try {
      addr.m_u32IPAddr = common::GetIPAddrFromString("");
    } catch (const std::exception&) {
      addr.m_u32IPAddr = common::CIPAddrPort::FromOctets(127, 0, 0, 1, 0).m_u32IPAddr;
    }
  }
  return addr;
}

void CServer::BuildDirectoryLists() {
  m_lists.vecAuth = m_options.vecAuth;
  struct {
    const std::vector<common::CIPAddrPort>& vecAdvertised;
    ERole eRole;
    std::vector<common::CIPAddrPort>& vecOut;
  } lists[] = {{m_options.vecAdvertiseConfig, eConfig, m_lists.vecConfig},
               {m_options.vecAdvertiseCsds, eCsds, m_lists.vecCsds},
               {m_options.vecAdvertiseContent, eContent, m_lists.vecContent}};
  for (auto& list : lists) {
    list.vecOut = list.vecAdvertised;
    if (list.vecOut.empty() && Serves(list.eRole)) {
      list.vecOut.push_back(AdvertisedAddress(list.eRole));
    }
  }
}

void CServer::SummaryLoop() {
  auto next = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    next += std::chrono::milliseconds(m_options.uSummaryIntervalMs);
    if (m_cvSummary.wait_until(lock, next, [this] { return m_bStopSummaries; })) return;
    lock.unlock();
    m_log.WriteSummary();
    lock.lock();
  }
}

void CServer::Start() {
  try {
    for (int n = 0; n < eNumRoles; ++n) {
      if (Serves(static_cast<ERole>(n))) Listen(static_cast<ERole>(n));
    }
  } catch (...) {
    CloseListeners();
    throw;
  }
  BuildDirectoryLists();
  if (m_pFleet) {
    m_pFleet->Start();
    m_fnChooseContentServers = [this](size_t uMax) { return m_pFleet->Choose(uMax); };
  } else {
    m_fnChooseContentServers = [this](size_t uMax) {
      const std::vector<common::CIPAddrPort>& vec = m_lists.vecContent;
      return std::vector<common::CIPAddrPort>(vec.begin(),
                                              vec.begin() + std::min(uMax, vec.size()));
    };
  }
  uint32_t uServed = 0;
  for (bool bServe : m_options.abServe) uServed += bServe ? 1 : 0;
  m_uRoleShare = std::max<uint32_t>(1, m_limits.uMaxConversations / uServed);
  m_bStarted = true;
  if (m_options.uSummaryIntervalMs != 0) m_summaryThread = std::thread(&CServer::SummaryLoop, this);
  for (int n = 0; n < eNumRoles; ++n) {
    if (Serves(static_cast<ERole>(n))) {
      m_vecAcceptThreads.emplace_back(&CServer::AcceptLoop, this, static_cast<ERole>(n));
    }
  }
}

void CServer::AcceptLoop(ERole eRole) {
  common::CTcpListener& listener = *m_apListeners[eRole];
  while (!m_bStopAccepting.load()) {
    if (!WaitForRolePlace(eRole, sc_uAcceptSliceMs)) continue;
    platform::SocketHandle hConnection = platform::sc_InvalidSocket;
    common::CIPAddrPort peer;
    try {
      if (!listener.Accept(sc_uAcceptSliceMs, hConnection, &peer)) continue;
    } catch (const std::exception& e) {
      // A client that gave up before we took it, or a shortage of descriptors: try again soon.
      m_log.Note(std::string("accept failed: ") + e.what());
      platform::SleepMilliseconds(sc_uAcceptSliceMs);
      continue;
    }
    std::string sRefusal = Admit(eRole, peer.m_u32IPAddr);
    if (!sRefusal.empty()) {
      Refuse(eRole, hConnection, peer, sRefusal);
      continue;
    }
    try {
      std::thread(&CServer::RunConversation, this, eRole, hConnection, peer).detach();
    } catch (const std::exception& e) {
      platform::CloseSocket(hConnection);
      Release(eRole, peer.m_u32IPAddr);
      m_log.Note(std::string("unable to start a conversation thread: ") + e.what());
    }
  }
}

bool CServer::WaitForRolePlace(ERole eRole, uint32_t uMs) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_cvChanged.wait_for(lock, std::chrono::milliseconds(uMs),
                              [&] { return m_auActivePerRole[eRole] < m_uRoleShare; });
}

// Only this role's accept thread adds to its count, so the place found by WaitForRolePlace is
// still free here.
std::string CServer::Admit(ERole eRole, uint32_t u32PeerIPAddr) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_mapActivePerPeer.find(u32PeerIPAddr);
  if (it != m_mapActivePerPeer.end() && it->second >= m_limits.uMaxPerPeer) {
    return "refused: " + std::to_string(m_limits.uMaxPerPeer) +
           " conversations already open from this address";
  }
  ++m_mapActivePerPeer[u32PeerIPAddr];
  ++m_auActivePerRole[eRole];
  ++m_uActive;
  return "";
}

void CServer::Refuse(ERole eRole, platform::SocketHandle hSocket, const common::CIPAddrPort& peer,
                     const std::string& sWhy) {
  platform::CloseSocket(hSocket);
  SConversationLog entry;
  entry.sPeer = peer.ToString();
  entry.sRole = RoleName(eRole);
  entry.sResult = sWhy;
  entry.eOutcome = eOverLimit;
  m_log.Write(entry);
}

void CServer::Release(ERole eRole, uint32_t u32PeerIPAddr) {
  // The notification happens under the lock, so Stop cannot return (and the server go) before
  // the releasing thread is done with it.
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_mapActivePerPeer.find(u32PeerIPAddr);
  if (--it->second == 0) m_mapActivePerPeer.erase(it);
  --m_auActivePerRole[eRole];
  --m_uActive;
  m_cvChanged.notify_all();
}

void CServer::RunConversation(ERole eRole, platform::SocketHandle hSocket,
                              const common::CIPAddrPort& peer) {
  auto start = std::chrono::steady_clock::now();
  SConversationLog entry;
  entry.sPeer = peer.ToString();
  entry.sRole = RoleName(eRole);
  try {
    CConversation conversation(hSocket, &m_bAbortConversations, m_limits.uIdleTimeoutMs,
                               m_limits.uRequestDeadlineMs,
                               eRole == eContent ? m_pRateLimiter.get() : nullptr);
    try {
      switch (eRole) {
        case eGds:
          ServeGeneralDirectory(conversation, m_lists, entry);
          break;
        case eCsds:
          ServeContentServerDirectory(conversation, m_fnChooseContentServers, entry);
          break;
        case eConfig:
          ServeConfiguration(conversation, m_dir, entry);
          break;
        case eContent:
          ServeContent(conversation, m_dir, entry);
          break;
        default:
          break;
      }
    } catch (const CConversationTimedOut& e) {
      EndedBy(entry, eTimedOut, e);
    } catch (const CConversationEnded& e) {
      EndedBy(entry, eFailed, e);
    } catch (const std::runtime_error& e) {
      // Whatever else the roles throw is the message buffer refusing the client's bytes.
      EndedBy(entry, eBadRequest, e);
    } catch (const std::exception& e) {
      EndedBy(entry, eFailed, e);
    }
    entry.u64BytesSent = conversation.BytesSent();
  } catch (const std::exception& e) {
    entry.sResult = e.what();
    entry.eOutcome = eFailed;
  }
  entry.u64Milliseconds =
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start)
                                .count());
  m_log.Write(entry);
  Release(eRole, peer.m_u32IPAddr);
}

size_t CServer::ActiveConversations() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_uActive;
}

void CServer::Stop() {
  if (!m_bStarted) return;
  m_bStarted = false;
  m_bStopAccepting = true;
  for (std::thread& t : m_vecAcceptThreads) t.join();
  m_vecAcceptThreads.clear();
  if (m_pFleet) m_pFleet->Stop();
  CloseListeners();
  std::unique_lock<std::mutex> lock(m_mutex);
  if (!m_cvChanged.wait_for(lock, std::chrono::milliseconds(m_limits.uStopGraceMs),
                            [this] { return m_uActive == 0; })) {
    m_bAbortConversations = true;
    m_cvChanged.wait(lock, [this] { return m_uActive == 0; });
  }
  // Every conversation is logged by now, so the last summary counts them all.
  if (m_summaryThread.joinable()) {
    m_bStopSummaries = true;
    m_cvSummary.notify_all();
    lock.unlock();
    m_summaryThread.join();
    m_log.WriteSummary();
  }
}

}  // namespace larchserver
