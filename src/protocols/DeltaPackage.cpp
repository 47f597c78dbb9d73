#include "protocols/DeltaPackage.h"

#include <sstream>

namespace common {
namespace {

const char sc_szHeader[] = "larch delta file list 1";
const char sc_szInstalled[] = "installed ";
constexpr uint64_t sc_u64MaxNumber = 0xFFFFFFFFFFFFFFFFull;

[[noreturn]] void Damaged(const std::string& sProblem) {
  throw CDeltaFileListError("delta file list is damaged: " + sProblem);
}

// A decimal number without sign or leading zeros that fits u64Max.
uint64_t ParseNumber(const std::string& sText, uint64_t u64Max, const char* pszWhat) {
  const bool bDigits = !sText.empty() && sText.size() <= 20 &&
                       sText.find_first_not_of("0123456789") == std::string::npos &&
                       (sText.size() == 1 || sText[0] != '0');
  uint64_t u64Value = 0;
  for (char c : sText) {
    const uint64_t u64Digit = static_cast<uint64_t>(c - '0');
    if (!bDigits || u64Value > (u64Max - u64Digit) / 10) Damaged(std::string("bad ") + pszWhat);
    u64Value = u64Value * 10 + u64Digit;
  }
  if (!bDigits) Damaged(std::string("bad ") + pszWhat);
  return u64Value;
}

Sha256Digest ParseHash(const std::string& sHex) {
  Sha256Digest hash{};
  if (!FromHex(sHex, hash.data(), hash.size()) || sHex != ToLowerHex(hash.data(), hash.size())) {
    Damaged("bad hash");
  }
  return hash;
}

SDeltaListedFile ParseFileLine(const std::string& sLine) {
  const size_t uSpace = sLine.find(' ');
  const size_t uHashEnd = uSpace == std::string::npos ? uSpace : sLine.find(' ', uSpace + 1);
  if (uHashEnd == std::string::npos) Damaged("bad file line");
  SDeltaListedFile file;
  file.u64Size = ParseNumber(sLine.substr(0, uSpace), sc_u64MaxNumber, "size");
  const std::string sHash = sLine.substr(uSpace + 1, uHashEnd - uSpace - 1);
  file.bFromInstallation = sHash == "-";
  if (!file.bFromInstallation) file.hash = ParseHash(sHash);
  file.sEntryName = sLine.substr(uHashEnd + 1);
  if (file.sEntryName.empty()) Damaged("empty name");
  for (char c : file.sEntryName) {
    if (static_cast<unsigned char>(c) < 0x20) Damaged("control character in a name");
  }
  return file;
}

}  // namespace

const char sc_szDeltaFileListEntry[] = "|delta-files|";

std::string DeltaPackageName(const std::string& sComponent, uint32_t u32From, uint32_t u32To) {
  return sComponent + "_" + std::to_string(u32From) + "-" + std::to_string(u32To) + ".pkg";
}

Sha256Digest InstalledFilesDigest(const std::vector<Sha256Digest>& hashes) {
  CSha256 sha;
  for (const Sha256Digest& hash : hashes) sha.Update(hash.data(), hash.size());
  return sha.Final();
}

void SetInstalledFilesHash(SDeltaFileList& list) {
  std::vector<Sha256Digest> hashes;
  for (const SDeltaListedFile& file : list.files) {
    if (file.bFromInstallation) hashes.push_back(file.hash);
  }
  list.installedFilesHash = InstalledFilesDigest(hashes);
}

std::string FormatDeltaFileList(const SDeltaFileList& list) {
  std::string sText = std::string(sc_szHeader) + "\nfrom " + std::to_string(list.u32FromVersion) +
                      " to " + std::to_string(list.u32ToVersion) + "\n";
  for (const SDeltaListedFile& file : list.files) {
    sText += std::to_string(file.u64Size) + " " +
             (file.bFromInstallation ? "-" : ToLowerHex(file.hash.data(), file.hash.size())) + " " +
             file.sEntryName + "\n";
  }
  return sText + sc_szInstalled +
         ToLowerHex(list.installedFilesHash.data(), list.installedFilesHash.size()) + "\nend\n";
}

SDeltaFileList ParseDeltaFileList(const std::string& sText) {
  std::vector<std::string> lines;
  size_t uStart = 0;
  for (size_t uEnd; (uEnd = sText.find('\n', uStart)) != std::string::npos; uStart = uEnd + 1) {
    lines.push_back(sText.substr(uStart, uEnd - uStart));
  }
  if (uStart != sText.size()) Damaged("the last line is cut");
  if (lines.size() < 4 || lines[0] != sc_szHeader) Damaged("not a delta file list");
  if (lines.back() != "end") Damaged("no end line");
  const std::string& sInstalled = lines[lines.size() - 2];
  if (sInstalled.compare(0, sizeof(sc_szInstalled) - 1, sc_szInstalled) != 0) {
    Damaged("no installed files line");
  }
  const std::string& sVersions = lines[1];
  const size_t uTo = sVersions.find(" to ");
  if (sVersions.compare(0, 5, "from ") != 0 || uTo == std::string::npos) Damaged("bad versions");
  SDeltaFileList list;
  list.u32FromVersion =
      static_cast<uint32_t>(ParseNumber(sVersions.substr(5, uTo - 5), 0xFFFFFFFFu, "version"));
  list.u32ToVersion =
      static_cast<uint32_t>(ParseNumber(sVersions.substr(uTo + 4), 0xFFFFFFFFu, "version"));
  list.installedFilesHash = ParseHash(sInstalled.substr(sizeof(sc_szInstalled) - 1));
  for (size_t u = 2; u + 2 < lines.size(); ++u) {
    SDeltaListedFile file = ParseFileLine(lines[u]);
    if (!list.files.empty() && !(list.files.back().sEntryName < file.sEntryName)) {
      Damaged("names out of order or repeated");
    }
    list.files.push_back(std::move(file));
  }
  return list;
}

}  // namespace common
