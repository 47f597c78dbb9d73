// A lock shared between processes by name, held by one owner at a time.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Windows: a named auto-reset event, created signalled (or opened when another process made
// it); taking the lock is a wait on it, giving it back sets it. Other programs that use the
// same name meet on the same event.
// POSIX: an exclusive flock on a file of that name in the runtime directory; the kernel drops
// it when the holder's process ends, SIGKILL included, so a crashed holder never blocks the
// others.
//
// One object is used by one thread at a time. Two objects of one process with the same name
// exclude each other like two processes do.
class CNamedLock {
 public:
  enum EWaitResult { eObtained, eTimedOut, eWaitFailed };
  static constexpr uint32_t sc_uInfinite = 0xFFFFFFFF;

  CNamedLock() = default;
  // Gives the lock back when it is held.
  ~CNamedLock();
  CNamedLock(const CNamedLock&) = delete;
  CNamedLock& operator=(const CNamedLock&) = delete;

  // Creates the named lock or opens the existing one. injection: "CreateNamedLock"
  bool Create(const std::string& sName);
  bool IsCreated() const { return m_pHandle != nullptr || m_nFd >= 0; }

  // Waits up to uMilliseconds (sc_uInfinite: without limit). eWaitFailed leaves the reason in
  // the thread's last system error. injection: "AcquireNamedLock" (fails the wait)
  EWaitResult Acquire(uint32_t uMilliseconds);
  // injection: "ReleaseNamedLock"
  bool Release();
  bool IsHeld() const { return m_bHeld; }

 private:
  void Close();

  void* m_pHandle = nullptr;  // Windows event handle
  int m_nFd = -1;             // POSIX lock file
  bool m_bHeld = false;
};

// The name of the lock that guards one file or directory, given its full path: the prefix and
// the MD5 of the path in lower case, in upper-case hex, so that every spelling of a path meets
// on one lock and the name stays short. Empty when the digest cannot be made.
std::string NamedLockNameForFullPath(const std::string& sPrefix, std::string sFullPath);

}  // namespace platform
