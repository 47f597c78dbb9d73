// SHA-256, fed in pieces: a package is hashed while it streams to disk.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace common {

using Sha256Digest = std::array<uint8_t, 32>;

// Not copyable (the state may hold a secret's hash on the way); Final ends it.
class CSha256 {
 public:
  CSha256();
  ~CSha256();
  CSha256(const CSha256&) = delete;
  CSha256& operator=(const CSha256&) = delete;

  void Update(const void* pData, size_t uSize);
  // The digest of everything fed; the object starts again empty.
  Sha256Digest Final();
  uint64_t BytesFed() const { return m_u64Fed; }

  static Sha256Digest Digest(const void* pData, size_t uSize);

 private:
  struct SState;
  SState* m_pState;
  uint64_t m_u64Fed = 0;
};

// The SHA-256 and the length of a file's bytes, read a mebibyte at a time; false when the file
// cannot be opened or read.
bool HashFile(const std::string& sPath, Sha256Digest& hash, uint64_t& u64Size);

// Lower-case hexadecimal, two digits per byte.
std::string ToLowerHex(const uint8_t* pData, size_t uSize);
// False unless the text is exactly 2 * uSize hexadecimal digits (either case).
bool FromHex(const std::string& sText, uint8_t* pOut, size_t uSize);

}  // namespace common
