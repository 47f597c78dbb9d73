#include "bootstrapper/ClientLaunch.h"

#include <stdexcept>
#include <vector>

#include "platform/DynamicLibrary.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "platform/SystemError.h"
#include "support/Assert.h"
#include "support/SafeClibStringReplacements.h"

namespace bootstrapper {

std::string BuildClientCommandLine(const std::string& sClientFile, int nArgc, char** ppArgv) {
  std::vector<char> line(sc_uLaunchLineSize);
  common::SafeStrncpy(line.data(), sClientFile.c_str(), line.size());
  for (int i = 1; i < nArgc; ++i) {
    common::SafeStrcat(line.data(), " ", line.size());
    common::SafeStrcat(line.data(), ppArgv[i], line.size());
  }
  return line.data();
}

int LaunchClientAppExe(const std::string& sClientAppExe, int nArgc, char** ppArgv) {
  const std::string& sClientFile = sClientAppExe;
  LARCH_PRECONDITION("HaveClientAppName", sClientAppExe.length());
  LARCH_PRECONDITION("EnoughCmdLineArgs", nArgc > 0);
  LARCH_PRECONDITION("ProvidedACmdLine", ppArgv);
  // Packages carry no permission bits; a no-op where files need none to run.
  platform::MakeExecutable(sClientFile);
  platform::CProcess process;
  if (!process.Start(BuildClientCommandLine(sClientFile, nArgc, ppArgv))) {
    throw std::runtime_error("Could not spawn " + sClientFile +
                             " (errno=" + std::to_string(platform::GetLastSystemError()) + ")");
  }
  return 0;
}

int LaunchClientAppDll(const std::string& sClientAppLib, int nArgc, char** ppArgv) {
  const std::string& sClientFile = sClientAppLib;
  LARCH_PRECONDITION("HaveClientAppName", sClientAppLib.length());
  LARCH_PRECONDITION("EnoughCmdLineArgs", nArgc > 0);
  LARCH_PRECONDITION("ProvidedACmdLine", ppArgv);
  platform::CDynamicLibrary library;
  if (!library.Load(sClientFile)) {
    throw std::runtime_error("Unable to load library " + sClientFile);
  }
  auto pfnMain = reinterpret_cast<LarchDllMainFn>(library.FindSymbol(sc_pszClientEntryPoint));
  if (!pfnMain) {
    throw std::runtime_error("Unable to find " + sClientFile + " entry point " +
                             sc_pszClientEntryPoint);
  }
  int nResult = pfnMain(nArgc, ppArgv);
  if (!library.Unload()) throw std::runtime_error("Unable to release " + sClientFile);
  return nResult;
}

}  // namespace bootstrapper
