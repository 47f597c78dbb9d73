#include "support/FileUtil.h"

#include <stdexcept>
#include <vector>

#include "platform/File.h"
#include "platform/SystemError.h"
#include "support/Assert.h"

namespace common {

void CFileUtil::WriteWholeFile(const std::string& sFile, const void* puBuffer, size_t uSize) {
  LARCH_PRECONDITION("NonNullFilePath", !sFile.empty());
  LARCH_PRECONDITION("NonNullCallerBufferPtr", puBuffer);
  platform::CFile file;  // closes on every path
  if (!file.Open(sFile, platform::CFile::eCreate)) {
    throw std::runtime_error("Cannot open output file " + sFile + ": " +
                             platform::LastSystemErrorReason());
  }
  if (uSize > 0 && (!puBuffer || !file.Write(puBuffer, uSize))) {
    throw std::runtime_error("Failed to write output file " + sFile);
  }
}

bool CFileUtil::FileExists(const std::string& sFile) {
  platform::SFileStatus status;
  return platform::GetFileStatus(sFile, status) && status.bRegularFile;
}

bool CFileUtil::RemoveTree(const std::string& sPath) {
  platform::SFileStatus status;
  if (!platform::GetFileStatus(sPath, status)) return true;
  if (platform::RemoveFile(sPath)) return true;
  // Windows does not delete a read-only file.
  if (!status.bDirectory) return platform::SetReadOnly(sPath, false) && platform::RemoveFile(sPath);
  std::vector<std::string> names;
  if (!platform::ListDirectory(sPath, names)) return false;
  bool bOk = true;
  for (const std::string& sName : names) {
    bOk = RemoveTree(sPath + platform::PreferredSeparator() + sName) && bOk;
  }
  return bOk && platform::RemoveEmptyDirectory(sPath);
}

}  // namespace common
