#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/SystemError.h"

namespace platform {

std::string RuntimeLockPath(const std::string& sName);  // posix/RuntimeDir.cpp

namespace {

// flock that retries after signals.
bool Flock(int nFd, int nOp) {
  while (::flock(nFd, nOp) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace

// Every process holds a shared lock on the marker file for its life; the kernel drops it when
// the process ends. A process that can take the exclusive lock is alone: the name is new. The
// check and the change to the shared lock happen under a second, exclusive "guard" lock, so
// that two processes that start together never both see the name as new.
CNamedInstanceMarker::CNamedInstanceMarker(const std::string& sName) {
  std::string sPath = RuntimeLockPath(sName);
  int nGuard = ::open((sPath + ".guard").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  m_nFd = ::open(sPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (nGuard < 0 || m_nFd < 0 || !Flock(nGuard, LOCK_EX)) {
    m_uCreationError = GetLastSystemError();
    if (nGuard >= 0) ::close(nGuard);
    if (m_nFd >= 0) ::close(m_nFd);
    m_nFd = -1;
    return;
  }
  bool bAlone = ::flock(m_nFd, LOCK_EX | LOCK_NB) == 0;
  m_bValid = Flock(m_nFd, LOCK_SH);
  m_uCreationError = m_bValid ? (bAlone ? 0 : sc_uErrorAlreadyExists) : GetLastSystemError();
  ::close(nGuard);  // releases the guard lock
}

CNamedInstanceMarker::~CNamedInstanceMarker() {
  if (m_nFd >= 0) ::close(m_nFd);
}

}  // namespace platform
