#include "platform/Report.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/ReportMode.h"

namespace platform {
namespace {

void WriteReport(const std::string& sTitle, const std::string& sBody) {
  std::fprintf(stderr, "\n*** %s ***\n%s\n", sTitle.c_str(), sBody.c_str());
  std::fflush(stderr);
}

EReportChoice PromptOnTerminal() {
  for (;;) {
    std::fputs("(A)bort, (R)etry, (I)gnore? ", stderr);
    std::fflush(stderr);
    char szLine[64];
    if (!std::fgets(szLine, sizeof(szLine), stdin)) return eReportFailed;
    switch (szLine[0]) {
      case 'a':
      case 'A':
        return eReportAbort;
      case 'r':
      case 'R':
        return eReportRetry;
      case 'i':
      case 'I':
        return eReportIgnore;
      default:
        break;
    }
  }
}

}  // namespace

EReportChoice ShowAssertReport(const std::string& sTitle, const std::string& sBody) {
  switch (GetReportMode()) {
    case eReportModeIgnore:
      return eReportIgnore;
    case eReportModeAbort:
      return eReportAbort;
    case eReportModeStderr:
      WriteReport(sTitle, sBody);
      return eReportIgnore;
    case eReportModeShow:
      break;
  }
  WriteReport(sTitle, sBody);
  if (::isatty(STDIN_FILENO) && ::isatty(STDERR_FILENO)) return PromptOnTerminal();
  return eReportIgnore;
}

void DebugBreakIfDebugged() {
  // SIGTRAP stops an attached debugger; without one it would end the process, so it is raised
  // only when a tracer is present.
  FILE* pStatus = std::fopen("/proc/self/status", "r");
  if (!pStatus) return;
  char szLine[256];
  bool bTraced = false;
  while (std::fgets(szLine, sizeof(szLine), pStatus)) {
    if (std::strncmp(szLine, "TracerPid:", 10) == 0) {
      bTraced = std::strtol(szLine + 10, nullptr, 10) != 0;
      break;
    }
  }
  std::fclose(pStatus);
  if (bTraced) ::raise(SIGTRAP);
}

void AbortProcess() {
  // SIGABRT reaches a handler that watches for it; its default action (death by signal) is
  // suppressed so that the exit code is 3 on both platforms.
  struct sigaction current;
  if (::sigaction(SIGABRT, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
    struct sigaction ignore;
    std::memset(&ignore, 0, sizeof(ignore));
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGABRT, &ignore, nullptr);
  }
  ::raise(SIGABRT);
  ::_exit(3);
}

void ShowErrorMessage(const std::string& sCaption, const std::string& sText) {
  std::fprintf(stderr, "%s: %s\n", sCaption.c_str(), sText.c_str());
  std::fflush(stderr);
}

}  // namespace platform
