#include "support/ErrorCodeException.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "platform/SystemError.h"

namespace common {
namespace {

TEST(WinSockErrorText, KnownAndUnknownCodes) {
  EXPECT_STREQ("No error", GetWinSockErrorText(0));
  EXPECT_STREQ("Connection timed out", GetWinSockErrorText(10060));
  EXPECT_STREQ("Connection refused", GetWinSockErrorText(10061));
  EXPECT_STREQ("No host data of that type was found", GetWinSockErrorText(11004));
  EXPECT_STREQ("Unknown socket error", GetWinSockErrorText(10000));
  EXPECT_STREQ("Unknown socket error", GetWinSockErrorText(12000));
  EXPECT_STREQ("Unknown socket error", GetWinSockErrorText(-1));
}

TEST(ErrorCodeException, KindsAppendTheirSuffix) {
  CErrorCodeException plain(CErrorCodeException::eNone, "plain", 0, 0);
  EXPECT_STREQ("plain", plain.what());
  EXPECT_EQ(0u, plain.Code());

  CErrorCodeException sock(CErrorCodeException::eWinSock, "sock", 0, 0);
  EXPECT_STREQ("sock", sock.what());

  CErrorCodeException err(CErrorCodeException::eErrno, "open failed", ENOENT, 0);
  EXPECT_EQ(std::string("open failed, errno ") + std::to_string(ENOENT) + " \"" +
                std::strerror(ENOENT) + "\"",
            err.what());
}

TEST(ErrorCodeException, Win32KindTakesTheLastErrorWhenCodeIsZero) {
  platform::SetLastSystemError(2);
  CErrorCodeException e(CErrorCodeException::eWin32, "select failed:", 0, 0);
  std::string sSystem;
  ASSERT_TRUE(platform::GetSystemErrorText(2, sSystem));
  EXPECT_EQ(2u, e.Code());
  EXPECT_EQ(2u, e.Kind());
  EXPECT_EQ("select failed:, Win32 Error 2 \"" + sSystem + "\"", std::string(e.what()));
  // The base class keeps the bare message.
  EXPECT_STREQ("select failed:", static_cast<const std::runtime_error&>(e).runtime_error::what());
}

TEST(NetworkExceptions, ComposeTheirTextsFromTheLastSocketError) {
  platform::SetLastSocketError(10061);
  CConnectException refused("127.0.0.1:1");
  EXPECT_STREQ("Failed to connect to 127.0.0.1:1, WinSock Error 10061 \"Connection refused\"",
               refused.what());
  EXPECT_EQ(10061u, refused.Code());
  EXPECT_EQ(3u, refused.Kind());

  platform::SetLastSocketError(10054);
  EXPECT_STREQ("Receive Failure, WinSock Error 10054 \"Connection reset by peer\"",
               CRecvException().what());
  EXPECT_STREQ("Send Failure, WinSock Error 10054 \"Connection reset by peer\"",
               CSendException().what());
  platform::SetLastSocketError(0);
  EXPECT_STREQ("Connection Closed by Peer, WinSock Error 0 \"No error\"",
               CPeerGracefullyClosedConnectionCommException().what());
  EXPECT_STREQ("Failed to connect, WinSock Error 0 \"No error\"", CConnectException().what());
}

TEST(Win32ErrorException, CarriesTheLastSystemError) {
  platform::SetLastSystemError(5);
  win32::CErrorException e("CreateFile failed");
  std::string sSystem;
  platform::GetSystemErrorText(5, sSystem);
  EXPECT_EQ("CreateFile failed, Win32 Error 5 \"" + sSystem + "\"", std::string(e.what()));
}

}  // namespace
}  // namespace common
