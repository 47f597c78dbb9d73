#include "platform/SystemError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace platform {

std::vector<std::string> SplitWindowsCommandLine(const std::string& sLine);

namespace {

TEST(PosixSocketErrors, ErrnoValuesMapToWinSockNumbers) {
  EXPECT_EQ(0, MapErrnoToWinSock(0));
  EXPECT_EQ(10061, MapErrnoToWinSock(ECONNREFUSED));
  EXPECT_EQ(10060, MapErrnoToWinSock(ETIMEDOUT));
  EXPECT_EQ(10054, MapErrnoToWinSock(ECONNRESET));
  EXPECT_EQ(10035, MapErrnoToWinSock(EWOULDBLOCK));
  EXPECT_EQ(10048, MapErrnoToWinSock(EADDRINUSE));
}

TEST(PosixCommandLine, SplitsByTheWindowsRules) {
  using V = std::vector<std::string>;
  EXPECT_EQ((V{"a", "b c", "d"}), SplitWindowsCommandLine("a \"b c\"  d"));
  EXPECT_EQ((V{"/x y/B.exe", "SelfUpdate", "/x y/BTmp.exe", "42"}),
            SplitWindowsCommandLine("\"/x y/B.exe\" SelfUpdate \"/x y/BTmp.exe\" 42"));
  EXPECT_EQ((V{"a\\\"b", "c\\\\"}), SplitWindowsCommandLine("a\\\\\\\"b c\\\\"));
  EXPECT_EQ((V{""}), SplitWindowsCommandLine("\"\""));
  EXPECT_EQ(V{}, SplitWindowsCommandLine("   "));
}

}  // namespace
}  // namespace platform
