#include "platform/File.h"

#include <windows.h>
// after windows.h
#include <sddl.h>

#include "platform/FaultInjection.h"

namespace platform {

bool GetFileStatus(const std::string& sPath, SFileStatus& status) {
  status = SFileStatus();
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExA(sPath.c_str(), GetFileExInfoStandard, &data)) return false;
  status.bExists = true;
  status.bDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  status.bRegularFile = !status.bDirectory && (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
  status.bReadOnly = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  status.u64Size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  // FILETIME counts 100 ns steps since 1601.
  const uint64_t u64Ticks = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                            data.ftLastWriteTime.dwLowDateTime;
  status.n64ModifiedTime = static_cast<int64_t>(u64Ticks / 10000000u) - 11644473600;
  return true;
}

bool SetReadOnly(const std::string& sPath, bool bReadOnly) {
  if (ConsumeInjectedFailure("SetReadOnly")) return false;
  DWORD dwAttr = ::GetFileAttributesA(sPath.c_str());
  if (dwAttr == INVALID_FILE_ATTRIBUTES) return false;
  dwAttr = bReadOnly ? (dwAttr | FILE_ATTRIBUTE_READONLY) : (dwAttr & ~FILE_ATTRIBUTE_READONLY);
  if (dwAttr == 0) dwAttr = FILE_ATTRIBUTE_NORMAL;
  return ::SetFileAttributesA(sPath.c_str(), dwAttr) != 0;
}

bool MakeExecutable(const std::string& sPath) {
  SFileStatus st;
  return GetFileStatus(sPath, st) && st.bRegularFile;
}

bool RenameFile(const std::string& sFrom, const std::string& sTo) {
  if (ConsumeInjectedFailure("Rename")) return false;
  return ::MoveFileExA(sFrom.c_str(), sTo.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool FlushDirectory(const std::string&) {
  return true;
}

bool SyncFileSystem(const std::string&) {
  ::SetLastError(ERROR_NOT_SUPPORTED);
  return false;
}

bool CanSyncFileSystem() {
  return false;
}

bool RemoveFile(const std::string& sPath) {
  if (ConsumeInjectedFailure("Remove")) return false;
  return ::DeleteFileA(sPath.c_str()) != 0;
}

bool RemoveEmptyDirectory(const std::string& sPath) {
  return ::RemoveDirectoryA(sPath.c_str()) != 0;
}

bool MakeDirectory(const std::string& sPath) {
  if (::CreateDirectoryA(sPath.c_str(), nullptr)) return true;
  SFileStatus st;
  return ::GetLastError() == ERROR_ALREADY_EXISTS && GetFileStatus(sPath, st) && st.bDirectory;
}

bool GetFreeDiskSpace(const std::string& sPath, uint64_t& u64Free) {
  if (ConsumeInjectedFailure("GetFreeDiskSpace")) return false;
  ULARGE_INTEGER freeToCaller;
  if (!::GetDiskFreeSpaceExA(sPath.c_str(), &freeToCaller, nullptr, nullptr)) return false;
  u64Free = freeToCaller.QuadPart;
  return true;
}

bool ListDirectory(const std::string& sPath, std::vector<std::string>& names) {
  names.clear();
  WIN32_FIND_DATAA data;
  HANDLE hFind = ::FindFirstFileA((sPath + "\\*").c_str(), &data);
  if (hFind == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    std::string sName = data.cFileName;
    if (sName != "." && sName != "..") names.push_back(sName);
  } while (::FindNextFileA(hFind, &data));
  ::FindClose(hFind);
  return true;
}

std::string GetFullPath(const std::string& sPath) {
  char szBuf[MAX_PATH * 2];
  DWORD dwLen = ::GetFullPathNameA(sPath.c_str(), sizeof(szBuf), szBuf, nullptr);
  if (dwLen == 0 || dwLen >= sizeof(szBuf)) return "";
  return std::string(szBuf, dwLen);
}

std::string GetWorkingDirectory() {
  char szBuf[MAX_PATH * 2];
  DWORD dwLen = ::GetCurrentDirectoryA(sizeof(szBuf), szBuf);
  if (dwLen == 0 || dwLen >= sizeof(szBuf)) return "";
  return std::string(szBuf, dwLen);
}

bool SetWorkingDirectory(const std::string& sPath) {
  return ::SetCurrentDirectoryA(sPath.c_str()) != 0;
}

char PreferredSeparator() {
  return '\\';
}
bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}
bool FileNamesIgnoreCase() {
  return true;
}

CFile::~CFile() {
  Close();
}

bool CFile::Open(const std::string& sPath, EMode eMode) {
  Close();
  if (ConsumeInjectedFailure("Open")) return false;
  DWORD dwAccess = eMode == eRead ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
  DWORD dwCreation = OPEN_EXISTING;
  if (eMode == eCreate) dwCreation = CREATE_ALWAYS;
  if (eMode == eCreateExclusive || eMode == eCreatePrivate) dwCreation = CREATE_NEW;
  // A private file's access list grants the owner everything and inherits nothing.
  SECURITY_ATTRIBUTES attributes = {static_cast<DWORD>(sizeof(attributes)), nullptr, FALSE};
  if (eMode == eCreatePrivate &&
      !::ConvertStringSecurityDescriptorToSecurityDescriptorA(
          "D:P(A;;FA;;;OW)", SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr)) {
    return false;
  }
  HANDLE h = ::CreateFileA(
      sPath.c_str(), dwAccess, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      eMode == eCreatePrivate ? &attributes : nullptr, dwCreation, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (attributes.lpSecurityDescriptor) ::LocalFree(attributes.lpSecurityDescriptor);
  if (h == INVALID_HANDLE_VALUE) return false;
  m_pHandle = h;
  return true;
}

void CFile::Close() {
  if (m_pHandle) ::CloseHandle(m_pHandle);
  m_pHandle = nullptr;
}

int64_t CFile::Read(void* pBuffer, uint64_t uSize) {
  DWORD dwRead = 0;
  DWORD dwWant = uSize > 0x40000000u ? 0x40000000u : static_cast<DWORD>(uSize);
  if (!::ReadFile(m_pHandle, pBuffer, dwWant, &dwRead, nullptr)) return -1;
  return dwRead;
}

bool CFile::Write(const void* pBuffer, uint64_t uSize) {
  const char* p = static_cast<const char*>(pBuffer);
  if (ConsumeInjectedFailure("Write")) {
    DWORD dwSaved = ::GetLastError(), dwDone = 0;
    if (uSize > 1) ::WriteFile(m_pHandle, p, static_cast<DWORD>(uSize / 2), &dwDone, nullptr);
    ::SetLastError(dwSaved);
    return false;
  }
  while (uSize > 0) {
    DWORD dwChunk = uSize > 0x40000000u ? 0x40000000u : static_cast<DWORD>(uSize);
    DWORD dwDone = 0;
    if (!::WriteFile(m_pHandle, p, dwChunk, &dwDone, nullptr) || dwDone == 0) return false;
    p += dwDone;
    uSize -= dwDone;
  }
  return true;
}

bool CFile::Seek(uint64_t u64Offset) {
  LARGE_INTEGER li;
  li.QuadPart = static_cast<LONGLONG>(u64Offset);
  return ::SetFilePointerEx(m_pHandle, li, nullptr, FILE_BEGIN) != 0;
}

bool CFile::GetSize(uint64_t& u64Size) {
  LARGE_INTEGER li;
  if (!::GetFileSizeEx(m_pHandle, &li)) return false;
  u64Size = static_cast<uint64_t>(li.QuadPart);
  return true;
}

bool CFile::Truncate(uint64_t u64Size) {
  return Seek(u64Size) && ::SetEndOfFile(m_pHandle) != 0;
}

bool CFile::Flush() {
  if (ConsumeInjectedFailure("Flush")) return false;
  return ::FlushFileBuffers(m_pHandle) != 0;
}

}  // namespace platform
