#include "platform/FileMapping.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FaultInjection.h"

namespace platform {

CFileMapping::~CFileMapping() {
  Unmap();
  Close();
}

// The exclusive lock stands in for Windows' share mode 0: a second open of the same file, in
// this process or another, fails until the first is closed.
static bool LockExclusively(int nFd) {
  if (::flock(nFd, LOCK_EX | LOCK_NB) == 0) return true;
  int nError = errno == EWOULDBLOCK ? EBUSY : errno;
  ::close(nFd);
  errno = nError;
  return false;
}

bool CFileMapping::OpenExisting(const std::string& sPath, bool bWritable, bool* pbMissing) {
  *pbMissing = false;
  if (ConsumeInjectedFailure("MapOpen")) return false;
  int nFd = ::open(sPath.c_str(), (bWritable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (nFd < 0) {
    *pbMissing = errno == ENOENT;
    return false;
  }
  if (!LockExclusively(nFd)) return false;
  m_nFd = nFd;
  m_bWritable = bWritable;
  return true;
}

bool CFileMapping::CreateNew(const std::string& sPath) {
  if (ConsumeInjectedFailure("MapCreate")) return false;
  int nFd = ::open(sPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (nFd < 0) return false;
  if (!LockExclusively(nFd)) return false;
  m_nFd = nFd;
  m_bWritable = true;
  return true;
}

bool CFileMapping::GetFileSize(uint64_t& u64Size) {
  struct stat st;
  if (m_nFd < 0 || ::fstat(m_nFd, &st) != 0) return false;
  u64Size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool CFileMapping::ReadStart(void* pBuffer, uint32_t uSize) {
  uint8_t* p = static_cast<uint8_t*>(pBuffer);
  uint32_t uDone = 0;
  while (uDone < uSize) {
    ssize_t n = ::pread(m_nFd, p + uDone, uSize - uDone, uDone);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    uDone += static_cast<uint32_t>(n);
  }
  return true;
}

bool CFileMapping::CreateMapping(uint32_t uLength) {
  if (ConsumeInjectedFailure("CreateMapping")) return false;
  uint64_t u64Size = 0;
  if (!GetFileSize(u64Size)) return false;
  if (uLength > u64Size && (!m_bWritable || ::ftruncate(m_nFd, uLength) != 0)) return false;
  m_uMappingLength = uLength;
  return true;
}

bool CFileMapping::MapView() {
  if (ConsumeInjectedFailure("MapView")) return false;
  if (m_uMappingLength == 0) {
    errno = EINVAL;
    return false;
  }
  // A read-only file is mapped privately: stray writes stay in this process.
  void* p = ::mmap(nullptr, m_uMappingLength, PROT_READ | PROT_WRITE,
                   m_bWritable ? MAP_SHARED : MAP_PRIVATE, m_nFd, 0);
  if (p == MAP_FAILED) return false;
  m_pView = static_cast<uint8_t*>(p);
  return true;
}

bool CFileMapping::Flush(uint32_t uLength) {
  if (ConsumeInjectedFailure("FlushMapping")) return false;
  if (!m_pView) return false;
  if (uLength > m_uMappingLength) uLength = m_uMappingLength;
  return ::msync(m_pView, uLength, MS_SYNC) == 0;
}

void CFileMapping::Unmap() {
  if (m_pView) ::munmap(m_pView, m_uMappingLength);
  m_pView = nullptr;
  m_uMappingLength = 0;
}

bool CFileMapping::SetFileLength(uint64_t u64Length) {
  if (ConsumeInjectedFailure("SetFileLength")) return false;
  return m_nFd >= 0 && ::ftruncate(m_nFd, static_cast<off_t>(u64Length)) == 0;
}

void CFileMapping::Close() {
  if (m_nFd >= 0) ::close(m_nFd);
  m_nFd = -1;
}

}  // namespace platform
