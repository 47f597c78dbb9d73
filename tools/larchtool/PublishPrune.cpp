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

void AddNamedFiles(const Weft::CClientConfigRecord* pRecord, SNamedFiles& named) {
  for (bool bBootstrapper : {true, false}) {
    if (!pRecord) break;
    SNamedComponent component = NamedComponent(*pRecord, bBootstrapper);
    if (!component.sName.empty() && component.bVersion) {
      named.versions.insert({component.sName, component.uVersion});
    }
  }
  for (const std::string& sName : OfferedDeltaNames(pRecord)) named.deltas.insert(sName);
}

void PrunePackages(const std::string& sDir, const SNamedFiles& named, uint32_t uKeep) {
  for (const std::string& sName : RemoveLeftoverScratchFolders(sDir)) {
    std::printf("removed %s (left by an interrupted publish)\n", sName.c_str());
  }
  CPublishedVersions versions = PublishedVersions(sDir);
  std::vector<std::string> doomed;
  uint32_t uKept = 0;
  for (const auto& component : versions) {
    uint32_t uNewer = 0;
    for (uint32_t uVersion : component.second) {
      if (uNewer++ < uKeep || named.versions.count({component.first, uVersion})) {
        ++uKept;
      } else {
        doomed.push_back(PackageName(component.first, uVersion));
      }
    }
  }
  // A delta serves installations of its from-version for as long as the record offers it, even
  // when that version's package has gone; one it does not offer serves nobody.
  for (const std::string& sName : DeltaPackageFiles(sDir)) {
    if (named.deltas.count(sName)) {
      ++uKept;
    } else {
      doomed.push_back(sName);
    }
  }
  uint64_t u64Bytes = 0;
  for (const std::string& sName : doomed) {
    platform::SFileStatus status;
    platform::GetFileStatus(InDir(sDir, sName), status);
    if (!platform::RemoveFile(InDir(sDir, sName))) {
      throw std::runtime_error("unable to remove " + InDir(sDir, sName));
    }
    std::printf("removed %s (%s)\n", sName.c_str(), SizeText(status.u64Size).c_str());
    u64Bytes += status.u64Size;
  }
  const size_t uRemoved = doomed.size();
  std::printf("pruned %zu package%s (%s), kept %u\n", uRemoved, uRemoved == 1 ? "" : "s",
              SizeText(u64Bytes).c_str(), uKept);
}

}  // namespace larchtool
