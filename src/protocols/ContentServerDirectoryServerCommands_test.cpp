#include "protocols/ContentServerDirectoryServerCommands.h"

#include <gtest/gtest.h>

#include "protocols/ContentServerDirectoryServerProtocol.h"
#include "protocols/ProtocolTestUtil.h"
#include "support/TestUtil.h"

namespace common {
namespace {

using larch_test::ErrorOf;

using larch_test::Bytes;
using larch_test::CScriptedServer;
using larch_test::Hex;
using larch_test::LengthPrefixed;
using larch_test::StallingServer;
using larch_test::VersionedServer;

std::string Entry(const std::string& sAddress) {
  return Bytes({9, 9, 9, 9}) + sAddress + Bytes({8, 8, 8, 8, 8, 8});
}

class ContentServerDirectoryServer : public ::testing::Test {
 protected:
  void SetUp() override { larch_test::StartSocketsOnce(); }
  std::atomic<bool> m_bAbort{false};
  std::atomic<bool> m_bStalled{false};
};

TEST_F(ContentServerDirectoryServer, QueryBytesAndReplyEntries) {
  std::string sGot;
  std::string sReply =
      Bytes({0, 2}) + Entry(Bytes({10, 1, 2, 3, 0x50, 0})) + Entry(Bytes({10, 1, 2, 4, 0x51, 0}));
  CScriptedServer server({VersionedServer(&sGot, 1, 25, LengthPrefixed(sReply))});
  std::vector<CIPAddrPort> vecServers;
  EXPECT_EQ(2u, ContentServerDirectoryServerGetContentServers(server.Address(), &vecServers, 3,
                                                              0x01020304, &m_bAbort, &m_bStalled));
  ASSERT_EQ(2u, vecServers.size());
  EXPECT_EQ("10.1.2.3:80", vecServers[0].ToString());
  EXPECT_EQ("10.1.2.4:81", vecServers[1].ToString());
  server.Join();
  // This host's address goes last octet first.
  uint8_t au8[4];
  CIPAddrPort(GetIPAddrFromString(""), 0).GetOctets(au8);
  EXPECT_EQ("00 00 00 02 00 00 00 15 00 00 00 00 00 00 00 00 00 00 00 00 03 01 02 03 04 " +
                Hex(Bytes({au8[3], au8[2], au8[1], au8[0]})),
            Hex(sGot));
  EXPECT_FALSE(m_bStalled.load());
}

TEST_F(ContentServerDirectoryServer, RefusalsAndBadCounts) {
  std::string sGot;
  CScriptedServer refusing({VersionedServer(&sGot, 0, 0, "")});
  std::vector<CIPAddrPort> vecServers;
  EXPECT_EQ("Protocol version not supported by CSDS", ErrorOf([&] {
              ContentServerDirectoryServerGetContentServers(refusing.Address(), &vecServers, 3, 0,
                                                            nullptr, nullptr);
            }));
  std::string sFour = Bytes({0, 4});
  for (int i = 0; i < 4; ++i) sFour += Entry(Bytes({10, 0, 0, 1, 0, 1}));
  CScriptedServer tooMany({VersionedServer(&sGot, 1, 25, LengthPrefixed(sFour))});
  EXPECT_EQ("Bad NumOfContentServers from CSDS", ErrorOf([&] {
              ContentServerDirectoryServerGetContentServers(tooMany.Address(), &vecServers, 3, 0,
                                                            nullptr, nullptr);
            }));
  CScriptedServer longer({VersionedServer(
      &sGot, 1, 25, LengthPrefixed(Bytes({0, 1}) + Entry(Bytes({10, 0, 0, 1, 0, 1})) + "x"))});
  EXPECT_EQ("ProtocolError - Message not fully consumed", ErrorOf([&] {
              ContentServerDirectoryServerGetContentServers(longer.Address(), &vecServers, 3, 0,
                                                            &m_bAbort, &m_bStalled);
            }));
  EXPECT_TRUE(vecServers.empty());
  CScriptedServer empty({VersionedServer(&sGot, 1, 25, LengthPrefixed(Bytes({0, 0})))});
  EXPECT_EQ(0u, ContentServerDirectoryServerGetContentServers(empty.Address(), &vecServers, 3, 0,
                                                              nullptr, nullptr));
}

TEST_F(ContentServerDirectoryServer, StallsEndInTheTimeOutOrAfterTheAnswer) {
  larch_test::CShortTimeouts timeouts;
  const std::string sReply = LengthPrefixed(Bytes({0, 1}) + Entry(Bytes({10, 0, 0, 1, 0, 1})));
  for (int nPolling = 0; nPolling < 2; ++nPolling) {
    const std::atomic<bool>* pAbort = nPolling ? &m_bAbort : nullptr;
    std::atomic<bool>* pStalled = nPolling ? &m_bStalled : nullptr;
    std::vector<CIPAddrPort> vecServers;
    for (larch_test::EStallStep eStep :
         {larch_test::eStallBeforeAnswer, larch_test::eStallMidReply}) {
      CScriptedServer server({StallingServer(eStep, 25, sReply, nullptr)});
      EXPECT_EQ("Timed out after 1 s waiting for " + server.AddressText(), ErrorOf([&] {
                  ContentServerDirectoryServerGetContentServers(server.Address(), &vecServers, 3, 0,
                                                                pAbort, pStalled);
                }));
    }
    larch_test::SHoldOpen hold;
    CScriptedServer server({StallingServer(larch_test::eStallAfterReply, 25, sReply, &hold)});
    EXPECT_EQ(1u, ContentServerDirectoryServerGetContentServers(server.Address(), &vecServers, 3, 0,
                                                                pAbort, pStalled));
    hold.bClientReturned = true;
    server.Join();
    EXPECT_TRUE(hold.bReturnedWhileOpen.load());
    ASSERT_EQ(1u, vecServers.size());
    EXPECT_EQ("10.0.0.1:256", vecServers[0].ToString());
  }
}

TEST(ContentServerDirectoryServerMessages, ServerSideRoundTrip) {
  CWSABUFWrapper w(256, 1);
  SContentServerQuery query;
  query.u16MaxContentServers = 3;
  query.u32CallerValue = 77;
  query.u32ClientIPAddr = CIPAddrPort::FromOctets(192, 168, 1, 2, 0).m_u32IPAddr;
  AppendContentServerQuery(w, query);
  platform::SSocketBuffer* p = w.GetWSABUFsForSend();
  std::string sBytes(reinterpret_cast<char*>(p->pData), p->uLength);
  EXPECT_EQ("00 00 00 15 00 00 00 00 00 00 00 00 00 00 00 00 03 00 00 00 4D 02 01 A8 C0",
            Hex(sBytes));
  w.Reset();
  w.PrepareToReceiveLengthPrefixedMsg();
  p = w.GetWSABUFsForReceive();
  std::copy(sBytes.begin(), sBytes.end(), p->pData);
  ASSERT_TRUE(w.ConsumeReceived(static_cast<uint32_t>(sBytes.size())));
  SContentServerQuery back = ExtractContentServerQuery(w);
  EXPECT_EQ(3, back.u16MaxContentServers);
  EXPECT_EQ(77u, back.u32CallerValue);
  EXPECT_EQ(query.u32ClientIPAddr, back.u32ClientIPAddr);

  AppendContentServerReply(w, std::vector<CIPAddrPort>(5, CIPAddrPort::FromOctets(10, 0, 0, 1, 80)),
                           3);
  p = w.GetWSABUFsForSend();
  EXPECT_EQ("00 00 00 32 00 03 00 00 00 00 0A 00 00 01 50 00 00 00 00 00 00 00",
            Hex(std::string(reinterpret_cast<char*>(p->pData), 22)));
}

}  // namespace
}  // namespace common
