#include "platform/Signals.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>

#include "platform/SystemError.h"

namespace platform {
namespace {

sigset_t TerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

bool HoldTerminationRequests() {
  sigset_t set = TerminationSignals();
  int nError = ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (nError != 0) {
    SetLastSystemError(static_cast<uint32_t>(nError));
    return false;
  }
  return true;
}

bool WaitForTerminationRequest(std::string& sName) {
  sigset_t set = TerminationSignals();
  int nSignal = 0;
  int nError = ::sigwait(&set, &nSignal);
  if (nError != 0) {
    SetLastSystemError(static_cast<uint32_t>(nError));
    return false;
  }
  sName = nSignal == SIGINT ? "SIGINT" : "SIGTERM";
  return true;
}

bool RequestProcessTermination(uint32_t uPid) {
  if (::kill(static_cast<pid_t>(uPid), SIGTERM) != 0) {
    SetLastSystemError(static_cast<uint32_t>(errno));
    return false;
  }
  return true;
}

void IgnoreBrokenPipes() {
  ::signal(SIGPIPE, SIG_IGN);
}

}  // namespace platform
