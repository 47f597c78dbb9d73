#include "support/MallocedBlock.h"

#include <cstdlib>
#include <new>
#include <stdexcept>

namespace common {

CMallocedBlock::CMallocedBlock(uint32_t uSize) : m_uSize(uSize), m_pBlock(nullptr) {
  if (uSize == 0) throw std::runtime_error("CMallocedBlock(): constructed with zero size block");
  m_pBlock = static_cast<uint8_t*>(std::malloc(uSize));
  if (!m_pBlock) throw std::bad_alloc();
}

CMallocedBlock::~CMallocedBlock() {
  std::free(m_pBlock);
}

CMallocedBlock::CMallocedBlock(CMallocedBlock&& other) noexcept
    : m_uSize(other.m_uSize), m_pBlock(other.m_pBlock) {
  other.m_uSize = 0;
  other.m_pBlock = nullptr;
}

CMallocedBlock& CMallocedBlock::operator=(CMallocedBlock&& other) noexcept {
  if (this != &other) {
    std::free(m_pBlock);
    m_uSize = other.m_uSize;
    m_pBlock = other.m_pBlock;
    other.m_uSize = 0;
    other.m_pBlock = nullptr;
  }
  return *this;
}

void CMallocedBlock::Resize(uint32_t uNewSize) {
  void* pNew = uNewSize ? std::realloc(m_pBlock, uNewSize) : nullptr;
  if (!pNew) throw std::runtime_error("CMallocedBlock(): realloc failed");
  m_pBlock = static_cast<uint8_t*>(pNew);
  m_uSize = uNewSize;
}

}  // namespace common
