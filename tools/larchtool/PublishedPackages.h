// The packages of a publish directory as 'larchtool publish' judges them: their names, sizes and
// digests, their content, and the bootstrapper the record names.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ExeBranding.h"
#include "protocols/ClientConfigDBKeyRecord.h"
#include "security/SigningKey.h"

namespace larchtool {

using SPackageDigest = Weft::CClientConfigRecord::SPackageDigest;

// The package's name as the bootstrapper asks for it, which reads versions signed.
std::string PackageName(const std::string& sComponent, uint32_t uVersion);
// True for "NAME_V.pkg" with V in decimal as the bootstrapper writes it (no sign, no leading
// zero, at most 2147483647) and a NAME that does not start with a dot.
bool ParsePackageName(const std::string& sFile, std::string& sComponent, uint32_t& uVersion);

// True for a delta package's name "NAME_U-V.pkg", both versions written as in a package's name.
bool ParseDeltaPackageName(const std::string& sFile, std::string& sComponent, uint32_t& uFrom,
                           uint32_t& uTo);

// Each component's versions of which the directory holds the package file, newest first.
using CPublishedVersions = std::map<std::string, std::set<uint32_t, std::greater<uint32_t>>>;
CPublishedVersions PublishedVersions(const std::string& sDir);

// "512 bytes", "41.9 KB", "1.2 MB", "3.0 GB" (powers of 1000).
std::string SizeText(uint64_t u64Bytes);

bool SameDigest(const SPackageDigest& a, const SPackageDigest& b);

// The size and SHA-256 of the file as it lies on the disk.
SPackageDigest DigestOfFile(const std::string& sPath);

// The component the record names for the bootstrapper or the client application: its name
// (field 3 or 4; empty when the record names none) and version.
struct SNamedComponent {
  std::string sName;
  uint32_t uVersion = 0;
  bool bVersion = false;  // the record holds the version field
};
SNamedComponent NamedComponent(const Weft::CClientConfigRecord& record, bool bBootstrapper);

// A folder inside the publish directory (".publish-PID"), removed with everything below it.
class CScratchFolder {
 public:
  explicit CScratchFolder(const std::string& sDir);
  ~CScratchFolder();
  CScratchFolder(const CScratchFolder&) = delete;
  CScratchFolder& operator=(const CScratchFolder&) = delete;

  const std::string& Path() const { return m_sPath; }

 private:
  std::string m_sPath;
};

// Removes what an interrupted publish left of its scratch folders; the caller holds the
// directory's lock, so none of them is in use. Returns the names removed.
std::vector<std::string> RemoveLeftoverScratchFolders(const std::string& sDir);

// Unpacks the package below the folder; each entry's name with the size and SHA-256 of its bytes.
// Throws common::CPkgDamagedException for a damaged package.
std::map<std::string, SPackageDigest> UnpackWithDigests(const std::string& sPkg,
                                                        const std::string& sFolder);

// True when both packages hold the same entry names (exactly) with the same bytes, whatever
// their order and compression; false when one of them is damaged.
bool SamePackageContent(const std::string& sDir, const std::string& sPkgA,
                        const std::string& sPkgB);

// The bootstrapper the record names, as its package holds it.
struct SPublishedBootstrapper {
  std::string sPackage;  // empty: the record names no bootstrapper or its package is missing
  SExeBranding branding;
  std::vector<common::PublicKey> keys;  // its release keys
  bool bWindows = false;                // a Windows program, which ignores letter case
};
// Unpacks NAME + "New.exe" into a scratch folder and reads its branding. Throws
// "the published bootstrapper NAME_V.pkg cannot be read: ..." when it is damaged.
SPublishedBootstrapper ReadPublishedBootstrapper(const std::string& sDir,
                                                 const Weft::CClientConfigRecord& record);

}  // namespace larchtool
