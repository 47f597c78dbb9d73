#include "ServerOptions.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <iterator>

#include "support/TestUtil.h"

namespace larchserver {
namespace {

common::CIPAddrPort Addr(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t u16Port) {
  return common::CIPAddrPort::FromOctets(a, b, c, d, u16Port);
}

std::string UsageErrorOf(const std::vector<std::string>& vecArgs) {
  try {
    ParseServerOptions(vecArgs);
  } catch (const CServerUsageError& e) {
    return e.what();
  }
  return "no error";
}

TEST(ServerOptions, CommandLineNamesRolesAndAdvertisedServers) {
  SServerOptions options =
      ParseServerOptions({"--dir", "pub", "--gds", "10.0.0.1", "--csds=127.0.0.1:0", "--content",
                          "0.0.0.0:8080", "--auth", "10.0.0.9:7000", "--advertise-content",
                          "10.1.1.1:80, 10.1.1.2:81", "--advertise-content", "10.1.1.3:82"});
  EXPECT_EQ("pub", options.sPublishDir);
  EXPECT_TRUE(options.abServe[eGds]);
  EXPECT_TRUE(options.abServe[eCsds]);
  EXPECT_FALSE(options.abServe[eConfig]);
  EXPECT_TRUE(options.abServe[eContent]);
  EXPECT_EQ(Addr(10, 0, 0, 1, 5273), options.aListen[eGds]);  // the directory's usual port
  EXPECT_EQ(Addr(127, 0, 0, 1, 0), options.aListen[eCsds]);
  EXPECT_EQ(Addr(0, 0, 0, 0, 8080), options.aListen[eContent]);
  EXPECT_EQ(std::vector<common::CIPAddrPort>({Addr(10, 0, 0, 9, 7000)}), options.vecAuth);
  EXPECT_EQ(std::vector<common::CIPAddrPort>(
                {Addr(10, 1, 1, 1, 80), Addr(10, 1, 1, 2, 81), Addr(10, 1, 1, 3, 82)}),
            options.vecAdvertiseContent);
  EXPECT_TRUE(options.vecAdvertiseCsds.empty());
  EXPECT_TRUE(options.vecAdvertiseConfig.empty());
  EXPECT_EQ(30000u, options.limits.uIdleTimeoutMs);
  EXPECT_EQ(10000u, options.limits.uRequestDeadlineMs);
  EXPECT_EQ(1024u, options.limits.uMaxConversations);
  EXPECT_EQ(64u, options.limits.uMaxPerPeer);
  EXPECT_EQ(300000u, options.uSummaryIntervalMs);
}

TEST(ServerOptions, IniFileSettingsGiveWayToTheCommandLine) {
  larch_test::CScratchDir dir;
  {
    std::ofstream ini(dir / "server.ini");
    ini << "# a deployment\n[server]\ndir = /srv/publish\ngds = 127.0.0.1:6000\n"
           "config = 127.0.0.1:6001\n; two masters\nauth = 10.0.0.1:1\nauth = 10.0.0.2:2\n"
           "idle-timeout = 45\nrequest-deadline = 5\nmax-conversations = 400\n"
           "summary-interval = 0\n";
  }
  SServerOptions options =
      ParseServerOptions({"--ini", dir / "server.ini", "--gds", "127.0.0.1:7000",
                          "--max-per-peer=8", "--max-conversations", "65536"});
  EXPECT_EQ("/srv/publish", options.sPublishDir);
  EXPECT_EQ(Addr(127, 0, 0, 1, 7000), options.aListen[eGds]);
  EXPECT_EQ(Addr(127, 0, 0, 1, 6001), options.aListen[eConfig]);
  EXPECT_EQ(std::vector<common::CIPAddrPort>({Addr(10, 0, 0, 1, 1), Addr(10, 0, 0, 2, 2)}),
            options.vecAuth);
  EXPECT_EQ(45000u, options.limits.uIdleTimeoutMs);
  EXPECT_EQ(5000u, options.limits.uRequestDeadlineMs);
  EXPECT_EQ(65536u, options.limits.uMaxConversations);
  EXPECT_EQ(8u, options.limits.uMaxPerPeer);
  EXPECT_EQ(0u, options.uSummaryIntervalMs);
  EXPECT_EQ(86400000u,
            ParseServerOptions({"--dir", "x", "--gds", "127.0.0.1:0", "--summary-interval=86400"})
                .uSummaryIntervalMs);
}

TEST(ServerOptions, TheContentServerFleetComesFromListsAndFilesWithWeights) {
  larch_test::CScratchDir dir;
  std::ofstream(dir / "fleet") << "# rack 1\n10.0.1.1:27033/3  # the big one\n\n10.0.1.2:27033\n";
  SServerOptions options = ParseServerOptions(
      {"--dir", "pub", "--csds", "127.0.0.1:0", "--content-servers", "10.0.0.1:1,10.0.0.2:2/1000",
       "--content-servers", "@" + std::string(dir / "fleet"), "--check-interval", "2",
       "--rate-limit", "25"});
  std::vector<std::pair<common::CIPAddrPort, uint32_t>> vecGot;
  for (const SWeightedAddress& server : options.vecContentServers) {
    vecGot.emplace_back(server.addr, server.uWeight);
  }
  EXPECT_EQ((std::vector<std::pair<common::CIPAddrPort, uint32_t>>{{Addr(10, 0, 0, 1, 1), 1},
                                                                   {Addr(10, 0, 0, 2, 2), 1000},
                                                                   {Addr(10, 0, 1, 1, 27033), 3},
                                                                   {Addr(10, 0, 1, 2, 27033), 1}}),
            vecGot);
  EXPECT_EQ(2000u, options.uCheckIntervalMs);
  EXPECT_EQ(25u, options.limits.uRateLimitMBps);
  EXPECT_EQ(5000u, SServerOptions().uCheckIntervalMs);
  const std::vector<std::string> vecCsds = {"--dir", "pub", "--csds", "127.0.0.1:0"};
  auto with = [&](std::vector<std::string> vec) {
    vec.insert(vec.begin(), vecCsds.begin(), vecCsds.end());
    return vec;
  };
  EXPECT_EQ("--content-servers weight takes a whole number from 1 to 1000: '0'",
            UsageErrorOf(with({"--content-servers", "10.0.0.1:1/0"})));
  EXPECT_EQ(
      "give either --content-servers or --advertise-content, not both",
      UsageErrorOf(with({"--content-servers", "10.0.0.1:1", "--advertise-content", "10.0.0.1:1"})));
  EXPECT_EQ(
      "--content-servers is the csds role's list: give --csds ADDR too",
      UsageErrorOf({"--dir", "pub", "--gds", "127.0.0.1:0", "--content-servers", "10.0.0.1:1"}));
  EXPECT_EQ("--check-interval takes a whole number of seconds from 1 to 3600: '0'",
            UsageErrorOf(with({"--content-servers", "10.0.0.1:1", "--check-interval", "0"})));
  EXPECT_THROW(ParseServerOptions(with({"--content-servers", "@" + std::string(dir / "none")})),
               std::runtime_error);
}

TEST(ServerOptions, MistakesAreUsageErrorsWithTheReason) {
  EXPECT_EQ("--dir PUBLISH is required", UsageErrorOf({"--gds", "127.0.0.1:0"}));
  EXPECT_EQ("no role to serve: give --gds, --csds, --config or --content",
            UsageErrorOf({"--dir", "x"}));
  EXPECT_EQ("unknown option '--gsd'", UsageErrorOf({"--dir", "x", "--gsd", "127.0.0.1:0"}));
  EXPECT_EQ("option --content needs a value", UsageErrorOf({"--dir", "x", "--content"}));
  EXPECT_EQ("bad address for --content: IP:port doesn't specify a port: 127.0.0.1",
            UsageErrorOf({"--dir", "x", "--content", "127.0.0.1"}));
  // The network text goes on with the thread's last socket error, whatever that is.
  std::string sBadIP = "bad address for --gds: Bad sIPAddr: example.org, WinSock Error ";
  EXPECT_EQ(sBadIP,
            UsageErrorOf({"--dir", "x", "--gds", "example.org:1"}).substr(0, sBadIP.size()));
  EXPECT_EQ("--config takes one address: '127.0.0.1:1 127.0.0.1:2'",
            UsageErrorOf({"--dir", "x", "--config", "127.0.0.1:1 127.0.0.1:2"}));

  const std::vector<std::string> vecBase = {"--dir", "x", "--gds", "127.0.0.1:0"};
  struct {
    const char* pszOption;
    const char* pszValue;
    const char* pszError;
  } limits[] = {{"--idle-timeout", "0",
                 "--idle-timeout takes a whole number of seconds from 1 to 86400: '0'"},
                {"--request-deadline", "1.5",
                 "--request-deadline takes a whole number of seconds from 1 to 86400: '1.5'"},
                {"--request-deadline", "86401",
                 "--request-deadline takes a whole number of seconds from 1 to 86400: '86401'"},
                {"--max-conversations", "-3",
                 "--max-conversations takes a whole number from 1 to 65536: '-3'"},
                {"--max-conversations", "65537",
                 "--max-conversations takes a whole number from 1 to 65536: '65537'"},
                {"--max-per-peer", "", "--max-per-peer takes a whole number from 1 to 65536: ''"},
                {"--max-per-peer", "4294967360",
                 "--max-per-peer takes a whole number from 1 to 65536: '4294967360'"},
                {"--summary-interval", "-1",
                 "--summary-interval takes a whole number of seconds from 0 to 86400: '-1'"},
                {"--summary-interval", "86401",
                 "--summary-interval takes a whole number of seconds from 0 to 86400: '86401'"}};
  for (auto& limit : limits) {
    std::vector<std::string> vecArgs = vecBase;
    vecArgs.insert(vecArgs.end(), {limit.pszOption, limit.pszValue});
    EXPECT_EQ(limit.pszError, UsageErrorOf(vecArgs));
  }

  larch_test::CScratchDir dir;
  {
    std::ofstream ini(dir / "limits.ini");
    ini << "dir = x\ngds = 127.0.0.1:0\nmax-per-peer = 10 connections\n";
  }
  EXPECT_EQ("--max-per-peer takes a whole number from 1 to 65536: '10 connections'",
            UsageErrorOf({"--ini", dir / "limits.ini"}));
  {
    std::ofstream ini(dir / "bad.ini");
    ini << "dir = x\nlisten = 1\n";
  }
  EXPECT_EQ(dir / "bad.ini" + " line 2: unknown setting 'listen = 1'",
            UsageErrorOf({"--ini", dir / "bad.ini"}));
  EXPECT_THROW(ParseServerOptions({"--ini", dir / "missing.ini"}), std::runtime_error);
}

TEST(ServerOptions, HelpAndVersionNeedNothingElse) {
  EXPECT_TRUE(ParseServerOptions({"--help"}).bHelp);
  EXPECT_TRUE(ParseServerOptions({"--dir", "x", "-h"}).bHelp);
  SServerOptions options = ParseServerOptions({"--version"});
  EXPECT_TRUE(options.bVersion);
  EXPECT_FALSE(options.bHelp);
}

// The packaging's sample is read as it is, and with every setting it shows switched on, whose
// values must then be the defaults it claims.
TEST(ServerOptions, TheSampleIniParsesAndShowsTheDefaults) {
  const std::string sSample = LARCH_PACKAGING_DIR "/larch-server.ini";
  SServerOptions options = ParseServerOptions({"--ini", sSample});
  EXPECT_EQ("/srv/larch/publish", options.sPublishDir);
  for (int n = 0; n < eNumRoles; ++n) {
    EXPECT_TRUE(options.abServe[n]);
    EXPECT_EQ(Addr(0, 0, 0, 0, static_cast<uint16_t>(27030 + n)), options.aListen[n]);
  }
  EXPECT_TRUE(options.vecAuth.empty());
  EXPECT_TRUE(options.vecAdvertiseContent.empty());

  std::ifstream in(sSample);
  std::string sText((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (size_t u = sText.find("\n#"); u != std::string::npos; u = sText.find("\n#", u + 1)) {
    if (std::islower(static_cast<unsigned char>(sText[u + 2]))) sText.erase(u + 1, 1);
  }
  larch_test::CScratchDir dir;
  std::ofstream(dir / "all.ini") << sText;
  options = ParseServerOptions({"--ini", dir / "all.ini"});
  EXPECT_EQ(std::vector<common::CIPAddrPort>({Addr(192, 0, 2, 10, 27040)}), options.vecAuth);
  EXPECT_EQ(std::vector<common::CIPAddrPort>({Addr(192, 0, 2, 1, 27031)}),
            options.vecAdvertiseCsds);
  EXPECT_EQ(std::vector<common::CIPAddrPort>({Addr(192, 0, 2, 1, 27032)}),
            options.vecAdvertiseConfig);
  EXPECT_EQ(
      std::vector<common::CIPAddrPort>({Addr(192, 0, 2, 1, 27033), Addr(192, 0, 2, 2, 27033)}),
      options.vecAdvertiseContent);
  SServerOptions defaults;
  EXPECT_EQ(defaults.limits.uIdleTimeoutMs, options.limits.uIdleTimeoutMs);
  EXPECT_EQ(defaults.limits.uRequestDeadlineMs, options.limits.uRequestDeadlineMs);
  EXPECT_EQ(defaults.limits.uMaxConversations, options.limits.uMaxConversations);
  EXPECT_EQ(defaults.limits.uMaxPerPeer, options.limits.uMaxPerPeer);
  EXPECT_EQ(defaults.uSummaryIntervalMs, options.uSummaryIntervalMs);
  EXPECT_EQ(defaults.uCheckIntervalMs, options.uCheckIntervalMs);
}

}  // namespace
}  // namespace larchserver
