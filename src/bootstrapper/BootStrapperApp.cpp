#include "bootstrapper/BootStrapperApp.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <future>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "bootstrapper/BootStrapperWorker.h"
#include "bootstrapper/Branding.h"
#include "bootstrapper/ClientLaunch.h"
#include "bootstrapper/CommandLine.h"
#include "bootstrapper/SelfUpdate.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "support/Version.h"
#include "support/Win32StructuredExceptions.h"

namespace bootstrapper {
namespace {

constexpr const char* sc_pszMainExceptionPrefix = "Larch.exe (main exception): ";
constexpr const char* sc_pszMainUnknownException = "Larch.exe - main unknown exception";
// How long a Cancel waits for the worker to give up its network call and end.
constexpr std::chrono::milliseconds sc_CancelWait{500};

bool Exists(const std::string& sName) {
  platform::SFileStatus status;
  return platform::GetFileStatus(sName, status) && status.bExists;
}

}  // namespace

const char* const sc_pszHelpText =
    "usage: Larch [ARGUMENT...]\n"
    "       Larch --help | --version\n"
    "\n"
    "Keeps the client application up to date and starts it: Larch asks the operator's\n"
    "servers for the published versions of itself and of the client application,\n"
    "installs what changed into the folder it lies in, then starts the client\n"
    "application there. Every argument is passed on to the client application;\n"
    "--help and --version are answered, without a network, only when they are the\n"
    "only argument.\n"
    "\n"
    "Exit status:\n"
    "  0    the client application was started (a library client: its entry point\n"
    "       has returned), or the new version of Larch was started to take over\n"
    "  1    an error was shown (\"ERROR: ...\"), or another copy of Larch is running\n"
    "  130  cancelled (the Cancel button, Ctrl+C)\n"
    "  143  ended by a termination request (SIGTERM)\n";

std::string VersionText() {
  return std::string("Larch ") + common::sc_pszLarchVersion;
}

CBootStrapperApp::CBootStrapperApp(const SAppEnvironment& environment,
                                   std::unique_ptr<common::CLimitSingleAppInstance> pGuard)
    : m_environment(environment), m_pGuard(std::move(pGuard)) {}

SWorkerContext CBootStrapperApp::MakeWorkerContext() {
  SWorkerContext context;
  context.pServices = m_environment.pServices;
  context.pClock = m_environment.pClock;
  // The successor checks the guard at its start; it must not find this process's.
  context.fnBeforeSuccessorStart = [this] { m_pGuard.reset(); };
  context.fnEndProcess = m_environment.fnEndProcess;
  context.layout = m_layout;
  context.bOfflineStart = m_bOfflineStart;
  return context;
}

bool CBootStrapperApp::InitInstance(const std::string& sCommandLine) {
  common::InstallStructuredExceptionTranslator();
  m_nExitCode = sc_nExitError;
  try {
    CCommandLine commandLine;
    commandLine.Parse(sCommandLine);
    if (AnswerInformationRequest(commandLine)) return false;
    if (m_pGuard && m_pGuard->IsAnotherInstanceRunning()) {
      m_environment.fnShowAlreadyRunning();
      return false;
    }
    Run(commandLine);
  } catch (const std::exception& e) {
    m_nExitCode = sc_nExitError;
    m_environment.fnShowError("ERROR", sc_pszMainExceptionPrefix + std::string(e.what()));
  } catch (...) {
    m_nExitCode = sc_nExitError;
    m_environment.fnShowError("ERROR", sc_pszMainUnknownException);
  }
  if (!platform::UnsetEnvVar(sc_pszIconEnvVar)) {
    m_nExitCode = sc_nExitError;
    m_environment.fnShowError("ERROR", sc_pszMainExceptionPrefix +
                                           std::string("Unable to clear environment variable: ") +
                                           sc_pszIconEnvVar + "=");
  }
  return false;
}

// Before the single-instance check, the working folder and the network: a running copy or a
// missing server must not keep the answer back.
bool CBootStrapperApp::AnswerInformationRequest(CCommandLine& commandLine) {
  if (commandLine.Argc() != 2) return false;
  const std::string sArg = commandLine.Argv()[1];
  if (sArg == "--help") {
    m_environment.fnShowInformation(sc_pszHelpText);
  } else if (sArg == "--version") {
    m_environment.fnShowInformation(VersionText() + "\n");
  } else {
    return false;
  }
  m_nExitCode = sc_nExitOk;
  return true;
}

void CBootStrapperApp::Run(CCommandLine& commandLine) {
  GetClientAppFileName(m_sClientAppName, m_sClientAppExt);
  m_bOfflineStart = LoadBrandedOfflineStart();
  // The installation is the executable's folder, wherever the program was started from and
  // under whatever name.
  const SPathParts exe =
      SplitPath(m_environment.sExecutablePath.empty() ? std::string(commandLine.Argv()[0])
                                                      : m_environment.sExecutablePath);
  m_layout = CInstallLayout(exe.sFileName, exe.sExtension);
  const std::string sDirectory = exe.sDrive + exe.sDirectory;
  // From here on every relative name is relative to the executable's directory.
  if (!sDirectory.empty() && !platform::SetWorkingDirectory(sDirectory)) {
    throw std::runtime_error("Unable to change directory to " + sDirectory);
  }
  if (commandLine.Argc() > 1 && std::strcmp(commandLine.Argv()[1], "SelfUpdate") == 0) {
    RunSelfUpdate(commandLine.Argc(), commandLine.Argv(), MakeWorkerContext());
    m_nExitCode = sc_nExitOk;
    return;
  }
  RemoveLeftoverTemporaryExecutable();
  std::string sAssignment =
      std::string(sc_pszIconEnvVar) + "=" + std::to_string(sc_uIconResourceId);
  if (!platform::SetEnvVar(sc_pszIconEnvVar, std::to_string(sc_uIconResourceId))) {
    throw std::runtime_error("Unable to set environment variable: " + sAssignment);
  }
  UpdateAndLaunchLoop(commandLine.Argc(), commandLine.Argv());
}

// The self-updater that started this process may still be running from the file for a moment.
void CBootStrapperApp::RemoveLeftoverTemporaryExecutable() {
  std::string sTemp = m_layout.TemporaryCopy();
  if (!Exists(sTemp)) return;
  for (int nTry = 0; nTry < 100; ++nTry) {
    platform::SetReadOnly(sTemp, false);
    if (platform::RemoveFile(sTemp)) return;
    m_environment.pClock->SleepMs(100);
  }
  throw std::runtime_error("Unable to delete temporary file " + sTemp +
                           ".  Please check permissions and rerun.");
}

void CBootStrapperApp::UpdateAndLaunchLoop(int nArgc, char** ppArgv) {
  int nResult = 0;
  do {
    nResult = RunCycle(nArgc, ppArgv, nResult == 1);
  } while (nResult == 1);
}

// One cycle: dialog and worker, then the launch. Returns the launch's result, or 0 when the
// dialog ended without a launch.
int CBootStrapperApp::RunCycle(int nArgc, char** ppArgv, bool bRepeat) {
  std::unique_ptr<IProgressView> pView = m_environment.fnMakeView();
  auto pDlg = std::make_unique<CBootStrapperDlg>(*pView);
  pDlg->SetArgs(nArgc, ppArgv);
  if (bRepeat) pDlg->SetNoTimer(true);
  pDlg->SetClientApp(m_sClientAppName, m_sClientAppExt);

  SWorkerContext context = MakeWorkerContext();
  pDlg->SetCancelToken(context.pCancel.get());
  std::promise<void> ended;
  std::future<void> workerEnded = ended.get_future();
  std::thread worker;
  try {
    worker = std::thread([pTarget = pDlg.get(), context, ended = std::move(ended)]() mutable {
      BootStrapperWorker(pTarget, context);
      ended.set_value();
    });
  } catch (const std::system_error&) {
    throw std::runtime_error("Failed to spawn worker thread");
  }
  int nDialogResult = pDlg->DoModal();
  // The worker has posted its last message and is ending, or a Cancel ended its network call.
  if (pDlg->EndedByWorker() || workerEnded.wait_for(sc_CancelWait) == std::future_status::ready) {
    worker.join();
  } else {
    // Cancelled while the worker is where the token does not reach (a blocking request, an
    // unpack, the error's pause): it goes on until the process ends and may still post, so
    // the dialog and its view stay alive.
    worker.detach();
    pDlg.release();
    pView.release();
  }
  if (nDialogResult != sc_nIdOk) {
    // A Cancel while the error is shown still ends with the error's status.
    m_nExitCode = context.pFailed->load() ? sc_nExitError : sc_nExitCancelled;
    return 0;
  }
  const int nResult = LaunchClientApp(nArgc, ppArgv);
  m_nExitCode = sc_nExitOk;
  return nResult;
}

int CBootStrapperApp::LaunchClientApp(int nArgc, char** ppArgv) {
  std::string sClientFile = m_sClientAppName + "." + m_sClientAppExt;
  if (m_sClientAppExt == "exe") return LaunchClientAppExe(sClientFile, nArgc, ppArgv);
  if (m_sClientAppExt == "dll") return LaunchClientAppDll(sClientFile, nArgc, ppArgv);
  throw std::runtime_error("Invalid client application extension type (" + m_sClientAppExt + ")");
}

}  // namespace bootstrapper
