// The POSIX bootstrapper: the portable program with a terminal face on stderr.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "bootstrapper/BootStrapperApp.h"
#include "bootstrapper/TerminalView.h"
#include "platform/Process.h"
#include "platform/Report.h"
#include "platform/Signals.h"
#include "platform/Terminal.h"

namespace {

// The exit status of a cancelled run: the last termination request's (Ctrl+C's by default).
std::atomic<int> s_nCancelledExitCode{bootstrapper::sc_nExitCancelled};

// Ctrl+C (or SIGTERM) is the terminal's Cancel: it ends the progress dialog as its Cancel
// button does, so the cycle's network call gives up at its next poll, nothing is launched, and
// the process ends (with the worker wherever it stands, should it be held elsewhere). Outside
// the dialog it ends the process at once, as it would without this relay.
void RelayTerminationRequestsToCancel() {
  if (!platform::HoldTerminationRequests()) return;
  std::thread([] {
    std::string sName;
    while (platform::WaitForTerminationRequest(sName)) {
      const int nExitCode =
          sName == "SIGINT" ? bootstrapper::sc_nExitCancelled : bootstrapper::sc_nExitTerminated;
      s_nCancelledExitCode = nExitCode;
      if (!bootstrapper::CTerminalView::CancelActiveDialog()) {
        std::fflush(nullptr);
        std::_Exit(nExitCode);
      }
    }
  }).detach();
}

}  // namespace

int main() {
  // First thing in the process, as the guard of the Windows program is a static object.
  auto pGuard =
      std::make_unique<common::CLimitSingleAppInstance>(bootstrapper::sc_pszSingleInstanceName);
  RelayTerminationRequestsToCancel();
  std::unique_ptr<bootstrapper::IUpdateServices> pServices = bootstrapper::MakeRealUpdateServices();
  bootstrapper::IClock& clock = bootstrapper::CSystemClock::Instance();

  bootstrapper::SAppEnvironment environment;
  environment.pServices = pServices.get();
  environment.pClock = &clock;
  platform::GetExecutablePath(environment.sExecutablePath);  // on failure argv[0] stands for it
  environment.fnMakeView = [&clock] {
    return std::unique_ptr<bootstrapper::IProgressView>(
        new bootstrapper::CTerminalView(stderr, platform::IsStderrTerminal(), clock));
  };
  environment.fnShowAlreadyRunning = [] {
    std::fputs("Larch is already running\nYou may only run one copy of Larch at a time.\n", stderr);
  };
  environment.fnShowError = [](const std::string& sCaption, const std::string& sText) {
    platform::ShowErrorMessage(sCaption, sText);
  };
  environment.fnShowInformation = [](const std::string& sText) {
    std::fputs(sText.c_str(), stdout);
  };
  environment.fnEndProcess = [] {
    std::fflush(nullptr);
    std::_Exit(0);
  };

  bootstrapper::CBootStrapperApp app(environment, std::move(pGuard));
  app.InitInstance(platform::GetProcessCommandLine());
  const int nExitCode = app.ExitCode();
  return nExitCode == bootstrapper::sc_nExitCancelled ? s_nCancelledExitCode.load() : nExitCode;
}
