#include "support/FileUtil.h"

#include <stdexcept>

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

}  // namespace common
