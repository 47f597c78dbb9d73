#include "bootstrapper/SelfUpdate.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "bootstrapper/Clock.h"
#include "bootstrapper/CommandLine.h"
#include "bootstrapper/UpdateServices.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "platform/SystemError.h"
#include "support/Assert.h"

namespace bootstrapper {
namespace {

std::string ErrnoText(uint32_t uError = platform::GetLastSystemError()) {
  return " (errno=" + std::to_string(uError) + ")";
}

bool Exists(const std::string& sName) {
  platform::SFileStatus status;
  return platform::GetFileStatus(sName, status) && status.bExists;
}

// True when the file is gone afterwards, also when someone else removed it first; a failure
// keeps the removal's error.
bool RemoveIfThere(const std::string& sName) {
  if (platform::RemoveFile(sName)) return true;
  const uint32_t uError = platform::GetLastSystemError();
  if (!Exists(sName)) return true;
  platform::SetLastSystemError(uError);
  return false;
}

void CopyExecutable(const std::string& sFrom, const std::string& sTo) {
  platform::CFile in;
  if (!in.Open(sFrom, platform::CFile::eRead)) {
    throw std::runtime_error("unable to open " + sFrom + " for reading (copying)");
  }
  platform::CFile out;
  if (!out.Open(sTo, platform::CFile::eCreate)) {
    throw std::runtime_error("unable to open " + sTo + " for writing (copying)");
  }
  uint64_t u64Size = 0;
  if (!in.GetSize(u64Size)) {
    throw std::runtime_error("unable to read " + sFrom + " while self updating");
  }
  std::vector<uint8_t> buffer;
  try {
    buffer.resize(static_cast<size_t>(u64Size));
  } catch (const std::bad_alloc&) {
    throw std::runtime_error("unable to allocate enough memory to self update");
  }
  uint64_t u64Read = 0;
  while (u64Read < u64Size) {
    int64_t n = in.Read(buffer.data() + u64Read, u64Size - u64Read);
    if (n <= 0) break;
    u64Read += static_cast<uint64_t>(n);
  }
  if (u64Read != u64Size) {
    throw std::runtime_error("unable to read " + sFrom + " while self updating");
  }
  if (!out.Write(buffer.data(), u64Size) || !out.Flush()) {
    throw std::runtime_error("unable to write " + sTo + " while self updating");
  }
}

// A name for the old executable's copy beside it that is not taken.
std::string TemporaryNameBeside(const std::string& sBaseName) {
  for (unsigned u = 0; u < 1000; ++u) {
    std::string sName = sBaseName + "Old" + std::to_string(platform::GetProcessId()) + "_" +
                        std::to_string(u) + ".tmp";
    if (!Exists(sName)) return sName;
  }
  return std::string();
}

bool IsOldCopyName(const std::string& sName, const std::string& sBaseName) {
  const std::string sPrefix = sBaseName + "Old", sSuffix = ".tmp";
  return sName.size() > sPrefix.size() + sSuffix.size() &&
         sName.compare(0, sPrefix.size(), sPrefix) == 0 &&
         sName.compare(sName.size() - sSuffix.size(), sSuffix.size(), sSuffix) == 0;
}

// The copy that was written last (the highest name among equals, so the choice is stable).
std::string NewestOf(const std::vector<std::string>& names) {
  std::string sNewest;
  int64_t n64Newest = 0;
  for (const std::string& sName : names) {
    platform::SFileStatus status;
    if (!platform::GetFileStatus(sName, status) || !status.bRegularFile) continue;
    if (sNewest.empty() || status.n64ModifiedTime > n64Newest ||
        (status.n64ModifiedTime == n64Newest && sName > sNewest)) {
      sNewest = sName;
      n64Newest = status.n64ModifiedTime;
    }
  }
  return sNewest;
}

// The old executable stays complete under its own name until the new one replaces it; the copy
// is there for the repair of a run that finds no executable at all.
void KeepOldCopy(const std::string& sExe, const std::string& sCopy) {
  try {
    CopyExecutable(sExe, sCopy);
  } catch (const std::runtime_error& e) {
    platform::RemoveFile(sCopy);
    throw std::runtime_error(std::string("Unable to update: ") + e.what());
  }
}

// One rename over the old executable, retried while the previous process still holds it (on
// Windows a running executable cannot be replaced). The new file is on the disk first, so that
// the name never points at bytes that a power cut could lose.
void ReplaceExecutable(const std::string& sNewExe, const std::string& sExe,
                       const SWorkerContext& context) {
  platform::CFile newFile;
  if (newFile.Open(sNewExe, platform::CFile::eReadWrite) && !newFile.Flush()) {
    throw std::runtime_error("Unable to update: flush " + sNewExe + ErrnoText());
  }
  newFile.Close();
  for (int nTry = 0;; ++nTry) {
    if (platform::RenameFile(sNewExe, sExe)) break;
    const uint32_t uError = platform::GetLastSystemError();
    if (nTry == 99 || !Exists(sNewExe)) {
      throw std::runtime_error("Unable to update: rename " + sNewExe + " to " + sExe +
                               ErrnoText(uError));
    }
    context.pClock->SleepMs(100);
  }
  platform::MakeExecutable(sExe);
  // Some file systems cannot flush a directory; the rename itself is done either way.
  platform::FlushDirectory(".");
}

// The new executable's command line: the old arguments after the self-update's own four.
std::string RestartLine(const std::string& sExe, int nArgc, char** ppArgv) {
  std::string sRestart = QuoteProgramName(sExe);
  for (int i = 4; i < nArgc; ++i) sRestart += std::string(" ") + ppArgv[i];
  if (sRestart.size() >= sc_uSelfUpdateLineSize) {
    throw std::runtime_error("Unable to update: the command line for " + sExe + " is longer than " +
                             std::to_string(sc_uSelfUpdateLineSize - 1) + " characters");
  }
  return sRestart;
}

bool StartSuccessor(const std::string& sCommandLine, const SWorkerContext& context) {
  if (context.fnBeforeSuccessorStart) context.fnBeforeSuccessorStart();
  // The successor runs on its own; this process neither waits for it nor keeps its handle.
  platform::CProcess process;
  return process.Start(sCommandLine);
}

}  // namespace

bool IsValidVersionText(const std::string& sText) {
  if (std::atoi(sText.c_str()) < 0) return false;
  return sText.find_first_not_of("0123456789") == std::string::npos;
}

std::string BuildSelfUpdateCommandLine(const std::string& sCopyName, const std::string& sExe,
                                       int32_t nVersion, int nArgc, char** ppArgv) {
  std::string sLine =
      QuoteProgramName(sCopyName) + " SelfUpdate \"" + sExe + "\" " + std::to_string(nVersion);
  for (int i = 1; i < nArgc; ++i) sLine += std::string(" ") + ppArgv[i];
  if (sLine.size() >= sc_uSelfUpdateLineSize) {
    throw std::runtime_error("Could not spawn self-updater " + sCopyName +
                             ": its command line is longer than " +
                             std::to_string(sc_uSelfUpdateLineSize - 1) + " characters");
  }
  return sLine;
}

void SpawnSelfUpdater(const CInstallLayout& layout, int32_t nVersion, int nArgc, char** ppArgv,
                      const SWorkerContext& context) {
  LARCH_PRECONDITION("EnoughCmdLineArgs", nArgc > 0);
  LARCH_PRECONDITION("ProvidedACmdLine", ppArgv);
  std::string sCopyName = layout.TemporaryCopy();
  CopyExecutable(layout.Executable(), sCopyName);
  // Packages carry no permission bits.
  platform::MakeExecutable(sCopyName);
  platform::MakeExecutable(layout.NewExecutable());
  std::string sLine =
      BuildSelfUpdateCommandLine(sCopyName, layout.Executable(), nVersion, nArgc, ppArgv);
  if (!StartSuccessor(sLine, context)) {
    throw std::runtime_error("Could not spawn self-updater " + sCopyName + ErrnoText());
  }
  context.fnEndProcess();
}

void RunSelfUpdate(int nArgc, char** ppArgv, const SWorkerContext& context) {
  LARCH_PRECONDITION("EnoughCmdLineArgs", nArgc > 0);
  LARCH_PRECONDITION("ProvidedACmdLine", ppArgv);
  LARCH_PRECONDITION("SelfUpdateCmdLine", nArgc > 1 && strcmp(ppArgv[1], "SelfUpdate") == 0);
  if (nArgc < 4) {
    throw std::runtime_error("Unable to update: the self-update command line has " +
                             std::to_string(nArgc) + " arguments, 4 are needed");
  }
  const CInstallLayout layout = CInstallLayout::FromExecutablePath(ppArgv[2]);
  const std::string sVersion = ppArgv[3];
  if (!IsValidVersionText(sVersion)) {
    throw std::runtime_error("illegal version number (" + sVersion + ")");
  }
  const std::string sPackage = CInstallLayout::PackageName(layout.BaseName(), sVersion);
  const std::string sOldExe = layout.Executable();
  const std::string sNewExe = layout.NewExecutable();
  const std::string sBlob = layout.VersionFile();
  const std::string sRestart = RestartLine(sOldExe, nArgc, ppArgv);

  platform::SFileStatus status;
  if (!platform::GetFileStatus(sOldExe, status) || status.bReadOnly) {
    if (!platform::SetReadOnly(sOldExe, false)) {
      throw std::runtime_error("Unable to update: can not make " + sOldExe + " writable");
    }
  }
  const std::string sOldCopy = TemporaryNameBeside(layout.BaseName());
  if (sOldCopy.empty()) throw std::runtime_error("Unable to update: failed to get temp file name");
  KeepOldCopy(sOldExe, sOldCopy);
  try {
    ReplaceExecutable(sNewExe, sOldExe, context);
    if (!RemoveIfThere(sPackage)) {
      throw std::runtime_error("Unable to update: remove " + sPackage + ErrnoText());
    }
    if (!Exists(sBlob)) throw std::runtime_error("Unable to open client blob file " + sBlob);
    context.pServices->SetBootStrapperVersion(sBlob, sVersion);
    if (!StartSuccessor(sRestart, context)) {
      throw std::runtime_error("Could not spawn new executable " + sOldExe + ErrnoText());
    }
  } catch (...) {
    // The executable is complete, old or new; the copy is not needed.
    platform::RemoveFile(sOldCopy);
    throw;
  }
  // The successor's own repair may have removed it already.
  if (!RemoveIfThere(sOldCopy)) {
    throw std::runtime_error("Unable to update: remove " + sOldExe + ErrnoText());
  }
}

void RepairExecutable(const CInstallLayout& layout) {
  std::vector<std::string> names, oldCopies;
  if (!platform::ListDirectory(".", names)) return;
  for (const std::string& sName : names) {
    if (IsOldCopyName(sName, layout.BaseName())) oldCopies.push_back(sName);
  }
  const std::string sExe = layout.Executable();
  if (!Exists(sExe)) {
    std::string sSource =
        Exists(layout.NewExecutable()) ? layout.NewExecutable() : NewestOf(oldCopies);
    if (!sSource.empty() && platform::RenameFile(sSource, sExe)) {
      platform::MakeExecutable(sExe);
      platform::FlushDirectory(".");
    }
  }
  for (const std::string& sName : oldCopies) {
    // One still in use (on Windows) stays until a later run.
    if (Exists(sName) && platform::SetReadOnly(sName, false)) platform::RemoveFile(sName);
  }
}

}  // namespace bootstrapper
