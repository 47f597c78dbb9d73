#include "protocols/PublicContentServerCommands.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "protocols/ProtocolTestUtil.h"
#include "support/TestUtil.h"

namespace common {
namespace {

using larch_test::ErrorOf;

using larch_test::Bytes;
using larch_test::CScriptedServer;
using larch_test::CServerConnection;
using larch_test::Hex;
using larch_test::U32BE;

std::string FileBytes(size_t uSize) {
  std::string s(uSize, '\0');
  for (size_t i = 0; i < uSize; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return s;
}

// Reads the handshake and the request for a name of uNameLength characters, then answers.
CScriptedServer::Script FileServer(std::string* psGot, size_t uNameLength,
                                   const std::string& sAnswer, bool bThenWait = true) {
  return [=](CServerConnection& c) {
    *psGot = c.Read(4);
    c.Write(Bytes({1}));
    *psGot += c.Read(13 + uNameLength);
    c.Write(sAnswer);
    if (bThenWait) *psGot += c.ReadUntilClosed();
  };
}

class PublicContentServer : public ::testing::Test {
 protected:
  void SetUp() override { larch_test::StartSocketsOnce(); }
  std::atomic<bool> m_bAbort{false};
  std::atomic<bool> m_bStalled{false};
};

TEST_F(PublicContentServer, SeventyThousandBytesInThreeChunksWithProgress) {
  std::string sFile = FileBytes(70000), sGot;
  CScriptedServer server({FileServer(&sGot, 5, U32BE(70000) + U32BE(70000) + sFile)});
  CMallocedBlock block(1);
  std::vector<int> vecProgress;
  PublicContentServerGetFile(
      server.Address(), "a.pkg", &block, [&](int n) { vecProgress.push_back(n); }, &m_bAbort,
      &m_bStalled);
  EXPECT_EQ((std::vector<int>{0, 46, 93}), vecProgress);
  ASSERT_EQ(70000u, block.Size());
  EXPECT_TRUE(std::memcmp(block.Data(), sFile.data(), 70000) == 0);
  EXPECT_FALSE(m_bStalled.load());
  server.Join();
  EXPECT_EQ("00 00 00 00 00 00 00 0E 00 00 00 00 00 00 00 00 05 61 2E 70 6B 67", Hex(sGot));
}

TEST_F(PublicContentServer, SmallFileBlockingAndChunked) {
  std::string sFile = FileBytes(100), sGot, sGot2, sGot3;
  CScriptedServer server({FileServer(&sGot, 5, U32BE(100) + U32BE(100) + sFile),
                          FileServer(&sGot2, 5, U32BE(100) + U32BE(100) + sFile),
                          FileServer(&sGot3, 5, U32BE(100) + U32BE(60) + sFile.substr(40))});
  CMallocedBlock block(500);
  PublicContentServerGetFile(server.Address(), "b.pkg", &block, nullptr, nullptr, nullptr);
  ASSERT_EQ(100u, block.Size());
  EXPECT_EQ(sFile, std::string(reinterpret_cast<char*>(block.Data()), 100));
  std::vector<int> vecProgress;
  PublicContentServerGetFile(
      server.Address(), "b.pkg", &block, [&](int n) { vecProgress.push_back(n); }, nullptr,
      &m_bStalled);
  EXPECT_EQ(std::vector<int>{0}, vecProgress);
  EXPECT_EQ(sFile, std::string(reinterpret_cast<char*>(block.Data()), 100));
  // Without flags: the blocking forms, a contract kept (no check reported).
  larch_test::CCheckRecorder recorder;
  std::string sRead;
  PublicContentServerReadFile(
      server.Address(), "b.pkg", 40, nullptr,
      [&](const uint8_t* pu8, uint32_t u32Size) {
        sRead.append(reinterpret_cast<const char*>(pu8), u32Size);
      },
      nullptr, nullptr, nullptr);
  EXPECT_EQ(sFile.substr(40), sRead);
  EXPECT_EQ(std::vector<std::string>(), recorder.m_vecChecks);
  server.Join();
  EXPECT_EQ("00 00 00 00 00 00 00 0E 00 00 00 00 28 00 00 00 05 62 2E 70 6B 67", Hex(sGot3));
}

TEST_F(PublicContentServer, BadAnswers) {
  struct SCase {
    std::string sAnswer;
    std::string sError;
  } cases[] = {
      {"", "PublicContentServer: Requested file does not exist"},
      {U32BE(10), "PublicContentServer: Requested file does not exist"},
      {U32BE(0) + U32BE(0), "PublicContentServer: invalid file length (0)"},
      {U32BE(10) + U32BE(8) + "0123456789",
       "PublicContentServer: invalid file info for requested offset of zero"},
      {U32BE(10) + U32BE(10) + "01234", "Connection Closed by Peer, WinSock Error 0 \"No error\""},
  };
  for (const SCase& c : cases) {
    for (int nPolling = 0; nPolling < 2; ++nPolling) {
      std::string sGot;
      // The server closes the connection right after its answer.
      CScriptedServer server({FileServer(&sGot, 5, c.sAnswer, false)});
      CMallocedBlock block(1);
      EXPECT_EQ(c.sError, ErrorOf([&] {
                  PublicContentServerGetFile(server.Address(), "c.pkg", &block, nullptr,
                                             nPolling ? &m_bAbort : nullptr,
                                             nPolling ? &m_bStalled : nullptr);
                }));
    }
  }
}

// Stalled halfway through the file's length: the time-out, which the installer retries, not
// the closed connection of a server without the file, which it does not.
TEST_F(PublicContentServer, AStallBeforeTheFileInformationIsATimeOutNotARefusal) {
  larch_test::CShortTimeouts timeouts;
  CScriptedServer server(
      {larch_test::StallingServer(larch_test::eStallMidReply, 18, U32BE(10) + U32BE(10), nullptr)});
  CMallocedBlock block(1);
  EXPECT_EQ("Timed out after 1 s waiting for " + server.AddressText(), ErrorOf([&] {
              PublicContentServerGetFile(server.Address(), "c.pkg", &block, nullptr, &m_bAbort,
                                         &m_bStalled);
            }));
}

TEST_F(PublicContentServer, RefusedVersionAndRefusedConnection) {
  std::string sGot;
  CScriptedServer server({[&](CServerConnection& c) {
    sGot = c.Read(4);
    c.Write(Bytes({0}));
    sGot += c.ReadUntilClosed();
  }});
  CMallocedBlock block(1);
  EXPECT_EQ("PublicContentServer: unacceptable protocol version", ErrorOf([&] {
              PublicContentServerGetFile(server.Address(), "d.pkg", &block, nullptr, nullptr,
                                         nullptr);
            }));
  server.Join();
  EXPECT_EQ("00 00 00 00 01", Hex(sGot));
  CIPAddrPort unused = larch_test::UnusedLoopbackAddress();
  EXPECT_EQ(
      "Failed to connect to " + unused.ToString() + ", WinSock Error 10061 \"Connection refused\"",
      ErrorOf([&] {
        PublicContentServerGetFile(unused, "d.pkg", &block, nullptr, &m_bAbort, &m_bStalled);
      }));
}

TEST_F(PublicContentServer, AbortFlagSetWhileTheFileArrives) {
  std::string sGot;
  std::string sFile = FileBytes(40000);
  CScriptedServer server({[&](CServerConnection& c) {
    sGot = c.Read(4);
    c.Write(Bytes({1}));
    sGot += c.Read(18);
    c.Write(U32BE(100000) + U32BE(100000) + sFile);  // and then nothing more
    sGot += c.ReadUntilClosed();
  }});
  CMallocedBlock block(1);
  std::vector<int> vecProgress;
  EXPECT_EQ("network receive aborted by caller", ErrorOf([&] {
              PublicContentServerGetFile(
                  server.Address(), "e.pkg", &block,
                  [&](int n) {
                    vecProgress.push_back(n);
                    if (n > 0) {
                      std::thread([this] {
                        platform::SleepMilliseconds(50);
                        m_bAbort = true;
                      }).detach();
                    }
                  },
                  &m_bAbort, &m_bStalled);
            }));
  EXPECT_EQ((std::vector<int>{0, 32}), vecProgress);
  EXPECT_TRUE(m_bStalled.load());
  // The block keeps what arrived.
  EXPECT_EQ(100000u, block.Size());
  EXPECT_TRUE(std::memcmp(block.Data(), sFile.data(), 40000) == 0);
}

std::string ReadAll(const std::string& sPath) {
  platform::CFile file;
  std::string s;
  char aBuf[4096];
  if (!file.Open(sPath, platform::CFile::eRead)) return "<cannot open>";
  for (int64_t n; (n = file.Read(aBuf, sizeof(aBuf))) > 0;) s.append(aBuf, static_cast<size_t>(n));
  return s;
}

// The file form asks from the offset, checks the length told for it and appends what follows.
TEST_F(PublicContentServer, ToDiskResumesFromTheOffsetAndRefusesALyingLength) {
  std::string sFile = FileBytes(70000), sGot, sGot2, sGot3;
  CScriptedServer server(
      {FileServer(&sGot, 5, U32BE(70000) + U32BE(30000) + sFile.substr(40000)),
       FileServer(&sGot2, 5, U32BE(70000) + U32BE(70000) + sFile, false),
       FileServer(&sGot3, 5, U32BE(70000) + U32BE(30000) + sFile.substr(40000))});
  larch_test::CScratchDir dir;
  platform::CFile file;
  ASSERT_TRUE(file.Open(dir / "a.part", platform::CFile::eCreate));
  ASSERT_TRUE(file.Write(sFile.data(), 40000));
  std::vector<int> vecProgress;
  uint32_t u32Told = 0;
  PublicContentServerGetFileToDisk(
      server.Address(), "a.pkg", 40000, file, [&](uint32_t u) { u32Told = u; },
      [&](int n) { vecProgress.push_back(n); }, &m_bAbort, &m_bStalled);
  file.Close();
  EXPECT_EQ(70000u, u32Told);
  EXPECT_EQ((std::vector<int>{57}), vecProgress);
  EXPECT_TRUE(ReadAll(dir / "a.part") == sFile);
  ASSERT_TRUE(file.Open(dir / "b.part", platform::CFile::eCreate));
  EXPECT_EQ("PublicContentServer: invalid file info for requested offset of 40000", ErrorOf([&] {
              PublicContentServerGetFileToDisk(server.Address(), "a.pkg", 40000, file, nullptr,
                                               nullptr, &m_bAbort, &m_bStalled);
            }));
  platform::InjectFailure("Write", 1, 28);
  EXPECT_EQ("PublicContentServer: unable to write the file (errno = 28)", ErrorOf([&] {
              PublicContentServerGetFileToDisk(server.Address(), "a.pkg", 40000, file, nullptr,
                                               nullptr, &m_bAbort, &m_bStalled);
            }));
  platform::ClearInjectedFailures();
  server.Join();
  EXPECT_EQ("00 00 00 00 00 00 00 0E 00 00 00 9C 40 00 00 00 05 61 2E 70 6B 67", Hex(sGot));
}

TEST(PublicContentServerMessages, RequestRoundTrip) {
  CWSABUFWrapper w(256, 1);
  AppendFileRequest(w, "a.pkg");
  platform::SSocketBuffer* p = w.GetWSABUFsForSend();
  std::string sBytes(reinterpret_cast<char*>(p->pData), p->uLength);
  w.Reset();
  w.PrepareToReceiveLengthPrefixedMsg();
  p = w.GetWSABUFsForReceive();
  std::copy(sBytes.begin(), sBytes.end(), p->pData);
  ASSERT_TRUE(w.ConsumeReceived(static_cast<uint32_t>(sBytes.size())));
  SFileRequest request = ExtractFileRequest(w);
  EXPECT_EQ(0, request.u8Command);
  EXPECT_EQ(0u, request.u32Offset);
  EXPECT_EQ("a.pkg", request.sFileName);
}

}  // namespace
}  // namespace common
