#include "bootstrapper/InstallJournal.h"

#include <cstdint>
#include <sstream>
#include <stdexcept>

#include "platform/File.h"
#include "platform/SystemError.h"

namespace bootstrapper {
namespace {

constexpr const char* sc_pszInstalling = "installing ";
constexpr const char* sc_pszVersion = " version ";
constexpr const char* sc_pszEnd = "end";
// A journal lists at most as many files as a package holds; this bounds what is read.
constexpr uint64_t sc_u64MaxJournalSize = 64u << 20;

bool ReadWholeFile(const std::string& sFile, std::string& sText) {
  platform::CFile file;
  uint64_t u64Size = 0;
  if (!file.Open(sFile, platform::CFile::eRead) || !file.GetSize(u64Size) ||
      u64Size > sc_u64MaxJournalSize) {
    return false;
  }
  sText.resize(static_cast<size_t>(u64Size));
  uint64_t u64Read = 0;
  while (u64Read < u64Size) {
    int64_t n = file.Read(&sText[u64Read], u64Size - u64Read);
    if (n <= 0) return false;
    u64Read += static_cast<uint64_t>(n);
  }
  return true;
}

}  // namespace

bool ParseDecimal(const std::string& sText, uint64_t u64Max, uint64_t& u64Value) {
  if (sText.empty() || sText.size() > 18 || (sText.size() > 1 && sText[0] == '0') ||
      sText.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  u64Value = std::stoull(sText);
  return u64Value <= u64Max;
}

std::string CInstallJournal::Text() const {
  std::string sText =
      sc_pszInstalling + m_sComponent + sc_pszVersion + std::to_string(m_nVersion) + "\n";
  for (const SStagedFile& file : m_files) {
    sText += std::to_string(file.u64Size) + " " + file.sEntryName + "\n";
  }
  return sText + sc_pszEnd + "\n";
}

bool CInstallJournal::Parse(const std::string& sText) {
  std::istringstream in(sText);
  std::string sLine;
  if (!std::getline(in, sLine) || sLine.compare(0, 11, sc_pszInstalling) != 0) return false;
  const size_t uVersion = sLine.rfind(sc_pszVersion);
  CInstallJournal journal;
  uint64_t u64Version = 0;
  if (uVersion == std::string::npos || uVersion <= 11 ||
      !ParseDecimal(sLine.substr(uVersion + 9), INT32_MAX, u64Version)) {
    return false;
  }
  journal.m_nVersion = static_cast<int32_t>(u64Version);
  journal.m_sComponent = sLine.substr(11, uVersion - 11);
  while (std::getline(in, sLine)) {
    if (sLine == sc_pszEnd) {
      // Nothing may follow the last line.
      if (in.peek() != std::char_traits<char>::eof()) return false;
      *this = std::move(journal);
      return true;
    }
    const size_t uBlank = sLine.find(' ');
    SStagedFile file;
    if (uBlank == std::string::npos || uBlank + 1 == sLine.size() ||
        !ParseDecimal(sLine.substr(0, uBlank), UINT64_MAX, file.u64Size)) {
      return false;
    }
    file.sEntryName = sLine.substr(uBlank + 1);
    journal.m_files.push_back(std::move(file));
  }
  return false;
}

void CInstallJournal::Write(const std::string& sFile) const {
  const std::string sTemp = sFile + ".tmp";
  const std::string sText = Text();
  platform::CFile file;
  bool bOk = file.Open(sTemp, platform::CFile::eCreate) && file.Write(sText.data(), sText.size()) &&
             file.Flush();
  file.Close();
  bOk = bOk && platform::RenameFile(sTemp, sFile) && platform::FlushDirectory(".");
  if (!bOk) {
    const uint32_t uError = platform::GetLastSystemError();
    platform::RemoveFile(sTemp);
    throw std::runtime_error("unable to write the journal " + sFile +
                             " (errno = " + std::to_string(uError) + ")");
  }
}

bool CInstallJournal::Read(const std::string& sFile) {
  std::string sText;
  return ReadWholeFile(sFile, sText) && Parse(sText);
}

}  // namespace bootstrapper
