#include "bootstrapper/PackageInstall.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "package/PkgFileTOCindex.h"
#include "platform/File.h"
#include "platform/SystemError.h"
#include "protocols/PublicContentServerCommands.h"
#include "support/Assert.h"
#include "support/ErrorCodeException.h"

namespace bootstrapper {
namespace {

std::string ErrnoSuffix(uint32_t uError) {
  return " (errno = " + std::to_string(uError) + ")";
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

// Which content server the next download attempt goes to: after a lost connection the same
// server once more, then the next one of the list (round again while any has attempts left);
// a server that refused is not asked again; no server gets more than three attempts.
class CServerRotation {
 public:
  explicit CServerRotation(size_t uServers) : m_attempts(uServers, 0) {}
  size_t Current() const { return m_uCurrent; }
  void CountAttempt() { ++m_attempts[m_uCurrent]; }
  // After a failed attempt: false when no server has an attempt left.
  bool Next(bool bRefused) {
    if (bRefused) m_attempts[m_uCurrent] = sc_uMaxAttempts;
    if (++m_uFailuresInARow < 2 && m_attempts[m_uCurrent] < sc_uMaxAttempts) return true;
    for (size_t i = 1; i <= m_attempts.size(); ++i) {
      size_t uServer = (m_uCurrent + i) % m_attempts.size();
      if (m_attempts[uServer] < sc_uMaxAttempts) {
        m_uCurrent = uServer;
        m_uFailuresInARow = 0;
        return true;
      }
    }
    return false;
  }

 private:
  static constexpr uint32_t sc_uMaxAttempts = 3;
  std::vector<uint32_t> m_attempts;  // per server
  size_t m_uCurrent = 0;
  uint32_t m_uFailuresInARow = 0;  // on the current server
};

std::runtime_error HashMismatch(const std::string& sPackageFile) {
  return std::runtime_error("package " + sPackageFile + " does not match its published hash");
}

std::runtime_error ReadBackError(const std::string& sPart) {
  return std::runtime_error("unable to read back " + sPart +
                            ErrnoSuffix(platform::GetLastSystemError()));
}

// Opens the part file to download into: one of an earlier run is kept when the published size
// and hash can tell whether its bytes belong to the package, and it is not longer.
void OpenPartFile(const std::string& sPart, const SPackageDigest* pDigest, platform::CFile& file) {
  platform::SFileStatus status;
  const bool bFound = platform::GetFileStatus(sPart, status) && status.bExists;
  if (bFound && pDigest && status.u64Size <= pDigest->u64Size &&
      file.Open(sPart, platform::CFile::eReadWrite)) {
    return;
  }
  if (bFound && !platform::RemoveFile(sPart)) {
    throw std::runtime_error("Unable to delete " + sPart +
                             ErrnoSuffix(platform::GetLastSystemError()));
  }
  if (!file.Open(sPart, platform::CFile::eCreateExclusive)) {
    throw std::runtime_error("unable to open " + sPart + " for writing");
  }
}

// Brings the hash to the bytes on disk when it has not seen them all (a part file resumed from
// an earlier run): it is fed them again from the start.
void HashBytesOnDisk(const std::string& sPart, platform::CFile& file, uint64_t u64OnDisk,
                     common::CSha256& hash) {
  if (hash.BytesFed() == u64OnDisk) return;
  hash.Final();
  std::vector<uint8_t> buffer(common::sc_uFileChunkSize);
  const bool bAtStart = file.Seek(0);
  while (hash.BytesFed() < u64OnDisk) {
    const int64_t n64Read = bAtStart ? file.Read(buffer.data(), buffer.size()) : -1;
    if (n64Read <= 0) throw ReadBackError(sPart);
    hash.Update(buffer.data(), static_cast<size_t>(n64Read));
  }
}

// The file positioned after the bytes on disk, and the hash (when there is one) fed them; returns
// their count.
uint64_t SeekToEnd(const std::string& sPart, platform::CFile& file, common::CSha256* pHash) {
  uint64_t u64OnDisk = 0;
  if (!file.GetSize(u64OnDisk)) throw ReadBackError(sPart);
  if (pHash) HashBytesOnDisk(sPart, file, u64OnDisk, *pHash);
  if (!file.Seek(u64OnDisk)) throw ReadBackError(sPart);
  return u64OnDisk;
}

// True for the part file of a package in resumable, not longer than the package.
bool IsResumable(const std::string& sName, uint64_t u64Size,
                 const std::map<std::string, uint64_t>& resumable) {
  for (const auto& entry : resumable) {
    if (sName == CInstallLayout::PartName(entry.first)) return u64Size <= entry.second;
  }
  return false;
}

// Deletes a file, read-only or not; one that is not there is fine.
void RemoveInstalledFile(const std::string& sFile, const std::string& sShownName) {
  if (!IsFile(sFile)) return;
  if (!platform::SetReadOnly(sFile, false) || !platform::RemoveFile(sFile)) {
    throw std::runtime_error("Unable to delete " + sShownName +
                             ErrnoSuffix(platform::GetLastSystemError()));
  }
}

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

void WritePackageManifest(const std::vector<std::string>& entryNames, const std::string& sComponent,
                          int32_t nVersion) {
  std::string sManifest = CInstallLayout::ManifestName(sComponent, nVersion);
  {
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
  platform::CFile written;
  if (!written.Open(sManifest, platform::CFile::eReadWrite) || !written.Flush()) {
    throw std::runtime_error("unable to write " + sManifest +
                             ErrnoSuffix(platform::GetLastSystemError()));
  }
}

std::set<std::string> ReadManifest(const std::string& sManifestFile) {
  CTextFile file(sManifestFile, "r");
  if (!file.Get()) throw std::runtime_error("unable to open " + sManifestFile + " for reading");
  std::set<std::string> names;
  std::string sLine;
  char szPiece[common::CPkgFileTOCindex::sc_uMaxFileNameLen + 2];
  for (;;) {
    errno = 0;
    if (!std::fgets(szPiece, sizeof(szPiece), file.Get())) {
      if (!std::feof(file.Get())) {
        throw std::runtime_error("error reading " + sManifestFile + ErrnoSuffix(errno));
      }
      if (!sLine.empty()) names.insert(sLine);
      return names;
    }
    sLine += szPiece;
    if (sLine.back() != '\n') continue;
    sLine.pop_back();
    if (!sLine.empty()) names.insert(sLine);
    sLine.clear();
  }
}

void DeleteStaleFiles(const std::string& sComponent, int32_t nNewVersion, bool bIgnoreCase) {
  LARCH_PRECONDITION("HavePackageBaseName", sComponent.length());
  const std::string sNewManifest = CInstallLayout::ManifestName(sComponent, nNewVersion);
  if (!IsFile(sNewManifest)) {
    throw std::runtime_error("Manifest file " + sNewManifest + " does not exist");
  }
  std::set<std::string> newNames;
  for (const std::string& sName : ReadManifest(sNewManifest)) {
    newNames.insert(common::CPkgFileTOCindex::FoldedName(sName, bIgnoreCase));
  }
  std::vector<std::string> names;
  if (!platform::ListDirectory(".", names)) {
    throw std::runtime_error("unable to list the installation's folder" +
                             ErrnoSuffix(platform::GetLastSystemError()));
  }
  for (const std::string& sOldManifest : names) {
    if (!CInstallLayout::IsManifestNameOf(sOldManifest, sComponent) ||
        common::CPkgFileTOCindex::FoldedName(sOldManifest, bIgnoreCase) ==
            common::CPkgFileTOCindex::FoldedName(sNewManifest, bIgnoreCase)) {
      continue;
    }
    for (const std::string& sName : ReadManifest(sOldManifest)) {
      if (newNames.count(common::CPkgFileTOCindex::FoldedName(sName, bIgnoreCase)) ||
          !IsNameInsideDirectory(sName)) {
        continue;
      }
      RemoveInstalledFile(LocalFileName(sName), sName);
    }
    RemoveInstalledFile(sOldManifest, sOldManifest);
  }
}

void RemoveStalePartFiles(const std::vector<std::string>& components,
                          const std::map<std::string, uint64_t>& resumable) {
  std::vector<std::string> names;
  if (!platform::ListDirectory(".", names)) return;
  for (const std::string& sName : names) {
    // Only part files are looked at: the folder holds the whole client besides.
    const bool bPart =
        std::any_of(components.begin(), components.end(), [&](const std::string& sComponent) {
          return CInstallLayout::IsPartNameOf(sName, sComponent);
        });
    platform::SFileStatus status;
    if (!bPart || !platform::GetFileStatus(sName, status) || !status.bExists || status.bDirectory ||
        IsResumable(sName, status.u64Size, resumable)) {
      continue;
    }
    platform::RemoveFile(sName);
  }
}

void CPackageInstaller::DownloadPackage(const std::string& sPackageFile,
                                        const SPackageDigest* pDigest) {
  LARCH_PRECONDITION("HavePackageName", sPackageFile.length());
  if (m_contentServers.empty()) throw std::runtime_error("No public CSes logged-in.");
  const std::string sPart = CInstallLayout::PartName(sPackageFile);
  platform::CFile file;
  OpenPartFile(sPart, pDigest, file);
  try {
    common::CSha256 hash;
    DownloadInto(sPackageFile, file, pDigest, hash);
    if (pDigest && (hash.BytesFed() != pDigest->u64Size || hash.Final() != pDigest->hash)) {
      throw HashMismatch(sPackageFile);
    }
    file.Close();
    if (!platform::RenameFile(sPart, sPackageFile)) {
      throw std::runtime_error("Unable to rename " + sPart + " to " + sPackageFile +
                               ErrnoSuffix(platform::GetLastSystemError()));
    }
  } catch (...) {
    file.Close();
    platform::RemoveFile(sPart);
    throw;
  }
}

// The hash, when there is a published one, follows the bytes on disk: those of an earlier
// attempt are already in it, those of an earlier run are read back once.
void CPackageInstaller::DownloadInto(const std::string& sPackageFile, platform::CFile& file,
                                     const SPackageDigest* pDigest, common::CSha256& hash) {
  const std::string sPart = CInstallLayout::PartName(sPackageFile);
  CServerRotation rotation(m_contentServers.size());
  m_u32FileLength = pDigest ? static_cast<uint32_t>(pDigest->u64Size) : 0;
  common::FileDataFn fnHash;
  if (pDigest) {
    fnHash = [&hash](const uint8_t* pu8Data, uint32_t u32Size) { hash.Update(pu8Data, u32Size); };
  }
  for (;;) {
    const uint64_t u64OnDisk = SeekToEnd(sPart, file, pDigest ? &hash : nullptr);
    // A part file that an earlier run completed needs no request.
    if (pDigest && u64OnDisk > 0 && u64OnDisk == pDigest->u64Size) return;
    const uint32_t u32Offset = static_cast<uint32_t>(u64OnDisk);
    try {
      rotation.CountAttempt();
      m_pServices->DownloadFile(
          m_contentServers[rotation.Current()], sPackageFile, u32Offset, file,
          [&](uint32_t u32Length) { CheckLength(sPackageFile, u32Length, u32Offset, pDigest); },
          fnHash, m_pfnProgress);
      return;
    } catch (const common::CContentServerRefusal&) {
      if (IsCancelled() || !rotation.Next(true)) throw;
    } catch (const common::CNetworkException&) {
      if (IsCancelled() || !rotation.Next(false)) throw;
    }
    uint64_t u64Resumed = 0;
    file.GetSize(u64Resumed);
    int nPercent = m_u32FileLength ? static_cast<int>(u64Resumed * 100 / m_u32FileLength) : 0;
    if (m_fnStatus) {
      m_fnStatus("Connection lost, resuming download of " + sPackageFile + " at " +
                 std::to_string(nPercent) + "%...");
    }
  }
}

void CPackageInstaller::CheckLength(const std::string& sPackageFile, uint32_t u32FileLength,
                                    uint32_t u32Offset, const SPackageDigest* pDigest) {
  if (pDigest && u32FileLength != pDigest->u64Size) throw HashMismatch(sPackageFile);
  if (u32Offset > 0 && u32FileLength != m_u32FileLength) {
    throw common::CContentServerRefusal(
        "PublicContentServer: file length " + std::to_string(u32FileLength) +
        " differs from the length " + std::to_string(m_u32FileLength) + " being resumed");
  }
  m_u32FileLength = u32FileLength;
  const uint64_t u64Needed = u32FileLength - u32Offset;
  uint64_t u64Free = 0;
  // A volume that cannot be asked is not refused: a write that fails still ends the download.
  if (m_pServices->GetFreeDiskSpace(u64Free) && u64Free < u64Needed) {
    throw std::runtime_error("not enough disk space for " + sPackageFile + ": " +
                             std::to_string(u64Needed) + " bytes needed, " +
                             std::to_string(u64Free) + " free");
  }
}

}  // namespace bootstrapper
