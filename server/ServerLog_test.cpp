#include "ServerLog.h"

#include <gtest/gtest.h>

namespace larchserver {
namespace {

TEST(ServerLog, OneLinePerConversationWithNetworkTextEscaped) {
  SConversationLog entry;
  entry.sPeer = "127.0.0.1:40000";
  entry.sRole = "content";
  entry.sRequest = std::string("file a\"b\\c\n\xff", 12);
  entry.sResult = "refused name, connection closed";
  entry.u64BytesSent = 1;
  entry.u64Milliseconds = 7;
  EXPECT_EQ(
      "peer=127.0.0.1:40000 role=content request=\"file a\\x22b\\x5Cc\\x0A\\xFF\" "
      "result=\"refused name, connection closed\" bytes=1 ms=7",
      CServerLog::Format(entry));
}

}  // namespace
}  // namespace larchserver
