// 'larchtool publish --prune KEEP': old packages go, so that a publish directory does not grow
// with every release.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>

#include "protocols/ClientConfigDBKeyRecord.h"

namespace larchtool {

// What a prune keeps whatever its age: component versions (name, version) and delta packages.
struct SNamedFiles {
  std::set<std::pair<std::string, uint32_t>> versions;
  std::set<std::string> deltas;
};

// Adds the versions the record names (either role) and the deltas it offers to named; nothing
// for a null record.
void AddNamedFiles(const Weft::CClientConfigRecord* pRecord, SNamedFiles& named);

// Removes the package files NAME_V.pkg of each component beyond its uKeep newest versions,
// never a version in named, and the delta packages NAME_U-V.pkg not in named; nothing else but
// the scratch folders an interrupted publish left. Prints "removed NAME (SIZE)" per file and a
// total line. The caller holds the directory's lock.
void PrunePackages(const std::string& sDir, const SNamedFiles& named, uint32_t uKeep);

}  // namespace larchtool
