// Byte-level behaviour of the server that the client commands never show: refused versions,
// malformed requests, silent and trickling clients, floods, offsets, and stopping with
// conversations open.
#include "Server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "ServerTestUtil.h"
#include "platform/FaultInjection.h"
#include "protocols/PublicContentServerCommands.h"
#include "support/MallocedBlock.h"

namespace larchserver {
namespace {

const std::string sc_sAccepted(1, '\x01');
const std::string sc_sRefused(1, '\x00');
const std::string sc_sAPkgAnswer = sc_sAccepted + U32(10) + U32(10) + "0123456789";

// The handshake and the request for a.pkg ("0123456789"); the whole answer.
std::string FetchAPkg(CRawClient& client) {
  client.Send(U32(0));
  std::string sAnswer = client.Receive(1);
  client.Send(U32(14) + std::string(7, '\0') + std::string("\x00\x05", 2) + "a.pkg");
  return sAnswer + client.Receive(18);
}

// A directory question for a server type nobody serves, and its whole answer.
std::string AskForNoServers(CRawClient& client) {
  client.Send(U32(1) + U32(1) + "\x09");
  return client.Receive(7);
}
const std::string sc_sNoServersAnswer = sc_sAccepted + U32(2) + std::string(2, '\0');

uint32_t Loopback(uint8_t u8Last) {
  return common::CIPAddrPort::FromOctets(127, 0, 0, u8Last, 0).m_u32IPAddr;
}

bool WaitForActive(CTestServer& server, size_t uCount) {
  for (int n = 0; n < 500 && server.Server().ActiveConversations() != uCount; ++n) {
    platform::SleepMilliseconds(10);
  }
  return server.Server().ActiveConversations() == uCount;
}

size_t CountOf(const std::string& sText, const std::string& sPart) {
  size_t uCount = 0;
  for (size_t u = sText.find(sPart); u != std::string::npos; u = sText.find(sPart, u + 1)) {
    ++uCount;
  }
  return uCount;
}

std::chrono::milliseconds Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

TEST(Server, EveryRoleRefusesAnotherProtocolVersionAndClosesAfterTheClient) {
  CTestServer server;
  struct {
    ERole eRole;
    uint32_t uWrongVersion;
  } cases[] = {{eGds, 2}, {eCsds, 1}, {eConfig, 1}, {eContent, 7}};
  for (auto& c : cases) {
    CRawClient client(server.Address(c.eRole));
    client.Send(U32(c.uWrongVersion));
    EXPECT_EQ(sc_sRefused, client.Receive(1)) << RoleName(c.eRole);
    client.Send(sc_sAccepted);  // the byte the client sends before it closes
    client.ShutdownSending();
    EXPECT_TRUE(client.ServerClosed()) << RoleName(c.eRole);
    EXPECT_TRUE(server.WaitForLogLine(std::string("role=") + RoleName(c.eRole) +
                                      " request=\"version " + std::to_string(c.uWrongVersion) +
                                      "\" result=\"refused protocol version " +
                                      std::to_string(c.uWrongVersion) + "\" bytes=1 "));
  }
}

TEST(Server, MalformedRequestsEndTheConversation) {
  CTestServer server;
  {
    // A length prefix of 0.
    CRawClient client(server.Address(eGds));
    client.Send(U32(1));
    EXPECT_EQ(sc_sAccepted, client.Receive(1));
    client.Send(U32(0));
    EXPECT_TRUE(client.ServerClosed());
  }
  {
    // A directory request with a byte too many.
    CRawClient client(server.Address(eGds));
    client.Send(U32(1));
    EXPECT_EQ(sc_sAccepted, client.Receive(1));
    client.Send(U32(2) + "\x03\x03");
    EXPECT_TRUE(client.ServerClosed());
  }
  {
    // A configuration command the server does not know.
    CRawClient client(server.Address(eConfig));
    client.Send(U32(0));
    EXPECT_EQ(sc_sAccepted, client.Receive(1));
    client.Send(U32(1) + "\x02");
    EXPECT_TRUE(client.ServerClosed());
  }
  EXPECT_TRUE(server.WaitForLogLine(
      "role=gds request=\"\" result=\"ProtocolError - Bad message LengthPrefix\""));
  EXPECT_TRUE(server.WaitForLogLine(
      "role=gds request=\"\" result=\"ProtocolError - Message not fully consumed\""));
  EXPECT_TRUE(server.WaitForLogLine(
      "role=config request=\"command 2\" result=\"unknown command, connection closed\""));
}

TEST(Server, AHandshakeAloneIsAHealthCheckButAHalfRequestIsNot) {
  CTestServer server;
  {
    CRawClient client(server.Address(eContent));
    client.Send(U32(0));
    EXPECT_EQ(sc_sAccepted, client.Receive(1));
  }
  EXPECT_TRUE(server.WaitForLogLine(
      "role=content request=\"check\" result=\"ok, closed after the handshake\" bytes=1 "));
  {
    CRawClient client(server.Address(eContent));
    client.Send(U32(0));
    EXPECT_EQ(sc_sAccepted, client.Receive(1));
    client.Send(U32(14) + "\x00");
  }
  EXPECT_TRUE(server.WaitForLogLine(
      "role=content request=\"\" result=\"client closed the connection\" bytes=1 "));
}

// Two downloads of 700,000 bytes each at 1 MB/s together cannot be done in under 1.38 s (what
// a pause saves up is 20 ms), however fast the machine; both arrive whole.
TEST(Server, TheRateLimitHoldsAllDownloadsTogetherToIt) {
  SServerOptions options;
  options.limits.uRateLimitMBps = 1;
  CTestServer server(options);
  std::string sContent(700000, '\0');
  for (size_t u = 0; u < sContent.size(); ++u) sContent[u] = static_cast<char>(u * 7 + u / 251);
  WriteTestFile(server.PublishPath("big.pkg"), sContent);
  auto start = std::chrono::steady_clock::now();
  std::string asGot[2];
  std::vector<std::thread> vecThreads;
  for (std::string& sGot : asGot) {
    vecThreads.emplace_back([&] {
      common::CMallocedBlock block(1);
      common::PublicContentServerGetFile(server.Address(eContent), "big.pkg", &block, nullptr,
                                         nullptr, nullptr);
      sGot.assign(reinterpret_cast<const char*>(block.Data()), block.Size());
    });
  }
  for (std::thread& t : vecThreads) t.join();
  EXPECT_GE(Since(start).count(), 1380);
  EXPECT_TRUE(asGot[0] == sContent && asGot[1] == sContent);
}

TEST(Server, ContentFromAnOffsetCarriesTheRestOfTheFile) {
  CTestServer server;
  WriteTestFile(server.PublishPath("a.pkg"), "0123456789");
  CRawClient client(server.Address(eContent));
  client.Send(U32(0));
  EXPECT_EQ(sc_sAccepted, client.Receive(1));
  client.Send(U32(14) + std::string("\x00\x00\x00\x00\x03\x00\x00\x00\x05", 9) + "a.pkg");
  EXPECT_EQ(U32(10) + U32(7) + "3456789", client.Receive(15));
  client.ShutdownSending();
  EXPECT_TRUE(client.ServerClosed());
  EXPECT_TRUE(
      server.WaitForLogLine("role=content request=\"file a.pkg from 3\" result=\"ok\" bytes=16 "));
}

TEST(Server, ASendFailureInTheMiddleOfAFileEndsThatConversationOnly) {
  CTestServer server;
  WriteTestFile(server.PublishPath("a.pkg"), "0123456789");
  auto request = [&](CRawClient& client) {
    client.Send(U32(0));
    EXPECT_EQ(sc_sAccepted, client.Receive(1));
    client.Send(U32(14) + std::string(7, '\0') + std::string("\x00\x05", 2) + "a.pkg");
  };
  {
    platform::InjectFailure("SocketSendFile", 1, 32 /* EPIPE */);
    CRawClient client(server.Address(eContent));
    request(client);
    // The file information went out, the file did not.
    EXPECT_EQ(U32(10) + U32(10), client.Receive(100, 2000));
    EXPECT_TRUE(server.WaitForLogLine(
        "role=content request=\"file a.pkg\" result=\"send failed (Connection reset by peer)\" "
        "bytes=9 "));
  }
  platform::ClearInjectedFailures();
  CRawClient client(server.Address(eContent));
  request(client);
  EXPECT_EQ(U32(10) + U32(10) + "0123456789", client.Receive(18));
}

TEST(Server, TricklingClientsAreCutAtTheDeadlineNotKeptByEachByte) {
  SServerOptions options;
  options.limits.uRequestDeadlineMs = 600;
  options.limits.uIdleTimeoutMs = 1000;
  CTestServer server(options);
  {
    // One byte each 100 ms: the handshake and request (9 bytes) would be in after 900 ms.
    CRawClient client(server.Address(eGds));
    auto start = std::chrono::steady_clock::now();
    const std::string sRequest = U32(1) + U32(1) + "\x03";
    std::string sGot;
    bool bClosed = false;
    for (size_t u = 0; u < sRequest.size() && !bClosed; ++u) {
      client.Send(sRequest.substr(u, 1));
      if (u == 3) sGot = client.Receive(1);
      bClosed = client.ServerClosed(100);
    }
    EXPECT_EQ(sc_sAccepted, sGot);
    EXPECT_TRUE(bClosed);
    EXPECT_GE(Since(start).count(), 500);  // the server's clock starts a moment after ours
    EXPECT_LT(Since(start).count(), 1200);
    EXPECT_TRUE(server.WaitForLogLine(
        "peer=" + client.LocalAddress() +
        " role=gds request=\"\" result=\"timed out: the request took longer than 600 ms\" "
        "bytes=1 ms="));
  }
  {
    // A prompt request, then a close trickled a byte at a time: the request deadline is over,
    // the wait for the close lasts one idle time-out in all.
    CRawClient client(server.Address(eGds));
    EXPECT_EQ(sc_sNoServersAnswer, AskForNoServers(client));
    auto replied = std::chrono::steady_clock::now();
    bool bClosed = false;
    for (int n = 0; n < 30 && !bClosed; ++n) {
      client.Send(sc_sAccepted);
      bClosed = client.ServerClosed(100);
    }
    EXPECT_TRUE(bClosed);
    EXPECT_GE(Since(replied).count(), 900);
    EXPECT_LT(Since(replied).count(), 1600);
    EXPECT_TRUE(server.WaitForLogLine(
        "peer=" + client.LocalAddress() +
        " role=gds request=\"type 9\" result=\"sent 0 address(es), then timed out waiting for "
        "the client\" bytes=7 ms="));
  }
}

TEST(Server, AFloodOfSlowConnectionsFromOneHostLeavesOtherClientsServed) {
  // More connections than the whole conversation cap, all from one address, each stalled after
  // the first byte of its handshake.
  constexpr uint32_t sc_uFlood = 1200;
  constexpr uint32_t sc_uDescriptors = 2 * sc_uFlood + 256;  // both ends, and some to spare
  uint32_t uAllowed = 0;
  if (!platform::RaiseOpenFileLimit(sc_uDescriptors, uAllowed)) {
    GTEST_SKIP() << "this test needs " << sc_uDescriptors
                 << " open descriptors and the system allows " << uAllowed;
  }
  CTestServer server;
  WriteTestFile(server.PublishPath("a.pkg"), "0123456789");
  std::vector<std::unique_ptr<CRawClient>> vecFlood;
  for (uint32_t u = 0; u < sc_uFlood; ++u) {
    vecFlood.emplace_back(new CRawClient(server.Address(eContent), Loopback(2)));
    vecFlood.back()->Send(std::string(1, '\0'));
  }
  auto start = std::chrono::steady_clock::now();
  CRawClient client(server.Address(eContent));
  EXPECT_EQ(sc_sAPkgAnswer, FetchAPkg(client));
  EXPECT_LT(Since(start).count(), 1000);
  client.ShutdownSending();
  EXPECT_TRUE(client.ServerClosed());

  // The flood holds its 64 places; every other connection of it was closed at once.
  const std::string sRefused =
      " role=content request=\"\" result=\"refused: 64 conversations already open from this "
      "address\" bytes=0 ms=0\n";
  std::string sLog;
  for (int n = 0; n < 500 && CountOf(sLog, sRefused) < sc_uFlood - 64; ++n) {
    platform::SleepMilliseconds(10);
    sLog = server.LogText();
  }
  EXPECT_EQ(sc_uFlood - 64, CountOf(sLog, sRefused));
  EXPECT_EQ(sc_uFlood - 64, CountOf(sLog, " peer=127.0.0.2:"));
  EXPECT_TRUE(WaitForActive(server, 64));
}

TEST(Server, AnAddressOverItsCapIsRefusedAtOnceAndAFullRoleQueues) {
  {
    // Per address, all roles together: the 65th connection is refused, another address served.
    CTestServer server;
    WriteTestFile(server.PublishPath("a.pkg"), "0123456789");
    std::vector<std::unique_ptr<CRawClient>> vecHeld;
    for (int n = 0; n < 64; ++n) {
      vecHeld.emplace_back(new CRawClient(server.Address(eGds), Loopback(3)));
    }
    EXPECT_TRUE(WaitForActive(server, 64));
    CRawClient over(server.Address(eConfig), Loopback(3));
    EXPECT_TRUE(over.ServerClosed(1000));
    EXPECT_TRUE(server.WaitForLogLine(
        " peer=" + over.LocalAddress() +
        " role=config request=\"\" result=\"refused: 64 conversations already open from this "
        "address\" bytes=0 ms=0\n"));
    CRawClient client(server.Address(eContent), Loopback(1));
    EXPECT_EQ(sc_sAPkgAnswer, FetchAPkg(client));
  }
  {
    // Per role: a cap of 8 over four roles leaves each role 2; a full role does not stop the
    // others, and its next client waits for a place instead of being turned away.
    SServerOptions options;
    options.limits.uMaxConversations = 8;
    CTestServer server(options);
    WriteTestFile(server.PublishPath("a.pkg"), "0123456789");
    std::vector<std::unique_ptr<CRawClient>> vecHeld;
    for (int n = 0; n < 2; ++n) vecHeld.emplace_back(new CRawClient(server.Address(eContent)));
    EXPECT_TRUE(WaitForActive(server, 2));
    CRawClient waiting(server.Address(eContent));
    {
      CRawClient gds(server.Address(eGds));
      EXPECT_EQ(sc_sNoServersAnswer, AskForNoServers(gds));
    }
    EXPECT_FALSE(waiting.ServerClosed(300));
    EXPECT_EQ(2u, server.Server().ActiveConversations());
    vecHeld.pop_back();
    EXPECT_EQ(sc_sAPkgAnswer, FetchAPkg(waiting));
  }
}

TEST(Server, TheSummaryAtStopCountsEveryEndingOfEveryRole) {
  SServerOptions options;
  options.limits.uMaxPerPeer = 1;
  options.limits.uIdleTimeoutMs = 1500;
  CTestServer server(options);
  WriteTestFile(server.PublishPath("a.pkg"), "0123456789");
  CRawClient silent(server.Address(eCsds), Loopback(4));
  {
    // Held by one conversation, the address has the next refused; then the first client leaves.
    CRawClient held(server.Address(eConfig), Loopback(2));
    EXPECT_TRUE(WaitForActive(server, 2));
    CRawClient over(server.Address(eGds), Loopback(2));
    EXPECT_TRUE(over.ServerClosed());
    EXPECT_TRUE(server.WaitForLogLine("role=gds request=\"\" result=\"refused: "));
  }
  {
    CRawClient malformed(server.Address(eGds), Loopback(5));
    malformed.Send(U32(1));
    EXPECT_EQ(sc_sAccepted, malformed.Receive(1));
    malformed.Send(U32(0));
    EXPECT_TRUE(malformed.ServerClosed());
  }
  {
    CRawClient wrongVersion(server.Address(eConfig), Loopback(6));
    wrongVersion.Send(U32(9));
    EXPECT_EQ(sc_sRefused, wrongVersion.Receive(1));
    wrongVersion.ShutdownSending();
    EXPECT_TRUE(wrongVersion.ServerClosed());
  }
  {
    CRawClient client(server.Address(eContent), Loopback(7));
    EXPECT_EQ(sc_sAPkgAnswer, FetchAPkg(client));
    client.ShutdownSending();
    EXPECT_TRUE(client.ServerClosed());
  }
  EXPECT_TRUE(silent.ServerClosed());
  EXPECT_TRUE(WaitForActive(server, 0));
  server.Server().Stop();
  std::string sLog = WithoutTimes(server.LogText());
  EXPECT_EQ(6u, CountOf(sLog, "peer=")) << sLog;
  EXPECT_EQ(
      "summary gds=2 csds=1 config=2 content=1 ok=1 over-limit=1 bad-request=2 timed-out=1 "
      "failed=1 bytes=21\n",
      sLog.substr(sLog.rfind('\n', sLog.size() - 2) + 1));
}

TEST(Server, SummariesComeAtEachIntervalAndStartAnew) {
  SServerOptions options;
  options.uSummaryIntervalMs = 100;
  CTestServer server(options);
  {
    CRawClient client(server.Address(eGds));
    EXPECT_EQ(sc_sNoServersAnswer, AskForNoServers(client));
    client.ShutdownSending();
    EXPECT_TRUE(client.ServerClosed());
  }
  const std::string sCounted =
      " summary gds=1 csds=0 config=0 content=0 ok=1 over-limit=0 bad-request=0 timed-out=0 "
      "failed=0 bytes=7\n";
  ASSERT_TRUE(server.WaitForLogLine(sCounted));
  const std::string sNothing =
      " summary gds=0 csds=0 config=0 content=0 ok=0 over-limit=0 bad-request=0 timed-out=0 "
      "failed=0 bytes=0\n";
  std::string sLog;
  for (int n = 0; n < 500 && CountOf(sLog, sNothing) == 0; ++n) {
    platform::SleepMilliseconds(10);
    sLog = server.LogText();
    sLog = sLog.substr(sLog.find(sCounted));
  }
  EXPECT_EQ(1u, CountOf(sLog, sCounted)) << sLog;
  EXPECT_EQ(1u, CountOf(sLog, sNothing)) << sLog;
}

TEST(Server, SilentClientsAreDroppedAfterTheIdleTimeOut) {
  SServerOptions options;
  options.limits.uIdleTimeoutMs = 200;
  CTestServer server(options);
  CRawClient client(server.Address(eContent));
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(client.ServerClosed(5000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_TRUE(server.WaitForLogLine(
      "role=content request=\"\" result=\"timed out waiting for the client\""));
}

TEST(Server, StopEndsOpenConversationsAfterTheGracePeriod) {
  SServerOptions options;
  options.limits.uStopGraceMs = 100;
  CTestServer server(options);
  CRawClient client(server.Address(eGds));
  client.Send(U32(1));
  EXPECT_EQ(sc_sAccepted, client.Receive(1));
  for (int n = 0; n < 100 && server.Server().ActiveConversations() == 0; ++n) {
    platform::SleepMilliseconds(10);
  }
  EXPECT_EQ(1u, server.Server().ActiveConversations());
  auto start = std::chrono::steady_clock::now();
  server.Server().Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(0u, server.Server().ActiveConversations());
  EXPECT_TRUE(client.ServerClosed());
  EXPECT_TRUE(server.WaitForLogLine("role=gds request=\"\" result=\"server stopping\""));
}

TEST(Server, StopCutsEvenAFastDownloadShort) {
  SServerOptions options;
  options.limits.uStopGraceMs = 100;
  CTestServer server(options);
  {
    // A sparse gigabyte: quick to make, quick to read.
    platform::CFile file;
    ASSERT_TRUE(file.Open(server.PublishPath("big.pkg"), platform::CFile::eCreate));
    ASSERT_TRUE(file.Truncate(1u << 30));
  }
  CRawClient client(server.Address(eContent));
  client.Send(U32(0));
  EXPECT_EQ(sc_sAccepted, client.Receive(1));
  client.Send(U32(16) + std::string(7, '\0') + std::string("\x00\x07", 2) + "big.pkg");
  uint64_t u64Received = client.Receive(1 << 20).size();
  EXPECT_EQ(1u << 20, u64Received);
  std::thread stopper([&] { server.Server().Stop(); });
  for (std::string sPiece; !(sPiece = client.Receive(1 << 16)).empty();) {
    u64Received += sPiece.size();
  }
  stopper.join();
  EXPECT_LT(u64Received, (1u << 30) + 8u);
  EXPECT_TRUE(
      server.WaitForLogLine("role=content request=\"file big.pkg\" result=\"server stopping\""));
}

TEST(Server, AddressesInUseAreReportedAtStart) {
  CTestServer first;
  larch_test::CScratchDir scratch;
  SServerOptions options;
  options.sPublishDir = scratch.Path();
  options.abServe[eContent] = true;
  options.aListen[eContent] = first.Address(eContent);
  FILE* pLog = std::tmpfile();
  CServerLog log(pLog);
  CServer second(options, log);
  try {
    second.Start();
    ADD_FAILURE() << "started on a port in use";
  } catch (const std::runtime_error& e) {
    std::string sExpected =
        "unable to listen on " + first.Address(eContent).ToString() + " for content: ";
    EXPECT_EQ(sExpected, std::string(e.what()).substr(0, sExpected.size()));
  }
  std::fclose(pLog);
}

}  // namespace
}  // namespace larchserver
