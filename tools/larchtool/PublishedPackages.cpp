#include "PublishedPackages.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <stdexcept>

#include "../../server/PublishLayout.h"
#include "InputFile.h"
#include "PeResources.h"
#include "ReleaseDirectory.h"
#include "bootstrapper/InstallLayout.h"
#include "package/PkgFile.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "protocols/DeltaPackage.h"
#include "security/Sha256.h"
#include "support/FileUtil.h"

namespace larchtool {
namespace {

const char sc_szScratchPrefix[] = ".publish-";

using Weft::CClientConfigRecord;
using CFieldName = common::CMultiFieldBlob::CFieldName;

bool IsDirectory(const std::string& sPath) {
  platform::SFileStatus status;
  return platform::GetFileStatus(sPath, status) && status.bDirectory;
}

// A version as the bootstrapper writes it: decimal, no sign, no leading zero, at most 2^31-1.
bool ParseVersion(const std::string& sDigits, uint32_t& uVersion) {
  if (sDigits.empty() || sDigits.size() > 10 || (sDigits[0] == '0' && sDigits.size() > 1) ||
      sDigits.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  uint64_t u64Value = std::stoull(sDigits);
  if (u64Value > 0x7fffffff) return false;
  uVersion = static_cast<uint32_t>(u64Value);
  return true;
}

// "NAME_REST.pkg" with a NAME that does not start with a dot: NAME and REST.
bool SplitPackageName(const std::string& sFile, std::string& sComponent, std::string& sRest) {
  const std::string sSuffix = ".pkg";
  size_t uUnderscore = sFile.rfind('_');
  if (sFile.empty() || sFile[0] == '.' || uUnderscore == std::string::npos || uUnderscore == 0 ||
      sFile.size() < sSuffix.size() + uUnderscore + 1 ||
      sFile.compare(sFile.size() - sSuffix.size(), sSuffix.size(), sSuffix) != 0) {
    return false;
  }
  sComponent = sFile.substr(0, uUnderscore);
  sRest = sFile.substr(uUnderscore + 1, sFile.size() - sSuffix.size() - uUnderscore - 1);
  return true;
}

}  // namespace

bool SameDigest(const SPackageDigest& a, const SPackageDigest& b) {
  return a.u64Size == b.u64Size && a.hash == b.hash;
}

std::string PackageName(const std::string& sComponent, uint32_t uVersion) {
  return bootstrapper::CInstallLayout::PackageName(sComponent, static_cast<int32_t>(uVersion));
}

bool ParsePackageName(const std::string& sFile, std::string& sComponent, uint32_t& uVersion) {
  std::string sName, sDigits;
  if (!SplitPackageName(sFile, sName, sDigits) || !ParseVersion(sDigits, uVersion)) return false;
  sComponent = sName;
  return true;
}

bool ParseDeltaPackageName(const std::string& sFile, std::string& sComponent, uint32_t& uFrom,
                           uint32_t& uTo) {
  std::string sName, sVersions;
  if (!SplitPackageName(sFile, sName, sVersions)) return false;
  size_t uDash = sVersions.find('-');
  if (uDash == std::string::npos || !ParseVersion(sVersions.substr(0, uDash), uFrom) ||
      !ParseVersion(sVersions.substr(uDash + 1), uTo)) {
    return false;
  }
  sComponent = sName;
  return true;
}

// The directory's regular files whose names the test accepts, sorted.
template <typename TTest>
std::vector<std::string> FilesNamed(const std::string& sDir, TTest test) {
  std::vector<std::string> names, found;
  if (!platform::ListDirectory(sDir, names)) throw std::runtime_error("unable to list " + sDir);
  std::sort(names.begin(), names.end());
  for (const std::string& sName : names) {
    platform::SFileStatus status;
    if (test(sName) && platform::GetFileStatus(InDir(sDir, sName), status) && status.bRegularFile) {
      found.push_back(sName);
    }
  }
  return found;
}

CPublishedVersions PublishedVersions(const std::string& sDir) {
  CPublishedVersions versions;
  std::string sComponent;
  uint32_t uVersion = 0;
  for (const std::string& sName : FilesNamed(sDir, [&](const std::string& sFile) {
         return ParsePackageName(sFile, sComponent, uVersion);
       })) {
    ParsePackageName(sName, sComponent, uVersion);
    versions[sComponent].insert(uVersion);
  }
  return versions;
}

std::vector<std::string> DeltaPackageFiles(const std::string& sDir) {
  return FilesNamed(sDir, [](const std::string& sFile) {
    std::string sComponent;
    uint32_t uFrom = 0, uTo = 0;
    return ParseDeltaPackageName(sFile, sComponent, uFrom, uTo);
  });
}

std::string SizeText(uint64_t u64Bytes) {
  if (u64Bytes < 1000) return std::to_string(u64Bytes) + " bytes";
  const char* apszUnits[] = {"KB", "MB", "GB", "TB"};
  double dValue = static_cast<double>(u64Bytes) / 1000;
  size_t uUnit = 0;
  while (dValue >= 999.95 && uUnit + 1 < sizeof(apszUnits) / sizeof(apszUnits[0])) {
    dValue /= 1000;
    ++uUnit;
  }
  char sz[32];
  std::snprintf(sz, sizeof(sz), "%.1f %s", dValue, apszUnits[uUnit]);
  return sz;
}

SPackageDigest DigestOfFile(const std::string& sPath) {
  SPackageDigest digest;
  if (!common::HashFile(sPath, digest.hash, digest.u64Size)) {
    throw std::runtime_error("unable to read " + sPath);
  }
  return digest;
}

SNamedComponent NamedComponent(const CClientConfigRecord& record, bool bBootstrapper) {
  SNamedComponent named;
  named.sName = record.GetFieldDataAsCString(
      CFieldName(bBootstrapper ? larchserver::sc_uBootstrapComponentField
                               : larchserver::sc_uClientAppComponentField));
  named.bVersion = record.GetFieldDataAsU32(
      CFieldName(bBootstrapper ? CClientConfigRecord::eCurrentClientBootstrapVersion
                               : CClientConfigRecord::eCurrentClientAppPackageVersion),
      named.uVersion);
  return named;
}

std::vector<std::string> OfferedDeltaNames(const CClientConfigRecord* pRecord) {
  std::vector<std::string> names;
  std::vector<SDeltaOffer> offers;
  if (!pRecord || !pRecord->GetClientAppDeltas(offers)) return names;
  SNamedComponent named = NamedComponent(*pRecord, false);
  for (const SDeltaOffer& offer : offers) {
    names.push_back(common::DeltaPackageName(named.sName, offer.u32FromVersion, named.uVersion));
  }
  return names;
}

CScratchFolder::CScratchFolder(const std::string& sDir) {
  static unsigned s_uCount = 0;
  m_sPath = InDir(sDir, sc_szScratchPrefix + std::to_string(platform::GetProcessId()) + "-" +
                            std::to_string(++s_uCount));
  common::CFileUtil::RemoveTree(m_sPath);
  if (!platform::MakeDirectory(m_sPath)) {
    throw std::runtime_error("unable to create directory " + m_sPath);
  }
}

CScratchFolder::~CScratchFolder() {
  common::CFileUtil::RemoveTree(m_sPath);
}

std::vector<std::string> RemoveLeftoverScratchFolders(const std::string& sDir) {
  std::vector<std::string> names, removed;
  platform::ListDirectory(sDir, names);
  std::sort(names.begin(), names.end());
  for (const std::string& sName : names) {
    if (sName.compare(0, sizeof(sc_szScratchPrefix) - 1, sc_szScratchPrefix) == 0 &&
        IsDirectory(InDir(sDir, sName))) {
      common::CFileUtil::RemoveTree(InDir(sDir, sName));
      removed.push_back(sName);
    }
  }
  return removed;
}

std::map<std::string, SPackageDigest> UnpackWithDigests(const std::string& sPkg,
                                                        const std::string& sFolder) {
  common::CPkgFile pkg(sPkg);
  pkg.ExtractAll(sFolder);
  std::vector<std::string> names;
  pkg.GetFileNames(names);
  std::map<std::string, SPackageDigest> digests;
  for (const std::string& sName : names) {
    std::string sPath = sName;
    std::replace(sPath.begin(), sPath.end(), '\\', '/');
    digests[sName] = DigestOfFile(InDir(sFolder, sPath));
  }
  return digests;
}

bool SamePackageContent(const std::string& sDir, const std::string& sPkgA,
                        const std::string& sPkgB) {
  if (SameDigest(DigestOfFile(sPkgA), DigestOfFile(sPkgB))) return true;
  CScratchFolder scratch(sDir);
  const std::string sA = InDir(scratch.Path(), "a"), sB = InDir(scratch.Path(), "b");
  if (!platform::MakeDirectory(sA) || !platform::MakeDirectory(sB)) {
    throw std::runtime_error("unable to create directory " + sA);
  }
  std::map<std::string, SPackageDigest> a, b;
  try {
    a = UnpackWithDigests(sPkgA, sA);
    b = UnpackWithDigests(sPkgB, sB);
  } catch (const common::CPkgDamagedException&) {
    return false;  // a damaged package holds nothing that can be the same
  }
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.first == y.first && SameDigest(x.second, y.second);
  });
}

