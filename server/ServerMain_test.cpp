// larch-server as a program: start-up lines, usage errors, and the orderly stop on SIGTERM.
#include "ServerMain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "ServerTestUtil.h"
#include "platform/Process.h"
#include "platform/Signals.h"
#include "support/Version.h"

namespace larchserver {
namespace {

// The child runs the server with the start-up lines and the log in files of the scratch
// directory named by its argument.
const bool s_bServerChild = larch_test::RegisterChild("server", [](const std::string& sDir) {
  FILE* pOut = std::fopen((sDir + "/out.txt").c_str(), "w");
  FILE* pLog = std::fopen((sDir + "/log.txt").c_str(), "w");
  int nExit = RunServerMain(
      {"--dir", sDir + "/publish", "--gds", "127.0.0.1:0", "--content", "127.0.0.1:0"}, pOut, pLog);
  std::fclose(pOut);
  std::fclose(pLog);
  return nExit;
});

std::string RunToText(const std::vector<std::string>& vecArgs, int& nExit, std::string& sLog) {
  FILE* pOut = std::tmpfile();
  FILE* pLog = std::tmpfile();
  nExit = RunServerMain(vecArgs, pOut, pLog);
  auto read = [](FILE* p) {
    std::string s;
    std::rewind(p);
    int c;
    while ((c = std::fgetc(p)) != EOF) s += static_cast<char>(c);
    std::fclose(p);
    return s;
  };
  sLog = read(pLog);
  return read(pOut);
}

TEST(ServerMain, UsageVersionAndStartFailures) {
  int nExit = 0;
  std::string sLog;
  EXPECT_EQ(sc_szServerUsage, RunToText({"--help"}, nExit, sLog));
  EXPECT_EQ(0, nExit);
  EXPECT_EQ(std::string("larch-server ") + common::sc_pszLarchVersion + "\n",
            RunToText({"--version"}, nExit, sLog));
  EXPECT_EQ(0, nExit);
  EXPECT_EQ("", sLog);

  // A usage mistake is one line and a pointer to --help.
  struct {
    std::vector<std::string> vecArgs;
    const char* pszError;
  } mistakes[] = {{{"--gds", "127.0.0.1:0"}, "--dir PUBLISH is required"},
                  {{"--dir", "x", "--x"}, "unknown option '--x'"},
                  {{"--dir", "x", "--gds", "127.0.0.1:0", "--idle-timeout", "never"},
                   "--idle-timeout takes a whole number of seconds from 1 to 86400: 'never'"}};
  for (auto& mistake : mistakes) {
    EXPECT_EQ("", RunToText(mistake.vecArgs, nExit, sLog));
    EXPECT_EQ(2, nExit);
    EXPECT_EQ(std::string("larch-server: ") + mistake.pszError + "; see 'larch-server --help'\n",
              sLog);
  }

  larch_test::CScratchDir scratch;
  EXPECT_EQ("", RunToText({"--dir", scratch / "missing", "--gds", "127.0.0.1:0"}, nExit, sLog));
  EXPECT_EQ(1, nExit);
  EXPECT_EQ("larch-server: publish directory " + scratch / "missing" +
                " does not exist; publish into it with 'larchtool publish' or name another with "
                "--dir\n",
            sLog);
}

TEST(ServerMain, PrintsItsPortsAndStopsInOrderOnSigterm) {
  larch_test::CScratchDir scratch;
  platform::MakeDirectory(scratch / "publish");
  WriteTestFile(scratch / "publish/a.pkg", "abc");
  platform::CProcess child;
  ASSERT_TRUE(larch_test::StartChild("server", scratch.Path(), child));
  // A failed check must not leave the server running.
  struct SKillGuard {
    platform::CProcess& child;
    ~SKillGuard() {
      uint32_t uExit = 0;
      if (!child.Wait(0, uExit)) {
        child.Kill();
        child.Wait(0xFFFFFFFF, uExit);
      }
    }
  } guard{child};
  std::string sOut;
  for (int n = 0; n < 500 && std::count(sOut.begin(), sOut.end(), '\n') < 2; ++n) {
    platform::SleepMilliseconds(10);
    sOut = ReadTestFile(scratch / "out.txt");
  }
  ASSERT_EQ(0u, sOut.find("gds listening on 127.0.0.1:")) << sOut;
  size_t uContent = sOut.find("\ncontent listening on 127.0.0.1:");
  ASSERT_NE(std::string::npos, uContent) << sOut;
  std::string sPrefix = "\ncontent listening on ";
  std::string sAddr = sOut.substr(uContent + sPrefix.size());
  common::CIPAddrPort content(0xFFFFFFFFu, sAddr.substr(0, sAddr.find('\n')), 0);
  {
    CRawClient client(content);
    client.Send(U32(0));
    EXPECT_EQ("\x01", client.Receive(1));
    client.Send(U32(14) + std::string(9, '\0').replace(7, 2, std::string("\x00\x05", 2)) + "a.pkg");
    EXPECT_EQ(U32(3) + U32(3) + "abc", client.Receive(11));
    client.ShutdownSending();
    EXPECT_TRUE(client.ServerClosed());
  }
  // The server logs the conversation after the client has seen it close.
  const std::string sConversation = "role=content request=\"file a.pkg\" result=\"ok\" bytes=12 ";
  for (int n = 0;
       n < 500 && ReadTestFile(scratch / "log.txt").find(sConversation) == std::string::npos; ++n) {
    platform::SleepMilliseconds(10);
  }
  ASSERT_TRUE(platform::RequestProcessTermination(child.Id()));
  uint32_t uExit = 99;
  ASSERT_TRUE(child.Wait(10000, uExit));
  EXPECT_EQ(0u, uExit);
  std::string sLog = ReadTestFile(scratch / "log.txt");
  EXPECT_NE(std::string::npos, sLog.find(sConversation)) << sLog;
  std::string sUntimed = WithoutTimes(sLog);
  EXPECT_EQ(
      "stopping on SIGTERM\n"
      "summary gds=0 csds=0 config=0 content=1 ok=1 over-limit=0 bad-request=0 timed-out=0 "
      "failed=0 bytes=12\n"
      "stopped\n",
      sUntimed.substr(std::min(sUntimed.size(), sUntimed.find("stopping on"))));
}

}  // namespace
}  // namespace larchserver
