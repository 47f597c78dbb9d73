// 'larchtool publish --prune KEEP': old packages go, so that a publish directory does not grow
// with every release.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>

#include "protocols/ClientConfigDBKeyRecord.h"

namespace larchtool {

// Component versions (name, version) that a prune keeps whatever their age.
using CNamedVersions = std::set<std::pair<std::string, uint32_t>>;

// Adds the versions the record names (either role) to named; nothing for a null record.
void AddNamedVersions(const Weft::CClientConfigRecord* pRecord, CNamedVersions& named);

// Removes the package files NAME_V.pkg of each component beyond its uKeep newest versions,
// never a version in named and nothing else but the scratch folders an interrupted publish
// left. Prints "removed NAME (SIZE)" per file and a total line. The caller holds the
// directory's lock.
void PrunePackages(const std::string& sDir, const CNamedVersions& named, uint32_t uKeep);

}  // namespace larchtool
