#include "platform/FileMapping.h"

#include <windows.h>

#include "platform/FaultInjection.h"

namespace platform {

CFileMapping::~CFileMapping() {
  Unmap();
  Close();
}

// Share mode 0: no other handle may read or write the file while it is open.
static void* OpenWithoutSharing(const std::string& sPath, DWORD dwAccess, DWORD dwDisposition) {
  HANDLE h = ::CreateFileA(sPath.c_str(), dwAccess, 0, nullptr, dwDisposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

bool CFileMapping::OpenExisting(const std::string& sPath, bool bWritable, bool* pbMissing) {
  *pbMissing = false;
  if (ConsumeInjectedFailure("MapOpen")) return false;
  m_pFile = OpenWithoutSharing(sPath, bWritable ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                               OPEN_EXISTING);
  if (!m_pFile) {
    DWORD dwError = ::GetLastError();
    *pbMissing = dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND;
    return false;
  }
  m_bWritable = bWritable;
  return true;
}

bool CFileMapping::CreateNew(const std::string& sPath) {
  if (ConsumeInjectedFailure("MapCreate")) return false;
  m_pFile = OpenWithoutSharing(sPath, GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
  m_bWritable = true;
  return m_pFile != nullptr;
}

bool CFileMapping::GetFileSize(uint64_t& u64Size) {
  LARGE_INTEGER li;
  if (!m_pFile || !::GetFileSizeEx(m_pFile, &li)) return false;
  u64Size = static_cast<uint64_t>(li.QuadPart);
  return true;
}

bool CFileMapping::ReadStart(void* pBuffer, uint32_t uSize) {
  LARGE_INTEGER li;
  li.QuadPart = 0;
  if (!::SetFilePointerEx(m_pFile, li, nullptr, FILE_BEGIN)) return false;
  uint8_t* p = static_cast<uint8_t*>(pBuffer);
  uint32_t uDone = 0;
  while (uDone < uSize) {
    DWORD dwRead = 0;
    if (!::ReadFile(m_pFile, p + uDone, uSize - uDone, &dwRead, nullptr) || dwRead == 0) {
      return false;
    }
    uDone += dwRead;
  }
  return true;
}

bool CFileMapping::CreateMapping(uint32_t uLength) {
  if (ConsumeInjectedFailure("CreateMapping")) return false;
  // A read-only file is mapped copy-on-write: stray writes stay in this process.
  m_pMapping = ::CreateFileMappingA(m_pFile, nullptr, m_bWritable ? PAGE_READWRITE : PAGE_WRITECOPY,
                                    0, uLength, nullptr);
  if (!m_pMapping) return false;
  m_uMappingLength = uLength;
  return true;
}

bool CFileMapping::MapView() {
  if (ConsumeInjectedFailure("MapView")) return false;
  void* p = ::MapViewOfFile(m_pMapping, m_bWritable ? FILE_MAP_WRITE : FILE_MAP_COPY, 0, 0,
                            m_uMappingLength);
  m_pView = static_cast<uint8_t*>(p);
  return p != nullptr;
}

bool CFileMapping::Flush(uint32_t uLength) {
  if (ConsumeInjectedFailure("FlushMapping")) return false;
  if (!m_pView) return false;
  if (uLength > m_uMappingLength) uLength = m_uMappingLength;
  return ::FlushViewOfFile(m_pView, uLength) && ::FlushFileBuffers(m_pFile);
}

void CFileMapping::Unmap() {
  if (m_pView) ::UnmapViewOfFile(m_pView);
  m_pView = nullptr;
  if (m_pMapping) ::CloseHandle(m_pMapping);
  m_pMapping = nullptr;
  m_uMappingLength = 0;
}

bool CFileMapping::SetFileLength(uint64_t u64Length) {
  if (ConsumeInjectedFailure("SetFileLength")) return false;
  LARGE_INTEGER li;
  li.QuadPart = static_cast<LONGLONG>(u64Length);
  // The end is set only where positioning succeeded.
  return m_pFile && ::SetFilePointerEx(m_pFile, li, nullptr, FILE_BEGIN) && ::SetEndOfFile(m_pFile);
}

void CFileMapping::Close() {
  if (m_pFile) ::CloseHandle(m_pFile);
  m_pFile = nullptr;
}

}  // namespace platform
