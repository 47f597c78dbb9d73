#include "bootstrapper/PackageInstall.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "platform/File.h"
#include "platform/SystemError.h"
#include "support/Assert.h"
#include "support/FileUtil.h"

namespace bootstrapper {
namespace {

std::string ErrnoSuffix(uint32_t uError) {
  return " (errno = " + std::to_string(uError) + ")";
}

// The manifest holds entry names as the package gives them, with backslashes; the file on
// this platform uses its own separator.
std::string LocalFileName(const std::string& sEntryName) {
  std::string sName = sEntryName;
  for (char& c : sName) {
    if (c == '\\' || c == '/') c = platform::PreferredSeparator();
  }
  return sName;
}

bool IsFile(const std::string& sName) {
  platform::SFileStatus status;
  return platform::GetFileStatus(sName, status) && status.bExists && !status.bDirectory;
}

// Owns a stdio stream; the manifest is text, so line ends follow the platform.
class CTextFile {
 public:
  CTextFile(const std::string& sName, const char* pszMode)
      : m_pFile(std::fopen(sName.c_str(), pszMode)) {}
  ~CTextFile() {
    if (m_pFile) std::fclose(m_pFile);
  }
  CTextFile(const CTextFile&) = delete;
  CTextFile& operator=(const CTextFile&) = delete;
  FILE* Get() const { return m_pFile; }
  bool Close() {
    FILE* pFile = m_pFile;
    m_pFile = nullptr;
    return std::fclose(pFile) == 0;
  }

 private:
  FILE* m_pFile;
};

}  // namespace

bool IsNameInsideDirectory(const std::string& sName) {
  if (sName.empty()) return false;
  if (sName[0] == '/' || sName[0] == '\\') return false;
  if (sName.size() >= 2 && sName[1] == ':') return false;
  size_t uStart = 0;
  while (uStart <= sName.size()) {
    size_t uEnd = sName.find_first_of("/\\", uStart);
    if (uEnd == std::string::npos) uEnd = sName.size();
    if (sName.compare(uStart, uEnd - uStart, "..") == 0) return false;
    uStart = uEnd + 1;
  }
  return true;
}

void WritePackageManifest(const std::vector<std::string>& entryNames, const std::string& sComponent,
                          int32_t nVersion) {
  std::string sManifest = CInstallLayout::ManifestName(sComponent, nVersion);
  CTextFile file(sManifest, "w");
  if (!file.Get()) throw std::runtime_error("unable to open " + sManifest + " for writing");
  bool bOk = true;
  for (const std::string& sName : entryNames) {
    if (std::fprintf(file.Get(), "%s\n", sName.c_str()) < 0) bOk = false;
  }
  // A manifest that did not reach the disk would later leave stale files behind.
  if (!file.Close() || !bOk) {
    throw std::runtime_error("unable to write " + sManifest + ErrnoSuffix(errno));
  }
}

std::set<std::string> ReadManifest(const std::string& sManifestFile) {
  CTextFile file(sManifestFile, "r");
  if (!file.Get()) throw std::runtime_error("unable to open " + sManifestFile + " for reading");
  std::set<std::string> names;
  char szLine[260];
  for (;;) {
    errno = 0;
    if (!std::fgets(szLine, sizeof(szLine), file.Get())) {
      if (std::feof(file.Get())) break;
      throw std::runtime_error("error reading " + sManifestFile + ErrnoSuffix(errno));
    }
    size_t uLen = std::strlen(szLine);
    if (uLen > 0 && szLine[uLen - 1] == '\n') szLine[--uLen] = '\0';
    if (!names.insert(szLine).second) {
      throw std::runtime_error("error reading " + sManifestFile + " (unable to add to set)");
    }
  }
  return names;
}

void DeleteStaleFiles(const std::string& sComponent, int32_t nOldVersion, int32_t nNewVersion) {
  LARCH_PRECONDITION("HavePackageBaseName", sComponent.length());
  std::string sOldManifest = CInstallLayout::ManifestName(sComponent, nOldVersion);
  std::string sNewManifest = CInstallLayout::ManifestName(sComponent, nNewVersion);
  if (!IsFile(sNewManifest)) {
    throw std::runtime_error("Manifest file " + sNewManifest + " does not exist");
  }
  if (!IsFile(sOldManifest)) return;
  // A reinstall of the recorded version: the one manifest is the new one and stays.
  if (nOldVersion == nNewVersion) return;
  std::set<std::string> oldNames = ReadManifest(sOldManifest);
  std::set<std::string> newNames = ReadManifest(sNewManifest);
  for (const std::string& sName : oldNames) {
    if (newNames.count(sName) || !IsNameInsideDirectory(sName)) continue;
    std::string sFile = LocalFileName(sName);
    if (!IsFile(sFile)) continue;
    if (!platform::SetReadOnly(sFile, false) || !platform::RemoveFile(sFile)) {
      throw std::runtime_error("Unable to delete " + sName +
                               ErrnoSuffix(platform::GetLastSystemError()));
    }
  }
  if (!platform::RemoveFile(sOldManifest)) {
    throw std::runtime_error("Unable to delete " + sOldManifest +
                             ErrnoSuffix(platform::GetLastSystemError()));
  }
}

void CPackageInstaller::DownloadPackage(const std::string& sPackageFile) {
  LARCH_PRECONDITION("HavePackageName", sPackageFile.length());
  if (m_contentServers.empty()) throw std::runtime_error("No public CSes logged-in.");
  common::CMallocedBlock data =
      m_pServices->GetFile(m_contentServers.front(), sPackageFile, m_pfnProgress);
  common::CFileUtil::WriteWholeFile(sPackageFile, data.Data(), data.Size());
}

void CPackageInstaller::Install(const std::string& sPackageFile, const std::string& sComponent,
                                int32_t nOldVersion, int32_t nNewVersion) {
  std::vector<std::string> entryNames = m_pServices->UnpackPackage(sPackageFile);
  WritePackageManifest(entryNames, sComponent, nNewVersion);
  DeleteStaleFiles(sComponent, nOldVersion, nNewVersion);
}

}  // namespace bootstrapper
