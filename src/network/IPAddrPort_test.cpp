#include "network/IPAddrPort.h"

#include <gtest/gtest.h>

#include "network/GetTokens.h"
#include "network/NetTestUtil.h"
#include "platform/FaultInjection.h"
#include "platform/Socket.h"
#include "platform/SystemError.h"
#include "support/ErrorCodeException.h"

namespace common {
namespace {

using larch_test::Bytes;

template <typename TException, typename TFn>
std::string ErrorText(TFn fn) {
  platform::SetLastSocketError(0);
  try {
    fn();
  } catch (const TException& e) {
    return e.what();
  }
  return "(no exception)";
}

class IPAddrPortTest : public ::testing::Test {
 protected:
  void SetUp() override { larch_test::StartSocketsOnce(); }
};

TEST_F(IPAddrPortTest, TextFormsWithDefaults) {
  CIPAddrPort any(0, "INADDR_ANY:80", 5273);
  EXPECT_EQ(0u, any.m_u32IPAddr);
  EXPECT_EQ(80, any.m_u16Port);

  CIPAddrPort dotted(0, "10.1.2.3", 5273);
  EXPECT_EQ(CIPAddrPort::FromOctets(10, 1, 2, 3, 5273), dotted);
  EXPECT_EQ("10.1.2.3:5273", dotted.ToString());
  EXPECT_EQ(CIPAddrPort::FromOctets(10, 1, 2, 3, 0), CIPAddrPort(0, "10.1.2.3:0", 5273));
  EXPECT_EQ(CIPAddrPort::FromOctets(10, 1, 2, 3, 32767), CIPAddrPort(0, "10.1.2.3:32767", 0));
  // The upper half of the port range is as valid as the lower one.
  EXPECT_EQ(CIPAddrPort::FromOctets(10, 1, 2, 3, 32768), CIPAddrPort(0, "10.1.2.3:32768", 0));
  EXPECT_EQ(CIPAddrPort::FromOctets(10, 1, 2, 3, 65535), CIPAddrPort(0, "10.1.2.3:65535", 0));
  // The port is read the way atoi reads it: leading digits only.
  EXPECT_EQ(CIPAddrPort::FromOctets(10, 1, 2, 3, 80), CIPAddrPort(0, "10.1.2.3:80x", 0));
  EXPECT_EQ(CIPAddrPort::FromOctets(10, 1, 2, 3, 0), CIPAddrPort(0, "10.1.2.3:x", 7));
}

TEST_F(IPAddrPortTest, EmptyIPIsThisHostsFirstAddress) {
  std::string sHost;
  ASSERT_TRUE(platform::ReadLocalHostName(sHost));
  uint32_t u32Expected = 0;
  ASSERT_TRUE(platform::LookUpFirstIPv4Address(sHost, u32Expected));
  CIPAddrPort addr(0, ":80", 0);
  EXPECT_EQ(u32Expected, addr.m_u32IPAddr);
  EXPECT_EQ(80, addr.m_u16Port);
  EXPECT_EQ(u32Expected, GetIPAddrFromString(""));
}

TEST_F(IPAddrPortTest, BadTextsGiveTheSystemsMessages) {
  EXPECT_EQ("IP:port doesn't specify a port: 10.1.2.3",
            ErrorText<std::runtime_error>([] { CIPAddrPort(0, "10.1.2.3", 0); }));
  EXPECT_EQ("IP:port doesn't specify a port: 10.1.2.3:",
            ErrorText<std::runtime_error>([] { CIPAddrPort(0, "10.1.2.3:", 0); }));
  EXPECT_EQ("IP:port doesn't specify an IP addr: :80",
            ErrorText<std::runtime_error>([] { CIPAddrPort(0xFFFFFFFF, ":80", 0); }));
  EXPECT_EQ("Invalid port: 65536, WinSock Error 0 \"No error\"",
            ErrorText<CNetworkException>([] { CIPAddrPort(0, "10.1.2.3:65536", 0); }));
  EXPECT_EQ(
      "Invalid port: 99999999999999999999, WinSock Error 0 \"No error\"",
      ErrorText<CNetworkException>([] { CIPAddrPort(0, "10.1.2.3:99999999999999999999", 0); }));
  // A negative port would wrap round to a high one.
  EXPECT_EQ("Invalid port: -1, WinSock Error 0 \"No error\"",
            ErrorText<CNetworkException>([] { CIPAddrPort(0, "10.1.2.3:-1", 0); }));
  EXPECT_EQ("Bad sIPAddr: server.example, WinSock Error 0 \"No error\"",
            ErrorText<CNetworkException>([] { CIPAddrPort(0, "server.example:80", 0); }));
}

TEST_F(IPAddrPortTest, HostNameFailuresHaveTheirTexts) {
  platform::InjectFailure("SocketHostName", 1, 10093);
  EXPECT_EQ(
      "GetIPAddrFromString(): gethostname() failed with error , WinSock Error 10093 "
      "\"WSAStartup not yet called\"",
      ErrorText<CNetworkException>([] { GetIPAddrFromString(""); }));
  platform::ClearInjectedFailures();
}

TEST_F(IPAddrPortTest, SplitIPPortReportsMissingOutputs) {
  larch_test::CCheckRecorder recorder;
  EXPECT_TRUE(SplitIPPort("1.2.3.4:5", nullptr, nullptr));
  EXPECT_EQ((std::vector<std::string>{"AssertPreCondition:NonNullCallerIpPtr",
                                      "AssertPreCondition:NonNullCallerPortPtr"}),
            recorder.m_vecChecks);
  std::string sIp;
  int nPort = -7;
  EXPECT_FALSE(SplitIPPort("1.2.3.4", &sIp, &nPort));
  EXPECT_EQ("1.2.3.4", sIp);
  EXPECT_EQ(-7, nPort);
}

TEST_F(IPAddrPortTest, ListsSplitOnCommaBlankTabAndQuotes) {
  std::vector<CIPAddrPort> vec = ParseIPAddrPortList("10.0.0.1:1, 10.0.0.2\t'10.0.0.3:3'", 0, 5273);
  ASSERT_EQ(3u, vec.size());
  EXPECT_EQ(CIPAddrPort::FromOctets(10, 0, 0, 1, 1), vec[0]);
  EXPECT_EQ(CIPAddrPort::FromOctets(10, 0, 0, 2, 5273), vec[1]);
  EXPECT_EQ(CIPAddrPort::FromOctets(10, 0, 0, 3, 3), vec[2]);
  EXPECT_EQ("Missing end-quote in: , \"10.0.0.2", ErrorText<CGetTokensException>([] {
              ParseIPAddrPortList("10.0.0.1, \"10.0.0.2", 0, 1);
            }));
  EXPECT_TRUE(ParseIPAddrPortList(" ,\t", 0, 1).empty());
}

TEST(GetTokens, QuotesLimitsAndDelimiters) {
  std::vector<std::string> vec;
  GetTokens("a \"b 'c\" d'e f'g", " ", "\"'", -1, vec);
  EXPECT_EQ((std::vector<std::string>{"a", "b 'c", "d", "e f", "g"}), vec);
  vec.clear();
  GetTokens("one two three", " ", "", 2, vec);
  EXPECT_EQ((std::vector<std::string>{"one", "two"}), vec);
  vec.clear();
  GetTokens("''", " ", "'", -1, vec);
  EXPECT_EQ((std::vector<std::string>{""}), vec);

  larch_test::CCheckRecorder recorder;
  GetTokens(nullptr, nullptr, nullptr, -1, vec);
  EXPECT_EQ((std::vector<std::string>{"AssertPreCondition:non-null pszInput",
                                      "AssertPreCondition:non-null pszWhitespaceDelimeterChars",
                                      "AssertPreCondition:non-null pszQuoteDelimeterChars"}),
            recorder.m_vecChecks);
}

TEST(SerializedAddresses, SixBytesEachPortLittleEndian) {
  std::string sBytes = Bytes({0x0A, 1, 2, 3, 0x50, 0, 192, 168, 0, 9, 0x91, 0x14});
  std::vector<CIPAddrPort> vec;
  EXPECT_EQ(2u, DeserializeIPAddrPorts(reinterpret_cast<const uint8_t*>(sBytes.data()), 12, &vec));
  ASSERT_EQ(2u, vec.size());
  EXPECT_EQ("10.1.2.3:80", vec[0].ToString());
  EXPECT_EQ("192.168.0.9:5265", vec[1].ToString());
  EXPECT_EQ(sBytes, SerializeIPAddrPorts(vec));
  EXPECT_EQ("Invalid uSizeOfSerializedIPAddrPorts 7", ErrorText<std::runtime_error>([&] {
              DeserializeIPAddrPorts(reinterpret_cast<const uint8_t*>(sBytes.data()), 7, &vec);
            }));
  EXPECT_EQ(2u, vec.size());
}

}  // namespace
}  // namespace common
