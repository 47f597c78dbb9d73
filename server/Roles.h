// What each role answers, one function per role. Each runs one whole conversation on an
// accepted connection: the version handshake, the request, the reply and the client's close.
// A request the role does not understand, and a file it does not have, end the conversation
// by closing the connection. The log entry receives what was asked and how it ended; a role
// sets the outcome when it ends the conversation itself, the caller when a throw ends it.
#pragma once

#include <functional>
#include <vector>

#include "Conversation.h"
#include "PublishDirectory.h"
#include "ServerLog.h"
#include "network/IPAddrPort.h"

namespace larchserver {

// The address lists the directory servers give out.
struct SDirectoryLists {
  std::vector<common::CIPAddrPort> vecAuth;     // server type 0
  std::vector<common::CIPAddrPort> vecConfig;   // server type 3
  std::vector<common::CIPAddrPort> vecCsds;     // server type 6
  std::vector<common::CIPAddrPort> vecContent;  // the content-server directory's answer
};

void ServeGeneralDirectory(CConversation& conversation, const SDirectoryLists& lists,
                           SConversationLog& log);
// The content servers for one answer of at most uMax.
using ContentServerChooser = std::function<std::vector<common::CIPAddrPort>(size_t uMax)>;

void ServeContentServerDirectory(CConversation& conversation, const ContentServerChooser& fnChoose,
                                 SConversationLog& log);
void ServeConfiguration(CConversation& conversation, const CPublishDirectory& dir,
                        SConversationLog& log);
void ServeContent(CConversation& conversation, const CPublishDirectory& dir, SConversationLog& log);

}  // namespace larchserver
