#include "platform/Process.h"

#include <windows.h>

#include <cstdlib>
#include <vector>

namespace platform {

bool GetExecutablePath(std::string& sPath) {
  char szBuf[MAX_PATH + 1];
  DWORD dwLen = ::GetModuleFileNameA(nullptr, szBuf, MAX_PATH);
  if (dwLen == 0 || dwLen >= MAX_PATH) return false;
  sPath.assign(szBuf, dwLen);
  return true;
}

uint32_t GetProcessId() {
  return ::GetCurrentProcessId();
}
std::string GetProcessCommandLine() {
  return ::GetCommandLineA();
}
void SleepMilliseconds(uint32_t uMilliseconds) {
  ::Sleep(uMilliseconds);
}
void YieldThread() {
  ::SwitchToThread();
}

bool GetEnvVar(const std::string& sName, std::string& sValue) {
  DWORD dwLen = ::GetEnvironmentVariableA(sName.c_str(), nullptr, 0);
  if (dwLen == 0) return false;
  std::vector<char> buf(dwLen);
  dwLen = ::GetEnvironmentVariableA(sName.c_str(), buf.data(), dwLen);
  sValue.assign(buf.data(), dwLen);
  return true;
}

// The C runtime keeps its own copy of the environment, which getenv reads: a library loaded
// into this process (a client DLL) sees a variable only when that copy changes too.
bool SetEnvVar(const std::string& sName, const std::string& sValue) {
  return ::SetEnvironmentVariableA(sName.c_str(), sValue.c_str()) != 0 &&
         ::_putenv((sName + "=" + sValue).c_str()) == 0;
}

bool UnsetEnvVar(const std::string& sName) {
  return ::SetEnvironmentVariableA(sName.c_str(), nullptr) != 0 &&
         ::_putenv((sName + "=").c_str()) == 0;
}

}  // namespace platform

#include "platform/FaultInjection.h"

namespace platform {

CProcess::~CProcess() {
  if (m_pHandle) ::CloseHandle(m_pHandle);
}

bool CProcess::Start(const std::string& sCommandLine) {
  if (ConsumeInjectedFailure("StartProcess")) return false;
  std::vector<char> line(sCommandLine.begin(), sCommandLine.end());
  line.push_back('\0');
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
    return false;
  }
  ::CloseHandle(pi.hThread);
  if (m_pHandle) ::CloseHandle(m_pHandle);
  m_pHandle = pi.hProcess;
  m_uPid = pi.dwProcessId;
  return true;
}

bool CProcess::Wait(uint32_t uMilliseconds, uint32_t& uExitCode) {
  if (!m_pHandle || ::WaitForSingleObject(m_pHandle, uMilliseconds) != WAIT_OBJECT_0) {
    return false;
  }
  DWORD dwCode = 0;
  if (!::GetExitCodeProcess(m_pHandle, &dwCode)) return false;
  uExitCode = dwCode;
  return true;
}

bool CProcess::Kill() {
  return m_pHandle && ::TerminateProcess(m_pHandle, 137) != 0;
}

}  // namespace platform
