#include "PublishPrune.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include "PublishedPackages.h"
#include "ReleaseDirectory.h"
#include "platform/File.h"

namespace larchtool {

void AddNamedVersions(const Weft::CClientConfigRecord* pRecord, CNamedVersions& named) {
  for (bool bBootstrapper : {true, false}) {
    if (!pRecord) break;
    SNamedComponent component = NamedComponent(*pRecord, bBootstrapper);
    if (!component.sName.empty() && component.bVersion) {
      named.insert({component.sName, component.uVersion});
    }
  }
}

void PrunePackages(const std::string& sDir, const CNamedVersions& named, uint32_t uKeep) {
  for (const std::string& sName : RemoveLeftoverScratchFolders(sDir)) {
    std::printf("removed %s (left by an interrupted publish)\n", sName.c_str());
  }
  std::vector<std::string> names;
  if (!platform::ListDirectory(sDir, names)) throw std::runtime_error("unable to list " + sDir);
  // Each component's versions, newest first.
  std::map<std::string, std::set<uint32_t, std::greater<uint32_t>>> versions;
  for (const std::string& sName : names) {
    std::string sComponent;
    uint32_t uVersion = 0;
    platform::SFileStatus status;
    if (ParsePackageName(sName, sComponent, uVersion) &&
        platform::GetFileStatus(InDir(sDir, sName), status) && status.bRegularFile) {
      versions[sComponent].insert(uVersion);
    }
  }
  uint32_t uRemoved = 0, uKept = 0;
  uint64_t u64Bytes = 0;
  for (const auto& component : versions) {
    uint32_t uNewer = 0;
    for (uint32_t uVersion : component.second) {
      if (uNewer++ < uKeep || named.count({component.first, uVersion})) {
        ++uKept;
        continue;
      }
      const std::string sName = PackageName(component.first, uVersion);
      platform::SFileStatus status;
      platform::GetFileStatus(InDir(sDir, sName), status);
      if (!platform::RemoveFile(InDir(sDir, sName))) {
        throw std::runtime_error("unable to remove " + InDir(sDir, sName));
      }
      std::printf("removed %s (%s)\n", sName.c_str(), SizeText(status.u64Size).c_str());
      ++uRemoved;
      u64Bytes += status.u64Size;
    }
  }
  std::printf("pruned %u package%s (%s), kept %u\n", uRemoved, uRemoved == 1 ? "" : "s",
              SizeText(u64Bytes).c_str(), uKept);
}

}  // namespace larchtool
