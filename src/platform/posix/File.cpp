#include "platform/File.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/FaultInjection.h"

namespace platform {

bool GetFileStatus(const std::string& sPath, SFileStatus& status) {
  status = SFileStatus();
  struct stat st;
  if (::stat(sPath.c_str(), &st) != 0) return false;
  status.bExists = true;
  status.bRegularFile = S_ISREG(st.st_mode);
  status.bDirectory = S_ISDIR(st.st_mode);
  status.bReadOnly = (st.st_mode & S_IWUSR) == 0;
  status.u64Size = static_cast<uint64_t>(st.st_size);
  status.n64ModifiedTime = static_cast<int64_t>(st.st_mtime);
  return true;
}

static bool ChangeMode(const std::string& sPath, mode_t uSet, mode_t uClear) {
  struct stat st;
  if (::stat(sPath.c_str(), &st) != 0) return false;
  mode_t uMode = (st.st_mode & 07777 & ~uClear) | uSet;
  return ::chmod(sPath.c_str(), uMode) == 0;
}

bool SetReadOnly(const std::string& sPath, bool bReadOnly) {
  if (ConsumeInjectedFailure("SetReadOnly")) return false;
  return bReadOnly ? ChangeMode(sPath, 0, S_IWUSR | S_IWGRP | S_IWOTH)
                   : ChangeMode(sPath, S_IWUSR, 0);
}

bool MakeExecutable(const std::string& sPath) {
  return ChangeMode(sPath, S_IXUSR | S_IXGRP | S_IXOTH, 0);
}

bool RenameFile(const std::string& sFrom, const std::string& sTo) {
  if (ConsumeInjectedFailure("Rename")) return false;
  return ::rename(sFrom.c_str(), sTo.c_str()) == 0;
}

bool FlushDirectory(const std::string& sPath) {
  int nFd = ::open(sPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (nFd < 0) return false;
  bool bFlushed = ::fsync(nFd) == 0;
  ::close(nFd);
  return bFlushed;
}

bool SyncFileSystem(const std::string& sPath) {
  if (ConsumeInjectedFailure("SyncFileSystem")) return false;
  int nFd = ::open(sPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (nFd < 0) return false;
  bool bSynced = ::syncfs(nFd) == 0;
  ::close(nFd);
  return bSynced;
}

bool CanSyncFileSystem() {
  return true;
}

bool RemoveFile(const std::string& sPath) {
  if (ConsumeInjectedFailure("Remove")) return false;
  return ::unlink(sPath.c_str()) == 0;
}

bool RemoveEmptyDirectory(const std::string& sPath) {
  return ::rmdir(sPath.c_str()) == 0;
}

bool MakeDirectory(const std::string& sPath) {
  if (::mkdir(sPath.c_str(), 0777) == 0) return true;
  SFileStatus st;
  return errno == EEXIST && GetFileStatus(sPath, st) && st.bDirectory;
}

bool ListDirectory(const std::string& sPath, std::vector<std::string>& names) {
  names.clear();
  DIR* pDir = ::opendir(sPath.c_str());
  if (!pDir) return false;
  while (struct dirent* pEnt = ::readdir(pDir)) {
    std::string sName = pEnt->d_name;
    if (sName != "." && sName != "..") names.push_back(sName);
  }
  ::closedir(pDir);
  return true;
}

bool GetFreeDiskSpace(const std::string& sPath, uint64_t& u64Free) {
  if (ConsumeInjectedFailure("GetFreeDiskSpace")) return false;
  struct statvfs st;
  if (::statvfs(sPath.c_str(), &st) != 0) return false;
  u64Free = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
  return true;
}

std::string GetFullPath(const std::string& sPath) {
  if (sPath.empty()) return "";
  std::string sAbs = sPath[0] == '/' ? sPath : GetWorkingDirectory() + "/" + sPath;
  // Normalise "." and ".." lexically, so that paths of files that do not exist yet work too.
  std::vector<std::string> parts;
  size_t uPos = 0;
  while (uPos <= sAbs.size()) {
    size_t uEnd = sAbs.find('/', uPos);
    if (uEnd == std::string::npos) uEnd = sAbs.size();
    std::string sPart = sAbs.substr(uPos, uEnd - uPos);
    if (sPart == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!sPart.empty() && sPart != ".") {
      parts.push_back(sPart);
    }
    uPos = uEnd + 1;
  }
  std::string sOut;
  for (const auto& s : parts) sOut += "/" + s;
  return sOut.empty() ? "/" : sOut;
}

std::string GetWorkingDirectory() {
  char szBuf[PATH_MAX];
  return ::getcwd(szBuf, sizeof(szBuf)) ? std::string(szBuf) : std::string();
}

bool SetWorkingDirectory(const std::string& sPath) {
  return ::chdir(sPath.c_str()) == 0;
}

char PreferredSeparator() {
  return '/';
}
bool IsSeparator(char c) {
  return c == '/';
}
bool FileNamesIgnoreCase() {
  return false;
}

CFile::~CFile() {
  Close();
}

bool CFile::Open(const std::string& sPath, EMode eMode) {
  Close();
  if (ConsumeInjectedFailure("Open")) return false;
  int nFlags = O_CLOEXEC;
  switch (eMode) {
    case eRead:
      nFlags |= O_RDONLY;
      break;
    case eReadWrite:
      nFlags |= O_RDWR;
      break;
    case eCreate:
      nFlags |= O_RDWR | O_CREAT | O_TRUNC;
      break;
    case eCreateExclusive:
    case eCreatePrivate:
      nFlags |= O_RDWR | O_CREAT | O_EXCL;
      break;
  }
  m_nFd = ::open(sPath.c_str(), nFlags, eMode == eCreatePrivate ? 0600 : 0666);
  return m_nFd >= 0;
}

void CFile::Close() {
  if (m_nFd >= 0) ::close(m_nFd);
  m_nFd = -1;
}

int64_t CFile::Read(void* pBuffer, uint64_t uSize) {
  for (;;) {
    ssize_t n = ::read(m_nFd, pBuffer, uSize);
    if (n >= 0 || errno != EINTR) return n;
  }
}

bool CFile::Write(const void* pBuffer, uint64_t uSize) {
  const char* p = static_cast<const char*>(pBuffer);
  if (ConsumeInjectedFailure("Write")) {
    int nSaved = errno;
    if (uSize > 1 && ::write(m_nFd, p, uSize / 2) < 0) return false;
    errno = nSaved;
    return false;
  }
  while (uSize > 0) {
    ssize_t n = ::write(m_nFd, p, uSize);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    uSize -= static_cast<uint64_t>(n);
  }
  return true;
}

bool CFile::Seek(uint64_t u64Offset) {
  return ::lseek(m_nFd, static_cast<off_t>(u64Offset), SEEK_SET) >= 0;
}

bool CFile::GetSize(uint64_t& u64Size) {
  struct stat st;
  if (::fstat(m_nFd, &st) != 0) return false;
  u64Size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool CFile::Truncate(uint64_t u64Size) {
  return ::ftruncate(m_nFd, static_cast<off_t>(u64Size)) == 0;
}

bool CFile::Flush() {
  if (ConsumeInjectedFailure("Flush")) return false;
  return ::fsync(m_nFd) == 0;
}

}  // namespace platform
