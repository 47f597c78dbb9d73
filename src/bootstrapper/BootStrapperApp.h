// The program's entry: single-instance check, branding, command line, working directory, the
// two run modes (normal and "SelfUpdate") and the update-and-launch loop. Runs on the main
// thread; the window system's face (dialogs, message boxes) comes in through SAppEnvironment.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "bootstrapper/BootStrapperDlg.h"
#include "bootstrapper/Clock.h"
#include "bootstrapper/CommandLine.h"
#include "bootstrapper/InstallLayout.h"
#include "bootstrapper/UpdateServices.h"
#include "support/LimitSingleAppInstance.h"

namespace bootstrapper {

constexpr const char* sc_pszSingleInstanceName = "__LarchBootstrapperApp__";
constexpr const char* sc_pszIconEnvVar = "__LARCH_BOOTSTRAPPER_ICON_ID__";
constexpr unsigned sc_uIconResourceId = 128;

// The process's exit status: ok (the client was started, a new version of the program took over,
// or --help or --version was answered), an error was shown (or another copy runs), the user
// cancelled. The POSIX program tells a termination request apart with 143.
constexpr int sc_nExitOk = 0;
constexpr int sc_nExitError = 1;
constexpr int sc_nExitCancelled = 130;
constexpr int sc_nExitTerminated = 143;

// What "--help" and "--version" show, the same on every system.
extern const char* const sc_pszHelpText;
std::string VersionText();

// What the application uses of its surroundings. Not owned; all must outlive InitInstance.
struct SAppEnvironment {
  IUpdateServices* pServices = nullptr;
  IClock* pClock = nullptr;
  // The running executable's full path, as the system gives it; empty: argv[0] stands for it.
  // The installation is the folder it lies in, its names are made from its name.
  std::string sExecutablePath;
  // A fresh progress view for each cycle's dialog.
  std::function<std::unique_ptr<IProgressView>()> fnMakeView;
  // The already-running dialog, shown modally; its result does not matter.
  std::function<void()> fnShowAlreadyRunning;
  // A message box with no owner and an OK button.
  std::function<void(const std::string& sCaption, const std::string& sText)> fnShowError;
  // The help or version text, answered without a network (standard output, a message box).
  std::function<void(const std::string& sText)> fnShowInformation;
  // Ends the process at once with exit status 0 (after the self-updater has started).
  std::function<void()> fnEndProcess;
};

class CBootStrapperApp {
 public:
  // The guard was created first thing in the process; the application owns it from now on.
  CBootStrapperApp(const SAppEnvironment& environment,
                   std::unique_ptr<common::CLimitSingleAppInstance> pGuard);

  // Does all of the program's work and returns false, so that the process ends. "--help" or
  // "--version" as the only argument is answered at once; any other argument is the client's.
  bool InitInstance(const std::string& sCommandLine);
  // The exit status once InitInstance returned: one of sc_nExit...
  int ExitCode() const { return m_nExitCode; }

 private:
  bool AnswerInformationRequest(CCommandLine& commandLine);
  void Run(CCommandLine& commandLine);
  void RemoveLeftoverTemporaryExecutable();
  void UpdateAndLaunchLoop(int nArgc, char** ppArgv);
  int RunCycle(int nArgc, char** ppArgv, bool bRepeat);
  int LaunchClientApp(int nArgc, char** ppArgv);
  SWorkerContext MakeWorkerContext();

  SAppEnvironment m_environment;
  std::unique_ptr<common::CLimitSingleAppInstance> m_pGuard;
  std::string m_sClientAppName;
  std::string m_sClientAppExt;
  bool m_bOfflineStart = false;
  CInstallLayout m_layout;
  int m_nExitCode = sc_nExitError;
};

}  // namespace bootstrapper
