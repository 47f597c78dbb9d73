// The running process.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Full path of the running executable; false when it cannot be obtained.
bool GetExecutablePath(std::string& sPath);
uint32_t GetProcessId();
// The command line of this process as one text. Windows: the line the process was started
// with. POSIX: the arguments joined by single blanks, an argument holding white space (or
// nothing) written in double quotes, so that a splitter by blanks and quotes gets them back.
std::string GetProcessCommandLine();
void SleepMilliseconds(uint32_t uMilliseconds);
void YieldThread();

// Environment variables of this process (inherited by processes it starts).
bool GetEnvVar(const std::string& sName, std::string& sValue);
bool SetEnvVar(const std::string& sName, const std::string& sValue);
bool UnsetEnvVar(const std::string& sName);

// A process started from a command line, without waiting for it. The command line follows the
// Windows rules (blanks separate arguments, double quotes group them, backslashes escape a
// quote); on POSIX it is split by those rules and the first argument is the program. The
// object owns the process handle, not the process: destroying it does not end the process.
class CProcess {
 public:
  CProcess() = default;
  ~CProcess();
  CProcess(const CProcess&) = delete;
  CProcess& operator=(const CProcess&) = delete;

  // injection: "StartProcess"
  bool Start(const std::string& sCommandLine);
  // Waits up to uMilliseconds (0xFFFFFFFF: forever); true when the process ended, with its
  // exit code (on POSIX 128 + the signal number for a process ended by a signal).
  bool Wait(uint32_t uMilliseconds, uint32_t& uExitCode);
  // Ends the process at once (SIGKILL, TerminateProcess).
  bool Kill();
  uint32_t Id() const { return m_uPid; }

 private:
  void* m_pHandle = nullptr;  // Windows process handle
  uint32_t m_uPid = 0;
  bool m_bReaped = false;
  uint32_t m_uExitCode = 0;
};

}  // namespace platform
