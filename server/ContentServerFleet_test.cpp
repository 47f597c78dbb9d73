// The fleet's turns by weight, its health check against real and broken servers, and a content
// server dying and coming back under a directory server that gives the fleet out.
#include "ContentServerFleet.h"

#include <gtest/gtest.h>

#include <memory>

#include "ServerTestUtil.h"
#include "protocols/ContentServerDirectoryServerCommands.h"

namespace larchserver {
namespace {

using common::CIPAddrPort;

CIPAddrPort Loopback(uint16_t u16Port) {
  return CIPAddrPort::FromOctets(127, 0, 0, 1, u16Port);
}

std::vector<CIPAddrPort> AskContentServers(const CIPAddrPort& csds) {
  std::vector<CIPAddrPort> vec;
  common::ContentServerDirectoryServerGetContentServers(csds, &vec, 3, 0, nullptr, nullptr);
  return vec;
}

// A loopback port that nothing listens on any more.
uint16_t ClosedPort() {
  common::CTcpListener listener(Loopback(0));
  return listener.LocalAddress().m_u16Port;
}

TEST(ContentServerFleet, AnswersTakeTurnsByWeightAndHoldDistinctServers) {
  FILE* pLogFile = std::tmpfile();
  CServerLog log(pLogFile);
  const CIPAddrPort a = Loopback(1), b = Loopback(2), c = Loopback(3);
  CContentServerFleet fleet({{a, 3}, {b, 1}, {c, 1}}, 1000, log,
                            [](const CIPAddrPort&, uint32_t, std::string&) { return true; });
  std::vector<std::vector<CIPAddrPort>> vecAnswers;
  for (int n = 0; n < 5; ++n) vecAnswers.push_back(fleet.Choose(3));
  EXPECT_EQ((std::vector<std::vector<CIPAddrPort>>{
                {a, b, c}, {b, c, a}, {a, b, c}, {c, a, b}, {a, b, c}}),
            vecAnswers);
  EXPECT_EQ((std::vector<CIPAddrPort>{a, b}), fleet.Choose(2));  // the turn starts again
  std::fclose(pLogFile);
}

TEST(ContentServerFleet, TheCheckTellsAContentServerFromDeadSilentAndOtherServers) {
  CTestServer server;
  std::string sWhy;
  EXPECT_TRUE(CheckContentServer(server.Address(eContent), 1000, sWhy)) << sWhy;
  EXPECT_TRUE(
      server.WaitForLogLine("role=content request=\"check\" result=\"ok, closed after "
                            "the handshake\" bytes=1 "));
  EXPECT_FALSE(CheckContentServer(server.Address(eGds), 1000, sWhy));
  EXPECT_EQ("refused the handshake", sWhy);
  EXPECT_FALSE(CheckContentServer(Loopback(ClosedPort()), 1000, sWhy));
  EXPECT_EQ("connect failed (Connection refused)", sWhy);
  common::CTcpListener silent(Loopback(0));  // connections wait in its queue, never answered
  EXPECT_FALSE(CheckContentServer(silent.LocalAddress(), 200, sWhy));
  EXPECT_EQ("no answer to the handshake", sWhy);
}

TEST(ContentServerFleet, ADeadServerLeavesTheAnswersAndComesBackWhenItAnswers) {
  CTestServer one;
  std::unique_ptr<CTestServer> pTwo(new CTestServer);
  const CIPAddrPort addrOne = one.Address(eContent), addrTwo = pTwo->Address(eContent);
  SServerOptions options;
  options.vecContentServers = {{addrOne, 1}, {addrTwo, 1}};
  options.uCheckIntervalMs = 1000;
  CTestServer directory(options);
  const CIPAddrPort csds = directory.Address(eCsds);
  EXPECT_EQ((std::vector<CIPAddrPort>{addrOne, addrTwo}), AskContentServers(csds));
  EXPECT_EQ((std::vector<CIPAddrPort>{addrTwo, addrOne}), AskContentServers(csds));

  pTwo.reset();
  ASSERT_TRUE(directory.WaitForLogLine("content server " + addrTwo.ToString() +
                                       " is down: connect failed (Connection refused)"));
  for (int n = 0; n < 3; ++n) EXPECT_EQ(std::vector<CIPAddrPort>{addrOne}, AskContentServers(csds));

  // The same address served again.
  SServerOptions again;
  again.sPublishDir = one.Publish();
  again.abServe[eContent] = true;
  again.aListen[eContent] = addrTwo;
  FILE* pLogFile = std::tmpfile();
  CServerLog log(pLogFile);
  {
    CServer back(again, log);
    back.Start();
    ASSERT_TRUE(directory.WaitForLogLine("content server " + addrTwo.ToString() + " is up again"));
    std::vector<CIPAddrPort> vecFirsts;
    for (int n = 0; n < 2; ++n) vecFirsts.push_back(AskContentServers(csds).at(0));
    std::sort(vecFirsts.begin(), vecFirsts.end(),
              [](const CIPAddrPort& x, const CIPAddrPort& y) { return x.m_u16Port < y.m_u16Port; });
    std::vector<CIPAddrPort> vecBoth{addrOne, addrTwo};
    std::sort(vecBoth.begin(), vecBoth.end(),
              [](const CIPAddrPort& x, const CIPAddrPort& y) { return x.m_u16Port < y.m_u16Port; });
    EXPECT_EQ(vecBoth, vecFirsts);
  }
  std::fclose(pLogFile);
}

}  // namespace
}  // namespace larchserver
