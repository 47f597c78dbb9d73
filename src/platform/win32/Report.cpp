#include "platform/Report.h"

#include <windows.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "platform/ReportMode.h"

namespace platform {

EReportChoice ShowAssertReport(const std::string& sTitle, const std::string& sBody) {
  switch (GetReportMode()) {
    case eReportModeIgnore:
      return eReportIgnore;
    case eReportModeAbort:
      return eReportAbort;
    case eReportModeStderr:
      std::fprintf(stderr, "\n*** %s ***\n%s\n", sTitle.c_str(), sBody.c_str());
      std::fflush(stderr);
      return eReportIgnore;
    case eReportModeShow:
      break;
  }
  int nRet = ::MessageBoxA(nullptr, sBody.c_str(), sTitle.c_str(),
                           MB_ABORTRETRYIGNORE | MB_ICONERROR | MB_TASKMODAL | MB_SETFOREGROUND);
  switch (nRet) {
    case IDABORT:
      return eReportAbort;
    case IDRETRY:
      return eReportRetry;
    case IDIGNORE:
      return eReportIgnore;
    default:
      return eReportFailed;
  }
}

void DebugBreakIfDebugged() {
  if (::IsDebuggerPresent()) ::DebugBreak();
}

void AbortProcess() {
  std::raise(SIGABRT);
  std::_Exit(3);
}

void ShowErrorMessage(const std::string& sCaption, const std::string& sText) {
  if (GetReportMode() != eReportModeShow) {
    std::fprintf(stderr, "%s: %s\n", sCaption.c_str(), sText.c_str());
    std::fflush(stderr);
    return;
  }
  ::MessageBoxA(nullptr, sText.c_str(), sCaption.c_str(), MB_OK | MB_ICONERROR);
}

}  // namespace platform
