// Replacing the bootstrapper's own executable B.exe, in three processes (the names are those of
// CInstallLayout): the running bootstrapper copies itself to BTmp.exe and starts that copy in
// the self-update mode; the copy keeps a copy of B.exe as BOld<pid>_<n>.tmp, renames BNew.exe
// over B.exe in one step, records the new version, starts the new executable and removes the
// old copy; the new executable deletes BTmp.exe when it starts. B.exe is complete, old or new,
// at every instant; a run that finds it missing (a crash of an older self-updater between its
// two renames) restores it.
#pragma once

#include <cstdint>
#include <string>

#include "bootstrapper/InstallLayout.h"

namespace bootstrapper {

constexpr size_t sc_uSelfUpdateLineSize = 1024;

// The self-update command line: the copy's name, "SelfUpdate", the executable's name in double
// quotes, the version, then the old arguments each after one blank. Program names with a blank
// are quoted. Throws when the line would not fit in 1023 characters.
std::string BuildSelfUpdateCommandLine(const std::string& sCopyName, const std::string& sExe,
                                       int32_t nVersion, int nArgc, char** ppArgv);

// On the update worker: copies the executable, starts the copy and ends the process through
// the context; returns only by throwing.
void SpawnSelfUpdater(const CInstallLayout& layout, int32_t nVersion, int nArgc, char** ppArgv,
                      const SWorkerContext& context);

// The self-update mode, on the copy's main thread. Returns after starting the new executable;
// throws the "Unable to update: ..." texts. The old executable is replaced only by the one
// rename that puts the new one in its place; a failure before it leaves B.exe as it was, a
// failure after it leaves the new B.exe with the old version recorded (so the next run updates
// again). The old copy is removed on every path but a crash.
void RunSelfUpdate(int nArgc, char** ppArgv, const SWorkerContext& context);

// Every run, first: removes leftover old copies (BOld*.tmp; one still in use stays, quietly),
// and when B.exe is missing renames BNew.exe, else the newest old copy, into its place. Works
// in the current directory (the installation's); never throws.
void RepairExecutable(const CInstallLayout& layout);

// True for a text of decimal digits only (the empty text included) whose value is not negative.
bool IsValidVersionText(const std::string& sText);

}  // namespace bootstrapper
