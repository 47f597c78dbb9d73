#include "package/PkgFileHdr.h"

#include <string>

#include "package/PkgDamagedException.h"
#include "support/Assert.h"
#include "support/ByteOrder.h"

namespace common {

CPkgFileHdr::CPkgFileHdr(int32_t nCompressionLevel) : m_nCompressionLevel(nCompressionLevel) {}

bool CPkgFileHdr::IsValid() const {
  return IsValidCompressionLevel(m_nCompressionLevel) && m_nNumFiles <= sc_uMaxNumFiles;
}

void CPkgFileHdr::Serialize(uint8_t (&au8Bytes)[9]) const {
  LARCH_INVARIANT("ValidPkgFileHdr", IsValid());
  au8Bytes[0] = m_nFormatVersionNum;
  StoreLittleEndian32(au8Bytes + 1, static_cast<uint32_t>(m_nCompressionLevel));
  StoreLittleEndian32(au8Bytes + 5, m_nNumFiles);
}

void CPkgFileHdr::Deserialize(const uint8_t (&au8Bytes)[9]) {
  LARCH_INVARIANT("ValidPkgFileHdr", IsValid());
  int32_t nLevel = static_cast<int32_t>(LoadLittleEndian32(au8Bytes + 1));
  uint32_t uNumFiles = LoadLittleEndian32(au8Bytes + 5);
  if (!IsValidCompressionLevel(nLevel)) {
    throw CPkgDamagedException("corrupt pkg file header (invalid compression level " +
                               std::to_string(nLevel) + ")");
  }
  if (uNumFiles > sc_uMaxNumFiles) {
    throw CPkgDamagedException("corrupt pkg file header (invalid number of files)");
  }
  m_nFormatVersionNum = au8Bytes[0];
  m_nCompressionLevel = nLevel;
  m_nNumFiles = uNumFiles;
}

}  // namespace common
