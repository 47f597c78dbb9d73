// The conversation log of larch-server: one line per conversation, written whole so that the
// lines of concurrent conversations never mix, and now and then a summary line of what it has
// written since the previous summary. Thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "ServerOptions.h"

namespace larchserver {

// How a conversation ended, for the summary.
enum EOutcome {
  eServed,
  eOverLimit,   // closed at once: a limit was reached
  eBadRequest,  // malformed, another protocol version, an unknown command, a file not served
  eTimedOut,
  eFailed,  // anything else: the client left, a send failed, the server stopped or lacks data
  eNumOutcomes
};

// The counts of one summary.
struct SLogCounts {
  std::array<uint64_t, eNumRoles> au64PerRole{};
  std::array<uint64_t, eNumOutcomes> au64PerOutcome{};
  uint64_t u64BytesSent = 0;
};

struct SConversationLog {
  std::string sPeer;     // "ip:port" of the client
  std::string sRole;     // "gds", "csds", "config", "content"
  std::string sRequest;  // what was asked, e.g. "type 3" or "file Larch_12.pkg"
  std::string sResult;   // "ok", or why the conversation ended otherwise
  uint64_t u64BytesSent = 0;
  uint64_t u64Milliseconds = 0;
  EOutcome eOutcome = eServed;
};

class CServerLog {
 public:
  explicit CServerLog(FILE* pOut) : m_pOut(pOut) {}

  // "<UTC time> peer=... role=... request="..." result="..." bytes=N ms=N"
  void Write(const SConversationLog& entry);
  // A line about the server itself (start, stop).
  void Note(const std::string& sText);
  // Writes the summary line of the entries written since the last one, and starts anew.
  void WriteSummary();

  // The line Write prints, without the time stamp. Texts from the network are escaped: a
  // quote, a backslash and bytes outside printable ASCII become \xNN.
  static std::string Format(const SConversationLog& entry);
  // "summary gds=N csds=N config=N content=N ok=N over-limit=N bad-request=N timed-out=N
  // failed=N bytes=N" (one line).
  static std::string FormatSummary(const SLogCounts& counts);

 private:
  // The caller holds m_mutex.
  void WriteLine(const std::string& sLine);

  FILE* m_pOut;
  std::mutex m_mutex;
  SLogCounts m_counts;  // under m_mutex
};

}  // namespace larchserver
