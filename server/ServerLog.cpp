#include "ServerLog.h"

#include <chrono>
#include <ctime>

namespace larchserver {
namespace {

std::string Quoted(const std::string& sText) {
  static const char sc_szHex[] = "0123456789ABCDEF";
  std::string sOut = "\"";
  for (unsigned char c : sText) {
    if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
      sOut += "\\x";
      sOut += sc_szHex[c >> 4];
      sOut += sc_szHex[c & 15];
    } else {
      sOut += static_cast<char>(c);
    }
  }
  return sOut + "\"";
}

}  // namespace

std::string CServerLog::Format(const SConversationLog& entry) {
  return "peer=" + entry.sPeer + " role=" + entry.sRole + " request=" + Quoted(entry.sRequest) +
         " result=" + Quoted(entry.sResult) + " bytes=" + std::to_string(entry.u64BytesSent) +
         " ms=" + std::to_string(entry.u64Milliseconds);
}

std::string CServerLog::FormatSummary(const SLogCounts& counts) {
  static const char* const sc_apszOutcomes[eNumOutcomes] = {"ok", "over-limit", "bad-request",
                                                            "timed-out", "failed"};
  std::string sLine = "summary";
  for (int n = 0; n < eNumRoles; ++n) {
    sLine += std::string(" ") + RoleName(static_cast<ERole>(n)) + "=" +
             std::to_string(counts.au64PerRole[n]);
  }
  for (int n = 0; n < eNumOutcomes; ++n) {
    sLine += std::string(" ") + sc_apszOutcomes[n] + "=" + std::to_string(counts.au64PerOutcome[n]);
  }
  return sLine + " bytes=" + std::to_string(counts.u64BytesSent);
}

void CServerLog::Write(const SConversationLog& entry) {
  std::string sLine = Format(entry);
  std::lock_guard<std::mutex> lock(m_mutex);
  for (int n = 0; n < eNumRoles; ++n) {
    if (entry.sRole == RoleName(static_cast<ERole>(n))) ++m_counts.au64PerRole[n];
  }
  ++m_counts.au64PerOutcome[entry.eOutcome];
  m_counts.u64BytesSent += entry.u64BytesSent;
  WriteLine(sLine);
}

void CServerLog::Note(const std::string& sText) {
  std::lock_guard<std::mutex> lock(m_mutex);
  WriteLine(sText);
}

void CServerLog::WriteSummary() {
  std::lock_guard<std::mutex> lock(m_mutex);
  WriteLine(FormatSummary(m_counts));
  m_counts = SLogCounts();
}

void CServerLog::WriteLine(const std::string& sLine) {
  std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  char szTime[32] = "";
  // gmtime's buffer is shared; the lock covers it too.
  if (const std::tm* pTm = std::gmtime(&now)) {
    std::strftime(szTime, sizeof(szTime), "%Y-%m-%dT%H:%M:%SZ", pTm);
  }
  std::fprintf(m_pOut, "%s %s\n", szTime, sLine.c_str());
  std::fflush(m_pOut);
}

}  // namespace larchserver
