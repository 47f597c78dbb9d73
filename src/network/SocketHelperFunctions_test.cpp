#include "network/SocketHelperFunctions.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "network/NetTestUtil.h"
#include "network/SocketCalls.h"
#include "platform/FaultInjection.h"
#include "platform/Process.h"
#include "support/ErrorCodeException.h"
#include "support/TestUtil.h"

namespace common {
namespace {

using larch_test::ErrorOf;

using larch_test::Bytes;
using larch_test::CScriptedServer;
using larch_test::CServerConnection;
using larch_test::Hex;

class SocketHelpers : public ::testing::Test {
 protected:
  void SetUp() override { larch_test::StartSocketsOnce(); }
  void TearDown() override { platform::ClearInjectedFailures(); }

  std::atomic<bool> m_bAbort{false};
  std::atomic<bool> m_bStalled{true};
};

TEST_F(SocketHelpers, RefusedConnectionsNameTheError) {
  CIPAddrPort addr = larch_test::UnusedLoopbackAddress();
  EXPECT_EQ(
      "Failed to connect to " + addr.ToString() + ", WinSock Error 10061 \"Connection refused\"",
      ErrorOf([&] { CreateSessionSocket(addr); }));
  EXPECT_EQ("Failed to connect, WinSock Error 10061 \"Connection refused\"",
            ErrorOf([&] { Connect(addr, &m_bAbort, &m_bStalled); }));
}

TEST_F(SocketHelpers, ConversationBothWaysInBlockingAndPollingForms) {
  std::string sFirst, sSecond;
  auto script = [](std::string& sGot) {
    return [&sGot](CServerConnection& c) {
      sGot = c.Read(5);
      // A length-prefixed reply in three pieces, then the peer waits for our close.
      c.Write(Bytes({0, 0}));
      platform::SleepMilliseconds(20);
      c.Write(Bytes({0, 3, 0xAA}));
      platform::SleepMilliseconds(20);
      c.Write(Bytes({0xBB, 0xCC}));
      sGot += c.ReadUntilClosed();
    };
  };
  CScriptedServer server({script(sFirst), script(sSecond)});
  for (int nPolling = 0; nPolling < 2; ++nPolling) {
    const std::atomic<bool>* pAbort = nPolling ? &m_bAbort : nullptr;
    std::atomic<bool>* pStalled = nPolling ? &m_bStalled : nullptr;
    CSocketGuard socket(Connect(server.Address(), pAbort, pStalled));
    CWSABUFWrapper w(256, 1);
    w.Append(static_cast<uint32_t>(1));
    w.Append(static_cast<uint8_t>(3));
    Send(w, socket.Get(), pAbort, pStalled);
    EXPECT_FALSE(w.PrepareToReceiveLengthPrefixedMsg());
    Receive(w, socket.Get(), pAbort, pStalled);
    EXPECT_EQ("AA BB CC", Hex(std::string(reinterpret_cast<char*>(w.ExtractGap(3)), 3)));
    w.DoneExtracting();
    w.Reset();
    w.Append(static_cast<uint8_t>(1));
    Send(w, socket.Get(), pAbort, pStalled);
    Shutdown(w, socket.Get(), pAbort, pStalled);
    EXPECT_EQ(nPolling == 0, m_bStalled.load());
  }
  server.Join();
  EXPECT_EQ("00 00 00 01 03 01", Hex(sFirst));
  EXPECT_EQ("00 00 00 01 03 01", Hex(sSecond));
}

TEST_F(SocketHelpers, AbortFlagEndsAWaitingReceive) {
  CScriptedServer server({[](CServerConnection& c) { c.ReadUntilClosed(); }});
  CSocketGuard socket(Connect(server.Address(), &m_bAbort, &m_bStalled));
  CWSABUFWrapper w(256, 1);
  w.PrepareToReceive(4);
  std::thread aborter([this] {
    platform::SleepMilliseconds(100);
    m_bAbort = true;
  });
  EXPECT_EQ("network receive aborted by caller",
            ErrorOf([&] { Receive(w, socket.Get(), &m_bAbort, &m_bStalled); }));
  aborter.join();
  EXPECT_TRUE(m_bStalled.load());
  w.Reset();
  w.Append(static_cast<uint8_t>(1));
  EXPECT_EQ("network send aborted by caller",
            ErrorOf([&] { Send(w, socket.Get(), &m_bAbort, &m_bStalled); }));
}

TEST_F(SocketHelpers, SendToAPeerThatDoesNotReadStallsUntilAborted) {
  std::atomic<bool> bRelease{false};
  CScriptedServer server({[&](CServerConnection& c) {
    while (!bRelease) platform::SleepMilliseconds(5);
    c.ReadUntilClosed();
  }});
  CSocketGuard socket(Connect(server.Address(), &m_bAbort, &m_bStalled));
  CWSABUFWrapper w(256, 1);
  std::string sBig(64 * 1024 * 1024, 'b');  // more than the socket buffers on both sides take
  w.Append(sBig.data(), static_cast<uint32_t>(sBig.size()));
  // Aborts once the send has reported the stall (bounded, so a slow machine cannot hang it).
  std::thread aborter([this] {
    for (int i = 0; i < 4000 && !m_bStalled.load(); ++i) platform::SleepMilliseconds(5);
    m_bAbort = true;
  });
  EXPECT_EQ("network send aborted by caller",
            ErrorOf([&] { Send(w, socket.Get(), &m_bAbort, &m_bStalled); }));
  aborter.join();
  EXPECT_TRUE(m_bStalled.load());
  EXPECT_EQ(CWSABUFWrapper::eDonePartialSend, w.GetState());
  socket.Close();
  bRelease = true;
}

// A connection that is never made nor refused.
bool ConnectInProgress(platform::SocketHandle, uint32_t, uint16_t) {
  platform::SetLastSocketError(10035);
  return false;
}
platform::EConnectProgress StillPending(platform::SocketHandle, uint32_t uTimeoutMs) {
  platform::SleepMilliseconds(uTimeoutMs);
  return platform::eConnectPending;
}

TEST_F(SocketHelpers, AbortFlagEndsAConnectThatNeverCompletes) {
  SSocketCalls calls = PlatformSocketCalls();
  calls.pfnConnect = ConnectInProgress;
  calls.pfnPollConnect = StillPending;
  SetSocketCalls(&calls);
  std::thread aborter([this] {
    platform::SleepMilliseconds(50);
    m_bAbort = true;
  });
  m_bStalled = false;
  EXPECT_EQ("connect aborted", ErrorOf([&] {
              Connect(CIPAddrPort::FromOctets(127, 0, 0, 1, 9), &m_bAbort, &m_bStalled);
            }));
  aborter.join();
  EXPECT_TRUE(m_bStalled.load());
  SetSocketCalls(nullptr);
}

TEST_F(SocketHelpers, ConnectThatNeverCompletesTimesOutInBothForms) {
  larch_test::CShortTimeouts timeouts(500);
  SSocketCalls calls = PlatformSocketCalls();
  calls.pfnConnect = ConnectInProgress;
  calls.pfnPollConnect = StillPending;
  SetSocketCalls(&calls);
  CIPAddrPort addr = CIPAddrPort::FromOctets(127, 0, 0, 1, 9);
  EXPECT_EQ("Timed out after 0.5 s connecting to 127.0.0.1:9",
            ErrorOf([&] { CreateSessionSocket(addr); }));
  EXPECT_EQ("Timed out after 0.5 s connecting to 127.0.0.1:9",
            ErrorOf([&] { Connect(addr, &m_bAbort, &m_bStalled); }));
  SetSocketCalls(nullptr);
}

// The peer answers half of what is due, then neither sends nor reads; the client's close ends
// the script.
TEST_F(SocketHelpers, StalledPeerTimesOutReceiveAndSend) {
  larch_test::CShortTimeouts timeouts;
  auto halfAnswer = [](CServerConnection& c) {
    c.Write(Bytes({7, 7}));
    c.ReadUntilClosed();
  };
  larch_test::SHoldOpen hold;  // reads nothing until the client has given up
  CScriptedServer server({halfAnswer, halfAnswer, [&](CServerConnection&) { hold.Hold(); }});
  const std::string sWaiting = "Timed out after 1 s waiting for " + server.AddressText();
  m_bStalled = false;
  for (int nPolling = 0; nPolling < 2; ++nPolling) {
    const std::atomic<bool>* pAbort = nPolling ? &m_bAbort : nullptr;
    std::atomic<bool>* pStalled = nPolling ? &m_bStalled : nullptr;
    CSocketGuard socket(Connect(server.Address(), pAbort, pStalled));
    CWSABUFWrapper w(256, 1);
    w.PrepareToReceive(4);
    EXPECT_EQ(sWaiting, ErrorOf([&] { Receive(w, socket.Get(), pAbort, pStalled); }));
  }
  EXPECT_TRUE(m_bStalled.load());
  CSocketGuard socket(CreateSessionSocket(server.Address()));
  CWSABUFWrapper w(256, 1);
  std::string sBig(64 * 1024 * 1024, 'b');  // more than the socket buffers on both sides take
  w.Append(sBig.data(), static_cast<uint32_t>(sBig.size()));
  EXPECT_EQ("Timed out after 1 s sending to " + server.AddressText(),
            ErrorOf([&] { DoBlockingSend(socket.Get(), w); }));
  hold.bClientReturned = true;
}

// A peer that stays silent (the blocking form waits for it), and one that keeps sending a byte
// every 5 ms (both forms would read on), neither closing: the close gives up after the limit and
// returns as if the peer had closed.
TEST_F(SocketHelpers, GracefulCloseLeavesAPeerThatNeverClosesQuietly) {
  larch_test::CShortTimeouts timeouts;
  struct SCase {
    bool bTrickle, bPolling;
  } cases[] = {{false, false}, {true, false}, {true, true}};
  for (const SCase& k : cases) {
    larch_test::SHoldOpen hold;
    CScriptedServer server({[&](CServerConnection& c) {
      c.Write(Bytes({1, 2, 3}));
      if (!k.bTrickle) c.ReadUntilClosed();
      for (int i = 0; k.bTrickle && i < 4000 && !hold.bClientReturned; ++i) {
        c.Write(Bytes({4}));
        platform::SleepMilliseconds(5);
      }
      hold.Hold();
    }});
    const std::atomic<bool>* pAbort = k.bPolling ? &m_bAbort : nullptr;
    std::atomic<bool>* pStalled = k.bPolling ? &m_bStalled : nullptr;
    CSocketGuard socket(Connect(server.Address(), pAbort, pStalled));
    CWSABUFWrapper w(256, 1);
    Shutdown(w, socket.Get(), pAbort, pStalled);
    hold.bClientReturned = true;
    server.Join();
    EXPECT_TRUE(hold.bReturnedWhileOpen.load()) << k.bTrickle << k.bPolling;
    EXPECT_EQ(CWSABUFWrapper::eReset, w.GetState());
  }
}

TEST_F(SocketHelpers, PeerClosingEarlyAndGracefulShutdown) {
  std::string sGot;
  CScriptedServer server({[](CServerConnection& c) {
                            c.Write(Bytes({1, 2}));
                          },
                          [&sGot](CServerConnection& c) {
                            sGot = c.ReadUntilClosed();
                            c.Write(std::string(1000, 'z'));  // discarded by the closing client
                          },
                          [](CServerConnection& c) {
                            c.Write(std::string(300, 'y'));
                            c.ReadUntilClosed();
                          }});
  {
    CSocketGuard socket(CreateSessionSocket(server.Address()));
    CWSABUFWrapper w(256, 1);
    w.PrepareToReceive(3);
    EXPECT_EQ("Connection Closed by Peer, WinSock Error 0 \"No error\"",
              ErrorOf([&] { Receive(w, socket.Get(), nullptr, nullptr); }));
  }
  {
    CSocketGuard socket(CreateSessionSocket(server.Address()));
    CWSABUFWrapper w(256, 1);
    w.Append("bye", 3);
    DoBlockingSend(socket.Get(), w);
    DoBlockingConnectionShutdown(w, socket.Get());
    EXPECT_EQ(CWSABUFWrapper::eReset, w.GetState());
  }
  {
    CSocketGuard socket(Connect(server.Address(), &m_bAbort, &m_bStalled));
    platform::SleepMilliseconds(100);  // the server's bytes have arrived
    CWSABUFWrapper w(256, 1);
    m_bAbort = true;
    EXPECT_EQ("network connection shutdown aborted by caller",
              ErrorOf([&] { Shutdown(w, socket.Get(), &m_bAbort, &m_bStalled); }));
  }
  server.Join();
  EXPECT_EQ("bye", sGot);
}

TEST_F(SocketHelpers, FailingSocketCallsHaveTheSystemsTexts) {
  // Injected failures hold for every thread: the server makes no socket call while they apply.
  // Its one byte lets the receives find the socket readable.
  std::atomic<bool> bAccepted{false}, bRelease{false};
  CScriptedServer server({[&](CServerConnection& c) {
    c.Write(Bytes({5}));
    bAccepted = true;
    while (!bRelease) platform::SleepMilliseconds(5);
  }});
  CSocketGuard socket(CreateSessionSocket(server.Address()));
  while (!bAccepted) platform::SleepMilliseconds(5);

  platform::InjectFailure("SocketCreate", 2, 10024);
  EXPECT_EQ(
      "WSASocket() failed to create session socket, with error , WinSock Error 10024 \"Too "
      "many open sockets\"",
      ErrorOf([&] { CreateSessionSocket(server.Address()); }));
  EXPECT_EQ(
      "WSASocket() failed to create session socket, with error , WinSock Error 10024 \"Too "
      "many open sockets\"",
      ErrorOf([&] { Connect(server.Address(), nullptr, &m_bStalled); }));
  platform::InjectFailure("SocketNonBlocking", 1, 10022);
  EXPECT_EQ("Failed to set socket to non-blocking, WinSock Error 10022 \"Invalid argument\"",
            ErrorOf([&] { Connect(server.Address(), &m_bAbort, nullptr); }));
  platform::InjectFailure("SocketPoll", 1, 10038);
  try {
    Connect(server.Address(), &m_bAbort, &m_bStalled);
    ADD_FAILURE() << "no exception";
  } catch (const CErrorCodeException& e) {
    EXPECT_EQ(CErrorCodeException::eWin32, e.Kind());
    EXPECT_EQ(10038u, e.Code());
    EXPECT_EQ("select failed:, Win32 Error 10038 \"", std::string(e.what()).substr(0, 35));
  }

  CWSABUFWrapper w(256, 1);
  w.Append(static_cast<uint8_t>(1));
  platform::InjectFailure("SocketSend", 2, 10054);
  EXPECT_EQ("Send Failure, WinSock Error 10054 \"Connection reset by peer\"",
            ErrorOf([&] { Send(w, socket.Get(), nullptr, nullptr); }));
  EXPECT_EQ("Send Failure, WinSock Error 10054 \"Connection reset by peer\"",
            ErrorOf([&] { Send(w, socket.Get(), &m_bAbort, &m_bStalled); }));
  w.Reset();
  w.PrepareToReceive(1);
  platform::InjectFailure("SocketReceive", 1, 10053);
  EXPECT_EQ("Receive Failure, WinSock Error 10053 \"Software caused connection abort\"",
            ErrorOf([&] { Receive(w, socket.Get(), nullptr, nullptr); }));
  platform::InjectFailure("SocketShutdown", 1, 10054);
  EXPECT_EQ(
      "DoBlockingConnectionShutdown() : shutdown() failed with error Connection reset by peer",
      ErrorOf([&] { DoBlockingConnectionShutdown(w, socket.Get()); }));
  platform::InjectFailure("SocketReceive", 1, 10054);
  EXPECT_EQ("DoBlockingConnectionShutdown() : WSARecv() failed with error Connection reset by peer",
            ErrorOf([&] { DoBlockingConnectionShutdown(w, socket.Get()); }));
  platform::ClearInjectedFailures();
  bRelease = true;
}

// A socket that takes the request but reports moving nothing.
bool SendNothing(platform::SocketHandle, const platform::SSocketBuffer*, uint32_t,
                 uint32_t& uTransferred) {
  uTransferred = 0;
  platform::SetLastSocketError(0);
  return true;
}

TEST_F(SocketHelpers, ZeroByteSendIsAnError) {
  SSocketCalls calls = PlatformSocketCalls();
  calls.pfnSend = SendNothing;
  SetSocketCalls(&calls);
  CWSABUFWrapper w(256, 1);
  w.Append(static_cast<uint8_t>(1));
  EXPECT_EQ(
      "DoBlockingSend() : WSASend() succeeded but transferred 0 bytes., WinSock Error 0 "
      "\"No error\"",
      ErrorOf([&] { DoBlockingSend(0, w); }));
  SetSocketCalls(nullptr);
}

TEST_F(SocketHelpers, PollingSendAndReceiveNeedBothFlags) {
  larch_test::CCheckRecorder recorder;
  CScriptedServer server({[](CServerConnection& c) {
    c.Read(1);
    c.Write(Bytes({9}));
    c.ReadUntilClosed();
  }});
  CSocketGuard socket(Connect(server.Address(), &m_bAbort, nullptr));
  CWSABUFWrapper w(256, 1);
  w.Append(static_cast<uint8_t>(1));
  Send(w, socket.Get(), &m_bAbort, nullptr);
  w.PrepareToReceive(1);
  Receive(w, socket.Get(), nullptr, &m_bStalled);
  EXPECT_EQ((std::vector<std::string>{"AssertPreCondition:NonNullStalledIndicatorPtr",
                                      "AssertPreCondition:NonNullAbortFlagPtr"}),
            recorder.m_vecChecks);
}

}  // namespace
}  // namespace common
