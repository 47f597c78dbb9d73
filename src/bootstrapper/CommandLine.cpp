#include "bootstrapper/CommandLine.h"

#include <cctype>
#include <cstring>
#include <stdexcept>

#include "platform/File.h"
#include "support/Assert.h"
#include "support/SafeClibStringReplacements.h"

namespace bootstrapper {

SPathParts SplitPath(const std::string& sPath) {
  SPathParts parts;
  size_t uStart = 0;
  if (sPath.size() >= 2 && sPath[1] == ':' && std::isalpha(static_cast<unsigned char>(sPath[0]))) {
    parts.sDrive = sPath.substr(0, 2);
    uStart = 2;
  }
  size_t uNameStart = uStart;
  for (size_t u = uStart; u < sPath.size(); ++u) {
    if (platform::IsSeparator(sPath[u])) uNameStart = u + 1;
  }
  parts.sDirectory = sPath.substr(uStart, uNameStart - uStart);
  std::string sName = sPath.substr(uNameStart);
  size_t uDot = sName.rfind('.');
  if (uDot == std::string::npos) {
    parts.sFileName = sName;
  } else {
    parts.sFileName = sName.substr(0, uDot);
    parts.sExtension = sName.substr(uDot);
  }
  return parts;
}

CCommandLine::CCommandLine() {
  std::memset(m_aszSlots, 0, sizeof(m_aszSlots));
  std::memset(m_apArgv, 0, sizeof(m_apArgv));
}

void CCommandLine::AddArgument(const std::string& sArg) {
  if (m_nArgc >= sc_nMaxArgs) {
    throw std::runtime_error("Too many command-line arguments (at most " +
                             std::to_string(sc_nMaxArgs) + " are allowed)");
  }
  if (sArg.size() >= sc_uSlotSize) {
    throw std::runtime_error("Command-line argument too long (at most " +
                             std::to_string(sc_uSlotSize - 1) + " characters): " + sArg);
  }
  char* pszSlot = m_aszSlots[m_nArgc];
  common::SafeStrncpy(pszSlot, sArg.c_str(), sc_uSlotSize);
  pszSlot[sArg.size()] = '\0';
  m_apArgv[m_nArgc++] = pszSlot;
}

void CCommandLine::Parse(const std::string& sLine) {
  size_t u = 0;
  const size_t uEnd = sLine.size();
  while (u < uEnd) {
    char c = sLine[u];
    if (c == '"') {
      size_t uClose = sLine.find('"', u + 1);
      if (uClose == std::string::npos) {
        common::DebugAssert("pszEndQuote", __FILE__, __LINE__);
        AddArgument(sLine.substr(u + 1));
        break;
      }
      AddArgument(sLine.substr(u + 1, uClose - u - 1));
      u = uClose + 1;
    } else if (!std::isspace(static_cast<unsigned char>(c))) {
      size_t uBlank = sLine.find(' ', u);
      if (uBlank == std::string::npos) uBlank = uEnd;
      AddArgument(sLine.substr(u, uBlank - u));
      u = uBlank;
    } else {
      ++u;
    }
  }
  if (m_nArgc == 0) throw std::runtime_error("Empty command line");
}

std::string QuoteProgramName(const std::string& sName) {
  if (sName.find_first_of(" \t") == std::string::npos) return sName;
  return "\"" + sName + "\"";
}

}  // namespace bootstrapper
