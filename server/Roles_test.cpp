// Every role against the bootstrapper's own client commands, on loopback.
#include "Roles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <thread>

#include "PublishLayout.h"
#include "ServerTestUtil.h"
#include "protocols/ConfigServerCommands.h"
#include "protocols/ContentServerDirectoryServerCommands.h"
#include "protocols/ContentServerDirectoryServerProtocol.h"
#include "protocols/GeneralDirectoryServerCommands.h"
#include "protocols/PublicContentServerCommands.h"
#include "support/ErrorCodeException.h"
#include "support/MallocedBlock.h"

namespace larchserver {
namespace {

using common::CIPAddrPort;

CIPAddrPort Addr(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t u16Port) {
  return CIPAddrPort::FromOctets(a, b, c, d, u16Port);
}

std::vector<CIPAddrPort> AskDirectory(CTestServer& server, uint8_t u8Type) {
  std::vector<CIPAddrPort> vec;
  EXPECT_EQ(vec.size(), 0u);
  uint32_t uCount = common::GeneralDirectoryServerGetServers(u8Type, {server.Address(eGds)}, &vec,
                                                             nullptr, nullptr);
  EXPECT_EQ(uCount, vec.size());
  return vec;
}

std::vector<CIPAddrPort> AskContentServers(CTestServer& server, uint16_t u16Max) {
  std::vector<CIPAddrPort> vec;
  std::atomic<bool> bAbort{false}, bStalled{false};
  uint32_t uCount = common::ContentServerDirectoryServerGetContentServers(
      server.Address(eCsds), &vec, u16Max, 0, &bAbort, &bStalled);
  EXPECT_EQ(uCount, vec.size());
  return vec;
}

std::string RandomBytes(size_t uSize, unsigned uSeed) {
  std::mt19937 gen(uSeed);
  std::string s(uSize, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

std::string Fetch(const CIPAddrPort& content, const std::string& sName, bool bPolling = false) {
  common::CMallocedBlock block(1);
  std::atomic<bool> bAbort{false}, bStalled{false};
  std::vector<int> vecProgress;
  if (bPolling) {
    common::PublicContentServerGetFile(
        content, sName, &block, [&](int n) { vecProgress.push_back(n); }, &bAbort, &bStalled);
  } else {
    common::PublicContentServerGetFile(content, sName, &block, nullptr, nullptr, nullptr);
  }
  return std::string(reinterpret_cast<const char*>(block.Data()), block.Size());
}

std::string FetchError(const CIPAddrPort& content, const std::string& sName) {
  try {
    Fetch(content, sName);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

void WriteRecord(const std::string& sPath, uint32_t uBootstrap, uint32_t uClient) {
  Weft::CClientConfigRecord record(sc_uRecordLayoutVersion, uBootstrap, uClient);
  common::CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
  const uint8_t* pImage = record.GetSerializedBlob(&uSize);
  WriteTestFile(sPath + ".tmp", std::string(reinterpret_cast<const char*>(pImage), uSize));
  ASSERT_TRUE(platform::RenameFile(sPath + ".tmp", sPath));
}

TEST(Roles, TheDirectoryGivesOutTheRolesOfThisProcessByDefault) {
  CTestServer server;
  EXPECT_EQ(std::vector<CIPAddrPort>({server.Address(eCsds)}), AskDirectory(server, 6));
  EXPECT_EQ(std::vector<CIPAddrPort>({server.Address(eConfig)}), AskDirectory(server, 3));
  EXPECT_EQ(std::vector<CIPAddrPort>(), AskDirectory(server, 2));
  EXPECT_EQ(std::vector<CIPAddrPort>(), AskDirectory(server, 0));
  try {
    common::GetMasterAuthenticationServer({server.Address(eGds)});
    ADD_FAILURE() << "a master authentication server without one configured";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ("Failed to find Master AuthenticationServer", e.what());
  }
  EXPECT_EQ(std::vector<CIPAddrPort>({server.Address(eContent)}), AskContentServers(server, 3));
  EXPECT_TRUE(
      server.WaitForLogLine("role=gds request=\"type 6\" result=\"ok, 1 address(es)\" bytes=13 "));
  EXPECT_TRUE(server.WaitForLogLine(
      "role=csds request=\"max 3\" result=\"ok, 1 content server(s)\" bytes=23 "));
}

TEST(Roles, AdvertisedServersTakeThePlaceOfTheOwnRoles) {
  SServerOptions options;
  options.vecAuth = {Addr(10, 0, 0, 9, 7000)};
  options.vecAdvertiseConfig = {Addr(10, 0, 1, 1, 1), Addr(10, 0, 1, 2, 2)};
  options.vecAdvertiseCsds = {Addr(10, 0, 2, 1, 3)};
  for (uint8_t u = 1; u <= 5; ++u) options.vecAdvertiseContent.push_back(Addr(10, 0, 3, u, u));
  CTestServer server(options);
  EXPECT_EQ(Addr(10, 0, 0, 9, 7000), common::GetMasterAuthenticationServer({server.Address(eGds)}));
  EXPECT_EQ(options.vecAdvertiseConfig, AskDirectory(server, 3));
  EXPECT_EQ(options.vecAdvertiseCsds, AskDirectory(server, 6));
  EXPECT_EQ(std::vector<CIPAddrPort>(options.vecAdvertiseContent.begin(),
                                     options.vecAdvertiseContent.begin() + 3),
            AskContentServers(server, 3));
  EXPECT_EQ(std::vector<CIPAddrPort>({options.vecAdvertiseContent[0]}),
            AskContentServers(server, 1));
}

TEST(Roles, LongListsAreCutToWhatTheClientCanReceive) {
  // A reply longer than the client's 256-byte message buffer would fail on the client.
  SServerOptions options;
  for (uint16_t u = 1; u <= 60; ++u) options.vecAdvertiseConfig.push_back(Addr(10, 1, 0, 1, u));
  for (uint16_t u = 1; u <= 20; ++u) options.vecAdvertiseContent.push_back(Addr(10, 2, 0, 1, u));
  CTestServer server(options);
  std::vector<CIPAddrPort> vec = AskDirectory(server, 3);
  ASSERT_EQ(common::sc_uMaxAddressesPerGeneralDirectoryServerReply, vec.size());
  EXPECT_EQ(options.vecAdvertiseConfig[41], vec[41]);
  EXPECT_EQ(common::sc_uMaxContentServersPerReply, AskContentServers(server, 100).size());
}

TEST(Roles, TheConfigurationServerServesThePublishedRecordFromTheNextRequestOn) {
  CTestServer server;
  std::string sRecord = server.PublishPath(sc_szClientConfigRecordFile);
  std::string sClosed = "Connection Closed by Peer";
  try {
    common::ConfigServerGetClientConfigRecord(server.Address(eConfig));
    ADD_FAILURE() << "a record from an empty publish directory";
  } catch (const std::exception& e) {
    EXPECT_EQ(sClosed, std::string(e.what()).substr(0, sClosed.size()));
  }
  EXPECT_TRUE(server.WaitForLogLine(
      "role=config request=\"command 1\" result=\"no ClientConfigRecord.blob in the publish "
      "directory, connection closed\" bytes=1 "));

  WriteRecord(sRecord, 12, 3);
  auto pRecord = common::ConfigServerGetClientConfigRecord(server.Address(eConfig));
  EXPECT_EQ(12u, pRecord->GetCurrentClientBootstrapVersion());
  EXPECT_EQ(3u, pRecord->GetCurrentClientAppPackageVersion());
  WriteRecord(sRecord, 13, 4);
  pRecord = common::ConfigServerGetClientConfigRecord(server.Address(eConfig));
  EXPECT_EQ(13u, pRecord->GetCurrentClientBootstrapVersion());
  EXPECT_EQ(4u, pRecord->GetCurrentClientAppPackageVersion());
  EXPECT_TRUE(server.WaitForLogLine(
      "role=config request=\"command 1\" result=\"ok, bootstrapper 13, client 4\""));

  // A record the bootstrapper would refuse is not served.
  Weft::CClientConfigRecord partial(1, 2, 3);
  partial.RemoveField(common::CMultiFieldBlob::CFieldName(2u));
  common::CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
  const uint8_t* pImage = partial.common::CMultiFieldBlob::GetSerializedBlob(&uSize);
  WriteTestFile(sRecord, std::string(reinterpret_cast<const char*>(pImage), uSize));
  EXPECT_THROW(common::ConfigServerGetClientConfigRecord(server.Address(eConfig)),
               common::CNetworkException);
  EXPECT_TRUE(server.WaitForLogLine(
      "result=\"ClientConfigRecord.blob: Missing field in CClientConfigRecord, connection "
      "closed\""));
}

TEST(Roles, TheContentServerServesFilesByNameWithTheirExactBytes) {
  CTestServer server;
  std::string sBytes = RandomBytes(70000, 1);
  WriteTestFile(server.PublishPath("Weft_3.pkg"), sBytes);
  WriteTestFile(server.PublishPath("one.pkg"), "x");
  EXPECT_EQ(sBytes, Fetch(server.Address(eContent), "Weft_3.pkg"));
  EXPECT_EQ(sBytes, Fetch(server.Address(eContent), "Weft_3.pkg", true));
  EXPECT_EQ("x", Fetch(server.Address(eContent), "one.pkg"));
  EXPECT_EQ("PublicContentServer: Requested file does not exist",
            FetchError(server.Address(eContent), "Weft_4.pkg"));
  EXPECT_TRUE(server.WaitForLogLine(
      "role=content request=\"file Weft_4.pkg\" result=\"no such file, connection closed\""));
  // An empty file has no valid answer in the protocol; the client says so.
  WriteTestFile(server.PublishPath("empty.pkg"), "");
  EXPECT_EQ("PublicContentServer: invalid file length (0)",
            FetchError(server.Address(eContent), "empty.pkg"));
}

TEST(Roles, NamesLeadingOutOfThePublishDirectoryAreAnsweredLikeMissingFiles) {
  CTestServer server;
  std::string sSecret = server.Scratch() / "secret.pkg";
  WriteTestFile(sSecret, "not to be served");
  platform::MakeDirectory(server.PublishPath("sub"));
  WriteTestFile(server.PublishPath("sub/b.pkg"), "in a subdirectory");
  std::filesystem::create_symlink(sSecret, server.PublishPath("link.pkg"));
  for (const std::string& sName :
       {std::string("../secret.pkg"), std::string(".."), std::string("sub"),
        std::string("sub/b.pkg"), std::string("sub\\b.pkg"), std::string("C:secret.pkg"), sSecret,
        std::string("/etc/passwd"), std::string("link.pkg"), std::string("..\\secret.pkg"),
        std::string("sub/../../secret.pkg")}) {
    EXPECT_EQ("PublicContentServer: Requested file does not exist",
              FetchError(server.Address(eContent), sName))
        << sName;
  }
  EXPECT_TRUE(server.WaitForLogLine(
      "role=content request=\"file ../secret.pkg\" result=\"refused name, connection closed\""));
  EXPECT_TRUE(server.WaitForLogLine(
      "role=content request=\"file link.pkg\" result=\"no such file, connection closed\""));
}

TEST(Roles, TwoHundredConcurrentDownloadsAreAllByteIdentical) {
  constexpr int sc_nClients = 200;
  // They all come from 127.0.0.1: the per-address cap must not be what is tested here.
  SServerOptions options;
  options.limits.uMaxPerPeer = sc_nClients;
  CTestServer server(options);
  const std::string sBytes = RandomBytes(1 << 20, 2);
  WriteTestFile(server.PublishPath("Weft_7.pkg"), sBytes);
  std::atomic<int> nReady{0}, nIdentical{0};
  std::atomic<bool> bGo{false};
  std::vector<std::string> vecErrors(sc_nClients);
  std::vector<std::thread> threads;
  for (int n = 0; n < sc_nClients; ++n) {
    threads.emplace_back([&, n] {
      ++nReady;
      while (!bGo.load()) std::this_thread::yield();
      try {
        // A few clients use the polling form the bootstrapper uses, the rest block.
        if (Fetch(server.Address(eContent), "Weft_7.pkg", n % 20 == 0) == sBytes) ++nIdentical;
      } catch (const std::exception& e) {
        vecErrors[n] = e.what();
      }
    });
  }
  while (nReady.load() < sc_nClients) std::this_thread::yield();
  bGo = true;
  for (std::thread& t : threads) t.join();
  for (int n = 0; n < sc_nClients; ++n) EXPECT_EQ("", vecErrors[n]) << "client " << n;
  EXPECT_EQ(sc_nClients, nIdentical.load());
}

}  // namespace
}  // namespace larchserver
