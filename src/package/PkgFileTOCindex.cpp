#include "package/PkgFileTOCindex.h"

#include <cctype>

#include "package/PkgDamagedException.h"
#include "support/Assert.h"
#include "support/ByteOrder.h"

namespace common {

bool CPkgFileTOCindex::IsValid() const {
  return m_sFileName.size() < sc_uMaxFileNameLen && m_sFileName.find('\0') == std::string::npos;
}

uint32_t CPkgFileTOCindex::SizeOnDisk() const {
  return static_cast<uint32_t>(m_sFileName.size()) + 1 + sc_uSizeOfTail;
}

void CPkgFileTOCindex::Serialize(std::string& sOut) const {
  LARCH_INVARIANT("ValidPkgFileTOCindex", IsValid());
  uint8_t au8Tail[sc_uSizeOfTail];
  StoreLittleEndian32(au8Tail, m_nUncompressedFileLen);
  StoreLittleEndian32(au8Tail + 4, m_nStoredFileLen);
  StoreLittleEndian32(au8Tail + 8, m_nOffset);
  StoreLittleEndian32(au8Tail + 12, static_cast<uint32_t>(m_sFileName.size()) + 1);
  sOut.append(m_sFileName);
  sOut.push_back('\0');
  sOut.append(reinterpret_cast<const char*>(au8Tail), sizeof(au8Tail));
}

uint32_t CPkgFileTOCindex::ReadFileNameLen(const uint8_t* pu8Tail) {
  uint32_t uNameLen = LoadLittleEndian32(pu8Tail + 12);
  if (uNameLen > sc_uMaxFileNameLen) {
    throw CPkgDamagedException("invalid file name length in table of contents entry");
  }
  return uNameLen;
}

void CPkgFileTOCindex::Deserialize(const uint8_t* pu8Name, uint32_t uNameLen,
                                   const uint8_t* pu8Tail, uint64_t u64PkgFileLen) {
  LARCH_INVARIANT("ValidPkgFileTOCindex", IsValid());
  ReadFileNameLen(pu8Tail);
  uint32_t uUncompressed = LoadLittleEndian32(pu8Tail);
  uint32_t uStored = LoadLittleEndian32(pu8Tail + 4);
  uint32_t uOffset = LoadLittleEndian32(pu8Tail + 8);
  if (uOffset > u64PkgFileLen) {
    throw CPkgDamagedException("invalid data segment file offset in table of contents entry");
  }
  if (uUncompressed == 0) {
    throw CPkgDamagedException(
        "invalid data segment uncompressed file length from table of contents entry");
  }
  if (uStored == 0) {
    throw CPkgDamagedException(
        "invalid data segment stored file length from table of contents entry");
  }
  // The name ends at its first NUL.
  uint32_t uLen = 0;
  while (uLen < uNameLen && pu8Name[uLen] != 0) ++uLen;
  m_sFileName.assign(reinterpret_cast<const char*>(pu8Name), uLen);
  m_nOffset = uOffset;
  m_nUncompressedFileLen = uUncompressed;
  m_nStoredFileLen = uStored;
}

static bool IsNameSeparator(char c) {
  return c == '\\' || c == '/';
}

// "..", also as ".. " or "...": Windows drops trailing dots and blanks of a component.
static bool IsParentComponent(const std::string& sComponent) {
  size_t uDots = 0;
  for (char c : sComponent) {
    if (c == '.') {
      ++uDots;
    } else if (c != ' ') {
      return false;
    }
  }
  return uDots >= 2;
}

bool CPkgFileTOCindex::IsSafeFileName(const std::string& sName) {
  if (!sName.empty() && IsNameSeparator(sName[0])) return false;  // absolute or network prefix
  if (sName.size() >= 2 && sName[1] == ':') return false;         // drive letter
  size_t uStart = 0;
  while (uStart <= sName.size()) {
    size_t uEnd = uStart;
    while (uEnd < sName.size() && !IsNameSeparator(sName[uEnd])) ++uEnd;
    if (IsParentComponent(sName.substr(uStart, uEnd - uStart))) return false;
    uStart = uEnd + 1;
  }
  return true;
}

std::string CPkgFileTOCindex::FoldedName(const std::string& sName, bool bIgnoreCase) {
  std::string sKey = sName;
  for (char& c : sKey) {
    if (c == '/') c = '\\';
    if (bIgnoreCase) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return sKey;
}

}  // namespace common
