// Downloading a component's package into the current directory (the executable's directory),
// and the manifests: the entry names an installed version put there, so that the next version
// deletes what it no longer lists. The install itself is CStagedInstall's.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "bootstrapper/ReleaseCheck.h"
#include "bootstrapper/UpdateServices.h"
#include "platform/File.h"
#include "security/Sha256.h"

namespace bootstrapper {

// One line per entry name, in the given order, flushed to disk; "unable to open NAME for
// writing", "unable to write NAME (errno = N)".
void WritePackageManifest(const std::vector<std::string>& entryNames, const std::string& sComponent,
                          int32_t nVersion);
// The manifest's lines as a sorted set, each line whole; empty lines are left out and a line
// may occur more than once. Throws "unable to open NAME for reading", "error reading NAME
// (errno = N)".
std::set<std::string> ReadManifest(const std::string& sManifestFile);
// Deletes what the component's manifests of other versions list and the new version's does not
// (compared ignoring letter case when bIgnoreCase), read-only files included, then those
// manifests. A name that leads outside the current directory is never deleted.
void DeleteStaleFiles(const std::string& sComponent, int32_t nNewVersion, bool bIgnoreCase);
// Deletes in the current directory the part files of the components' packages
// ("<component>_<version>.pkg.part") that an interrupted run left, but those of the packages in
// resumable (package file -> published size) that are not longer than the package: their bytes
// are checked against the published hash. A file that cannot be deleted is left for the next
// run.
void RemoveStalePartFiles(const std::vector<std::string>& components,
                          const std::map<std::string, uint64_t>& resumable = {});
// True when an entry name stays inside the directory it is relative to: not absolute, no
// drive or network prefix, no ".." component.
bool IsNameInsideDirectory(const std::string& sName);
// The file name on this platform of an entry name: both separators become the platform's.
std::string LocalFileName(const std::string& sEntryName);
// True for a regular file (or what the platform reports as one).
bool IsFile(const std::string& sName);

// Told a status text to show (a retry of the download).
using StatusCallback = std::function<void(const std::string& sText)>;

// The download and install steps with the servers of one cycle. The services are not owned:
// they belong to the process and outlive every installer; so does the cancel token.
class CPackageInstaller {
 public:
  CPackageInstaller(IUpdateServices& services, ServerList contentServers,
                    ProgressCallback pfnProgress, StatusCallback fnStatus = nullptr,
                    const CCancelToken* pCancel = nullptr)
      : m_pServices(&services),
        m_contentServers(std::move(contentServers)),
        m_pfnProgress(pfnProgress),
        m_fnStatus(std::move(fnStatus)),
        m_pCancel(pCancel) {}

  // Downloads the file into "<file>.part" and renames it to its own name once complete. A lost
  // connection is resumed from the bytes on disk, once more on the same content server, then on
  // the next one of the list; a server that refuses is not asked again; no server is asked more
  // than three times; a Cancel is never retried. When every attempt fails the last error is
  // thrown and no part file is left.
  // With the package's published size and hash, a part file of an earlier run is resumed, the
  // bytes are hashed as they are written, and a length or hash that differs throws "package
  // NAME does not match its published hash" (not retried), leaving no part file; without them a
  // part file found is deleted first, for nothing tells that it is the same file.
  void DownloadPackage(const std::string& sPackageFile, const SPackageDigest* pDigest = nullptr);

 private:
  void DownloadInto(const std::string& sPackageFile, platform::CFile& file,
                    const SPackageDigest* pDigest, common::CSha256& hash);
  // Refuses a length that differs from the published one, from the one the bytes on disk belong
  // to, or that does not fit on the install directory's volume.
  void CheckLength(const std::string& sPackageFile, uint32_t u32FileLength, uint32_t u32Offset,
                   const SPackageDigest* pDigest);
  bool IsCancelled() const { return m_pCancel && m_pCancel->IsCancelled(); }

  IUpdateServices* m_pServices;
  ServerList m_contentServers;
  ProgressCallback m_pfnProgress;
  StatusCallback m_fnStatus;
  const CCancelToken* m_pCancel;
  uint32_t m_u32FileLength = 0;  // of the download in progress, once a server told it
};

}  // namespace bootstrapper
