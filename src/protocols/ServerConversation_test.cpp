// Both ends built from this library: a server made of the server-side helpers answers the
// client commands.
#include "protocols/ServerConversation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "network/TcpListener.h"
#include "protocols/ConfigServerCommands.h"
#include "protocols/GeneralDirectoryServerCommands.h"
#include "protocols/ProtocolTestUtil.h"
#include "protocols/PublicContentServerCommands.h"

namespace common {
namespace {

// Accepts one connection and runs the server's side of the conversation on it.
class CHelperServer {
 public:
  explicit CHelperServer(std::function<void(CWSABUFWrapper&, platform::SocketHandle)> fnServe)
      : m_listener(CIPAddrPort::FromOctets(127, 0, 0, 1, 0)), m_thread([this, fnServe] {
          platform::SocketHandle hConnection;
          if (!m_listener.Accept(10000, hConnection)) return;
          CSocketGuard socket(hConnection);
          CWSABUFWrapper wrappedWSABUF(256, 1);
          try {
            fnServe(wrappedWSABUF, socket.Get());
            DoBlockingConnectionShutdown(wrappedWSABUF, socket.Get());
          } catch (const std::exception& e) {
            m_sError = e.what();
          }
        }) {}
  ~CHelperServer() { Join(); }
  CIPAddrPort Address() const { return m_listener.LocalAddress(); }
  std::string Error() {
    Join();
    return m_sError;
  }

 private:
  void Join() {
    if (m_thread.joinable()) m_thread.join();
  }

  CTcpListener m_listener;
  std::string m_sError;
  std::thread m_thread;
};

class ServerConversation : public ::testing::Test {
 protected:
  void SetUp() override { larch_test::StartSocketsOnce(); }
};

TEST_F(ServerConversation, DirectoryServerBuiltFromTheHelpers) {
  std::vector<CIPAddrPort> vecPublished = {CIPAddrPort::FromOctets(10, 0, 0, 3, 40000),
                                           CIPAddrPort::FromOctets(10, 0, 0, 4, 40001)};
  uint8_t u8AskedType = 0xFF, u8Closing = 0;
  CHelperServer server([&](CWSABUFWrapper& w, platform::SocketHandle h) {
    AnswerProtocolVersion(w, h, ReceiveProtocolVersion(w, h) == 1);
    ReceiveRequest(w, h);
    u8AskedType = ExtractGeneralDirectoryServerQuery(w);
    AppendGeneralDirectoryServerReply(w, vecPublished);
    DoBlockingSend(h, w);
    w.PrepareToReceive(1);
    Receive(w, h, nullptr, nullptr);
    w.ExtractNext(&u8Closing);
    w.DoneExtracting();
  });
  std::vector<CIPAddrPort> vecFound;
  EXPECT_EQ(2u, GeneralDirectoryServerGetServers(eConfigServer, {server.Address()}, &vecFound,
                                                 nullptr, nullptr));
  EXPECT_EQ(vecPublished, vecFound);
  EXPECT_EQ("", server.Error());
  EXPECT_EQ(eConfigServer, u8AskedType);
  EXPECT_EQ(1, u8Closing);
}

TEST_F(ServerConversation, ContentServerAndConfigServerBuiltFromTheHelpers) {
  std::string sFile(50000, 'q');
  std::string sAsked;
  CHelperServer content([&](CWSABUFWrapper& w, platform::SocketHandle h) {
    AnswerProtocolVersion(w, h, ReceiveProtocolVersion(w, h) == 0);
    ReceiveRequest(w, h);
    sAsked = ExtractFileRequest(w).sFileName;
    AppendFileInfo(w, static_cast<uint32_t>(sFile.size()), static_cast<uint32_t>(sFile.size()));
    w.Append(sFile.data(), static_cast<uint32_t>(sFile.size()));
    DoBlockingSend(h, w);
  });
  CMallocedBlock block(1);
  PublicContentServerGetFile(content.Address(), "client_7.pkg", &block, nullptr, nullptr, nullptr);
  EXPECT_EQ(sFile, std::string(reinterpret_cast<char*>(block.Data()), block.Size()));
  EXPECT_EQ("", content.Error());
  EXPECT_EQ("client_7.pkg", sAsked);

  uint8_t u8Command = 0;
  CHelperServer config([&](CWSABUFWrapper& w, platform::SocketHandle h) {
    AnswerProtocolVersion(w, h, ReceiveProtocolVersion(w, h) == 0);
    ReceiveRequest(w, h);
    u8Command = ExtractClientConfigRecordRequest(w);
    AppendClientConfigRecordReply(w, Weft::CClientConfigRecord(1, 12, 34));
    DoBlockingSend(h, w);
  });
  std::unique_ptr<Weft::CClientConfigRecord> record =
      ConfigServerGetClientConfigRecord(config.Address());
  EXPECT_EQ(12u, record->GetCurrentClientBootstrapVersion());
  EXPECT_EQ(34u, record->GetCurrentClientAppPackageVersion());
  EXPECT_EQ("", config.Error());
  EXPECT_EQ(sc_u8SendClientConfigRecordCommand, u8Command);
}

}  // namespace
}  // namespace common