SPublishedBootstrapper ReadPublishedBootstrapper(const std::string& sDir,
                                                 const CClientConfigRecord& record) {
  SPublishedBootstrapper published;
  SNamedComponent named = NamedComponent(record, true);
  if (named.sName.empty() || !named.bVersion) return published;
  const std::string sPackage = PackageName(named.sName, named.uVersion);
  platform::SFileStatus status;
  if (!platform::GetFileStatus(InDir(sDir, sPackage), status) || !status.bRegularFile) {
    return published;
  }
  try {
    CScratchFolder scratch(sDir);
    const std::string sExeName = bootstrapper::CInstallLayout(named.sName).NewExecutable();
    common::CPkgFile pkg(InDir(sDir, sPackage));
    if (pkg.ExtractByName(sExeName, scratch.Path()) == 0) {
      throw std::runtime_error("it does not hold " + sExeName);
    }
    const std::string sExe = InDir(scratch.Path(), sExeName);
    published.branding = ReadExeBranding(sExe);
    published.keys = ReadBrandedReleaseKeys(sExe);
    published.bWindows = IsWindowsExecutable(ReadInputBytes(sExe));
  } catch (const std::exception& e) {
    throw std::runtime_error("the published bootstrapper " + sPackage +
                             " cannot be read: " + e.what());
  }
  published.sPackage = sPackage;
  return published;
}

}  // namespace larchtool
