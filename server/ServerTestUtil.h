// Helpers for the server tests: a server on loopback ports over a scratch publish directory,
// and a raw client that speaks bytes, for what the client commands never send.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "Server.h"
#include "platform/ServerSockets.h"
#include "platform/Socket.h"
#include "support/TestUtil.h"

namespace larchserver {

inline void WriteTestFile(const std::string& sPath, const std::string& sContent) {
  std::ofstream(sPath, std::ios::binary) << sContent;
}

inline std::string ReadTestFile(const std::string& sPath) {
  std::ifstream in(sPath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every role on 127.0.0.1 with a free port, the log in a temporary file. The publish directory
// is a fresh one, or options.sPublishDir when given (servers sharing one directory).
class CTestServer {
 public:
  explicit CTestServer(SServerOptions options = SServerOptions())
      : m_sLogPath(m_scratch / "server.log"),
        m_pLogFile(std::fopen(m_sLogPath.c_str(), "a")),
        m_log(m_pLogFile) {
    if (options.sPublishDir.empty()) {
      options.sPublishDir = m_scratch / "publish";
      platform::MakeDirectory(options.sPublishDir);
    }
    m_sPublish = options.sPublishDir;
    for (int n = 0; n < eNumRoles; ++n) {
      options.abServe[n] = true;
      options.aListen[n] = common::CIPAddrPort::FromOctets(127, 0, 0, 1, 0);
    }
    m_pServer.reset(new CServer(options, m_log));
    m_pServer->Start();
  }
  ~CTestServer() {
    m_pServer.reset();
    std::fclose(m_pLogFile);
  }

  CServer& Server() { return *m_pServer; }
  common::CIPAddrPort Address(ERole eRole) const { return m_pServer->BoundAddress(eRole); }
  const std::string& Publish() const { return m_sPublish; }
  std::string PublishPath(const std::string& sName) const { return m_sPublish + "/" + sName; }
  const larch_test::CScratchDir& Scratch() const { return m_scratch; }

  // The log so far, read beside the server's writes (which append), never moving them.
  std::string LogText() {
    std::fflush(m_pLogFile);
    return ReadTestFile(m_sLogPath);
  }

  // Conversations are logged when they end, which may be just after the client has finished.
  bool WaitForLogLine(const std::string& sPart, unsigned uMilliseconds = 5000) {
    for (unsigned u = 0; u < uMilliseconds; u += 10) {
      if (LogText().find(sPart) != std::string::npos) return true;
      platform::SleepMilliseconds(10);
    }
    return false;
  }

 private:
  larch_test::CScratchDir m_scratch;
  std::string m_sPublish;
  std::string m_sLogPath;
  FILE* m_pLogFile;
  CServerLog m_log;
  std::unique_ptr<CServer> m_pServer;
};

// A blocking client for byte-level conversations; every receive gives up after a few seconds.
class CRawClient {
 public:
  // u32FromIPAddr: the loopback address to speak from, so that a test can be several peers
  // (0: the system's choice).
  explicit CRawClient(const common::CIPAddrPort& addr, uint32_t u32FromIPAddr = 0) {
    EXPECT_TRUE(platform::CreateTcpSocket(m_hSocket));
    if (u32FromIPAddr != 0) {
      EXPECT_TRUE(platform::BindSocket(m_hSocket, u32FromIPAddr, 0));
    }
    EXPECT_TRUE(platform::ConnectSocket(m_hSocket, addr.m_u32IPAddr, addr.m_u16Port));
  }
  ~CRawClient() {
    if (m_hSocket != platform::sc_InvalidSocket) platform::CloseSocket(m_hSocket);
  }
  CRawClient(const CRawClient&) = delete;
  CRawClient& operator=(const CRawClient&) = delete;

  void Send(const std::string& sBytes) {
    platform::SSocketBuffer buffer{static_cast<uint32_t>(sBytes.size()),
                                   reinterpret_cast<uint8_t*>(const_cast<char*>(sBytes.data()))};
    uint32_t uSent = 0;
    EXPECT_TRUE(platform::SendOnSocket(m_hSocket, &buffer, 1, uSent));
    EXPECT_EQ(sBytes.size(), uSent);
  }

  // Up to uCount bytes; fewer when the server closes first or stays silent for uTimeoutMs.
  std::string Receive(size_t uCount, uint32_t uTimeoutMs = 5000) {
    std::string sBytes;
    while (sBytes.size() < uCount) {
      if (platform::WaitForSocket(m_hSocket, platform::eWaitReadable, uTimeoutMs) != 1) break;
      uint8_t au8Buf[4096];
      size_t uWant = std::min(sizeof(au8Buf), uCount - sBytes.size());
      platform::SSocketBuffer buffer{static_cast<uint32_t>(uWant), au8Buf};
      uint32_t uGot = 0;
      if (!platform::ReceiveOnSocket(m_hSocket, &buffer, 1, uGot) || uGot == 0) break;
      sBytes.append(reinterpret_cast<char*>(au8Buf), uGot);
    }
    return sBytes;
  }

  // True when the server has closed the connection (end of stream) within uTimeoutMs.
  bool ServerClosed(uint32_t uTimeoutMs = 5000) {
    if (platform::WaitForSocket(m_hSocket, platform::eWaitReadable, uTimeoutMs) != 1) return false;
    uint8_t u8;
    platform::SSocketBuffer buffer{1, &u8};
    uint32_t uGot = 1;
    return !platform::ReceiveOnSocket(m_hSocket, &buffer, 1, uGot) || uGot == 0;
  }

  void ShutdownSending() { platform::ShutdownSending(m_hSocket); }

  // "ip:port" of this end, as the server's log names the peer.
  std::string LocalAddress() const {
    common::CIPAddrPort addr;
    EXPECT_TRUE(platform::GetSocketLocalAddress(m_hSocket, addr.m_u32IPAddr, addr.m_u16Port));
    return addr.ToString();
  }

 private:
  platform::SocketHandle m_hSocket = platform::sc_InvalidSocket;
};

// The log's lines without their leading UTC time stamps ("2026-01-02T03:04:05Z ").
inline std::string WithoutTimes(const std::string& sLog) {
  const size_t uStampSize = 21;
  std::string sOut;
  for (size_t uStart = 0; uStart < sLog.size();) {
    size_t uEnd = sLog.find('\n', uStart);
    uEnd = uEnd == std::string::npos ? sLog.size() : uEnd + 1;
    if (uEnd - uStart > uStampSize)
      sOut += sLog.substr(uStart + uStampSize, uEnd - uStart - uStampSize);
    uStart = uEnd;
  }
  return sOut;
}

inline std::string U32(uint32_t u) {
  return std::string{static_cast<char>(u >> 24), static_cast<char>(u >> 16),
                     static_cast<char>(u >> 8), static_cast<char>(u)};
}

}  // namespace larchserver
