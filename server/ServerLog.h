// The conversation log of larch-server: one line per conversation, written whole so that the
// lines of concurrent conversations never mix. Thread-safe.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace larchserver {

struct SConversationLog {
  std::string sPeer;     // "ip:port" of the client
  std::string sRole;     // "gds", "csds", "config", "content"
  std::string sRequest;  // what was asked, e.g. "type 3" or "file Larch_12.pkg"
  std::string sResult;   // "ok", or why the conversation ended otherwise
  uint64_t u64BytesSent = 0;
  uint64_t u64Milliseconds = 0;
};

class CServerLog {
 public:
  explicit CServerLog(FILE* pOut) : m_pOut(pOut) {}

  // "<UTC time> peer=... role=... request="..." result="..." bytes=N ms=N"
  void Write(const SConversationLog& entry);
  // A line about the server itself (start, stop).
  void Note(const std::string& sText);

  // The line Write prints, without the time stamp. Texts from the network are escaped: a
  // quote, a backslash and bytes outside printable ASCII become \xNN.
  static std::string Format(const SConversationLog& entry);

 private:
  void WriteLine(const std::string& sLine);

  FILE* m_pOut;
  std::mutex m_mutex;
};

}  // namespace larchserver
