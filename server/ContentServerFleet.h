// The content servers a content-server directory server gives out, with their health. Each
// server is checked on a thread of its own at every interval, by the version handshake a client
// opens with; one that fails a check is left out of the answers until it passes one again, and
// the log says when a server goes and comes back. Each answer holds distinct live servers: the
// first is chosen in turn by weight (a server of weight 2 comes first twice as often as one of
// weight 1, spread evenly), the others follow in list order, so that a client that fails over
// finds the next ones. With no server alive the whole list is given out: the checks may be what
// fails (this host cut off), and clients then try for themselves.
//
// Start and Stop belong to one thread; Choose is thread-safe.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ServerLog.h"
#include "ServerOptions.h"
#include "network/IPAddrPort.h"

namespace larchserver {

// Asks one server whether it answers; false with the reason in sWhy when not.
using ContentServerCheck =
    std::function<bool(const common::CIPAddrPort& addr, uint32_t uTimeoutMs, std::string& sWhy)>;

// Connects, sends the content protocol's version and reads the answer byte within uTimeoutMs in
// all, then closes: the server logs it as a health check.
bool CheckContentServer(const common::CIPAddrPort& addr, uint32_t uTimeoutMs, std::string& sWhy);

class CContentServerFleet {
 public:
  CContentServerFleet(const std::vector<SWeightedAddress>& vecServers, uint32_t uCheckIntervalMs,
                      CServerLog& log, ContentServerCheck fnCheck = CheckContentServer);
  ~CContentServerFleet();
  CContentServerFleet(const CContentServerFleet&) = delete;
  CContentServerFleet& operator=(const CContentServerFleet&) = delete;

  // Every server counts as alive until its first check says otherwise.
  void Start();
  void Stop();

  // Up to uMax distinct servers for one client.
  std::vector<common::CIPAddrPort> Choose(size_t uMax);

 private:
  struct SMember {
    SWeightedAddress server;
    bool bAlive = true;
    int64_t nCurrent = 0;  // the smooth weighted turn's running score
  };

  void CheckLoop(size_t uIndex);
  void Record(size_t uIndex, bool bAlive, const std::string& sWhy);

  const uint32_t m_uCheckIntervalMs;
  CServerLog& m_log;
  const ContentServerCheck m_fnCheck;
  std::mutex m_mutex;
  std::condition_variable m_cvStop;
  std::vector<SMember> m_vecMembers;  // under m_mutex
  bool m_bStopping = false;           // under m_mutex
  std::vector<std::thread> m_vecThreads;
};

}  // namespace larchserver
