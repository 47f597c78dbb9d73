// Helpers shared by the blob's implementation files: the checks of a stored image, and the
// guards every public operation uses.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "blob/MultiFieldBlob.h"
#include "platform/FileMapping.h"
#include "support/Assert.h"
#include "support/ByteOrder.h"

namespace common {
namespace blob_internal {

constexpr uint64_t sc_uMaxImageSize = 0xFFFFFFFFu;
constexpr size_t sc_uMaxFieldNameSize = 65535;
constexpr const char* sc_pszLoadPrefix = "CMultiFieldBlob(pSerialized): ";
// What a failed LARCH_REQUIRE of the blob throws.
constexpr SRefusal<std::invalid_argument> sc_BlobRefusal{"CMultiFieldBlob: "};

// States in which m_pSerializedBlob holds the version to be stored, not the working plaintext.
inline bool IsPreprocessedState(CMultiFieldBlob::ECacheState e) {
  return e == CMultiFieldBlob::eCachedMallocedPlaintextVersion ||
         e == CMultiFieldBlob::eCachePtrIsCopyOnWritePlaintextVersion;
}

// Compares the names of the records at two offsets of one image.
int CompareRecordNames(const uint8_t* pImage, uint32_t uOffsetLhs, uint32_t uOffsetRhs);

// Load checks of the header against the expected length (format code, sizes, known code).
void CheckImageHeader(const uint8_t* pImage, uint64_t u64ExpectedSize);

// Walks the records of a plaintext image and returns its index sorted by name; refuses a
// partial header, a record past the end and a name defined twice.
void BuildIndex(const uint8_t* pPlain, std::vector<CMultiFieldBlob::TIndexEntry>& index);

// True when walking the records finds exactly the index's offsets.
bool IndexMatchesRecords(const uint8_t* pPlain,
                         const std::vector<CMultiFieldBlob::TIndexEntry>& index);

// Compares two byte strings in time that depends only on their length.
bool ConstantTimeEqual(const uint8_t* pLhs, const uint8_t* pRhs, size_t uSize);

// Runs the class invariant check of a blob's hierarchy on entry and on exit.
class CInvariantGuard {
 public:
  explicit CInvariantGuard(const CMultiFieldBlob* pBlob) : m_pBlob(pBlob) {
    m_pBlob->CheckClassInvariant();
  }
  ~CInvariantGuard() { m_pBlob->CheckClassInvariant(); }
  CInvariantGuard(const CInvariantGuard&) = delete;
  CInvariantGuard& operator=(const CInvariantGuard&) = delete;

 private:
  const CMultiFieldBlob* m_pBlob;
};

// Bytes that may lie inside an image about to move: copied aside when they do.
class CSafeBytes {
 public:
  CSafeBytes(CMultiFieldBlob* pRoot, const void* pData, size_t uSize);
  const uint8_t* Data() const { return m_copy.empty() ? m_pData : m_copy.data(); }

 private:
  const uint8_t* m_pData;
  std::vector<uint8_t> m_copy;
};

}  // namespace blob_internal
}  // namespace common
