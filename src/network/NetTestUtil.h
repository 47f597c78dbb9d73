// Helpers for tests of conversations: scripted servers on loopback ports and byte texts.
//
// A CScriptedServer listens on 127.0.0.1 (ephemeral port) and runs one script per accepted
// connection, in order, on its own thread. A script reads what the client sends and answers
// what the test wants; everything it reads is kept for the test to compare after Join().
// Reads give up after a few seconds, so a test never hangs on a client that stays silent.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "network/IPAddrPort.h"
#include "network/NetworkTimeouts.h"
#include "network/TcpListener.h"
#include "network/WinSockHelperFunctions.h"
#include "platform/Process.h"
#include "platform/Socket.h"
#include "platform/SystemError.h"
#include "support/Assert.h"

namespace larch_test {

// Bytes from a list of values: Bytes({0, 0, 0, 1}).
inline std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int n : values) s += static_cast<char>(n);
  return s;
}

// "00 00 00 01" for the bytes 0, 0, 0, 1; for readable comparisons.
inline std::string Hex(const std::string& s) {
  std::string sHex;
  char szByte[4];
  for (size_t i = 0; i < s.size(); ++i) {
    std::snprintf(szByte, sizeof(szByte), i ? " %02X" : "%02X", static_cast<uint8_t>(s[i]));
    sHex += szByte;
  }
  return sHex;
}

class CServerConnection {
 public:
  explicit CServerConnection(platform::SocketHandle hSocket) : m_hSocket(hSocket) {}
  ~CServerConnection() { platform::CloseSocket(m_hSocket); }

  // Reads exactly uCount bytes, fewer when the client closes or stays silent for 5 s.
  std::string Read(size_t uCount) {
    std::string s;
    while (s.size() < uCount) {
      std::string sChunk = ReadSome(uCount - s.size());
      if (sChunk.empty()) break;
      s += sChunk;
    }
    return s;
  }
  // Everything until the client closes its sending side.
  std::string ReadUntilClosed() {
    std::string s;
    for (;;) {
      std::string sChunk = ReadSome(4096);
      if (sChunk.empty()) return s;
      s += sChunk;
    }
  }
  void Write(const std::string& sBytes) {
    size_t uDone = 0;
    while (uDone < sBytes.size()) {
      platform::SSocketBuffer buf{
          static_cast<uint32_t>(sBytes.size() - uDone),
          reinterpret_cast<uint8_t*>(const_cast<char*>(sBytes.data())) + uDone};
      uint32_t uSent = 0;
      if (!platform::SendOnSocket(m_hSocket, &buf, 1, uSent) || uSent == 0) return;
      uDone += uSent;
    }
  }
  void ShutdownSending() { platform::ShutdownSending(m_hSocket); }

 private:
  std::string ReadSome(size_t uMax) {
    if (platform::WaitForSocket(m_hSocket, platform::eWaitReadable, 5000) != 1) return "";
    std::string s(uMax, '\0');
    platform::SSocketBuffer buf{static_cast<uint32_t>(uMax), reinterpret_cast<uint8_t*>(&s[0])};
    uint32_t uReceived = 0;
    if (!platform::ReceiveOnSocket(m_hSocket, &buf, 1, uReceived)) return "";
    s.resize(uReceived);
    return s;
  }

  platform::SocketHandle m_hSocket;
};

class CScriptedServer {
 public:
  using Script = std::function<void(CServerConnection&)>;

  explicit CScriptedServer(std::vector<Script> scripts)
      : m_listener(common::CIPAddrPort::FromOctets(127, 0, 0, 1, 0)),
        m_scripts(std::move(scripts)),
        m_thread([this] { Run(); }) {}
  // Stops waiting for connections that have not come.
  ~CScriptedServer() {
    m_bStop = true;
    Join();
  }

  common::CIPAddrPort Address() const { return m_listener.LocalAddress(); }
  std::string AddressText() const { return Address().ToString(); }
  // Waits until every script has run (or its connection never came).
  void Join() {
    if (m_thread.joinable()) m_thread.join();
  }
  size_t ConnectionsServed() const { return m_uServed.load(); }

 private:
  void Run() {
    for (Script& script : m_scripts) {
      platform::SocketHandle hConnection = platform::sc_InvalidSocket;
      try {
        for (int nWaited = 0; !m_listener.Accept(20, hConnection); nWaited += 20) {
          if (m_bStop || nWaited >= 10000) return;
        }
      } catch (...) {
        return;
      }
      CServerConnection connection(hConnection);
      try {
        script(connection);
      } catch (...) {
      }
      ++m_uServed;
    }
  }

  common::CTcpListener m_listener;
  std::vector<Script> m_scripts;
  std::atomic<size_t> m_uServed{0};
  std::atomic<bool> m_bStop{false};
  std::thread m_thread;
};

// The client's time limits shortened to uMs (connect and inactivity) while it exists.
class CShortTimeouts {
 public:
  explicit CShortTimeouts(uint32_t uMs = 1000) : m_saved(common::GetNetworkTimeouts()) {
    common::SNetworkTimeouts timeouts;
    timeouts.uConnectMs = timeouts.uInactivityMs = uMs;
    common::SetNetworkTimeouts(timeouts);
  }
  ~CShortTimeouts() { common::SetNetworkTimeouts(m_saved); }
  CShortTimeouts(const CShortTimeouts&) = delete;
  CShortTimeouts& operator=(const CShortTimeouts&) = delete;

 private:
  common::SNetworkTimeouts m_saved;
};

// A server's connection kept open, without a byte, until the client's call has returned (the
// test sets bClientReturned) or 20 s have passed; bReturnedWhileOpen tells which came first.
struct SHoldOpen {
  std::atomic<bool> bClientReturned{false};
  std::atomic<bool> bReturnedWhileOpen{false};

  void Hold() {
    for (int i = 0; i < 2000 && !bClientReturned; ++i) platform::SleepMilliseconds(10);
    bReturnedWhileOpen = bClientReturned.load();
  }
};

// Records the check names of failed assertions while it exists.
class CCheckRecorder : public common::IAssertObserver {
 public:
  CCheckRecorder() { common::CAssertObserverRegistry::Get().Register(this); }
  ~CCheckRecorder() override { common::CAssertObserverRegistry::Get().Unregister(this); }
  void OnAssert(const char* pszKind, const char* pszCheckName, const char* pszExpression,
                const char*, unsigned) override {
    m_vecChecks.push_back(std::string(pszKind) + ":" + pszCheckName);
    m_vecExpressions.push_back(pszExpression);
  }
  std::vector<std::string> m_vecChecks;
  std::vector<std::string> m_vecExpressions;
};

// The socket subsystem for a whole test binary.
inline void StartSocketsOnce() {
  static common::CWinSockSession s_session;
}

// A loopback address where nothing listens (a port just released).
inline common::CIPAddrPort UnusedLoopbackAddress() {
  common::CTcpListener listener(common::CIPAddrPort::FromOctets(127, 0, 0, 1, 0));
  return listener.LocalAddress();
}

}  // namespace larch_test
