#include "bootstrapper/StagedInstall.h"

#include <algorithm>
#include <set>
#include <stdexcept>
#include <vector>

#include "bootstrapper/DeltaInstall.h"
#include "bootstrapper/PackageInstall.h"
#include "package/PkgFile.h"
#include "package/PkgFileTOCindex.h"
#include "platform/SystemError.h"
#include "support/FileUtil.h"

namespace bootstrapper {
namespace {

std::string ErrnoSuffix() {
  return " (errno = " + std::to_string(platform::GetLastSystemError()) + ")";
}

// The folder part of a path ("." for none).
std::string ParentOf(const std::string& sPath) {
  const size_t uSep = sPath.rfind(platform::PreferredSeparator());
  return uSep == std::string::npos ? std::string(".") : sPath.substr(0, uSep);
}

// Creates the folders of a relative file name that do not exist yet.
void MakeParentFolders(const std::string& sFile) {
  for (size_t uSep = sFile.find(platform::PreferredSeparator()); uSep != std::string::npos;
       uSep = sFile.find(platform::PreferredSeparator(), uSep + 1)) {
    const std::string sFolder = sFile.substr(0, uSep);
    if (!platform::MakeDirectory(sFolder)) {
      throw std::runtime_error("unable to create the folder " + sFolder + ErrnoSuffix());
    }
  }
}

// Makes the folders' entries durable: one flush of the whole volume where the platform has it,
// else one per folder.
void FlushFolders(const std::set<std::string>& folders) {
  if (platform::SyncFileSystem(".")) return;
  for (const std::string& sFolder : folders) {
    if (!platform::FlushDirectory(sFolder)) {
      throw std::runtime_error("unable to flush the folder " + sFolder + ErrnoSuffix());
    }
  }
}

// Names that the installation's files may have: inside its folder, and on one manifest line.
bool IsInstallableName(const std::string& sName) {
  for (char c : sName) {
    if (static_cast<unsigned char>(c) < 0x20) return false;
  }
  return IsNameInsideDirectory(sName);
}

}  // namespace

void CStagedInstall::Install(IUpdateServices& services, const std::string& sPackage,
                             const std::string& sComponent, int32_t nVersion,
                             const std::string& sRequiredFile) const {
  Commit(StageOrAbandon(
      sPackage, [&] { return Stage(services, sPackage, sComponent, nVersion, sRequiredFile); }));
}

CInstallJournal CStagedInstall::StageOrAbandon(
    const std::string& sPackage, const std::function<CInstallJournal()>& fnStage) const {
  try {
    return fnStage();
  } catch (const std::exception& e) {
    // Nothing installed changed: what this install made goes, the package with it.
    common::CFileUtil::RemoveTree(m_layout.StagingFolder());
    platform::RemoveFile(sPackage);
    if (dynamic_cast<const common::CPkgDamagedException*>(&e)) {
      throw std::runtime_error("package " + sPackage + " is damaged: " + e.what());
    }
    throw;
  }
}

CInstallJournal CStagedInstall::Stage(IUpdateServices& services, const std::string& sPackage,
                                      const std::string& sComponent, int32_t nVersion,
                                      const std::string& sRequiredFile) const {
  MakeStagingFolder();
  const std::vector<std::string> names =
      services.UnpackPackage(sPackage, m_layout.StagingFolder(), std::string());
  CheckEntryNames(names, sRequiredFile);
  std::vector<SStagedFile> files;
  for (const std::string& sName : names) {
    const std::string sStaged = StagedName(sName);
    platform::SFileStatus status;
    if (!platform::GetFileStatus(sStaged, status) || !status.bRegularFile) {
      throw std::runtime_error("unable to find the unpacked file " + sStaged + ErrnoSuffix());
    }
    files.push_back(SStagedFile{sName, status.u64Size});
  }
  // The unpacked files and folders are on disk already, so the journal never lists a lost one.
  CInstallJournal journal(sComponent, nVersion, std::move(files));
  journal.Write(m_layout.Journal());
  return journal;
}

CInstallJournal CStagedInstall::StageDelta(IUpdateServices& services, const std::string& sDelta,
                                           const std::string& sComponent, int32_t nFrom,
                                           int32_t nTo, const std::string& sRequiredFile) const {
  return StageOrAbandon(sDelta, [&] {
    return StageDeltaFiles(services, sDelta, sComponent, nFrom, nTo, sRequiredFile);
  });
}

CInstallJournal CStagedInstall::StageDeltaFiles(IUpdateServices& services,
                                                const std::string& sDelta,
                                                const std::string& sComponent, int32_t nFrom,
                                                int32_t nTo,
                                                const std::string& sRequiredFile) const {
  const common::SDeltaFileList list = ReadDeltaFileList(services, sDelta, nFrom, nTo);
  std::vector<std::string> listed;
  std::set<std::string> folded;
  std::vector<SStagedFile> files;
  for (const common::SDeltaListedFile& file : list.files) {
    listed.push_back(file.sEntryName);
    if (!folded.insert(common::CPkgFileTOCindex::FoldedName(file.sEntryName, m_bIgnoreCase))
             .second) {
      throw common::CPkgDamagedException("its file list names " + file.sEntryName + " twice");
    }
    files.push_back(SStagedFile{file.sEntryName, file.u64Size});
  }
  CheckEntryNames(listed, sRequiredFile);
  MakeStagingFolder();
  const std::vector<std::string> carriedNames =
      services.UnpackPackage(sDelta, m_layout.StagingFolder(), common::sc_szDeltaFileListEntry);
  const std::set<std::string> carried(carriedNames.begin(), carriedNames.end());
  for (const std::string& sName : carried) {
    if (!std::binary_search(listed.begin(), listed.end(), sName)) {
      throw common::CPkgDamagedException("holds " + sName + ", which its file list does not name");
    }
  }
  CheckFilesAgainstList(sDelta, list, [&](const std::string& sName, bool& bFromDelta) {
    bFromDelta = carried.count(sName) != 0;
    return bFromDelta ? StagedName(sName) : LocalFileName(sName);
  });
  // Its files are staged and flushed: from the journal on, nothing needs the delta.
  if (!platform::RemoveFile(sDelta)) {
    throw std::runtime_error("Unable to remove package file " + sDelta + ErrnoSuffix());
  }
  CInstallJournal journal(sComponent, nTo, std::move(files));
  journal.Write(m_layout.Journal());
  return journal;
}

void CStagedInstall::MakeStagingFolder() const {
  const std::string sStaging = m_layout.StagingFolder();
  if (!common::CFileUtil::RemoveTree(sStaging)) {
    throw std::runtime_error("unable to remove the folder " + sStaging + ErrnoSuffix());
  }
  if (!platform::MakeDirectory(sStaging)) {
    throw std::runtime_error("unable to create the folder " + sStaging + ErrnoSuffix());
  }
}

void CStagedInstall::CheckEntryNames(const std::vector<std::string>& names,
                                     const std::string& sRequiredFile) const {
  if (names.empty()) throw common::CPkgDamagedException("holds no files");
  // The installer's own names: a file there would replace the journal or the staging folder.
  std::set<std::string> reserved;
  for (const std::string& sReserved :
       {m_layout.StagingFolder(), m_layout.Journal(), m_layout.Journal() + ".tmp"}) {
    reserved.insert(common::CPkgFileTOCindex::FoldedName(sReserved, m_bIgnoreCase));
  }
  bool bHaveRequired = false;
  for (const std::string& sName : names) {
    if (!IsInstallableName(sName)) throw common::CPkgDamagedException("unsafe entry name");
    const std::string sTop = sName.substr(0, sName.find_first_of("/\\"));
    if (reserved.count(common::CPkgFileTOCindex::FoldedName(sTop, m_bIgnoreCase))) {
      throw common::CPkgDamagedException("holds " + sTop + ", a name the installer keeps");
    }
    bHaveRequired =
        bHaveRequired || common::CPkgFileTOCindex::FoldedName(sName, m_bIgnoreCase) ==
                             common::CPkgFileTOCindex::FoldedName(sRequiredFile, m_bIgnoreCase);
  }
  if (!bHaveRequired) throw common::CPkgDamagedException("does not hold " + sRequiredFile);
}

bool CStagedInstall::IsComplete(const CInstallJournal& journal) const {
  if (journal.Files().empty()) return false;
  for (const SStagedFile& file : journal.Files()) {
    if (!IsInstallableName(file.sEntryName)) return false;
    platform::SFileStatus status;
    if (!platform::GetFileStatus(StagedName(file.sEntryName), status) &&
        !platform::GetFileStatus(LocalFileName(file.sEntryName), status)) {
      return false;
    }
    if (!status.bRegularFile || status.u64Size != file.u64Size) return false;
  }
  return true;
}

void CStagedInstall::Commit(const CInstallJournal& journal) const {
  if (!IsComplete(journal)) {
    throw std::runtime_error("the staged files of " + journal.Component() + " version " +
                             std::to_string(journal.Version()) + " are incomplete");
  }
  std::set<std::string> folders{"."};
  std::vector<std::string> names;
  for (const SStagedFile& file : journal.Files()) {
    names.push_back(file.sEntryName);
    const std::string sStaged = StagedName(file.sEntryName);
    if (!IsFile(sStaged)) continue;  // moved by an earlier attempt
    const std::string sLocal = LocalFileName(file.sEntryName);
    const std::string sParent = ParentOf(sLocal);
    if (!folders.count(sParent)) MakeParentFolders(sLocal);
    // Windows does not rename over a read-only file.
    if (IsFile(sLocal)) platform::SetReadOnly(sLocal, false);
    if (!platform::RenameFile(sStaged, sLocal)) {
      throw std::runtime_error("unable to move " + sStaged + " to " + sLocal + ErrnoSuffix());
    }
    folders.insert(sParent);
  }
  // The files are in place on disk before the manifest says so.
  FlushFolders(folders);
  // In name order: a version's manifest is the same whether its full package or a delta (whose
  // list is in name order) installed it.
  std::sort(names.begin(), names.end());
  WritePackageManifest(names, journal.Component(), journal.Version());
  FlushFolders({"."});
  DeleteStaleFiles(journal.Component(), journal.Version(), m_bIgnoreCase);
}

void CStagedInstall::Close(const std::string& sPackage) const {
  if (!sPackage.empty() && IsFile(sPackage) && !platform::RemoveFile(sPackage)) {
    throw std::runtime_error("Unable to remove package file " + sPackage +
                             " (errno=" + std::to_string(platform::GetLastSystemError()) + ")");
  }
  const std::string sStaging = m_layout.StagingFolder();
  if (!common::CFileUtil::RemoveTree(sStaging)) {
    throw std::runtime_error("unable to remove the folder " + sStaging + ErrnoSuffix());
  }
  const std::string sJournal = m_layout.Journal();
  if (IsFile(sJournal) && !platform::RemoveFile(sJournal)) {
    throw std::runtime_error("unable to remove the journal " + sJournal + ErrnoSuffix());
  }
  platform::FlushDirectory(".");
}

void CStagedInstall::RemoveLeftovers() const {
  common::CFileUtil::RemoveTree(m_layout.StagingFolder());
  common::CFileUtil::RemoveTree(m_layout.Journal() + ".tmp");
}

std::string CStagedInstall::StagedName(const std::string& sEntryName) const {
  return m_layout.StagingFolder() + platform::PreferredSeparator() + LocalFileName(sEntryName);
}

}  // namespace bootstrapper
