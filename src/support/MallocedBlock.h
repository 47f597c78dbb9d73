// An owning heap byte buffer of a fixed, non-zero size that can grow.
#pragma once

#include <cstdint>

namespace common {

class CMallocedBlock {
 public:
  // Throws "CMallocedBlock(): constructed with zero size block" for a size of 0.
  explicit CMallocedBlock(uint32_t uSize);
  ~CMallocedBlock();
  CMallocedBlock(CMallocedBlock&& other) noexcept;
  CMallocedBlock& operator=(CMallocedBlock&& other) noexcept;
  CMallocedBlock(const CMallocedBlock&) = delete;
  CMallocedBlock& operator=(const CMallocedBlock&) = delete;

  // Changes the size, keeping the bytes that fit. Throws "CMallocedBlock(): realloc failed";
  // the block is unchanged then.
  void Resize(uint32_t uNewSize);

  uint32_t Size() const { return m_uSize; }
  uint8_t* Data() { return m_pBlock; }
  const uint8_t* Data() const { return m_pBlock; }

 private:
  uint32_t m_uSize;
  uint8_t* m_pBlock;
};

}  // namespace common
