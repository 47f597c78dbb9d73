// larch-server's engine: listens on the address of each configured role, accepts connections
// and runs every conversation on a thread of its own, up to a limit beyond which new clients
// wait in the listen queue. Large files go from disk to the socket without being read whole.
//
// Start() binds every role or none (it throws with the reason). Stop() stops accepting, lets
// running conversations finish for a grace period, then ends the rest at their next wait; it
// returns when every conversation thread is done. Start and Stop belong to one thread; the
// conversations run on their own.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "PublishDirectory.h"
#include "Roles.h"
#include "ServerLog.h"
#include "ServerOptions.h"
#include "network/TcpListener.h"
#include "platform/Socket.h"

namespace larchserver {

struct SServerLimits {
  uint32_t uIdleTimeoutMs = 30000;  // a client silent (or not reading) this long is dropped
  uint32_t uStopGraceMs = 2000;     // how long Stop lets running conversations finish
  size_t uMaxConversations = 1024;  // conversations at once; more wait to be accepted
};

class CServer {
 public:
  CServer(const SServerOptions& options, CServerLog& log, SServerLimits limits = SServerLimits());
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
  void RunConversation(ERole eRole, platform::SocketHandle hSocket,
                       const common::CIPAddrPort& peer);
  void CloseListeners();

  SServerOptions m_options;
  CServerLog& m_log;
  SServerLimits m_limits;
  CPublishDirectory m_dir;
  SDirectoryLists m_lists;
  std::array<std::unique_ptr<common::CTcpListener>, eNumRoles> m_apListeners;
  std::array<common::CIPAddrPort, eNumRoles> m_aBound{};
  std::vector<std::thread> m_vecAcceptThreads;
  std::atomic<bool> m_bStopAccepting{false};
  std::atomic<bool> m_bAbortConversations{false};
  mutable std::mutex m_mutex;
  std::condition_variable m_cvChanged;
  size_t m_uActive = 0;  // conversation threads still running, under m_mutex
  bool m_bStarted = false;
};

}  // namespace larchserver
