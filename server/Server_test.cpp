// Byte-level behaviour of the server that the client commands never show: refused versions,
// malformed requests, silent clients, offsets, and stopping with conversations open.
#include "Server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ServerTestUtil.h"
#include "platform/FaultInjection.h"

namespace larchserver {
namespace {

const std::string sc_sAccepted(1, '\x01');
const std::string sc_sRefused(1, '\x00');

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

TEST(Server, ClientsBeyondTheLimitWaitTheirTurn) {
  SServerLimits limits;
  limits.uMaxConversations = 2;
  CTestServer server(SServerOptions(), limits);
  WriteTestFile(server.PublishPath("a.pkg"), "0123456789");
  constexpr int sc_nClients = 12;
  std::vector<std::string> vecGot(sc_nClients);
  std::vector<std::thread> threads;
  for (int n = 0; n < sc_nClients; ++n) {
    threads.emplace_back([&, n] {
      CRawClient client(server.Address(eContent));
      client.Send(U32(0));
      vecGot[n] = client.Receive(1);
      client.Send(U32(14) + std::string(7, '\0') + std::string("\x00\x05", 2) + "a.pkg");
      vecGot[n] += client.Receive(18);
      client.ShutdownSending();
      client.ServerClosed();
    });
  }
  for (std::thread& t : threads) t.join();
  for (int n = 0; n < sc_nClients; ++n) {
    EXPECT_EQ(sc_sAccepted + U32(10) + U32(10) + "0123456789", vecGot[n]) << "client " << n;
  }
}

TEST(Server, SilentClientsAreDroppedAfterTheIdleTimeOut) {
  SServerLimits limits;
  limits.uIdleTimeoutMs = 200;
  CTestServer server(SServerOptions(), limits);
  CRawClient client(server.Address(eContent));
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(client.ServerClosed(5000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_TRUE(server.WaitForLogLine(
      "role=content request=\"\" result=\"timed out waiting for the client\""));
}

TEST(Server, StopEndsOpenConversationsAfterTheGracePeriod) {
  SServerLimits limits;
  limits.uStopGraceMs = 100;
  CTestServer server(SServerOptions(), limits);
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
  SServerLimits limits;
  limits.uStopGraceMs = 100;
  CTestServer server(SServerOptions(), limits);
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
