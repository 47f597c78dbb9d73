// `larchtool probe` against scripted servers: its time limits and --timeout.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Process.h"
#include "protocols/ProtocolTestUtil.h"
#include "support/TestUtil.h"

namespace {

using larch_test::CScriptedServer;

// Runs larchtool with the arguments; its exit code, and its stderr in *psErr.
uint32_t RunProbe(const std::string& sArgs, std::string* psErr) {
  larch_test::CScratchDir dir;
  platform::CProcess process;
  EXPECT_TRUE(process.Start("/bin/sh -c \"exec '" LARCH_TOOL "' probe " + sArgs + " 2> '" +
                            dir / "err.txt" + "' > /dev/null\""));
  uint32_t uExit = 99;
  EXPECT_TRUE(process.Wait(60000, uExit));
  std::vector<uint8_t> vecErr = larch_test::ReadFileBytes(dir / "err.txt");
  psErr->assign(vecErr.begin(), vecErr.end());
  return uExit;
}

TEST(ProbeTool, TimeoutOptionEndsAStalledConversation) {
  larch_test::StartSocketsOnce();
  CScriptedServer server(
      {larch_test::StallingServer(larch_test::eStallBeforeAnswer, 0, "", nullptr)});
  std::string sErr;
  EXPECT_EQ(1u, RunProbe("csds " + server.AddressText() + " --timeout 1", &sErr));
  EXPECT_EQ("Timed out after 1 s waiting for " + server.AddressText() + "\n", sErr);

  for (const char* pszBad : {"0", "86401", "1.5", "x"}) {
    EXPECT_EQ(2u, RunProbe(std::string("--timeout ") + pszBad + " csds 127.0.0.1:9", &sErr));
    EXPECT_EQ(std::string("larchtool probe: bad --timeout: ") + pszBad,
              sErr.substr(0, sErr.find('\n')));
  }
  EXPECT_EQ(2u, RunProbe("csds 127.0.0.1:9 --timeout", &sErr));
  EXPECT_EQ("larchtool probe: missing --timeout value", sErr.substr(0, sErr.find('\n')));
}

}  // namespace
