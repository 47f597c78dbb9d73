// What an installed client version needs to take a delta package instead of the full one: the
// delta's own file list, read and checked against the versions it must join, and the files
// that are to make up the new version, checked against that list.
//
// Every refusal throws std::runtime_error whose text says why the delta cannot be used.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "bootstrapper/UpdateServices.h"
#include "protocols/DeltaPackage.h"

namespace bootstrapper {

// The largest file list a delta may carry: far above a list of a million files, far below
// what the process can hold.
constexpr uint64_t sc_u64MaxDeltaFileListSize = 256ull << 20;

// Refuses the delta before anything is downloaded when a file that the installed version's
// manifest lists is gone (or the manifest is): whichever the delta does not carry would be.
void CheckInstalledVersionIsWhole(const std::string& sComponent, int32_t nInstalled);

// The delta's list of the new version's files, refused unless it leads from nFrom to nTo.
common::SDeltaFileList ReadDeltaFileList(IUpdateServices& services, const std::string& sDelta,
                                         int32_t nFrom, int32_t nTo);

// Checks every listed file where fnPathOf finds it: all sizes first, then the SHA-256 of each
// file the list gives one for, and the one over the files taken from the installation.
// fnPathOf returns the file's path, and whether it came from the delta (for the message).
using DeltaFilePathFn = std::function<std::string(const std::string& sEntryName, bool& bFromDelta)>;
void CheckFilesAgainstList(const std::string& sDelta, const common::SDeltaFileList& list,
                           const DeltaFilePathFn& fnPathOf);

}  // namespace bootstrapper
