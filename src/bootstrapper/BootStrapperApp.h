// The program's entry: single-instance check, branding, command line, working directory, the
// two run modes (normal and "SelfUpdate") and the update-and-launch loop. Runs on the main
// thread; the window system's face (dialogs, message boxes) comes in through SAppEnvironment.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "bootstrapper/BootStrapperDlg.h"
#include "bootstrapper/Clock.h"
#include "bootstrapper/InstallLayout.h"
#include "bootstrapper/UpdateServices.h"
#include "support/LimitSingleAppInstance.h"

namespace bootstrapper {

constexpr const char* sc_pszSingleInstanceName = "__LarchBootstrapperApp__";
constexpr const char* sc_pszIconEnvVar = "__LARCH_BOOTSTRAPPER_ICON_ID__";
constexpr unsigned sc_uIconResourceId = 128;

// What the application uses of its surroundings. Not owned; all must outlive InitInstance.
struct SAppEnvironment {
  IUpdateServices* pServices = nullptr;
  IClock* pClock = nullptr;
  // A fresh progress view for each cycle's dialog.
  std::function<std::unique_ptr<IProgressView>()> fnMakeView;
  // The already-running dialog, shown modally; its result does not matter.
  std::function<void()> fnShowAlreadyRunning;
  // A message box with no owner and an OK button.
  std::function<void(const std::string& sCaption, const std::string& sText)> fnShowError;
  // Ends the process at once with exit status 0 (after the self-updater has started).
  std::function<void()> fnEndProcess;
};

class CBootStrapperApp {
 public:
  // The guard was created first thing in the process; the application owns it from now on.
  CBootStrapperApp(const SAppEnvironment& environment,
                   std::unique_ptr<common::CLimitSingleAppInstance> pGuard);

  // Does all of the program's work and returns false, so that the process ends.
  bool InitInstance(const std::string& sCommandLine);

 private:
  void Run(const std::string& sCommandLine);
  void RemoveLeftoverTemporaryExecutable(const CInstallLayout& layout);
  void UpdateAndLaunchLoop(int nArgc, char** ppArgv);
  int RunCycle(int nArgc, char** ppArgv, bool bRepeat);
  SWorkerContext MakeWorkerContext();

  SAppEnvironment m_environment;
  std::unique_ptr<common::CLimitSingleAppInstance> m_pGuard;
  std::string m_sClientAppName;
  std::string m_sClientAppExt;
};

}  // namespace bootstrapper
