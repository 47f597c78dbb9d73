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

std::string ErrnoText() {
  return " (errno=" + std::to_string(platform::GetLastSystemError()) + ")";
}

bool Exists(const std::string& sName) {
  platform::SFileStatus status;
  return platform::GetFileStatus(sName, status) && status.bExists;
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

// A name for the old executable beside it, in the executable's directory, that is not taken.
std::string TemporaryNameBeside(const std::string& sBaseName) {
  for (unsigned u = 0; u < 1000; ++u) {
    std::string sName = sBaseName + "Old" + std::to_string(platform::GetProcessId()) + "_" +
                        std::to_string(u) + ".tmp";
    if (!Exists(sName)) return sName;
  }
  return std::string();
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

std::string BuildSelfUpdateCommandLine(const std::string& sCopyName, const std::string& sArgv0,
                                       int32_t nVersion, int nArgc, char** ppArgv) {
  std::string sLine =
      QuoteProgramName(sCopyName) + " SelfUpdate \"" + sArgv0 + "\" " + std::to_string(nVersion);
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
  std::string sLine = BuildSelfUpdateCommandLine(sCopyName, ppArgv[0], nVersion, nArgc, ppArgv);
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
  const CInstallLayout layout = CInstallLayout::FromArgv0(ppArgv[2]);
  const std::string sVersion = ppArgv[3];
  if (!IsValidVersionText(sVersion)) {
    throw std::runtime_error("illegal version number (" + sVersion + ")");
  }
  const std::string sPackage = CInstallLayout::PackageName(layout.BaseName(), sVersion);
  const std::string sOldExe = layout.Executable();
  const std::string sNewExe = layout.NewExecutable();
  const std::string sBlob = layout.VersionFile();
  std::string sRestart = QuoteProgramName(sOldExe);
  for (int i = 4; i < nArgc; ++i) sRestart += std::string(" ") + ppArgv[i];
  if (sRestart.size() >= sc_uSelfUpdateLineSize) {
    throw std::runtime_error("Unable to update: the command line for " + sOldExe +
                             " is longer than " + std::to_string(sc_uSelfUpdateLineSize - 1) +
                             " characters");
  }

  platform::SFileStatus status;
  if (!platform::GetFileStatus(sOldExe, status) || status.bReadOnly) {
    if (!platform::SetReadOnly(sOldExe, false)) {
      throw std::runtime_error("Unable to update: can not make " + sOldExe + " writable");
    }
  }
  std::string sTemp = TemporaryNameBeside(layout.BaseName());
  if (sTemp.empty()) throw std::runtime_error("Unable to update: failed to get temp file name");

  // The previous process may still be ending and holding its executable.
  bool bMoved = false;
  for (int nTry = 0; nTry < 100 && !(bMoved = platform::RenameFile(sOldExe, sTemp)); ++nTry) {
    context.pClock->SleepMs(100);
  }
  if (!bMoved) {
    throw std::runtime_error("Unable to update: rename " + sOldExe + " to " + sTemp + ErrnoText());
  }
  if (Exists(sOldExe)) {
    throw std::runtime_error("Unable to update: renamed " + sOldExe +
                             " but the file is still there");
  }
  if (!platform::RenameFile(sNewExe, sOldExe)) {
    std::string sError = "Unable to update: rename " + sNewExe + " to " + sOldExe + ErrnoText();
    // Never leave the user without the executable they start.
    platform::RenameFile(sTemp, sOldExe);
    throw std::runtime_error(sError);
  }
  platform::MakeExecutable(sOldExe);
  if (!platform::RemoveFile(sPackage)) {
    throw std::runtime_error("Unable to update: remove " + sPackage + ErrnoText());
  }
  if (!Exists(sBlob)) throw std::runtime_error("Unable to open client blob file " + sBlob);
  context.pServices->SetBootStrapperVersion(sBlob, sVersion);

  if (!StartSuccessor(sRestart, context)) {
    throw std::runtime_error("Could not spawn new executable " + sOldExe + ErrnoText());
  }
  if (!platform::RemoveFile(sTemp)) {
    throw std::runtime_error("Unable to update: remove " + sOldExe + ErrnoText());
  }
}

}  // namespace bootstrapper
