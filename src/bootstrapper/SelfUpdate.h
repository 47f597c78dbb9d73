// Replacing the bootstrapper's own executable B.exe, in three processes (the names are those of
// CInstallLayout): the running bootstrapper copies itself to BTmp.exe and starts that copy in
// the self-update mode; the copy moves B.exe aside, renames BNew.exe into its place, records the
// new version and starts it; the new executable deletes the copy when it starts.
#pragma once

#include <cstdint>
#include <string>

#include "bootstrapper/InstallLayout.h"

namespace bootstrapper {

constexpr size_t sc_uSelfUpdateLineSize = 1024;

// The self-update command line: the copy's name, "SelfUpdate", the old argv[0] in double
// quotes, the version, then the old arguments each after one blank. Program names with a blank
// are quoted. Throws when the line would not fit in 1023 characters.
std::string BuildSelfUpdateCommandLine(const std::string& sCopyName, const std::string& sArgv0,
                                       int32_t nVersion, int nArgc, char** ppArgv);

// On the update worker: copies the executable, starts the copy and ends the process through
// the context; returns only by throwing.
void SpawnSelfUpdater(const CInstallLayout& layout, int32_t nVersion, int nArgc, char** ppArgv,
                      const SWorkerContext& context);

// The self-update mode, on the copy's main thread. Returns after starting the new executable;
// throws the "Unable to update: ..." texts. The old executable is never lost: when the new one
// cannot be renamed into place, the old one is moved back before the error is raised.
void RunSelfUpdate(int nArgc, char** ppArgv, const SWorkerContext& context);

// True for a text of decimal digits only (the empty text included) whose value is not negative.
bool IsValidVersionText(const std::string& sText);

}  // namespace bootstrapper
