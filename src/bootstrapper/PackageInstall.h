// Installing a component's package: download, unpack into the current directory (the
// executable's directory), record the package's file list in a manifest, and delete the files
// that the previous version installed and the new one no longer lists.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "bootstrapper/UpdateServices.h"

namespace bootstrapper {

// One line per entry name, in the given order; "unable to open NAME for writing".
void WritePackageManifest(const std::vector<std::string>& entryNames, const std::string& sComponent,
                          int32_t nVersion);
// The manifest's lines as a sorted set; a line longer than 259 characters counts as several.
// Throws "unable to open NAME for reading", "error reading NAME (errno = N)" and, for a line
// that occurs twice, "error reading NAME (unable to add to set)".
std::set<std::string> ReadManifest(const std::string& sManifestFile);
// Deletes what the old version's manifest lists and the new one does not, read-only files
// included, then the old manifest. A reinstall of the same version keeps its manifest; a
// name that leads outside the current directory is never deleted.
void DeleteStaleFiles(const std::string& sComponent, int32_t nOldVersion, int32_t nNewVersion);
// True when an entry name stays inside the directory it is relative to: not absolute, no
// drive or network prefix, no ".." component.
bool IsNameInsideDirectory(const std::string& sName);

// The download and install steps with the servers of one cycle. The services are not owned:
// they belong to the process and outlive every installer.
class CPackageInstaller {
 public:
  CPackageInstaller(IUpdateServices& services, ServerList contentServers,
                    ProgressCallback pfnProgress)
      : m_pServices(&services),
        m_contentServers(std::move(contentServers)),
        m_pfnProgress(pfnProgress) {}

  // Downloads the file from the first content server and stores it under its own name.
  void DownloadPackage(const std::string& sPackageFile);
  // Unpacks the downloaded package, writes its manifest and deletes stale files.
  void Install(const std::string& sPackageFile, const std::string& sComponent, int32_t nOldVersion,
               int32_t nNewVersion);

 private:
  IUpdateServices* m_pServices;
  ServerList m_contentServers;
  ProgressCallback m_pfnProgress;
};

}  // namespace bootstrapper
