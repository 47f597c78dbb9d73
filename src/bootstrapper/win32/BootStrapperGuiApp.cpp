// The Windows program Larch.exe: the application object that gives the portable bootstrapper
// its window-system face (progress dialog, already-running dialog, message boxes).
//
// Static initialisation builds, in this order, the single-instance guard, the six registered
// window messages and the application object; the entry point then calls InitInstance.

#include <windows.h>

#include <exception>
#include <memory>
#include <string>

#include "bootstrapper/BootStrapperApp.h"
#include "bootstrapper/Clock.h"
#include "bootstrapper/win32/BootStrapperDlgWindow.h"
#include "bootstrapper/win32/GuiApplication.h"
#include "bootstrapper/win32/OnlyOneAtATimeDlg.h"
#include "bootstrapper/win32/RegisteredMessages.h"
#include "platform/Process.h"
#include "platform/Report.h"

namespace gui {
namespace {

std::unique_ptr<common::CLimitSingleAppInstance> s_pGuard =
    std::make_unique<common::CLimitSingleAppInstance>(bootstrapper::sc_pszSingleInstanceName);

const bool s_bMessagesRegistered = (RegisterDialogMessages(), true);

class CBootStrapperGuiApp : public CGuiApplication {
 public:
  bool InitInstance() override;
  int ExitCode() const override { return m_nExitCode; }

 private:
  bool RunProgram();

  int m_nExitCode = bootstrapper::sc_nExitError;
};

// Nothing may escape the entry point: what the application's own handlers do not catch (the
// already-running dialog, setting up the services) ends in the same message box.
bool CBootStrapperGuiApp::InitInstance() {
  try {
    return RunProgram();
  } catch (const std::exception& e) {
    platform::ShowErrorMessage("ERROR", std::string("Larch.exe (main exception): ") + e.what());
  } catch (...) {
    platform::ShowErrorMessage("ERROR", "Larch.exe - main unknown exception");
  }
  return false;
}

bool CBootStrapperGuiApp::RunProgram() {
  EnableControlContainer();
  std::unique_ptr<bootstrapper::IUpdateServices> pServices = bootstrapper::MakeRealUpdateServices();

  bootstrapper::SAppEnvironment environment;
  environment.pServices = pServices.get();
  environment.pClock = &bootstrapper::CSystemClock::Instance();
  platform::GetExecutablePath(environment.sExecutablePath);  // on failure argv[0] stands for it
  environment.fnMakeView = [] { return std::make_unique<CBootStrapperDlgWindow>(); };
  environment.fnShowAlreadyRunning = [] {
    COnlyOneAtATimeDlg dlg;
    dlg.DoModal();
  };
  environment.fnShowError = [](const std::string& sCaption, const std::string& sText) {
    platform::ShowErrorMessage(sCaption, sText);
  };
  environment.fnShowInformation = [](const std::string& sText) {
    ::MessageBoxA(nullptr, sText.c_str(), "Larch", MB_OK | MB_ICONINFORMATION);
  };
  environment.fnEndProcess = [] { ::ExitProcess(bootstrapper::sc_nExitOk); };

  bootstrapper::CBootStrapperApp app(environment, std::move(s_pGuard));
  const bool bLoop = app.InitInstance(platform::GetProcessCommandLine());
  m_nExitCode = app.ExitCode();
  return bLoop;
}

CBootStrapperGuiApp theApp;

}  // namespace
}  // namespace gui
