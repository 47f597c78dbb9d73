// larch-server's engine: listens on the address of each configured role, accepts connections
// and runs every conversation on a thread of its own. Each role served has an equal share of
// the conversation cap, and each client address a cap of its own (SServerLimits). A role whose
// share is in use accepts nothing more until a place comes free, so a burst of clients waits its
// turn in the listen queue while the other roles go on; a connection over its address's cap is
// closed at once and logged, so that a flood from one host queues ahead of nobody. Large files
// go from disk to the socket without being read whole.
//
// Start() binds every role or none (it throws with the reason). Stop() stops accepting, lets
// running conversations finish for a grace period, then ends the rest at their next wait; it
// returns when every conversation thread is done. With a summary interval, a thread of its own
// has the log write a summary line at each interval, and Stop has it write the last one once the
// conversations are done. Start and Stop belong to one thread; the conversations run on their
// own.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ContentServerFleet.h"
#include "PublishDirectory.h"
#include "RateLimiter.h"
#include "Roles.h"
#include "ServerLog.h"
#include "ServerOptions.h"
#include "network/TcpListener.h"
#include "platform/Socket.h"

namespace larchserver {

class CServer {
 public:
  // The limits are options.limits.
  CServer(const SServerOptions& options, CServerLog& log);
  ~CServer();
  CServer(const CServer&) = delete;
  CServer& operator=(const CServer&) = delete;

  void Start();
  void Stop();

  bool Serves(ERole eRole) const { return m_options.abServe[eRole]; }
  // The address a served role is bound to (the real port when port 0 was asked for).
  common::CIPAddrPort BoundAddress(ERole eRole) const { return m_aBound[eRole]; }
  // The lists the directory servers give out, fixed by Start.
  const SDirectoryLists& DirectoryLists() const { return m_lists; }
  size_t ActiveConversations() const;

 private:
  void Listen(ERole eRole);
  void BuildDirectoryLists();
  common::CIPAddrPort AdvertisedAddress(ERole eRole) const;
  void AcceptLoop(ERole eRole);
  // Waits up to uMs for a place in the role's share; false when none came free.
  bool WaitForRolePlace(ERole eRole, uint32_t uMs);
  // Counts a new conversation in; when its address is over the cap, says why instead.
  std::string Admit(ERole eRole, uint32_t u32PeerIPAddr);
  void Refuse(ERole eRole, platform::SocketHandle hSocket, const common::CIPAddrPort& peer,
              const std::string& sWhy);
  // Counts a conversation out; the last touch of the server by its thread.
  void Release(ERole eRole, uint32_t u32PeerIPAddr);
  void RunConversation(ERole eRole, platform::SocketHandle hSocket,
                       const common::CIPAddrPort& peer);
  void CloseListeners();
  void SummaryLoop();

  SServerOptions m_options;
  const SServerLimits& m_limits;  // m_options.limits
  CServerLog& m_log;
  CPublishDirectory m_dir;
  std::unique_ptr<CRateLimiter> m_pRateLimiter;   // for the content role, when limited
  std::unique_ptr<CContentServerFleet> m_pFleet;  // the csds role's checked fleet, when given
  ContentServerChooser m_fnChooseContentServers;  // set by Start
  SDirectoryLists m_lists;
  std::array<std::unique_ptr<common::CTcpListener>, eNumRoles> m_apListeners;
  std::array<common::CIPAddrPort, eNumRoles> m_aBound{};
  std::vector<std::thread> m_vecAcceptThreads;
  std::thread m_summaryThread;
  std::atomic<bool> m_bStopAccepting{false};
  std::atomic<bool> m_bAbortConversations{false};
  mutable std::mutex m_mutex;
  std::condition_variable m_cvChanged;
  std::condition_variable m_cvSummary;
  bool m_bStopSummaries = false;  // under m_mutex
  // Under m_mutex: conversation threads still running, in all, per role and per client address.
  size_t m_uActive = 0;
  std::array<uint32_t, eNumRoles> m_auActivePerRole{};
  std::map<uint32_t, uint32_t> m_mapActivePerPeer;  // only addresses with conversations
  uint32_t m_uRoleShare = 0;                        // each role's share of the cap, set by Start
  bool m_bStarted = false;
};

}  // namespace larchserver
