#include "DeltaPublish.h"

#include <algorithm>
#include <stdexcept>

#include "PublishGuards.h"
#include "package/PkgFile.h"
#include "platform/File.h"
#include "protocols/DeltaPackage.h"
#include "support/FileUtil.h"

namespace larchtool {
namespace {

constexpr int32_t sc_nCompressionLevel = 9;

std::vector<std::string> SplitEntryName(const std::string& sEntryName) {
  std::vector<std::string> parts(1);
  for (char c : sEntryName) {
    if (c == '\\') {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

bool IsDirectory(const std::string& sPath) {
  platform::SFileStatus status;
  return platform::GetFileStatus(sPath, status) && status.bDirectory;
}

// Files moved from one folder to another under the same relative paths, and moved back when
// the object goes, so that the unpacked version serves every delta in turn.
class CMovedFiles {
 public:
  CMovedFiles(const std::string& sFrom, const std::string& sTo) : m_sFrom(sFrom), m_sTo(sTo) {}
  ~CMovedFiles() {
    for (const std::string& sPath : m_vecMoved) {
      platform::RenameFile(InDir(m_sTo, sPath), InDir(m_sFrom, sPath));
    }
  }
  CMovedFiles(const CMovedFiles&) = delete;
  CMovedFiles& operator=(const CMovedFiles&) = delete;

  void Move(const std::string& sEntryName) {
    std::string sPath;
    for (const std::string& sPart : SplitEntryName(sEntryName)) {
      if (!sPath.empty() && !IsDirectory(InDir(m_sTo, sPath)) &&
          !platform::MakeDirectory(InDir(m_sTo, sPath))) {
        throw std::runtime_error("unable to create directory " + InDir(m_sTo, sPath));
      }
      sPath += (sPath.empty() ? "" : "/") + sPart;
    }
    if (!platform::RenameFile(InDir(m_sFrom, sPath), InDir(m_sTo, sPath))) {
      throw std::runtime_error("unable to move " + InDir(m_sFrom, sPath));
    }
    m_vecMoved.push_back(sPath);
  }

 private:
  std::string m_sFrom, m_sTo;
  std::vector<std::string> m_vecMoved;
};

void WriteTextFile(const std::string& sPath, const std::string& sText) {
  platform::CFile file;
  if (!file.Open(sPath, platform::CFile::eCreate) || !file.Write(sText.data(), sText.size())) {
    throw std::runtime_error("unable to write " + sPath);
  }
}

uint64_t FileSize(const std::string& sPath) {
  platform::SFileStatus status;
  if (!platform::GetFileStatus(sPath, status)) throw std::runtime_error("unable to find " + sPath);
  return status.u64Size;
}

// Packs what the folder holds, each top-level entry under its own name, and the file list.
void PackDelta(const std::string& sPath, const std::string& sFolder, const std::string& sList) {
  std::vector<std::string> names;
  if (!platform::ListDirectory(sFolder, names))
    throw std::runtime_error("unable to list " + sFolder);
  std::sort(names.begin(), names.end());
  for (std::string& sName : names) sName = InDir(sFolder, sName);
  common::CPkgFile pkg(sc_nCompressionLevel);
  pkg.Create(sPath, sc_nCompressionLevel);
  pkg.AddFiles(names);
  pkg.AddFileAs(sList, common::sc_szDeltaFileListEntry);
}

void MakeEmptyFolder(const std::string& sFolder) {
  common::CFileUtil::RemoveTree(sFolder);
  if (!platform::MakeDirectory(sFolder)) {
    throw std::runtime_error("unable to create directory " + sFolder);
  }
}

// The digests of an older version's files, unpacked in the folder, which is removed after.
std::map<std::string, SPackageDigest> FromVersionDigests(const std::string& sDir,
                                                         const std::string& sPackage,
                                                         const std::string& sFolder) {
  MakeEmptyFolder(sFolder);
  std::map<std::string, SPackageDigest> digests;
  try {
    digests = UnpackWithDigests(InDir(sDir, sPackage), sFolder);
  } catch (const std::exception& e) {
    common::CFileUtil::RemoveTree(sFolder);
    throw std::runtime_error(sPackage + " cannot be read: " + e.what());
  }
  common::CFileUtil::RemoveTree(sFolder);
  return digests;
}

// Folders give V's entry names back only when V's package was packed from folders, as publish
// packs; a package made otherwise gets no delta rather than one with other names.
void CheckEntryNames(const std::string& sDelta, std::vector<std::string> carried,
                     const std::string& sPackageName) {
  std::vector<std::string> names;
  common::CPkgFile(sDelta).GetFileNames(names);
  carried.push_back(common::sc_szDeltaFileListEntry);
  std::sort(names.begin(), names.end());
  std::sort(carried.begin(), carried.end());
  if (names != carried) {
    throw std::runtime_error(sPackageName +
                             " holds entry names that its unpacked files do not give back");
  }
}

}  // namespace

CDeltaPublish::CDeltaPublish(const std::string& sDir, const std::string& sComponent,
                             uint32_t uVersion)
    : m_sDir(sDir), m_sComponent(sComponent), m_uVersion(uVersion) {}

CDeltaPublish::~CDeltaPublish() = default;

void CDeltaPublish::Build(const std::string& sPackage, uint32_t uCount) {
  std::vector<uint32_t> froms;
  CPublishedVersions versions = PublishedVersions(m_sDir);
  for (uint32_t uVersion : versions[m_sComponent]) {
    if (uVersion != m_uVersion && froms.size() < uCount) froms.push_back(uVersion);
  }
  if (froms.empty()) return;
  CScratchFolder scratch(m_sDir);
  m_sUnpackedV = InDir(scratch.Path(), "v");
  MakeEmptyFolder(m_sUnpackedV);
  m_vDigests = UnpackWithDigests(sPackage, m_sUnpackedV);
  const uint64_t u64FullSize = FileSize(sPackage);
  for (uint32_t uFrom : froms) {
    try {
      BuildOne(uFrom, scratch.Path(), u64FullSize);
    } catch (const std::exception& e) {
      PublishNote("no delta from version " + std::to_string(uFrom) + ": " + e.what());
    }
  }
}

void CDeltaPublish::BuildOne(uint32_t uFrom, const std::string& sScratch, uint64_t u64FullSize) {
  const std::string sD = InDir(sScratch, "d"), sList = InDir(sScratch, "list");
  const std::map<std::string, SPackageDigest> uDigests =
      FromVersionDigests(m_sDir, PackageName(m_sComponent, uFrom), InDir(sScratch, "u"));
  MakeEmptyFolder(sD);
  common::SDeltaFileList list;
  list.u32FromVersion = uFrom;
  list.u32ToVersion = m_uVersion;
  std::vector<std::string> carried;
  for (const auto& entry : m_vDigests) {
    auto itFrom = uDigests.find(entry.first);
    const bool bCarried = itFrom == uDigests.end() || !SameDigest(itFrom->second, entry.second);
    list.files.push_back({entry.first, entry.second.u64Size, entry.second.hash, !bCarried});
    if (bCarried) carried.push_back(entry.first);
  }
  common::SetInstalledFilesHash(list);
  WriteTextFile(sList, common::FormatDeltaFileList(list));

  const std::string sName = common::DeltaPackageName(m_sComponent, uFrom, m_uVersion);
  std::unique_ptr<CTempName> pFile(new CTempName(m_sDir, sName));
  {
    CMovedFiles moved(m_sUnpackedV, sD);
    for (const std::string& sEntry : carried) moved.Move(sEntry);
    PackDelta(pFile->Path(), sD, sList);
  }
  CheckEntryNames(pFile->Path(), carried, PackageName(m_sComponent, m_uVersion));
  const uint64_t u64Size = FileSize(pFile->Path());
  if (u64Size * 100 > u64FullSize * sc_u64DeltaPercentLimit) {
    m_sSummary += "no delta " + sName + ": " + SizeText(u64Size) + ", more than " +
                  std::to_string(sc_u64DeltaPercentLimit) + "% of the full package (" +
                  SizeText(u64FullSize) + ")\n";
    return;
  }
  const size_t uFiles = list.files.size();
  m_sSummary += "delta " + sName + ": " + std::to_string(carried.size()) + " of " +
                std::to_string(uFiles) + " file" + (uFiles == 1 ? "" : "s") + ", " +
                SizeText(u64Size) + "\n";
  m_vecBuilt.push_back({uFrom, std::move(pFile)});
}

std::vector<SDeltaOffer> CDeltaPublish::Commit() {
  std::vector<SDeltaOffer> offers;
  for (SBuilt& built : m_vecBuilt) {
    const std::string sFinal =
        InDir(m_sDir, common::DeltaPackageName(m_sComponent, built.uFrom, m_uVersion));
    SDeltaOffer offer;
    offer.u32FromVersion = built.uFrom;
    offer.digest = DigestOfFile(built.pFile->Path());
    platform::SFileStatus status;
    // A client may be fetching the file that is there; the same bytes stay where they are.
    if (!platform::GetFileStatus(sFinal, status) ||
        !SameDigest(DigestOfFile(sFinal), offer.digest)) {
      built.pFile->Commit();
    }
    offers.push_back(offer);
  }
  return offers;
}

}  // namespace larchtool
