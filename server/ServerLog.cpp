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

void CServerLog::Write(const SConversationLog& entry) {
  WriteLine(Format(entry));
}

void CServerLog::Note(const std::string& sText) {
  WriteLine(sText);
}

void CServerLog::WriteLine(const std::string& sLine) {
  std::lock_guard<std::mutex> lock(m_mutex);
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
