#include "Roles.h"

#include <algorithm>

#include "protocols/ConfigServerCommands.h"
#include "protocols/ContentServerDirectoryServerProtocol.h"
#include "protocols/GeneralDirectoryServerCommands.h"
#include "protocols/PublicContentServerCommands.h"

namespace larchserver {
namespace {

// Message storage per conversation: enough for every request of the directories and the
// configuration server, and for a content request with a file name of any length.
constexpr uint32_t sc_uSmallStorage = 256;
constexpr uint32_t sc_uContentStorage = 4 + 9 + 65535;

// Receives the client's protocol version and answers it. A refused client gets 0 and the
// connection is closed once it has closed its side.
bool Handshake(CConversation& conversation, common::CWSABUFWrapper& wrapper, uint32_t uExpected,
               SConversationLog& log) {
  uint32_t uVersion = 0;
  wrapper.PrepareToReceive(4);
  conversation.Receive(wrapper);
  wrapper.ExtractNext(&uVersion);
  wrapper.DoneExtracting();
  bool bAccepted = uVersion == uExpected;
  wrapper.Append(static_cast<uint8_t>(bAccepted ? 1 : 0));
  conversation.Send(wrapper);
  if (!bAccepted) {
    log.sRequest = "version " + std::to_string(uVersion);
    log.sResult = "refused protocol version " + std::to_string(uVersion);
    log.eOutcome = eBadRequest;
    conversation.AwaitPeerClose();
  }
  return bAccepted;
}

// False for a health check: a client that closes after the handshake, asking nothing. That is
// a conversation served, logged as "check".
bool ReceiveRequest(CConversation& conversation, common::CWSABUFWrapper& wrapper,
                    SConversationLog& log) {
  if (!wrapper.PrepareToReceiveLengthPrefixedMsg() && !conversation.ReceiveUnlessClosed(wrapper)) {
    log.sRequest = "check";
    log.sResult = "ok, closed after the handshake";
    return false;
  }
  conversation.RequestReceived();
  return true;
}

const std::vector<common::CIPAddrPort>* ListOfType(const SDirectoryLists& lists, uint8_t u8Type) {
  static const std::vector<common::CIPAddrPort> s_vecNone;
  switch (u8Type) {
    case common::eMasterAuthenticationServer:
      return &lists.vecAuth;
    case common::eConfigServer:
      return &lists.vecConfig;
    case common::eContentServerDirectoryServer:
      return &lists.vecCsds;
    default:
      return &s_vecNone;  // types this deployment has no servers of
  }
}

// Sends the reply and waits until the client has closed its side; the log says how far it got.
void SendReplyAndAwaitClose(CConversation& conversation, common::CWSABUFWrapper& wrapper,
                            SConversationLog& log, const std::string& sWhat) {
  conversation.Send(wrapper);
  log.sResult = "sent " + sWhat;
  conversation.AwaitPeerClose();
  log.sResult = "ok, " + sWhat;
}

}  // namespace

void ServeGeneralDirectory(CConversation& conversation, const SDirectoryLists& lists,
                           SConversationLog& log) {
  common::CWSABUFWrapper wrapper(sc_uSmallStorage, 1);
  if (!Handshake(conversation, wrapper, common::sc_u32GeneralDirectoryServerProtocolVersion, log))
    return;
  if (!ReceiveRequest(conversation, wrapper, log)) return;
  uint8_t u8Type = common::ExtractGeneralDirectoryServerQuery(wrapper);
  log.sRequest = "type " + std::to_string(u8Type);

  // A reply holds as many addresses as the client's message buffer takes.
  const std::vector<common::CIPAddrPort>& vec = *ListOfType(lists, u8Type);
  size_t uCount =
      std::min<size_t>(vec.size(), common::sc_uMaxAddressesPerGeneralDirectoryServerReply);
  wrapper.Reset();
  common::AppendGeneralDirectoryServerReply(wrapper, vec);
  SendReplyAndAwaitClose(conversation, wrapper, log, std::to_string(uCount) + " address(es)");
}

void ServeContentServerDirectory(CConversation& conversation, const ContentServerChooser& fnChoose,
                                 SConversationLog& log) {
  common::CWSABUFWrapper wrapper(sc_uSmallStorage, 1);
  if (!Handshake(conversation, wrapper, common::sc_u32ContentServerDirectoryServerProtocolVersion,
                 log))
    return;
  if (!ReceiveRequest(conversation, wrapper, log)) return;
  common::SContentServerQuery query = common::ExtractContentServerQuery(wrapper);
  log.sRequest = "max " + std::to_string(query.u16MaxContentServers);

  std::vector<common::CIPAddrPort> vecChosen =
      fnChoose(std::min<size_t>(query.u16MaxContentServers, common::sc_uMaxContentServersPerReply));
  size_t uCount = vecChosen.size();
  wrapper.Reset();
  common::AppendContentServerReply(wrapper, vecChosen, query.u16MaxContentServers);
  SendReplyAndAwaitClose(conversation, wrapper, log, std::to_string(uCount) + " content server(s)");
}

void ServeConfiguration(CConversation& conversation, const CPublishDirectory& dir,
                        SConversationLog& log) {
  common::CWSABUFWrapper wrapper(sc_uSmallStorage, 1);
  if (!Handshake(conversation, wrapper, common::sc_u32ConfigServerProtocolVersion, log)) return;
  if (!ReceiveRequest(conversation, wrapper, log)) return;
  uint8_t u8Command = common::ExtractClientConfigRecordRequest(wrapper);
  log.sRequest = "command " + std::to_string(u8Command);
  if (u8Command != common::sc_u8SendClientConfigRecordCommand) {
    log.sResult = "unknown command, connection closed";
    log.eOutcome = eBadRequest;
    return;
  }
  // Read afresh for every request: a publish is seen at once.
  std::string sWhy;
  std::unique_ptr<Weft::CClientConfigRecord> pRecord = dir.LoadClientConfigRecord(sWhy);
  if (!pRecord) {
    log.sResult = sWhy + ", connection closed";
    log.eOutcome = eFailed;
    return;
  }
  wrapper.Reset();
  common::AppendClientConfigRecordReply(wrapper, *pRecord);
  conversation.Send(wrapper);
  log.sResult = "sent record";
  conversation.AwaitPeerClose();
  log.sResult = "ok, bootstrapper " + std::to_string(pRecord->GetCurrentClientBootstrapVersion()) +
                ", client " + std::to_string(pRecord->GetCurrentClientAppPackageVersion());
}

void ServeContent(CConversation& conversation, const CPublishDirectory& dir,
                  SConversationLog& log) {
  common::CWSABUFWrapper wrapper(sc_uContentStorage, 1);
  if (!Handshake(conversation, wrapper, common::sc_u32PublicContentServerProtocolVersion, log))
    return;
  if (!ReceiveRequest(conversation, wrapper, log)) return;
  common::SFileRequest request = common::ExtractFileRequest(wrapper);
  const std::string& sName = request.sFileName;
  uint32_t u32Offset = request.u32Offset;
  log.sRequest = "file " + sName;
  if (u32Offset != 0) log.sRequest += " from " + std::to_string(u32Offset);
  if (request.u8Command != common::sc_u8SendFileCommand) {
    log.sRequest = "command " + std::to_string(request.u8Command);
    log.sResult = "unknown command, connection closed";
    log.eOutcome = eBadRequest;
    return;
  }

  // A file the server does not have, may not serve, or cannot describe in the 32-bit
  // lengths of the reply is answered by closing the connection.
  platform::CFile file;
  uint64_t u64Size = 0;
  if (!dir.OpenServedFile(sName, file, u64Size)) {
    log.sResult = CPublishDirectory::IsServableName(sName) ? "no such file, connection closed"
                                                           : "refused name, connection closed";
    log.eOutcome = eBadRequest;
    return;
  }
  if (u64Size > 0xffffffffu || u32Offset > u64Size) {
    bool bBadOffset = u32Offset > u64Size;
    log.sResult = bBadOffset ? "offset beyond the end, connection closed"
                             : "file too large, connection closed";
    log.eOutcome = bBadOffset ? eBadRequest : eFailed;
    return;
  }
  uint32_t u32Size = static_cast<uint32_t>(u64Size);
  wrapper.Reset();
  common::AppendFileInfo(wrapper, u32Size, u32Size - u32Offset);
  conversation.Send(wrapper);
  conversation.SendFile(file, u32Offset, u32Size - u32Offset);
  file.Close();
  log.sResult = "sent " + std::to_string(u32Size - u32Offset) + " file bytes";
  conversation.AwaitPeerClose();
  log.sResult = "ok";
}

}  // namespace larchserver
