#include "platform/NamedLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/FaultInjection.h"

namespace platform {

std::string RuntimeLockPath(const std::string& sName);  // posix/RuntimeDir.cpp

namespace {

void SleepMicroseconds(long lMicroseconds) {
  struct timespec ts = {0, lMicroseconds * 1000};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

bool BlockingFlock(int nFd) {
  while (::flock(nFd, LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace

CNamedLock::~CNamedLock() {
  Close();
}

bool CNamedLock::Create(const std::string& sName) {
  Close();
  if (ConsumeInjectedFailure("CreateNamedLock")) return false;
  m_nFd = ::open(RuntimeLockPath(sName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  return m_nFd >= 0;
}

// flock has no time-out, so a bounded wait polls: short pauses first, so that a lock given back
// quickly is seen quickly, growing to 2 ms.
CNamedLock::EWaitResult CNamedLock::Acquire(uint32_t uMilliseconds) {
  if (ConsumeInjectedFailure("AcquireNamedLock")) return eWaitFailed;
  if (m_nFd < 0) {
    errno = EBADF;
    return eWaitFailed;
  }
  if (uMilliseconds == sc_uInfinite) {
    if (!BlockingFlock(m_nFd)) return eWaitFailed;
    m_bHeld = true;
    return eObtained;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(uMilliseconds);
  long lPause = 50;
  for (;;) {
    if (::flock(m_nFd, LOCK_EX | LOCK_NB) == 0) {
      m_bHeld = true;
      return eObtained;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) return eWaitFailed;
    if (std::chrono::steady_clock::now() >= deadline) return eTimedOut;
    SleepMicroseconds(lPause);
    if (lPause < 2000) lPause *= 2;
  }
}

bool CNamedLock::Release() {
  if (ConsumeInjectedFailure("ReleaseNamedLock")) return false;
  if (m_nFd < 0 || !m_bHeld) {
    errno = EPERM;
    return false;
  }
  if (::flock(m_nFd, LOCK_UN) != 0) return false;
  m_bHeld = false;
  return true;
}

void CNamedLock::Close() {
  if (m_nFd >= 0) ::close(m_nFd);  // also drops a held lock
  m_nFd = -1;
  m_bHeld = false;
}

}  // namespace platform
