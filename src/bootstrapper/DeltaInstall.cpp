#include "bootstrapper/DeltaInstall.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bootstrapper/InstallLayout.h"
#include "bootstrapper/PackageInstall.h"
#include "platform/File.h"
#include "security/Sha256.h"

namespace bootstrapper {
namespace {

std::string FileOfDelta(const std::string& sDelta, const std::string& sEntryName, bool bFromDelta) {
  return bFromDelta ? "the file " + sEntryName + " of " + sDelta
                    : "the installed file " + LocalFileName(sEntryName);
}

// All zero bytes for a file that cannot be read. The installed tree is most of a large client:
// hashing it on every core keeps a small update from waiting on one.
std::vector<common::Sha256Digest> HashFiles(const std::vector<std::string>& paths) {
  std::vector<common::Sha256Digest> hashes(paths.size());
  std::atomic<size_t> next{0};
  auto Work = [&] {
    for (size_t u = next++; u < paths.size(); u = next++) {
      uint64_t u64Size = 0;
      if (!common::HashFile(paths[u], hashes[u], u64Size)) hashes[u].fill(0);
    }
  };
  const unsigned uHelpers = std::min<unsigned>(std::thread::hardware_concurrency(), 8);
  std::vector<std::thread> helpers;
  for (unsigned u = 1; u < uHelpers; ++u) helpers.emplace_back(Work);
  Work();
  for (std::thread& helper : helpers) helper.join();
  return hashes;
}

}  // namespace

void CheckInstalledVersionIsWhole(const std::string& sComponent, int32_t nInstalled) {
  const std::string sManifest = CInstallLayout::ManifestName(sComponent, nInstalled);
  if (!IsFile(sManifest)) throw std::runtime_error(sManifest + " is missing");
  for (const std::string& sName : ReadManifest(sManifest)) {
    if (!IsFile(LocalFileName(sName))) {
      throw std::runtime_error("the installed file " + LocalFileName(sName) + " is missing");
    }
  }
}

common::SDeltaFileList ReadDeltaFileList(IUpdateServices& services, const std::string& sDelta,
                                         int32_t nFrom, int32_t nTo) {
  std::string sText;
  if (!services.ReadPackageEntry(sDelta, common::sc_szDeltaFileListEntry,
                                 sc_u64MaxDeltaFileListSize, sText)) {
    throw std::runtime_error(sDelta + " holds no delta file list");
  }
  common::SDeltaFileList list = common::ParseDeltaFileList(sText);
  if (static_cast<int64_t>(list.u32FromVersion) != nFrom ||
      static_cast<int64_t>(list.u32ToVersion) != nTo) {
    throw std::runtime_error("the file list of " + sDelta + " leads from version " +
                             std::to_string(list.u32FromVersion) + " to " +
                             std::to_string(list.u32ToVersion));
  }
  return list;
}

void CheckFilesAgainstList(const std::string& sDelta, const common::SDeltaFileList& list,
                           const DeltaFilePathFn& fnPathOf) {
  // Sizes first: a file of another size is found without reading any file.
  std::vector<std::string> paths;
  std::vector<bool> fromDelta;
  for (const common::SDeltaListedFile& file : list.files) {
    bool bFromDelta = false;
    paths.push_back(fnPathOf(file.sEntryName, bFromDelta));
    fromDelta.push_back(bFromDelta);
    platform::SFileStatus status;
    if (!platform::GetFileStatus(paths.back(), status) || !status.bRegularFile) {
      throw std::runtime_error(FileOfDelta(sDelta, file.sEntryName, bFromDelta) + " is missing");
    }
    if (status.u64Size != file.u64Size) {
      throw std::runtime_error(FileOfDelta(sDelta, file.sEntryName, bFromDelta) +
                               " does not match the file list of " + sDelta);
    }
  }
  const std::vector<common::Sha256Digest> hashes = HashFiles(paths);
  std::vector<common::Sha256Digest> installed;
  for (size_t u = 0; u < list.files.size(); ++u) {
    if (list.files[u].bFromInstallation) {
      installed.push_back(hashes[u]);
    } else if (hashes[u] != list.files[u].hash) {
      throw std::runtime_error(FileOfDelta(sDelta, list.files[u].sEntryName, fromDelta[u]) +
                               " does not match the file list of " + sDelta);
    }
  }
  if (common::InstalledFilesDigest(installed) != list.installedFilesHash) {
    throw std::runtime_error("the installed files do not match the file list of " + sDelta);
  }
}

}  // namespace bootstrapper
