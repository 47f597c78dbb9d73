// The 9-byte header at the very end of a package file: format version (u8), compression level
// (s32) and number of table-of-contents entries (u32), little-endian.
#pragma once

#include <cstdint>

namespace common {

class CPkgFileHdr {
 public:
  static constexpr uint8_t sc_u8CurrentFormatVersion = 0;
  static constexpr uint32_t sc_uMaxNumFiles = 100000;
  static constexpr int32_t sc_nMaxCompressionLevel = 9;

  explicit CPkgFileHdr(int32_t nCompressionLevel = 0);
  virtual ~CPkgFileHdr() = default;
  CPkgFileHdr(const CPkgFileHdr&) = default;
  CPkgFileHdr& operator=(const CPkgFileHdr&) = default;

  static constexpr uint32_t SizeOfHdr() { return 9; }
  static bool IsValidCompressionLevel(int32_t nLevel) {
    return nLevel >= 0 && nLevel <= sc_nMaxCompressionLevel;
  }

  // Level within 0..9 and at most sc_uMaxNumFiles entries.
  virtual bool IsValid() const;

  void Serialize(uint8_t (&au8Bytes)[9]) const;
  // Takes the fields from the header bytes. Throws CPkgDamagedException with "corrupt pkg file
  // header (invalid compression level N)" or "corrupt pkg file header (invalid number of
  // files)"; the version is left for the opener to judge.
  void Deserialize(const uint8_t (&au8Bytes)[9]);

  uint8_t m_nFormatVersionNum = sc_u8CurrentFormatVersion;
  int32_t m_nCompressionLevel = 0;
  uint32_t m_nNumFiles = 0;
};

}  // namespace common
