#include "InputFile.h"

#include <stdexcept>

#include "platform/File.h"
#include "platform/SystemError.h"

namespace larchtool {
namespace {

// False, with the system's error code in uError, when the file cannot be opened.
template <class TBytes>
bool ReadInto(const std::string& sPath, TBytes& bytes, uint32_t& uError) {
  platform::CFile file;
  uint64_t u64Size = 0;
  if (!file.Open(sPath, platform::CFile::eRead) || !file.GetSize(u64Size)) {
    uError = platform::GetLastSystemError();
    return false;
  }
  if (u64Size > 0xFFFFFFFFu) throw std::runtime_error("Input file too large " + sPath);
  bytes.resize(static_cast<size_t>(u64Size));
  size_t uDone = 0;
  while (uDone < bytes.size()) {
    int64_t nRead = file.Read(&bytes[uDone], bytes.size() - uDone);
    if (nRead <= 0) throw std::runtime_error("Failed to read input file " + sPath);
    uDone += static_cast<size_t>(nRead);
  }
  return true;
}

template <class TBytes>
TBytes ReadOrThrow(const std::string& sPath) {
  TBytes bytes;
  uint32_t uError = 0;
  if (!ReadInto(sPath, bytes, uError)) {
    throw std::runtime_error("Cannot open input file " + sPath + ": " +
                             platform::SystemErrorReason(uError));
  }
  return bytes;
}

}  // namespace

bool ReadInputFileIfPresent(const std::string& sPath, std::string& sBytes) {
  uint32_t uError = 0;
  return ReadInto(sPath, sBytes, uError);
}

std::string ReadInputFile(const std::string& sPath) {
  return ReadOrThrow<std::string>(sPath);
}

std::vector<uint8_t> ReadInputBytes(const std::string& sPath) {
  return ReadOrThrow<std::vector<uint8_t>>(sPath);
}

}  // namespace larchtool
