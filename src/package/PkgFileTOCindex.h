// One table-of-contents entry of a package file. On disk, in this order: the name with its NUL,
// then the uncompressed length, the stored length, the data offset and the name's length with
// its NUL (u32 each, little-endian), so that the entry can be read from its end.
#pragma once

#include <cstdint>
#include <string>

namespace common {

class CPkgFileTOCindex {
 public:
  // The longest name field, NUL included.
  static constexpr uint32_t sc_uMaxFileNameLen = 260;
  // The fixed fields after the name.
  static constexpr uint32_t sc_uSizeOfTail = 16;

  CPkgFileTOCindex() = default;
  virtual ~CPkgFileTOCindex() = default;
  CPkgFileTOCindex(const CPkgFileTOCindex&) = default;
  CPkgFileTOCindex& operator=(const CPkgFileTOCindex&) = default;

  // A name that fits the name field and lengths other than 0.
  virtual bool IsValid() const;

  // Bytes the entry occupies in the file.
  uint32_t SizeOnDisk() const;
  // Appends the entry's bytes.
  void Serialize(std::string& sOut) const;

  // The name length from the last 4 of the tail bytes; above sc_uMaxFileNameLen it throws
  // CPkgDamagedException "invalid file name length in table of contents entry".
  static uint32_t ReadFileNameLen(const uint8_t* pu8Tail);
  // Takes the fields from the name field and the tail bytes and checks them against the
  // package's length, throwing the refusals of the table of contents in their order
  // (CPkgDamagedException).
  void Deserialize(const uint8_t* pu8Name, uint32_t uNameLen, const uint8_t* pu8Tail,
                   uint64_t u64PkgFileLen);

  // False for names that would leave the directory they are unpacked into: absolute names,
  // names with a drive letter or a network prefix, and names with a ".." component (either
  // separator; also with trailing dots or blanks, which Windows drops).
  static bool IsSafeFileName(const std::string& sName);
  // An entry name as compared for sameness: either separator, and (bIgnoreCase) any letter case.
  static std::string FoldedName(const std::string& sName, bool bIgnoreCase);

  std::string m_sFileName;
  uint32_t m_nOffset = 0;
  uint32_t m_nUncompressedFileLen = 0;
  uint32_t m_nStoredFileLen = 0;
};

}  // namespace common
