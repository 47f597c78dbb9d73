#include "platform/Process.h"

#include <limits.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace platform {

bool GetExecutablePath(std::string& sPath) {
  char szBuf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", szBuf, sizeof(szBuf) - 1);
  if (n <= 0) return false;
  sPath.assign(szBuf, static_cast<size_t>(n));
  return true;
}

uint32_t GetProcessId() {
  return static_cast<uint32_t>(::getpid());
}

std::string GetProcessCommandLine() {
  std::string sRaw;
  if (FILE* pFile = std::fopen("/proc/self/cmdline", "rb")) {
    char szBuf[4096];
    size_t uRead;
    while ((uRead = std::fread(szBuf, 1, sizeof(szBuf), pFile)) > 0) sRaw.append(szBuf, uRead);
    std::fclose(pFile);
  }
  std::string sLine;
  size_t uStart = 0;
  while (uStart < sRaw.size()) {
    size_t uEnd = sRaw.find('\0', uStart);
    if (uEnd == std::string::npos) uEnd = sRaw.size();
    std::string sArg = sRaw.substr(uStart, uEnd - uStart);
    if (!sLine.empty()) sLine += ' ';
    bool bQuote = sArg.empty() || sArg.find_first_of(" \t\n\v\f\r") != std::string::npos;
    sLine += bQuote ? "\"" + sArg + "\"" : sArg;
    uStart = uEnd + 1;
  }
  return sLine;
}

void SleepMilliseconds(uint32_t uMilliseconds) {
  struct timespec ts;
  ts.tv_sec = uMilliseconds / 1000;
  ts.tv_nsec = static_cast<long>(uMilliseconds % 1000) * 1000000L;
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void YieldThread() {
  ::sched_yield();
}

bool GetEnvVar(const std::string& sName, std::string& sValue) {
  const char* psz = ::getenv(sName.c_str());
  if (!psz) return false;
  sValue = psz;
  return true;
}

bool SetEnvVar(const std::string& sName, const std::string& sValue) {
  return ::setenv(sName.c_str(), sValue.c_str(), 1) == 0;
}

bool UnsetEnvVar(const std::string& sName) {
  return ::unsetenv(sName.c_str()) == 0;
}

}  // namespace platform

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <vector>

#include "platform/FaultInjection.h"

extern char** environ;

namespace platform {

// Splits by the Windows rules: 2n backslashes before a quote are n backslashes and the quote
// toggles grouping; 2n+1 are n backslashes and a literal quote; other backslashes are literal.
std::vector<std::string> SplitWindowsCommandLine(const std::string& sLine) {
  std::vector<std::string> args;
  size_t i = 0, n = sLine.size();
  while (i < n) {
    while (i < n && (sLine[i] == ' ' || sLine[i] == '\t')) ++i;
    if (i >= n) break;
    std::string sArg;
    bool bQuoted = false;
    while (i < n && (bQuoted || (sLine[i] != ' ' && sLine[i] != '\t'))) {
      size_t uSlashes = 0;
      while (i < n && sLine[i] == '\\') {
        ++uSlashes;
        ++i;
      }
      if (i < n && sLine[i] == '"') {
        sArg.append(uSlashes / 2, '\\');
        if (uSlashes % 2) {
          sArg += '"';
        } else {
          bQuoted = !bQuoted;
        }
        ++i;
      } else {
        sArg.append(uSlashes, '\\');
        if (i < n && (bQuoted || (sLine[i] != ' ' && sLine[i] != '\t'))) sArg += sLine[i++];
      }
    }
    args.push_back(sArg);
  }
  return args;
}

CProcess::~CProcess() = default;

bool CProcess::Start(const std::string& sCommandLine) {
  if (ConsumeInjectedFailure("StartProcess")) return false;
  std::vector<std::string> args = SplitWindowsCommandLine(sCommandLine);
  if (args.empty()) {
    errno = EINVAL;
    return false;
  }
  std::vector<char*> argv;
  for (auto& s : args) argv.push_back(&s[0]);
  argv.push_back(nullptr);
  pid_t pid = 0;
  // The child starts with no signal blocked: a program that holds its termination requests
  // must not pass that on to what it starts.
  posix_spawnattr_t attr;
  sigset_t none;
  sigemptyset(&none);
  int nErr = ::posix_spawnattr_init(&attr);
  if (nErr == 0) {
    ::posix_spawnattr_setsigmask(&attr, &none);
    ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    nErr = ::posix_spawn(&pid, argv[0], nullptr, &attr, argv.data(), environ);
    ::posix_spawnattr_destroy(&attr);
  }
  if (nErr != 0) {
    errno = nErr;
    return false;
  }
  m_uPid = static_cast<uint32_t>(pid);
  m_bReaped = false;
  return true;
}

bool CProcess::Wait(uint32_t uMilliseconds, uint32_t& uExitCode) {
  if (m_bReaped) {
    uExitCode = m_uExitCode;
    return true;
  }
  for (uint32_t uWaited = 0;; uWaited += 10) {
    int nStatus = 0;
    pid_t r = ::waitpid(static_cast<pid_t>(m_uPid), &nStatus, WNOHANG);
    if (r == static_cast<pid_t>(m_uPid)) {
      m_bReaped = true;
      m_uExitCode = WIFEXITED(nStatus) ? static_cast<uint32_t>(WEXITSTATUS(nStatus))
                                       : 128u + static_cast<uint32_t>(WTERMSIG(nStatus));
      uExitCode = m_uExitCode;
      return true;
    }
    if (r < 0 && errno != EINTR) return false;
    if (uMilliseconds != 0xFFFFFFFFu && uWaited >= uMilliseconds) return false;
    SleepMilliseconds(10);
  }
}

bool CProcess::Kill() {
  return ::kill(static_cast<pid_t>(m_uPid), SIGKILL) == 0;
}

}  // namespace platform
