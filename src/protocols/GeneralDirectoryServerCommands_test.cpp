#include "protocols/GeneralDirectoryServerCommands.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "network/WSABUFWrapper.h"
#include "platform/Process.h"
#include "protocols/ProtocolTestUtil.h"
#include "support/TestUtil.h"

namespace common {
namespace {

using larch_test::ErrorOf;

using larch_test::Bytes;
using larch_test::CScriptedServer;
using larch_test::CServerConnection;
using larch_test::Hex;
using larch_test::LengthPrefixed;
using larch_test::StallingServer;
using larch_test::VersionedServer;

// K = 2: 10.1.2.3:80 and 192.168.0.9:5265.
const std::string sc_sTwoAddresses =
    Bytes({0, 2, 0x0A, 1, 2, 3, 0x50, 0, 192, 168, 0, 9, 0x91, 0x14});

class GeneralDirectoryServer : public ::testing::Test {
 protected:
  void SetUp() override { larch_test::StartSocketsOnce(); }
  std::atomic<bool> m_bAbort{false};
  std::atomic<bool> m_bStalled{false};
};

TEST_F(GeneralDirectoryServer, RefusedServerIsSkippedAndTheThirdNeverContacted) {
  for (int nPolling = 0; nPolling < 2; ++nPolling) {
    std::string sGot, sThird;
    CScriptedServer second({VersionedServer(&sGot, 1, 5, LengthPrefixed(sc_sTwoAddresses))});
    CScriptedServer third({VersionedServer(&sThird, 1, 5, LengthPrefixed(sc_sTwoAddresses))});
    std::vector<CIPAddrPort> vecGds = {larch_test::UnusedLoopbackAddress(), second.Address(),
                                       third.Address()};
    std::vector<CIPAddrPort> vecServers = {CIPAddrPort::FromOctets(1, 1, 1, 1, 1)};
    EXPECT_EQ(2u, GeneralDirectoryServerGetServers(eConfigServer, vecGds, &vecServers,
                                                   nPolling ? &m_bAbort : nullptr,
                                                   nPolling ? &m_bStalled : nullptr));
    ASSERT_EQ(3u, vecServers.size());
    EXPECT_EQ("10.1.2.3:80", vecServers[1].ToString());
    EXPECT_EQ("192.168.0.9:5265", vecServers[2].ToString());
    second.Join();
    EXPECT_EQ("00 00 00 01 00 00 00 01 03 01", Hex(sGot));
    EXPECT_EQ(0u, third.ConnectionsServed());
  }
}

TEST_F(GeneralDirectoryServer, ServerRefusingTheVersionIsSkippedToo) {
  std::string sRefusing, sGot;
  CScriptedServer refusing({VersionedServer(&sRefusing, 0, 0, "")});
  CScriptedServer accepting({VersionedServer(&sGot, 7, 5, LengthPrefixed(Bytes({0, 0})))});
  std::vector<CIPAddrPort> vecServers;
  EXPECT_EQ(0u, GeneralDirectoryServerGetServers(eContentServerDirectoryServer,
                                                 {refusing.Address(), accepting.Address()},
                                                 &vecServers, &m_bAbort, &m_bStalled));
  EXPECT_TRUE(vecServers.empty());
  refusing.Join();
  accepting.Join();
  EXPECT_EQ("00 00 00 01", Hex(sRefusing));
  EXPECT_EQ("00 00 00 01 00 00 00 01 06 01", Hex(sGot));
}

TEST_F(GeneralDirectoryServer, RepliesThatDoNotMatchTheirFields) {
  struct SCase {
    std::string sReply;
    std::string sError;
  } cases[] = {
      {LengthPrefixed(sc_sTwoAddresses + Bytes({0})), "ProtocolError - Message not fully consumed"},
      {LengthPrefixed(sc_sTwoAddresses.substr(0, 8)),
       "ProtocolError - Not enough data for ExtractGap()"},
      {LengthPrefixed(Bytes({0})), "ProtocolError - Not enough data for ExtractNext(u16)"},
      {Bytes({0, 0, 0, 0}), "ProtocolError - Bad message LengthPrefix"},
      {Bytes({0, 0, 1, 1}), "ProtocolError - Bad message LengthPrefix"},
      {Bytes({0, 0, 0, 5, 0, 1}), "Connection Closed by Peer, WinSock Error 0 \"No error\""},
  };
  for (const SCase& c : cases) {
    std::string sGot;
    CScriptedServer server({[&](CServerConnection& conn) {
      sGot = conn.Read(4);
      conn.Write(Bytes({1}));
      sGot += conn.Read(5);
      conn.Write(c.sReply);
      conn.ShutdownSending();
      conn.ReadUntilClosed();
    }});
    std::vector<CIPAddrPort> vecServers;
    EXPECT_EQ(c.sError, ErrorOf([&] {
                GeneralDirectoryServerGetServers(eConfigServer, {server.Address()}, &vecServers,
                                                 nullptr, nullptr);
              }));
    EXPECT_TRUE(vecServers.empty());
  }
}

TEST_F(GeneralDirectoryServer, StallsEndInTheTimeOutOrAfterTheAnswer) {
  larch_test::CShortTimeouts timeouts;
  for (int nPolling = 0; nPolling < 2; ++nPolling) {
    const std::atomic<bool>* pAbort = nPolling ? &m_bAbort : nullptr;
    std::atomic<bool>* pStalled = nPolling ? &m_bStalled : nullptr;
    for (larch_test::EStallStep eStep :
         {larch_test::eStallBeforeAnswer, larch_test::eStallMidReply}) {
      CScriptedServer server({StallingServer(eStep, 5, LengthPrefixed(sc_sTwoAddresses), nullptr)});
      std::vector<CIPAddrPort> vecServers;
      EXPECT_EQ("Timed out after 1 s waiting for " + server.AddressText(), ErrorOf([&] {
                  GeneralDirectoryServerGetServers(eConfigServer, {server.Address()}, &vecServers,
                                                   pAbort, pStalled);
                }));
      EXPECT_TRUE(vecServers.empty());
    }
    larch_test::SHoldOpen hold;
    CScriptedServer server(
        {StallingServer(larch_test::eStallAfterReply, 5, LengthPrefixed(sc_sTwoAddresses), &hold)});
    std::vector<CIPAddrPort> vecServers;
    EXPECT_EQ(2u, GeneralDirectoryServerGetServers(eConfigServer, {server.Address()}, &vecServers,
                                                   pAbort, pStalled));
    hold.bClientReturned = true;
    server.Join();
    EXPECT_TRUE(hold.bReturnedWhileOpen.load());
    EXPECT_EQ(2u, vecServers.size());
  }
}

TEST_F(GeneralDirectoryServer, StalledServersAreFailedOverToTheNextOne) {
  larch_test::CShortTimeouts timeouts;
  std::string sGot;
  const std::string sReply = LengthPrefixed(sc_sTwoAddresses);
  CScriptedServer beforeAnswer(
      {StallingServer(larch_test::eStallBeforeAnswer, 5, sReply, nullptr)});
  CScriptedServer midReply({StallingServer(larch_test::eStallMidReply, 5, sReply, nullptr),
                            StallingServer(larch_test::eStallMidReply, 5, sReply, nullptr)});
  CScriptedServer good(
      {VersionedServer(&sGot, 1, 5, LengthPrefixed(Bytes({0, 1, 10, 0, 0, 7, 0x39, 0x30})))});
  EXPECT_EQ("10.0.0.7:12345", GetMasterAuthenticationServer(
                                  {beforeAnswer.Address(), midReply.Address(), good.Address()})
                                  .ToString());
  good.Join();
  EXPECT_EQ("00 00 00 01 00 00 00 01 00 01", Hex(sGot));
  // With nothing after it, the stalled server's time-out is the error.
  EXPECT_EQ(
      "Timed out after 1 s waiting for " + midReply.AddressText(), ErrorOf([&] {
        GetMasterAuthenticationServer({larch_test::UnusedLoopbackAddress(), midReply.Address()});
      }));
}

TEST_F(GeneralDirectoryServer, MasterAuthenticationServerMustBeExactlyOne) {
  std::string sGot;
  CScriptedServer one(
      {VersionedServer(&sGot, 1, 5, LengthPrefixed(Bytes({0, 1, 10, 0, 0, 7, 0x39, 0x30})))});
  EXPECT_EQ("10.0.0.7:12345", GetMasterAuthenticationServer({one.Address()}).ToString());
  one.Join();
  EXPECT_EQ("00 00 00 01 00 00 00 01 00 01", Hex(sGot));
  CScriptedServer two({VersionedServer(&sGot, 1, 5, LengthPrefixed(sc_sTwoAddresses))});
  EXPECT_EQ("Failed to find Master AuthenticationServer",
            ErrorOf([&] { GetMasterAuthenticationServer({two.Address()}); }));
}

// The error's text, marked when it is a network failure (no server reached).
std::string ErrorAndKind(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const CNetworkException& e) {
    return std::string(e.what()) + " (network)";
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

// None reached is a network failure; a server that answered but refused is not.
TEST_F(GeneralDirectoryServer, NoUsableServer) {
  std::vector<CIPAddrPort> vecServers;
  std::vector<CIPAddrPort> vecGds = {larch_test::UnusedLoopbackAddress()};
  EXPECT_EQ("Failed to connect to any GeneralDirectoryServer (network)", ErrorAndKind([&] {
              GeneralDirectoryServerGetServers(eConfigServer, vecGds, &vecServers, nullptr,
                                               nullptr);
            }));
  std::string sRefusing;
  CScriptedServer refusing({VersionedServer(&sRefusing, 0, 0, "")});
  vecGds.push_back(refusing.Address());
  EXPECT_EQ("Failed to connect to any GeneralDirectoryServer", ErrorAndKind([&] {
              GeneralDirectoryServerGetServers(eConfigServer, vecGds, &vecServers, &m_bAbort,
                                               &m_bStalled);
            }));
  refusing.Join();
  EXPECT_EQ("Failed to connect to any GeneralDirectoryServer", ErrorOf([&] {
              GeneralDirectoryServerGetServers(eConfigServer, {}, &vecServers, nullptr, nullptr);
            }));
  // An abort during the connect step skips every server.
  std::string sGot;
  CScriptedServer silent({[&](CServerConnection& c) { sGot = c.ReadUntilClosed(); }});
  std::thread aborter([this] {
    platform::SleepMilliseconds(50);
    m_bAbort = true;
  });
  EXPECT_EQ("Failed to connect to any GeneralDirectoryServer", ErrorOf([&] {
              GeneralDirectoryServerGetServers(eConfigServer, {silent.Address()}, &vecServers,
                                               &m_bAbort, &m_bStalled);
            }));
  aborter.join();
}

TEST(GeneralDirectoryServerMessages, ServerSideReadsQueryAndBuildsReply) {
  CWSABUFWrapper w(256, 1);
  AppendGeneralDirectoryServerQuery(w, 6);
  platform::SSocketBuffer* p = w.GetWSABUFsForSend();
  std::string sQuery(reinterpret_cast<char*>(p->pData), p->uLength);
  EXPECT_EQ("00 00 00 01 06", Hex(sQuery));
  w.Reset();
  w.PrepareToReceiveLengthPrefixedMsg();
  p = w.GetWSABUFsForReceive();
  std::copy(sQuery.begin(), sQuery.end(), p->pData);
  EXPECT_TRUE(w.ConsumeReceived(5));
  EXPECT_EQ(6, ExtractGeneralDirectoryServerQuery(w));

  std::vector<CIPAddrPort> vecMany(50, CIPAddrPort::FromOctets(10, 0, 0, 1, 80));
  AppendGeneralDirectoryServerReply(w, vecMany);
  p = w.GetWSABUFsForSend();
  EXPECT_EQ(254u, p->uLength - 4);  // the most addresses that the client's buffer holds
  EXPECT_EQ("00 00 00 FE 00 2A 0A 00 00 01 50 00",
            Hex(std::string(reinterpret_cast<char*>(p->pData), 12)));
}

}  // namespace
}  // namespace common
