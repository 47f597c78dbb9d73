// The blob object: construction, the field index, in-place edits and child blobs.
#include "blob/MultiFieldBlob.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "blob/MultiFieldBlobInternal.h"
#include "platform/OwnResources.h"

namespace common {

using namespace blob_internal;

const CMultiFieldBlob::TBlobHeader CMultiFieldBlob::sc_EmptyBlobHeader = {1, ePlaintext, 10, 0};

namespace {

std::atomic<bool> s_bFullInvariantCheck{true};

const char* const sc_pszNotCollapsed = "Blob is not a collapsed child and not preprocessed";

}  // namespace

// ---- Argument helpers -------------------------------------------------------------------

CMultiFieldBlob::CFieldName::CFieldName(const char* pszName)
    : m_pName(reinterpret_cast<const uint8_t*>(pszName)),
      m_uSize(pszName ? std::strlen(pszName) : 0) {}

CMultiFieldBlob::CFieldName::CFieldName(uint32_t uFieldId) : m_pName(m_au8FieldId), m_uSize(4) {
  StoreLittleEndian32(m_au8FieldId, uFieldId);
}

CMultiFieldBlob::CFieldName::CFieldName(const CFieldName& other)
    : m_pName(other.m_pName), m_uSize(other.m_uSize) {
  std::memcpy(m_au8FieldId, other.m_au8FieldId, sizeof(m_au8FieldId));
  if (other.m_pName == other.m_au8FieldId) m_pName = m_au8FieldId;
}

CMultiFieldBlob::TFieldDescription::TFieldDescription(const void* pName, size_t uSizeOfName,
                                                      const void* pData, size_t uSizeOfData)
    : m_sName(static_cast<const char*>(pName), uSizeOfName),
      m_sData(uSizeOfData ? static_cast<const char*>(pData) : "", uSizeOfData) {}

CMultiFieldBlob::TFieldDescription::TFieldDescription(const std::string& sName,
                                                      const std::string& sDataText)
    : m_sName(sName), m_sData(sDataText.c_str(), sDataText.size() + 1) {}

CMultiFieldBlob::TFieldDescription::TFieldDescription(uint32_t uFieldId, const void* pData,
                                                      size_t uSizeOfData)
    : m_sName(4, '\0'), m_sData(uSizeOfData ? static_cast<const char*>(pData) : "", uSizeOfData) {
  StoreLittleEndian32(reinterpret_cast<uint8_t*>(&m_sName[0]), uFieldId);
}

// ---- Image access -----------------------------------------------------------------------

uint32_t CMultiFieldBlob::SizeOfSerialized() const {
  return LoadLittleEndian32(m_pSerializedBlob + 2);
}
uint32_t CMultiFieldBlob::SpareCapacity() const {
  return LoadLittleEndian32(m_pSerializedBlob + 6);
}

// The records move into a new owned buffer with this spare capacity and unused area, zeroed.
void CMultiFieldBlob::OwnCopyOfImage(uint32_t uSpare, uint32_t uUnused) {
  uint32_t uSize = SizeOfSerialized();
  uint64_t u64Total = uint64_t(uSize) + uSpare + uUnused;
  uint8_t* p =
      u64Total <= sc_uMaxImageSize ? static_cast<uint8_t*>(std::malloc(u64Total)) : nullptr;
  if (!p) {
    throw std::runtime_error(
        "common::CMultiFieldBlob::RecursivelyEnsureSizeOfSpareCapacity(): malloc() failed");
  }
  std::memcpy(p, m_pSerializedBlob, uSize);
  std::memset(p + uSize, 0, u64Total - uSize);
  m_pSerializedBlob = p;
  SetSizes(uSize, uSpare);
  m_eMemoryOwnership = eTakeOwnershipOfMallocedSerializedBlob;
  m_uExactSizeOfMallocedSerializedBlob = static_cast<uint32_t>(u64Total);
  m_uSizeOfUnusedOwnedBlobArea = uUnused;
}

void CMultiFieldBlob::SetSizes(uint32_t uSizeOfSerialized, uint32_t uSpare) {
  StoreLittleEndian32(m_pSerializedBlob + 2, uSizeOfSerialized);
  StoreLittleEndian32(m_pSerializedBlob + 6, uSpare);
}

uint16_t CMultiFieldBlob::NameSizeAt(size_t iterIndex) const {
  return LoadLittleEndian16(m_pSerializedBlob + m_Index[iterIndex].m_uFieldHeaderOffset);
}
const uint8_t* CMultiFieldBlob::NameAt(size_t iterIndex) const {
  return m_pSerializedBlob + m_Index[iterIndex].m_uFieldHeaderOffset + sc_uSizeOfFieldHeader;
}
uint32_t CMultiFieldBlob::DataSizeAt(size_t iterIndex) const {
  return LoadLittleEndian32(m_pSerializedBlob + m_Index[iterIndex].m_uFieldHeaderOffset + 2);
}
uint8_t* CMultiFieldBlob::DataAt(size_t iterIndex) const {
  return m_pSerializedBlob + m_Index[iterIndex].m_uFieldHeaderOffset + sc_uSizeOfFieldHeader +
         NameSizeAt(iterIndex);
}
uint32_t CMultiFieldBlob::RecordSizeAt(size_t iterIndex) const {
  return sc_uSizeOfFieldHeader + NameSizeAt(iterIndex) + DataSizeAt(iterIndex);
}

int CMultiFieldBlob::CompareFieldNamesForSearch(uint16_t uSizeOfFieldNameLhs,
                                                const void* pFieldNameLhs,
                                                uint16_t uSizeOfFieldNameRhs,
                                                const void* pFieldNameRhs) {
  if (uSizeOfFieldNameLhs != uSizeOfFieldNameRhs) {
    return uSizeOfFieldNameLhs < uSizeOfFieldNameRhs ? -1 : 1;
  }
  if (uSizeOfFieldNameLhs == 0) return 0;
  int n = std::memcmp(pFieldNameLhs, pFieldNameRhs, uSizeOfFieldNameLhs);
  return n < 0 ? -1 : (n > 0 ? 1 : 0);
}

bool CMultiFieldBlob::Search(const uint8_t* pName, size_t uSizeOfName, size_t& iterIndex) const {
  size_t uLow = 0, uHigh = m_Index.size();
  while (uLow < uHigh) {
    size_t uMiddle = uLow + (uHigh - uLow) / 2;
    int n = CompareFieldNamesForSearch(static_cast<uint16_t>(uSizeOfName), pName,
                                       NameSizeAt(uMiddle), NameAt(uMiddle));
    if (n < 0) {
      uHigh = uMiddle;
    } else if (n > 0) {
      uLow = uMiddle + 1;
    } else {
      iterIndex = uMiddle;
      return true;
    }
  }
  iterIndex = uLow;
  return false;
}

// ---- Construction -----------------------------------------------------------------------

void CMultiFieldBlob::InitEmpty(size_t uIndexCapacity, uint32_t uSizeOfGrowthSlack) {
  m_eMemoryOwnership = eCopyOnWrite;
  m_pSerializedBlob = const_cast<uint8_t*>(reinterpret_cast<const uint8_t*>(&sc_EmptyBlobHeader));
  m_uSizeOfGrowthSlack = uSizeOfGrowthSlack;
  m_Index.reserve(uIndexCapacity);
}

CMultiFieldBlob::CMultiFieldBlob(size_t uIndexCapacity, uint32_t uSizeOfGrowthSlack) {
  InitEmpty(uIndexCapacity, uSizeOfGrowthSlack);
  CheckClassInvariant();
}

CMultiFieldBlob::CMultiFieldBlob(EMemoryOwnership eMemoryOwnership, const void* pSerialized,
                                 uint32_t uExpectedSizeOfSerializedImage, size_t uIndexCapacity,
                                 uint32_t uSizeOfGrowthSlack,
                                 const uint8_t* pFirstTimeDecryptionKey) {
  m_uSizeOfGrowthSlack = uSizeOfGrowthSlack;
  m_eMemoryOwnership = eMemoryOwnership;
  m_pSerializedBlob = static_cast<uint8_t*>(const_cast<void*>(pSerialized));
  if (eMemoryOwnership == eTakeOwnershipOfMallocedSerializedBlob) {
    m_uExactSizeOfMallocedSerializedBlob = uExpectedSizeOfSerializedImage;
  }
  try {
    LARCH_REQUIRE(
        "Memory ownership is eCopyImmediately, eCopyOnWrite or "
        "eTakeOwnershipOfMallocedSerializedBlob",
        eMemoryOwnership == eCopyImmediately || eMemoryOwnership == eCopyOnWrite ||
            eMemoryOwnership == eTakeOwnershipOfMallocedSerializedBlob,
        sc_BlobRefusal);
    m_Index.reserve(uIndexCapacity);
    LoadImage(m_pSerializedBlob, uExpectedSizeOfSerializedImage, pFirstTimeDecryptionKey);
  } catch (...) {
    ReleaseResources();
    throw;
  }
  CheckClassInvariant();
}

CMultiFieldBlob::CMultiFieldBlob(const std::string& sFileName,
                                 EMemoryMappedFileAccessMode eAccessMode,
                                 uint32_t uMinSizeOfTemporaryGrowthArea, size_t uIndexCapacity,
                                 const uint8_t* pFirstTimeDecryptionKey) {
  m_Index.reserve(uIndexCapacity);
  OpenMappedFile(sFileName, eAccessMode, uMinSizeOfTemporaryGrowthArea, pFirstTimeDecryptionKey);
  CheckClassInvariant();
}

CMultiFieldBlob::CMultiFieldBlob(CMultiFieldBlob* pParent, const void* pFieldName,
                                 size_t uSizeOfFieldName, size_t uIndexCapacity,
                                 const uint8_t* pFirstTimeDecryptionKey) {
  AttachToParentField(pParent, static_cast<const uint8_t*>(pFieldName), uSizeOfFieldName, false, 0,
                      uIndexCapacity, pFirstTimeDecryptionKey);
}

CMultiFieldBlob::CMultiFieldBlob(CMultiFieldBlob* pParent, const std::string& sFieldName,
                                 size_t uIndexCapacity, const uint8_t* pFirstTimeDecryptionKey) {
  AttachToParentField(pParent, reinterpret_cast<const uint8_t*>(sFieldName.data()),
                      sFieldName.size(), false, 0, uIndexCapacity, pFirstTimeDecryptionKey);
}

CMultiFieldBlob::CMultiFieldBlob(CMultiFieldBlob* pParent, const index_iterator& iterIndex,
                                 size_t uIndexCapacity, const uint8_t* pFirstTimeDecryptionKey) {
  LARCH_REQUIRE("Iterator refers to the parent", iterIndex.Blob() == pParent, sc_BlobRefusal);
  AttachToParentField(pParent, nullptr, 0, true, iterIndex.Position(), uIndexCapacity,
                      pFirstTimeDecryptionKey);
}

CMultiFieldBlob::CMultiFieldBlob(const std::vector<TFieldDescription>& fields,
                                 size_t uIndexCapacity, uint32_t uSizeOfGrowthSlack) {
  InitEmpty(uIndexCapacity, uSizeOfGrowthSlack);
  try {
    AddFields(fields);
  } catch (...) {
    ReleaseResources();
    throw;
  }
}

void CMultiFieldBlob::AttachToParentField(CMultiFieldBlob* pParent, const uint8_t* pName,
                                          size_t uSizeOfName, bool bByPosition, size_t iterIndex,
                                          size_t uIndexCapacity, const uint8_t* pFirstTimeKey) {
  LARCH_REQUIRE("Non-null pParent", pParent != nullptr, sc_BlobRefusal);
  CInvariantGuard guard(pParent);
  LARCH_REQUIRE("Valid field name",
                bByPosition || (pName && uSizeOfName >= 1 && uSizeOfName <= sc_uMaxFieldNameSize),
                sc_BlobRefusal);
  pParent->ApplyCacheCommand(
      pFirstTimeKey ? eInvalidateCachedPreprocessedVersions : eKeepCachedPreprocessedVersions,
      false);
  size_t uPos = iterIndex;
  if (bByPosition) {
    LARCH_REQUIRE("IsValidIndexIterator(iterIndex)", uPos < pParent->m_Index.size(),
                  sc_BlobRefusal);
  } else if (!pParent->Search(pName, uSizeOfName, uPos)) {
    throw CFieldDoesNotExistException("CMultiFieldBlob(pParent,FieldName): Field does not exist");
  }
  LARCH_REQUIRE("No other ChildBlob is registered to this field in parent",
                pParent->m_Index[uPos].m_pChildBlob == nullptr, sc_BlobRefusal);
  CheckNestingLevel(uint64_t(pParent->NestingLevel()) + 1);
  m_pParentBlob = pParent;
  m_iterIndexEntryInParent = uPos;
  m_eMemoryOwnership = eChildBlobReferingToMemoryInParent;
  m_pSerializedBlob = pParent->DataAt(uPos);
  try {
    m_Index.reserve(uIndexCapacity);
    LoadImage(m_pSerializedBlob, pParent->DataSizeAt(uPos), pFirstTimeKey);
  } catch (...) {
    m_pParentBlob = nullptr;
    m_pSerializedBlob = nullptr;
    ReleaseResources();
    throw;
  }
  if (m_eAutoPreprocessCode != ePlaintext) {
    for (CMultiFieldBlob* p = pParent; p; p = p->m_pParentBlob) {
      p->m_bCheckForDescendentsThatNeedPreprocessingBeforeSerialization = true;
    }
  }
  pParent->m_Index[uPos].m_pChildBlob = this;
  ++pParent->m_uNumRegisteredChildren;
  CheckClassInvariant();
}

uint32_t CMultiFieldBlob::NestingLevel() const {
  uint32_t uLevel = 0;
  for (const CMultiFieldBlob* p = m_pParentBlob; p; p = p->m_pParentBlob) ++uLevel;
  return uLevel;
}

// Recurses no deeper than the nesting bound.
uint32_t CMultiFieldBlob::LevelsOfAttachedChildren() const {
  uint32_t uLevels = 0;
  if (m_uNumRegisteredChildren == 0) return uLevels;
  for (const TIndexEntry& entry : m_Index) {
    if (entry.m_pChildBlob) {
      uLevels = std::max(uLevels, 1 + entry.m_pChildBlob->LevelsOfAttachedChildren());
    }
  }
  return uLevels;
}

void CMultiFieldBlob::CheckNestingLevel(uint64_t u64Level) {
  if (u64Level > sc_uMaxBlobNestingDepth) {
    throw CNestingTooDeepException("CMultiFieldBlob: nesting deeper than " +
                                   std::to_string(sc_uMaxBlobNestingDepth) + " levels");
  }
}

// Checks the image as a stored blob must be, opens an envelope, and builds the index. The
// index is complete before the plaintext takes the envelope's place, so that a refused image
// leaves the caller's bytes (and a parent's field) as they were.
void CMultiFieldBlob::LoadImage(const uint8_t* pImage, uint32_t uExpectedSize,
                                const uint8_t* pFirstTimeKey) {
  if (!pImage)
    throw CInvalidSerializedBlobException(sc_pszLoadPrefix + std::string("Null pSerialized"));
  CheckImageHeader(pImage, uExpectedSize);
  if (pFirstTimeKey) {
    LARCH_REQUIRE("First-time key only while automatic preprocessing is ePlaintext",
                  m_eAutoPreprocessCode == ePlaintext, sc_BlobRefusal);
  }
  const uint8_t* pPlain = pImage;
  if (pImage[1] != ePlaintext) {
    OpenEnvelopeIntoCache(pFirstTimeKey);
    pPlain = m_pCachedSerializedBlob;
  }
  BuildIndex(pPlain, m_Index);
  BringToPlaintext();
}

CMultiFieldBlob::CMultiFieldBlob(const CMultiFieldBlob& other) {
  CMultiFieldBlob& source = const_cast<CMultiFieldBlob&>(other);
  CInvariantGuard guard(&source);
  source.ApplyCacheCommand(eKeepCachedPreprocessedVersions, false);
  m_uSizeOfGrowthSlack = source.m_uSizeOfGrowthSlack;
  m_Index.reserve(source.m_Index.size());
  for (const TIndexEntry& entry : source.m_Index) {
    m_Index.push_back(TIndexEntry{entry.m_uFieldHeaderOffset, nullptr});
  }
  if (source.m_eMemoryOwnership == eCopyOnWrite) {
    m_eMemoryOwnership = eCopyOnWrite;
    m_pSerializedBlob = source.m_pSerializedBlob;
  } else {
    uint32_t uSize = source.SizeOfSerialized(), uSpare = source.SpareCapacity();
    uint32_t uUnused = m_uSizeOfGrowthSlack > uSpare ? m_uSizeOfGrowthSlack - uSpare : 0;
    uint64_t u64Total = uint64_t(uSize) + uSpare + uUnused;
    uint8_t* p =
        u64Total <= sc_uMaxImageSize ? static_cast<uint8_t*>(std::malloc(u64Total)) : nullptr;
    if (!p) throw std::runtime_error("CMultiFieldBlob(other): Failed to malloc copy of other blob");
    std::memcpy(p, source.m_pSerializedBlob, uSize);
    std::memset(p + uSize, 0, u64Total - uSize);
    m_eMemoryOwnership = eTakeOwnershipOfMallocedSerializedBlob;
    m_pSerializedBlob = p;
    m_uExactSizeOfMallocedSerializedBlob = static_cast<uint32_t>(u64Total);
    m_uSizeOfUnusedOwnedBlobArea = uUnused;
  }
  CheckClassInvariant();
}

CMultiFieldBlob& CMultiFieldBlob::operator=(const CMultiFieldBlob& other) {
  if (&other == this) return *this;
  CInvariantGuard guard(this);
  LARCH_REQUIRE("No children registered to the target of an assignment",
                m_uNumRegisteredChildren == 0, sc_BlobRefusal);
  CMultiFieldBlob copy(other);
  SwapState(copy);
  return *this;
}

void CMultiFieldBlob::SwapState(CMultiFieldBlob& other) {
  std::swap(m_pParentBlob, other.m_pParentBlob);
  std::swap(m_iterIndexEntryInParent, other.m_iterIndexEntryInParent);
  std::swap(m_eMemoryOwnership, other.m_eMemoryOwnership);
  std::swap(m_pSerializedBlob, other.m_pSerializedBlob);
  m_Index.swap(other.m_Index);
  std::swap(m_uExactSizeOfMallocedSerializedBlob, other.m_uExactSizeOfMallocedSerializedBlob);
  std::swap(m_uSizeOfUnusedOwnedBlobArea, other.m_uSizeOfUnusedOwnedBlobArea);
  std::swap(m_uSizeOfGrowthSlack, other.m_uSizeOfGrowthSlack);
  std::swap(m_uNumRegisteredChildren, other.m_uNumRegisteredChildren);
  std::swap(m_bCheckForDescendentsThatNeedPreprocessingBeforeSerialization,
            other.m_bCheckForDescendentsThatNeedPreprocessingBeforeSerialization);
  std::swap(m_pMappedFile, other.m_pMappedFile);
  std::swap(m_sMappedFileName, other.m_sMappedFileName);
  std::swap(m_uSizeOfExistingFile, other.m_uSizeOfExistingFile);
  std::swap(m_MemoryMappedFileAccessMode, other.m_MemoryMappedFileAccessMode);
  std::swap(m_eCacheState, other.m_eCacheState);
  std::swap(m_pCachedSerializedBlob, other.m_pCachedSerializedBlob);
  std::swap(m_uSizeOfMallocedCache, other.m_uSizeOfMallocedCache);
  std::swap(m_uSizeOfUnusedOwnedCacheArea, other.m_uSizeOfUnusedOwnedCacheArea);
  std::swap(m_eAutoPreprocessCode, other.m_eAutoPreprocessCode);
  std::swap(m_au8AESSessionKey, other.m_au8AESSessionKey);
  std::swap(m_au8AESIV, other.m_au8AESIV);
  std::swap(m_u16AutoZLibCompressionLevel, other.m_u16AutoZLibCompressionLevel);
  std::swap(m_u64ChangeGeneration, other.m_u64ChangeGeneration);
  m_CheckedState = other.m_CheckedState = TCheckedState();
  m_u64PlainHierarchyCheckedGeneration = other.m_u64PlainHierarchyCheckedGeneration = ~uint64_t(0);
  RepointBackLinks();
  other.RepointBackLinks();
}

// The parent's index entry and the children's parent links follow the object that now holds
// the state.
void CMultiFieldBlob::RepointBackLinks() {
  if (m_pParentBlob) m_pParentBlob->m_Index[m_iterIndexEntryInParent].m_pChildBlob = this;
  if (m_uNumRegisteredChildren == 0) return;
  for (TIndexEntry& entry : m_Index) {
    if (entry.m_pChildBlob) entry.m_pChildBlob->m_pParentBlob = this;
  }
}

CMultiFieldBlob::~CMultiFieldBlob() {
  CheckClassInvariant();
  LARCH_PRECONDITION("No children still registered", m_uNumRegisteredChildren == 0);
  if (m_uNumRegisteredChildren != 0) DetachChildrenRecursively();
  if (m_eMemoryOwnership == eMemoryMappedFile && m_MemoryMappedFileAccessMode == eReadWrite &&
      m_eAutoPreprocessCode != ePlaintext) {
    try {
      PreprocessBlob();
    } catch (...) {
      // The plaintext stays in the file; it is a valid image too.
    }
  }
  if (m_pParentBlob) {
    m_pParentBlob->m_Index[m_iterIndexEntryInParent].m_pChildBlob = nullptr;
    --m_pParentBlob->m_uNumRegisteredChildren;
    m_pParentBlob = nullptr;
  }
  ReleaseResources();
}

void CMultiFieldBlob::ReleaseResources() {
  if (m_eMemoryOwnership == eMemoryMappedFile) CloseMappedFile(false);
  if (m_eMemoryOwnership == eTakeOwnershipOfMallocedSerializedBlob) std::free(m_pSerializedBlob);
  m_pSerializedBlob = nullptr;
  if (m_uSizeOfMallocedCache) std::free(m_pCachedSerializedBlob);
  m_pCachedSerializedBlob = nullptr;
  m_uSizeOfMallocedCache = 0;
  m_uSizeOfUnusedOwnedCacheArea = 0;
  m_eCacheState = eCacheEmpty;
}

// ---- Growing, displacing and re-pointing ------------------------------------------------

CMultiFieldBlob* CMultiFieldBlob::Root() {
  CMultiFieldBlob* p = this;
  while (p->m_pParentBlob) p = p->m_pParentBlob;
  return p;
}

void CMultiFieldBlob::MakeWritable() {
  RecursivelyEnsureSizeOfSpareCapacity(0, m_uSizeOfGrowthSlack);
}

void CMultiFieldBlob::RecursivelyEnsureSizeOfSpareCapacity(uint32_t uMinSpare, uint32_t uExtra) {
  CheckNotCollapsed(sc_pszNotCollapsed);
  uint32_t uSize = SizeOfSerialized(), uSpare = SpareCapacity();
  switch (m_eMemoryOwnership) {
    case eCopyOnWrite: {
      // The lent image is never written: the first change copies it.
      OwnCopyOfImage(std::max(uMinSpare, uSpare), uExtra);
      RepointChildren();
      return;
    }
    case eTakeOwnershipOfMallocedSerializedBlob: {
      if (uMinSpare <= uSpare) return;
      uint32_t uMissing = uMinSpare - uSpare;
      if (m_uSizeOfUnusedOwnedBlobArea >= uMissing) {
        m_uSizeOfUnusedOwnedBlobArea -= uMissing;
        SetSizes(uSize, uMinSpare);
        return;
      }
      uint64_t u64Total = uint64_t(uSize) + uMinSpare + uExtra;
      uint8_t* p = u64Total <= sc_uMaxImageSize
                       ? static_cast<uint8_t*>(std::realloc(m_pSerializedBlob, u64Total))
                       : nullptr;
      if (!p) {
        throw std::runtime_error(
            "common::CMultiFieldBlob::RecursivelyEnsureSizeOfSpareCapacity(): realloc() failed");
      }
      bool bMoved = p != m_pSerializedBlob;
      m_pSerializedBlob = p;
      std::memset(p + uSize, 0, u64Total - uSize);
      SetSizes(uSize, uMinSpare);
      m_uExactSizeOfMallocedSerializedBlob = static_cast<uint32_t>(u64Total);
      m_uSizeOfUnusedOwnedBlobArea = uExtra;
      if (bMoved) RepointChildren();
      return;
    }
    case eChildBlobReferingToMemoryInParent: {
      // Also makes every ancestor writable when nothing has to grow.
      uint32_t uGrow = uMinSpare > uSpare ? uMinSpare - uSpare : 0;
      if (uint64_t(uSize) + uSpare + uGrow > sc_uMaxImageSize) {
        throw std::runtime_error(
            "common::CMultiFieldBlob::RecursivelyEnsureSizeOfSpareCapacity(): realloc() failed");
      }
      m_pParentBlob->GrowField(m_iterIndexEntryInParent, uGrow,
                               uExtra + m_pParentBlob->m_uSizeOfGrowthSlack);
      SetSizes(uSize, uSpare + uGrow);
      return;
    }
    case eMemoryMappedFile: {
      if (uMinSpare <= uSpare) return;
      uint32_t uMissing = uMinSpare - uSpare;
      if (m_uSizeOfUnusedOwnedBlobArea < uMissing) {
        throw COverflowMemoryMappedFileException(
            "CMultiFieldBlob: Attempt to overflow memory-mapped file");
      }
      m_uSizeOfUnusedOwnedBlobArea -= uMissing;
      SetSizes(uSize, uMinSpare);
      return;
    }
    default:
      LARCH_REQUIRE("Known memory ownership", false, sc_BlobRefusal);
  }
}

void CMultiFieldBlob::GrowField(size_t iterIndex, uint32_t uGrowBy, uint32_t uExtra) {
  RecursivelyEnsureSizeOfSpareCapacity(uGrowBy, uExtra);
  if (uGrowBy) DisplaceField(iterIndex, uGrowBy, false);
}

// Moves every record after the field by nDisplacement bytes; the image length stays.
void CMultiFieldBlob::DisplaceField(size_t iterIndex, int64_t nDisplacement, bool bRemovingRecord) {
  uint8_t* p = m_pSerializedBlob;
  uint32_t uSize = SizeOfSerialized(), uSpare = SpareCapacity();
  uint32_t uOffset = m_Index[iterIndex].m_uFieldHeaderOffset;
  uint32_t uRecordEnd = uOffset + RecordSizeAt(iterIndex);
  if (nDisplacement > 0) {
    LARCH_DEBUG_ASSERT(nDisplacement <= uSpare);
  } else {
    LARCH_DEBUG_ASSERT(-nDisplacement <= DataSizeAt(iterIndex) ||
                       (bRemovingRecord && -nDisplacement == uRecordEnd - uOffset));
  }
  std::memmove(p + uRecordEnd + nDisplacement, p + uRecordEnd, uSize - uRecordEnd);
  if (nDisplacement > 0) std::memset(p + uRecordEnd, 0, static_cast<size_t>(nDisplacement));
  if (uRecordEnd < uSize) {  // moving the last record shifts no other
    for (TIndexEntry& entry : m_Index) {
      if (entry.m_uFieldHeaderOffset > uOffset) {
        entry.m_uFieldHeaderOffset =
            static_cast<uint32_t>(entry.m_uFieldHeaderOffset + nDisplacement);
      }
    }
  }
  if (nDisplacement < 0) {
    std::memset(p + uSize + nDisplacement, 0, static_cast<size_t>(-nDisplacement));
  }
  if (!bRemovingRecord) {
    uint8_t* pDataSize = p + uOffset + 2;
    StoreLittleEndian32(pDataSize,
                        static_cast<uint32_t>(LoadLittleEndian32(pDataSize) + nDisplacement));
  }
  SetSizes(static_cast<uint32_t>(uSize + nDisplacement),
           static_cast<uint32_t>(uSpare - nDisplacement));
  RepointChildren();
}

// Gives every attached child its image pointer inside this image (null while this image is
// an envelope or gone), and their children theirs.
void CMultiFieldBlob::RepointChildren() {
  if (m_uNumRegisteredChildren == 0) return;
  bool bReadable = m_pSerializedBlob && !IsPreprocessedState(m_eCacheState);
  for (size_t i = 0; i < m_Index.size(); ++i) {
    CMultiFieldBlob* pChild = m_Index[i].m_pChildBlob;
    if (!pChild) continue;
    pChild->m_pSerializedBlob = bReadable ? DataAt(i) : nullptr;
    if (pChild->m_pSerializedBlob && !IsPreprocessedState(pChild->m_eCacheState)) {
      pChild->RepointChildren();
    } else {
      pChild->CollapseChildren();
    }
  }
}

void CMultiFieldBlob::CollapseChildren() {
  if (m_uNumRegisteredChildren == 0) return;
  for (TIndexEntry& entry : m_Index) {
    if (!entry.m_pChildBlob) continue;
    entry.m_pChildBlob->m_pSerializedBlob = nullptr;
    entry.m_pChildBlob->CollapseChildren();
  }
}

void CMultiFieldBlob::RepointChildIndexPositions(size_t uFrom) {
  if (m_uNumRegisteredChildren == 0) return;
  for (size_t i = uFrom; i < m_Index.size(); ++i) {
    if (m_Index[i].m_pChildBlob) m_Index[i].m_pChildBlob->m_iterIndexEntryInParent = i;
  }
}

// Hands surplus spare capacity up to the root's unused area, each ancestor keeping the spare
// capacity it had before.
void CMultiFieldBlob::TrimSpareCapacity(uint32_t uWantedSpare) {
  uint32_t uSpare = SpareCapacity();
  if (uSpare <= uWantedSpare) return;
  uint32_t uSurplus = uSpare - uWantedSpare;
  SetSizes(SizeOfSerialized(), uWantedSpare);
  if (m_eMemoryOwnership == eChildBlobReferingToMemoryInParent) {
    CMultiFieldBlob* pParent = m_pParentBlob;
    uint32_t uParentSpare = pParent->SpareCapacity();
    pParent->DisplaceField(m_iterIndexEntryInParent, -int64_t(uSurplus), false);
    pParent->TrimSpareCapacity(uParentSpare);
  } else {
    m_uSizeOfUnusedOwnedBlobArea += uSurplus;
  }
}

// The field's data (length d) goes to pBuffer, which holds at least d bytes, and the first
// uNewLength bytes of the buffer become the field's data. Returns d.
uint32_t CMultiFieldBlob::SwapFieldData(size_t iterIndex, uint8_t* pBuffer, uint32_t uNewLength) {
  uint32_t uOld = DataSizeAt(iterIndex);
  if (uNewLength <= uOld) {
    MakeWritable();
    uint8_t* p = DataAt(iterIndex);
    std::swap_ranges(p, p + uNewLength, pBuffer);
    std::memcpy(pBuffer + uNewLength, p + uNewLength, uOld - uNewLength);
    if (uNewLength < uOld) DisplaceField(iterIndex, int64_t(uNewLength) - uOld, false);
  } else {
    GrowField(iterIndex, uNewLength - uOld, m_uSizeOfGrowthSlack);
    uint8_t* p = DataAt(iterIndex);
    std::swap_ranges(p, p + uOld, pBuffer);
    std::memcpy(p + uOld, pBuffer + uOld, uNewLength - uOld);
  }
  return uOld;
}

// ---- Field operations -------------------------------------------------------------------

size_t CMultiFieldBlob::AddFieldImpl(const uint8_t* pName, size_t uSizeOfName, const void* pData,
                                     size_t uSizeOfData, uint32_t uExtra) {
  LARCH_REQUIRE("Field name of 1 to 65535 bytes",
                pName && uSizeOfName >= 1 && uSizeOfName <= sc_uMaxFieldNameSize, sc_BlobRefusal);
  LARCH_REQUIRE("Non-null pData or zero size", pData || uSizeOfData == 0, sc_BlobRefusal);
  size_t uPos;
  if (Search(pName, uSizeOfName, uPos)) {
    throw CFieldAlreadyExistsException("CMultiFieldBlob::AddField(): Field already exists");
  }
  uint64_t u64Record = sc_uSizeOfFieldHeader + uint64_t(uSizeOfName) + uSizeOfData;
  if (u64Record + ImageLength() > sc_uMaxImageSize) {
    throw std::runtime_error(
        "common::CMultiFieldBlob::RecursivelyEnsureSizeOfSpareCapacity(): realloc() failed");
  }
  // Name or data may lie inside this hierarchy's image, which may move while it grows.
  CSafeBytes name(Root(), pName, uSizeOfName), data(Root(), pData, uSizeOfData);
  uint32_t uRecord = static_cast<uint32_t>(u64Record);
  RecursivelyEnsureSizeOfSpareCapacity(uRecord, uExtra);
  uint32_t uOffset = SizeOfSerialized();
  m_Index.insert(m_Index.begin() + uPos, TIndexEntry{uOffset, nullptr});
  uint8_t* p = m_pSerializedBlob + uOffset;
  StoreLittleEndian16(p, static_cast<uint16_t>(uSizeOfName));
  StoreLittleEndian32(p + 2, static_cast<uint32_t>(uSizeOfData));
  std::memcpy(p + sc_uSizeOfFieldHeader, name.Data(), uSizeOfName);
  if (uSizeOfData) std::memcpy(p + sc_uSizeOfFieldHeader + uSizeOfName, data.Data(), uSizeOfData);
  SetSizes(uOffset + uRecord, SpareCapacity() - uRecord);
  RepointChildIndexPositions(uPos + 1);
  return uPos;
}

void CMultiFieldBlob::UpdateFieldImpl(size_t iterIndex, const void* pData, size_t uSizeOfData,
                                      uint32_t uExtra) {
  LARCH_REQUIRE("IsValidIndexIterator(iterIndex)", iterIndex < m_Index.size(), sc_BlobRefusal);
  LARCH_REQUIRE("Non-null pData or zero size", pData || uSizeOfData == 0, sc_BlobRefusal);
  if (m_Index[iterIndex].m_pChildBlob) {
    throw CAttemptToUpdateFieldWithRegisteredChildException(
        "CMultiFieldBlob: Attempt to update a field that has a registered child");
  }
  uint32_t uOld = DataSizeAt(iterIndex);
  if (uint64_t(uSizeOfData) > uOld &&
      uint64_t(uSizeOfData) - uOld + ImageLength() > sc_uMaxImageSize) {
    throw std::runtime_error(
        "common::CMultiFieldBlob::RecursivelyEnsureSizeOfSpareCapacity(): realloc() failed");
  }
  CSafeBytes data(Root(), pData, uSizeOfData);
  uint32_t uNew = static_cast<uint32_t>(uSizeOfData);
  if (uNew <= uOld) {
    RecursivelyEnsureSizeOfSpareCapacity(0, m_uSizeOfGrowthSlack + uExtra);
    if (uNew < uOld) DisplaceField(iterIndex, int64_t(uNew) - uOld, false);
  } else {
    GrowField(iterIndex, uNew - uOld, m_uSizeOfGrowthSlack + uExtra);
  }
  if (uNew) std::memcpy(DataAt(iterIndex), data.Data(), uNew);
}

size_t CMultiFieldBlob::RemoveFieldImpl(size_t iterIndex) {
  LARCH_REQUIRE("IsValidIndexIterator(iterIndex)", iterIndex < m_Index.size(), sc_BlobRefusal);
  if (CMultiFieldBlob* pChild = m_Index[iterIndex].m_pChildBlob) pChild->DetachFromParent();
  MakeWritable();
  DisplaceField(iterIndex, -int64_t(RecordSizeAt(iterIndex)), true);
  m_Index.erase(m_Index.begin() + iterIndex);
  RepointChildIndexPositions(iterIndex);
  return iterIndex;
}

void CMultiFieldBlob::DetachChildrenRecursively() {
  if (m_uNumRegisteredChildren == 0) return;
  for (TIndexEntry& entry : m_Index) {
    if (entry.m_pChildBlob) entry.m_pChildBlob->DetachFromParent();
  }
}

const uint8_t* CMultiFieldBlob::FindFieldData(const CFieldName& name,
                                              SizeOfFieldData_t* pSizeOfFieldData) const {
  CMultiFieldBlob& self = const_cast<CMultiFieldBlob&>(*this);
  CInvariantGuard guard(this);
  LARCH_REQUIRE("Non-null field name", name.Data() || name.Size() == 0, sc_BlobRefusal);
  self.ApplyCacheCommand(eKeepCachedPreprocessedVersions, false);
  size_t uPos;
  if (name.Size() > sc_uMaxFieldNameSize || !Search(name.Data(), name.Size(), uPos)) {
    if (pSizeOfFieldData) *pSizeOfFieldData = 0;
    return nullptr;
  }
  if (pSizeOfFieldData) *pSizeOfFieldData = DataSizeAt(uPos);
  return DataAt(uPos);
}

bool CMultiFieldBlob::FieldExists(const CFieldName& name) const {
  return FindFieldData(name) != nullptr;
}

CMultiFieldBlob::index_iterator CMultiFieldBlob::FindField(const CFieldName& name) const {
  CMultiFieldBlob& self = const_cast<CMultiFieldBlob&>(*this);
  CInvariantGuard guard(this);
  LARCH_REQUIRE("Non-null field name", name.Data() || name.Size() == 0, sc_BlobRefusal);
  self.ApplyCacheCommand(eKeepCachedPreprocessedVersions, false);
  size_t uPos;
  if (name.Size() > sc_uMaxFieldNameSize || !Search(name.Data(), name.Size(), uPos)) {
    uPos = m_Index.size();
  }
  return index_iterator(&self, uPos);
}

CMultiFieldBlob::index_iterator CMultiFieldBlob::AddField(const CFieldName& name, const void* pData,
                                                          size_t uSizeOfData) {
  CInvariantGuard guard(this);
  BeginChange();
  return index_iterator(
      this, AddFieldImpl(name.Data(), name.Size(), pData, uSizeOfData, m_uSizeOfGrowthSlack));
}

CMultiFieldBlob::index_iterator CMultiFieldBlob::AddField(const CFieldName& name,
                                                          const std::string& sData) {
  return AddField(name, sData.c_str(), sData.size() + 1);
}

CMultiFieldBlob::index_iterator CMultiFieldBlob::AddField(const CFieldName& name,
                                                          const char* pszData) {
  LARCH_REQUIRE("Non-null pszData", pszData != nullptr, sc_BlobRefusal);
  return AddField(name, pszData, std::strlen(pszData) + 1);
}

CMultiFieldBlob::index_iterator CMultiFieldBlob::AddFieldFromWin32BinaryResource(
    uint16_t u16ResourceId, const CFieldName& name) {
  const void* pData = nullptr;
  size_t uSize = 0;
  const char* pszFailure = "AddFieldFromWin32BinaryResource: Missing resource ";
  switch (platform::LoadOwnResource("BINDATA", u16ResourceId, pData, uSize)) {
    case platform::eOwnResourceFound:
      return AddField(name, pData, uSize);
    case platform::eOwnResourceMissing:
      break;
    case platform::eOwnResourceLoadFailed:
      pszFailure = "AddFieldFromWin32BinaryResource: Failed to load resource ";
      break;
    case platform::eOwnResourceLockFailed:
      pszFailure = "AddFieldFromWin32BinaryResource: Failed to lock resource ";
      break;
  }
  throw std::runtime_error(pszFailure + std::to_string(u16ResourceId));
}

CMultiFieldBlob::index_iterator CMultiFieldBlob::AddField(const CFieldName& name, uint32_t uData) {
  uint8_t au8[4];
  StoreLittleEndian32(au8, uData);
  return AddField(name, au8, sizeof(au8));
}

CMultiFieldBlob::index_iterator CMultiFieldBlob::AddField(const CFieldName& name,
                                                          CMultiFieldBlob* pNewChild,
                                                          bool bReplaceExisting) {
  CInvariantGuard guard(this);
  LARCH_REQUIRE("Non-null pNewChild", pNewChild != nullptr, sc_BlobRefusal);
  CInvariantGuard childGuard(pNewChild);
  LARCH_REQUIRE("New child has no parent", pNewChild->m_pParentBlob == nullptr, sc_BlobRefusal);
  LARCH_REQUIRE("New child is not in this blob's hierarchy", Root() != pNewChild, sc_BlobRefusal);
  LARCH_REQUIRE("New child is not a memory-mapped file",
                pNewChild->m_eMemoryOwnership != eMemoryMappedFile, sc_BlobRefusal);
  LARCH_REQUIRE("Field name of 1 to 65535 bytes",
                name.Data() && name.Size() >= 1 && name.Size() <= sc_uMaxFieldNameSize,
                sc_BlobRefusal);
  CheckNestingLevel(uint64_t(NestingLevel()) + 1 + pNewChild->LevelsOfAttachedChildren());
  pNewChild->ApplyCacheCommand(eKeepCachedPreprocessedVersions, false);
  bool bChildNeedsPreprocessing =
      pNewChild->m_eAutoPreprocessCode != ePlaintext ||
      pNewChild->m_bCheckForDescendentsThatNeedPreprocessingBeforeSerialization;
  BeginChange();
  ApplyCacheCommand(eInvalidateCachedPreprocessedVersions, bChildNeedsPreprocessing);
  uint32_t uChildSpare = pNewChild->SpareCapacity();
  uint32_t uExtra = pNewChild->m_uSizeOfGrowthSlack > uChildSpare
                        ? pNewChild->m_uSizeOfGrowthSlack - uChildSpare
                        : 0;
  const uint8_t* pImage = pNewChild->m_pSerializedBlob;
  uint32_t uLength = pNewChild->ImageLength();
  size_t uPos;
  if (!Search(name.Data(), name.Size(), uPos)) {
    uPos = AddFieldImpl(name.Data(), name.Size(), pImage, uLength, uExtra + m_uSizeOfGrowthSlack);
  } else if (bReplaceExisting) {
    if (CMultiFieldBlob* pOld = m_Index[uPos].m_pChildBlob) pOld->DetachFromParent();
    UpdateFieldImpl(uPos, pImage, uLength, uExtra);
  } else {
    throw CFieldAlreadyExistsException(
        "CMultiFieldBlob::AddField(pNewChild): duplicate field name");
  }
  // The child adopts the field: its bytes now live in this image.
  if (pNewChild->m_eMemoryOwnership == eTakeOwnershipOfMallocedSerializedBlob) {
    std::free(pNewChild->m_pSerializedBlob);
  }
  if (pNewChild->m_eCacheState == eCachePtrIsCopyOnWritePreprocessedVersion) {
    // A lent envelope is never written, and a child's cache is written when it swaps.
    pNewChild->m_pCachedSerializedBlob = nullptr;
    pNewChild->m_eCacheState = eCacheEmpty;
  }
  pNewChild->m_eMemoryOwnership = eChildBlobReferingToMemoryInParent;
  pNewChild->m_uExactSizeOfMallocedSerializedBlob = 0;
  pNewChild->m_uSizeOfUnusedOwnedBlobArea = 0;
  pNewChild->m_uSizeOfGrowthSlack = 0;
  pNewChild->m_pParentBlob = this;
  pNewChild->m_iterIndexEntryInParent = uPos;
  pNewChild->m_pSerializedBlob = DataAt(uPos);
  pNewChild->RepointChildren();
  m_Index[uPos].m_pChildBlob = pNewChild;
  ++m_uNumRegisteredChildren;
  return index_iterator(this, uPos);
}

void CMultiFieldBlob::AddFields(const std::vector<TFieldDescription>& fields) {
  CInvariantGuard guard(this);
  BeginChange();
  if (fields.empty()) return;
  uint64_t u64Total = 0;
  for (const TFieldDescription& field : fields) {
    LARCH_REQUIRE("Field name of 1 to 65535 bytes",
                  field.m_sName.size() >= 1 && field.m_sName.size() <= sc_uMaxFieldNameSize,
                  sc_BlobRefusal);
    u64Total += sc_uSizeOfFieldHeader + field.m_sName.size() + field.m_sData.size();
  }
  // Duplicates are found before anything changes: in the list itself, and against the index.
  std::vector<const TFieldDescription*> sorted;
  sorted.reserve(fields.size());
  for (const TFieldDescription& field : fields) sorted.push_back(&field);
  auto less = [](const TFieldDescription* a, const TFieldDescription* b) {
    return CompareFieldNamesForSearch(static_cast<uint16_t>(a->m_sName.size()), a->m_sName.data(),
                                      static_cast<uint16_t>(b->m_sName.size()),
                                      b->m_sName.data()) < 0;
  };
  std::sort(sorted.begin(), sorted.end(), less);
  for (size_t i = 0; i < sorted.size(); ++i) {
    size_t uPos;
    bool bTwiceInList = i > 0 && !less(sorted[i - 1], sorted[i]);
    if (bTwiceInList || Search(reinterpret_cast<const uint8_t*>(sorted[i]->m_sName.data()),
                               sorted[i]->m_sName.size(), uPos)) {
      throw CFieldAlreadyExistsException("CMultiFieldBlob::AddFields(): duplicate field name");
    }
  }
  if (u64Total + ImageLength() > sc_uMaxImageSize) {
    throw std::runtime_error(
        "common::CMultiFieldBlob::RecursivelyEnsureSizeOfSpareCapacity(): realloc() failed");
  }
  std::vector<TIndexEntry> newIndex;
  newIndex.reserve(m_Index.size() + fields.size());
  newIndex = m_Index;
  RecursivelyEnsureSizeOfSpareCapacity(static_cast<uint32_t>(u64Total), m_uSizeOfGrowthSlack);
  uint32_t uOffset = SizeOfSerialized();
  for (const TFieldDescription& field : fields) {
    uint8_t* p = m_pSerializedBlob + uOffset;
    StoreLittleEndian16(p, static_cast<uint16_t>(field.m_sName.size()));
    StoreLittleEndian32(p + 2, static_cast<uint32_t>(field.m_sData.size()));
    std::memcpy(p + sc_uSizeOfFieldHeader, field.m_sName.data(), field.m_sName.size());
    std::memcpy(p + sc_uSizeOfFieldHeader + field.m_sName.size(), field.m_sData.data(),
                field.m_sData.size());
    newIndex.push_back(TIndexEntry{uOffset, nullptr});
    uOffset +=
        static_cast<uint32_t>(sc_uSizeOfFieldHeader + field.m_sName.size() + field.m_sData.size());
  }
  SetSizes(uOffset, SpareCapacity() - static_cast<uint32_t>(u64Total));
  const uint8_t* pImage = m_pSerializedBlob;
  std::sort(newIndex.begin(), newIndex.end(), [pImage](const TIndexEntry& a, const TIndexEntry& b) {
    return CompareRecordNames(pImage, a.m_uFieldHeaderOffset, b.m_uFieldHeaderOffset) < 0;
  });
  m_Index.swap(newIndex);
  RepointChildIndexPositions(0);
}

CMultiFieldBlob::index_iterator CMultiFieldBlob::SetField(const CFieldName& name, const void* pData,
                                                          size_t uSizeOfData) {
  CInvariantGuard guard(this);
  LARCH_REQUIRE("Field name of 1 to 65535 bytes",
                name.Data() && name.Size() >= 1 && name.Size() <= sc_uMaxFieldNameSize,
                sc_BlobRefusal);
  BeginChange();
  size_t uPos;
  if (Search(name.Data(), name.Size(), uPos)) {
    UpdateFieldImpl(uPos, pData, uSizeOfData, 0);
  } else {
    uPos = AddFieldImpl(name.Data(), name.Size(), pData, uSizeOfData, m_uSizeOfGrowthSlack);
  }
  return index_iterator(this, uPos);
}

CMultiFieldBlob::index_iterator CMultiFieldBlob::SetField(const CFieldName& name,
                                                          const std::string& sData) {
  return SetField(name, sData.c_str(), sData.size() + 1);
}

CMultiFieldBlob::index_iterator CMultiFieldBlob::SetField(const CFieldName& name, uint32_t uData) {
  uint8_t au8[4];
  StoreLittleEndian32(au8, uData);
  return SetField(name, au8, sizeof(au8));
}

void CMultiFieldBlob::UpdateField(const index_iterator& iterIndex, const void* pData,
                                  size_t uSizeOfData) {
  CInvariantGuard guard(this);
  LARCH_REQUIRE("Iterator refers to this blob", iterIndex.Blob() == this, sc_BlobRefusal);
  BeginChange();
  UpdateFieldImpl(iterIndex.Position(), pData, uSizeOfData, 0);
}

void CMultiFieldBlob::UpdateField(const index_iterator& iterIndex, const std::string& sData) {
  UpdateField(iterIndex, sData.c_str(), sData.size() + 1);
}

void CMultiFieldBlob::RemoveField(const CFieldName& name) {
  CInvariantGuard guard(this);
  LARCH_REQUIRE("Non-null field name", name.Data() || name.Size() == 0, sc_BlobRefusal);
  ApplyCacheCommand(eKeepCachedPreprocessedVersions, false);
  size_t uPos;
  if (name.Size() > sc_uMaxFieldNameSize || !Search(name.Data(), name.Size(), uPos)) return;
  BeginChange();
  RemoveFieldImpl(uPos);
}

CMultiFieldBlob::index_iterator CMultiFieldBlob::RemoveField(const index_iterator& iterIndex) {
  CInvariantGuard guard(this);
  LARCH_REQUIRE("Iterator refers to this blob", iterIndex.Blob() == this, sc_BlobRefusal);
  BeginChange();
  return index_iterator(this, RemoveFieldImpl(iterIndex.Position()));
}

void CMultiFieldBlob::RemoveAllFields() {
  CInvariantGuard guard(this);
  ApplyCacheCommand(eKeepCachedPreprocessedVersions, false);
  if (m_Index.empty()) return;
  BeginChange();
  DetachChildrenRecursively();
  MakeWritable();
  uint32_t uSize = SizeOfSerialized();
  std::memset(m_pSerializedBlob + sc_uSizeOfBlobHeader, 0, uSize - sc_uSizeOfBlobHeader);
  SetSizes(sc_uSizeOfBlobHeader, SpareCapacity() + uSize - sc_uSizeOfBlobHeader);
  m_Index.clear();
}

std::string CMultiFieldBlob::GetFieldDataAsCString(const CFieldName& name) const {
  SizeOfFieldData_t uSize = 0;
  const uint8_t* p = FindFieldData(name, &uSize);
  if (!p) return std::string();
  if (uSize == 0 || p[uSize - 1] != 0) {
    throw CStringFieldNotTerminatedException(
        "GetFieldDataAsCString(s,p) zero-length or not null-terminated");
  }
  return std::string(reinterpret_cast<const char*>(p), uSize - 1);
}

bool CMultiFieldBlob::GetFieldDataAsU32(const CFieldName& name, uint32_t& uValue) const {
  SizeOfFieldData_t uSize = 0;
  const uint8_t* p = FindFieldData(name, &uSize);
  if (!p || uSize != 4) return false;
  uValue = LoadLittleEndian32(p);
  return true;
}

CMultiFieldBlob::index_iterator CMultiFieldBlob::begin() const {
  return index_iterator(const_cast<CMultiFieldBlob*>(this), 0);
}

CMultiFieldBlob::index_iterator CMultiFieldBlob::end() const {
  return index_iterator(const_cast<CMultiFieldBlob*>(this), m_Index.size());
}

size_t CMultiFieldBlob::GetNumFields() const {
  return m_Index.size();
}

bool CMultiFieldBlob::DetachFromParent() {
  CInvariantGuard guard(this);
  DetachChildrenRecursively();
  bool bHadParent = m_pParentBlob != nullptr;
  *this = CMultiFieldBlob();
  return bHadParent;
}

uint32_t CMultiFieldBlob::GetSizeOfSerializedBlob() const {
  const_cast<CMultiFieldBlob*>(this)->ApplyCacheCommand(eKeepCachedPreprocessedVersions, false);
  return SizeOfSerialized();
}

uint32_t CMultiFieldBlob::GetSizeOfSpareCapacity() const {
  const_cast<CMultiFieldBlob*>(this)->ApplyCacheCommand(eKeepCachedPreprocessedVersions, false);
  return SpareCapacity();
}

// ---- Iteration --------------------------------------------------------------------------

bool CMultiFieldBlob::index_iterator_impl::IsValid() const {
  return m_pBlob && m_iterIndex <= m_pBlob->m_Index.size();
}

CMultiFieldBlob::index_iterator& CMultiFieldBlob::index_iterator::operator++() {
  LARCH_REQUIRE("IsValidIndexIterator(iterIndex)", m_pBlob && m_iterIndex < m_pBlob->m_Index.size(),
                sc_BlobRefusal);
  ++m_iterIndex;
  return *this;
}

bool CMultiFieldBlob::index_iterator::operator==(const index_iterator& other) const {
  LARCH_REQUIRE("Iterators refer to the same blob", m_pBlob == other.m_pBlob, sc_BlobRefusal);
  return m_iterIndex == other.m_iterIndex;
}

CMultiFieldBlob& CMultiFieldBlob::index_iterator::Entry() const {
  LARCH_REQUIRE("IsValidIndexIterator(iterIndex)", m_pBlob && m_iterIndex < m_pBlob->m_Index.size(),
                sc_BlobRefusal);
  m_pBlob->ApplyCacheCommand(eKeepCachedPreprocessedVersions, false);
  return *m_pBlob;
}

std::string CMultiFieldBlob::index_iterator::GetFieldName() const {
  Entry();
  return std::string(reinterpret_cast<const char*>(m_pBlob->NameAt(m_iterIndex)),
                     m_pBlob->NameSizeAt(m_iterIndex));
}

uint32_t CMultiFieldBlob::index_iterator::GetNumericFieldName() const {
  Entry();
  if (m_pBlob->NameSizeAt(m_iterIndex) != 4) {
    throw CFieldNameNotNumeriCBlobException("GetNumericFieldName(): not numeric");
  }
  return LoadLittleEndian32(m_pBlob->NameAt(m_iterIndex));
}

const uint8_t* CMultiFieldBlob::index_iterator::GetFieldData(
    SizeOfFieldData_t* pSizeOfFieldData) const {
  Entry();
  if (pSizeOfFieldData) *pSizeOfFieldData = m_pBlob->DataSizeAt(m_iterIndex);
  return m_pBlob->DataAt(m_iterIndex);
}

CMultiFieldBlob::SizeOfFieldData_t CMultiFieldBlob::index_iterator::GetSizeOfFieldData() const {
  SizeOfFieldData_t uSize = 0;
  GetFieldData(&uSize);
  return uSize;
}

std::string CMultiFieldBlob::index_iterator::GetFieldDataAsCString() const {
  SizeOfFieldData_t uSize = 0;
  const uint8_t* p = GetFieldData(&uSize);
  if (uSize == 0 || p[uSize - 1] != 0) {
    throw CStringFieldNotTerminatedException(
        "GetFieldDataAsCString(iterIndex) zero-length or not null-terminated");
  }
  return std::string(reinterpret_cast<const char*>(p), uSize - 1);
}

CMultiFieldBlob* CMultiFieldBlob::index_iterator::FindRegisteredChildBlob() const {
  LARCH_REQUIRE("IsValidIndexIterator(iterIndex)", m_pBlob && m_iterIndex < m_pBlob->m_Index.size(),
                sc_BlobRefusal);
  return m_pBlob->m_Index[m_iterIndex].m_pChildBlob;
}

// ---- Invariant --------------------------------------------------------------------------

void CMultiFieldBlob::SetFullInvariantCheck(bool bFull) {
  s_bFullInvariantCheck = bFull;
}

void CMultiFieldBlob::CheckClassInvariant() const {
  const CMultiFieldBlob* pRoot = this;
  while (pRoot->m_pParentBlob) pRoot = pRoot->m_pParentBlob;
  bool bFull = s_bFullInvariantCheck.load(std::memory_order_relaxed);
  uint64_t u64Generation = pRoot->m_u64ChangeGeneration;
  if (!bFull) {
    // Children attached meanwhile are walked by the next full check.
    pRoot->m_u64PlainHierarchyCheckedGeneration = ~uint64_t(0);
    CheckChainFromRoot(bFull, u64Generation);
    return;
  }
  if (pRoot->m_u64PlainHierarchyCheckedGeneration == u64Generation) {
    // Without a change, calls on a plaintext hierarchy alter no object outside this chain
    // but a child they attach or release; walking every object on every call would make
    // reading a large hierarchy cost its object count per call. Preprocessing moves images
    // off the chain: a chain that is not all plaintext has the whole hierarchy checked.
    if (CheckChainFromRoot(bFull, u64Generation)) return;
  }
  // Each object after its parent.
  bool bPlain = true;
  std::vector<const CMultiFieldBlob*> pending{pRoot};
  while (!pending.empty()) {
    const CMultiFieldBlob* p = pending.back();
    pending.pop_back();
    p->CheckInvariantOfThis(bFull, u64Generation);
    bPlain = bPlain && p->IsPlainWithoutCache();
    if (p->m_uNumRegisteredChildren == 0) continue;
    for (const TIndexEntry& entry : p->m_Index) {
      if (entry.m_pChildBlob) pending.push_back(entry.m_pChildBlob);
    }
  }
  pRoot->m_u64PlainHierarchyCheckedGeneration = bPlain ? u64Generation : ~uint64_t(0);
}

// True when every object of the chain is plaintext without a cached version. Recurses no
// deeper than the nesting bound.
bool CMultiFieldBlob::CheckChainFromRoot(bool bFull, uint64_t u64Generation) const {
  bool bPlain = !m_pParentBlob || m_pParentBlob->CheckChainFromRoot(bFull, u64Generation);
  CheckInvariantOfThis(bFull, u64Generation);
  return bPlain && IsPlainWithoutCache();
}

CMultiFieldBlob::TCheckedState CMultiFieldBlob::CurrentCheckedState(uint64_t u64Generation) const {
  TCheckedState state;
  state.m_pImage = m_pSerializedBlob;
  state.m_u64Generation = u64Generation;
  state.m_uIndexSize = m_Index.size();
  state.m_uSizeOfSerialized = SizeOfSerialized();
  state.m_nCacheState = m_eCacheState;
  return state;
}

void CMultiFieldBlob::CheckInvariantOfThis(bool bFull, uint64_t u64Generation) const {
  const uint8_t* pHeader = reinterpret_cast<const uint8_t*>(&sc_EmptyBlobHeader);
  LARCH_INVARIANT("sc_EmptyBlobHeader is {1, P, 10, 0}",
                  pHeader[0] == 1 && pHeader[1] == ePlaintext &&
                      LoadLittleEndian32(pHeader + 2) == 10 &&
                      LoadLittleEndian32(pHeader + 6) == 0);
  LARCH_INVARIANT("Valid m_eMemoryOwnership",
                  m_eMemoryOwnership == eCopyOnWrite ||
                      m_eMemoryOwnership == eTakeOwnershipOfMallocedSerializedBlob ||
                      m_eMemoryOwnership == eChildBlobReferingToMemoryInParent ||
                      m_eMemoryOwnership == eMemoryMappedFile);
  LARCH_INVARIANT("Child iff parent", (m_eMemoryOwnership == eChildBlobReferingToMemoryInParent) ==
                                          (m_pParentBlob != nullptr));
  if (m_pParentBlob) {
    LARCH_INVARIANT("Parent's index entry points back to the child",
                    m_iterIndexEntryInParent < m_pParentBlob->m_Index.size() &&
                        m_pParentBlob->m_Index[m_iterIndexEntryInParent].m_pChildBlob == this);
  }
  if (!m_pSerializedBlob) {
    LARCH_INVARIANT("Only a child is collapsed", m_pParentBlob != nullptr);
    return;
  }
  const uint8_t* p = m_pSerializedBlob;
  LARCH_INVARIANT("Image has format code 1 and a known preprocessed code",
                  p[0] == 1 && (p[1] == ePlaintext || p[1] == eZLibCompressed || p[1] == eAES128));
  uint64_t u64Image = uint64_t(SizeOfSerialized()) + SpareCapacity();
  if (m_eMemoryOwnership == eTakeOwnershipOfMallocedSerializedBlob ||
      m_eMemoryOwnership == eMemoryMappedFile) {
    LARCH_INVARIANT(
        "m_uExactSizeOfMallocedSerializedBlob = size + spare + unused",
        m_uExactSizeOfMallocedSerializedBlob == u64Image + m_uSizeOfUnusedOwnedBlobArea);
  }
  if (m_eMemoryOwnership == eCopyOnWrite) {
    LARCH_INVARIANT("Copy-on-write image is lent and nothing is owned",
                    m_uExactSizeOfMallocedSerializedBlob == 0 && m_uSizeOfUnusedOwnedBlobArea == 0);
  }
  if (m_pParentBlob && m_pParentBlob->m_pSerializedBlob) {
    LARCH_INVARIANT("Child image is its field's data",
                    m_pParentBlob->DataAt(m_iterIndexEntryInParent) == p &&
                        m_pParentBlob->DataSizeAt(m_iterIndexEntryInParent) == u64Image);
  }
  if (!bFull) return;
  TCheckedState now = CurrentCheckedState(u64Generation);
  if (now == m_CheckedState) return;
  m_CheckedState = now;
  uint32_t uChildren = 0;
  for (const TIndexEntry& entry : m_Index) uChildren += entry.m_pChildBlob ? 1 : 0;
  LARCH_INVARIANT("m_uNumRegisteredChildren counts the attached children",
                  uChildren == m_uNumRegisteredChildren);
  if (IsPreprocessedState(m_eCacheState) || p[1] != ePlaintext) return;
  LARCH_INVARIANT("Plaintext image holds its header", SizeOfSerialized() >= sc_uSizeOfBlobHeader);
  LARCH_INVARIANT("Index and records agree", IndexMatchesRecords(p, m_Index));
  for (size_t i = 0; i < m_Index.size(); ++i) {
    if (i > 0) {
      LARCH_INVARIANT("Index sorted with no equal names",
                      CompareRecordNames(p, m_Index[i - 1].m_uFieldHeaderOffset,
                                         m_Index[i].m_uFieldHeaderOffset) < 0);
    }
  }
}

}  // namespace common
