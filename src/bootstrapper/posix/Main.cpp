// The POSIX bootstrapper: the portable program with a terminal face on stderr.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "bootstrapper/BootStrapperApp.h"
#include "bootstrapper/TerminalView.h"
#include "platform/Process.h"
#include "platform/Report.h"
#include "platform/Terminal.h"

int main() {
  // First thing in the process, as the guard of the Windows program is a static object.
  auto pGuard =
      std::make_unique<common::CLimitSingleAppInstance>(bootstrapper::sc_pszSingleInstanceName);
  std::unique_ptr<bootstrapper::IUpdateServices> pServices = bootstrapper::MakeRealUpdateServices();
  bootstrapper::IClock& clock = bootstrapper::CSystemClock::Instance();

  bootstrapper::SAppEnvironment environment;
  environment.pServices = pServices.get();
  environment.pClock = &clock;
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
  environment.fnEndProcess = [] {
    std::fflush(nullptr);
    std::_Exit(0);
  };

  bootstrapper::CBootStrapperApp app(environment, std::move(pGuard));
  app.InitInstance(platform::GetProcessCommandLine());
  return 0;
}
