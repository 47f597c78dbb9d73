// 'larchtool publish --prune KEEP': old packages go, so that a publish directory does not grow
// with every release.
#pragma once

#include <cstdint>
#include <string>

#include "protocols/ClientConfigDBKeyRecord.h"

namespace larchtool {

// Removes the package files NAME_V.pkg of each component beyond its uKeep newest versions,
// never a version the record names (either role), and the delta packages NAME_U-V.pkg that the
// record does not offer; nothing else but the scratch folders an interrupted publish left. Prints
// "removed NAME (SIZE)" per file and a total line. The caller holds the directory's lock; pRecord
// may be null (nothing published).
void PrunePackages(const std::string& sDir, const Weft::CClientConfigRecord* pRecord,
                   uint32_t uKeep);

}  // namespace larchtool
