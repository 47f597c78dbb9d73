// Automatic preprocessing of blobs: the cache of the second image version, producing and
// opening the compressed and encrypted envelopes, and collapsing and reviving children.
//
// An encrypted envelope is authenticated before anything of it is decrypted or interpreted:
// a forged or wrongly keyed envelope is refused with one text, whatever it decrypts to.
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "blob/MultiFieldBlob.h"
#include "blob/MultiFieldBlobInternal.h"
#include "platform/Crypto.h"

namespace common {

using namespace blob_internal;

namespace {

constexpr uint32_t sc_uCompressedHeaderSize = 20;
constexpr uint32_t sc_uEncryptedOverhead = 50;  // header, plaintext length, IV, MAC
constexpr uint32_t sc_uEncryptedCipherOffset = 30;
// Deflate never expands data by more than this factor, so a longer claimed plaintext cannot
// come out of the stream (a guard against allocating for a forged length).
constexpr uint64_t sc_uMaxInflateRatio = 1032;
// The spare capacity of a compressed image is not in its stream: the header alone makes the
// reader allocate and zero it. A bound keeps a few forged bytes from claiming gigabytes; the
// writer stores an image with more spare than this as plaintext.
constexpr uint32_t sc_uMaxSpareCapacityOfCompressedBlob = 64u << 20;

const char* const sc_pszReallocFailed =
    "common::CMultiFieldBlob::PreprocessBlob(): realloc() failed";
const char* const sc_pszDecryptMallocFailed =
    "CMultiFieldBlob(pSerialized): Failed to malloc plaintext version of encrypted blob";

[[noreturn]] void ThrowInvalid(const char* pszText) {
  throw CMultiFieldBlob::CInvalidSerializedBlobException(std::string(sc_pszLoadPrefix) + pszText);
}

}  // namespace

// ---- Shared load checks ------------------------------------------------------------------

int blob_internal::CompareRecordNames(const uint8_t* pImage, uint32_t uOffsetLhs,
                                      uint32_t uOffsetRhs) {
  return CMultiFieldBlob::CompareFieldNamesForSearch(
      LoadLittleEndian16(pImage + uOffsetLhs),
      pImage + uOffsetLhs + CMultiFieldBlob::sc_uSizeOfFieldHeader,
      LoadLittleEndian16(pImage + uOffsetRhs),
      pImage + uOffsetRhs + CMultiFieldBlob::sc_uSizeOfFieldHeader);
}

void blob_internal::CheckImageHeader(const uint8_t* pImage, uint64_t u64ExpectedSize) {
  if (u64ExpectedSize < CMultiFieldBlob::sc_uSizeOfBlobHeader) {
    ThrowInvalid("Invalid ExpectedSizeOfSerializedImage");
  }
  if (pImage[0] != CMultiFieldBlob::sc_u8CurrentBinaryFormatCode) {
    ThrowInvalid("Invalid BinaryFormatCode");
  }
  uint32_t uSize = LoadLittleEndian32(pImage + 2);
  // A size below the header's own would let readers run before the records.
  if (uint64_t(uSize) + LoadLittleEndian32(pImage + 6) != u64ExpectedSize ||
      uSize < CMultiFieldBlob::sc_uSizeOfBlobHeader) {
    ThrowInvalid("Bad BlobHeader doesn't match ExpectedSizeOfSerializedImage");
  }
  uint8_t u8Code = pImage[1];
  if (u8Code != CMultiFieldBlob::ePlaintext && u8Code != CMultiFieldBlob::eZLibCompressed &&
      u8Code != CMultiFieldBlob::eAES128) {
    ThrowInvalid("Invalid m_u8PreprocessedFormatCode");
  }
}

void blob_internal::BuildIndex(const uint8_t* pPlain,
                               std::vector<CMultiFieldBlob::TIndexEntry>& index) {
  uint32_t uSize = LoadLittleEndian32(pPlain + 2);
  index.clear();
  uint32_t uPos = CMultiFieldBlob::sc_uSizeOfBlobHeader;
  while (uPos < uSize) {
    if (uSize - uPos < CMultiFieldBlob::sc_uSizeOfFieldHeader) {
      ThrowInvalid("Partial field header at end of record");
    }
    uint64_t u64End = uint64_t(uPos) + CMultiFieldBlob::sc_uSizeOfFieldHeader +
                      LoadLittleEndian16(pPlain + uPos) + LoadLittleEndian32(pPlain + uPos + 2);
    if (u64End > uSize) ThrowInvalid("Bad field - extends past end of blob");
    index.push_back(CMultiFieldBlob::TIndexEntry{uPos, nullptr});
    uPos = static_cast<uint32_t>(u64End);
  }
  std::sort(index.begin(), index.end(),
            [pPlain](const CMultiFieldBlob::TIndexEntry& a, const CMultiFieldBlob::TIndexEntry& b) {
              return CompareRecordNames(pPlain, a.m_uFieldHeaderOffset, b.m_uFieldHeaderOffset) < 0;
            });
  for (size_t i = 1; i < index.size(); ++i) {
    if (CompareRecordNames(pPlain, index[i - 1].m_uFieldHeaderOffset,
                           index[i].m_uFieldHeaderOffset) == 0) {
      index.clear();
      throw CMultiFieldBlob::CFieldAlreadyExistsException(std::string(sc_pszLoadPrefix) +
                                                          "FieldId defined twice");
    }
  }
}

bool blob_internal::IndexMatchesRecords(const uint8_t* pPlain,
                                        const std::vector<CMultiFieldBlob::TIndexEntry>& index) {
  std::vector<uint32_t> offsets;
  offsets.reserve(index.size());
  for (const CMultiFieldBlob::TIndexEntry& entry : index) {
    offsets.push_back(entry.m_uFieldHeaderOffset);
  }
  std::sort(offsets.begin(), offsets.end());
  uint32_t uSize = LoadLittleEndian32(pPlain + 2);
  uint64_t u64Pos = CMultiFieldBlob::sc_uSizeOfBlobHeader;
  size_t i = 0;
  while (u64Pos < uSize) {
    if (i >= offsets.size() || offsets[i] != u64Pos) return false;
    if (uSize - u64Pos < CMultiFieldBlob::sc_uSizeOfFieldHeader) return false;
    const uint8_t* p = pPlain + u64Pos;
    u64Pos += CMultiFieldBlob::sc_uSizeOfFieldHeader + LoadLittleEndian16(p) +
              uint64_t(LoadLittleEndian32(p + 2));
    ++i;
  }
  return u64Pos == uSize && i == offsets.size();
}

bool blob_internal::ConstantTimeEqual(const uint8_t* pLhs, const uint8_t* pRhs, size_t uSize) {
  volatile uint8_t u8Difference = 0;
  for (size_t i = 0; i < uSize; ++i) u8Difference = u8Difference | (pLhs[i] ^ pRhs[i]);
  return u8Difference == 0;
}

blob_internal::CSafeBytes::CSafeBytes(CMultiFieldBlob* pRoot, const void* pData, size_t uSize)
    : m_pData(static_cast<const uint8_t*>(pData)) {
  const uint8_t* pImage = pRoot->PeekImage();
  uint32_t uOwned = pRoot->GetExactSizeOfMallocedSerializedBlob();
  if (uSize && pImage && uOwned && m_pData < pImage + uOwned && m_pData + uSize > pImage) {
    m_copy.assign(m_pData, m_pData + uSize);
  }
}

// ---- Cache commands ---------------------------------------------------------------------

void CMultiFieldBlob::CheckNotCollapsed(const char* pszWhat) const {
  LARCH_REQUIRE(pszWhat, m_pSerializedBlob != nullptr, sc_BlobRefusal);
}

// Brings the chain from the root down to this blob to plaintext, root first, and tells the
// ancestors when a descendant will need preprocessing before they are handed out.
void CMultiFieldBlob::ApplyCacheCommand(ECacheCommand eCommand,
                                        bool bDescendentNeedsPreprocessing) {
  m_bCheckForDescendentsThatNeedPreprocessingBeforeSerialization |= bDescendentNeedsPreprocessing;
  if (m_pParentBlob) {
    m_pParentBlob->ApplyCacheCommand(
        eCommand, m_eAutoPreprocessCode != ePlaintext || bDescendentNeedsPreprocessing);
    if (!m_pSerializedBlob) m_pParentBlob->RepointChildren();
  }
  BringToPlaintext();
  if (eCommand == eInvalidateCachedPreprocessedVersions) DropCachedPreprocessedVersion();
}

void CMultiFieldBlob::InvalidateForSettingChange(bool bTellAncestors) {
  if (m_pParentBlob) {
    m_pParentBlob->ApplyCacheCommand(eInvalidateCachedPreprocessedVersions, bTellAncestors);
    if (!m_pSerializedBlob) m_pParentBlob->RepointChildren();
  }
  BringToPlaintext();
  DropCachedPreprocessedVersion();
}

void CMultiFieldBlob::DropCachedPreprocessedVersion() {
  if (m_eCacheState == eCachePtrIsCopyOnWritePreprocessedVersion) {
    m_pCachedSerializedBlob = nullptr;
    m_uSizeOfMallocedCache = 0;
    m_uSizeOfUnusedOwnedCacheArea = 0;
  } else if (m_eCacheState == eCachedMallocedPreprocessedVersion) {
    m_uSizeOfUnusedOwnedCacheArea = m_uSizeOfMallocedCache;
  }
  m_eCacheState = eCacheEmpty;
}

void CMultiFieldBlob::EnsureCacheBuffer(uint64_t u64MinSize, const char* pszFailure) {
  if (m_uSizeOfMallocedCache >= u64MinSize) return;
  uint8_t* p = nullptr;
  if (u64MinSize <= sc_uMaxImageSize) {
    p = static_cast<uint8_t*>(
        std::realloc(m_uSizeOfMallocedCache ? m_pCachedSerializedBlob : nullptr, u64MinSize));
  }
  if (!p) throw std::runtime_error(pszFailure);
  m_pCachedSerializedBlob = p;
  m_uSizeOfUnusedOwnedCacheArea += static_cast<uint32_t>(u64MinSize) - m_uSizeOfMallocedCache;
  m_uSizeOfMallocedCache = static_cast<uint32_t>(u64MinSize);
}

// ---- Back to plaintext ------------------------------------------------------------------

void CMultiFieldBlob::BringToPlaintext() {
  CheckNotCollapsed("Blob is not a collapsed child and not preprocessed");
  if (IsPreprocessedState(m_eCacheState)) {
    ExchangeToPlaintext();
    RepointChildren();
    return;
  }
  if (m_eMemoryOwnership != eCopyImmediately) return;
  // A plain load that copies: the object owns its image from now on.
  uint32_t uSpare = SpareCapacity();
  OwnCopyOfImage(uSpare, m_uSizeOfGrowthSlack > uSpare ? m_uSizeOfGrowthSlack - uSpare : 0);
}

// The owned cache becomes the image; the lent image stays referred to as the cache.
void CMultiFieldBlob::OwnCacheKeepingLentImage(uint32_t uUnused) {
  std::swap(m_pSerializedBlob, m_pCachedSerializedBlob);
  m_eMemoryOwnership = eTakeOwnershipOfMallocedSerializedBlob;
  m_uExactSizeOfMallocedSerializedBlob = m_uSizeOfMallocedCache;
  m_uSizeOfUnusedOwnedBlobArea = uUnused;
  m_uSizeOfMallocedCache = m_uSizeOfUnusedOwnedCacheArea = 0;
}

// The lent bytes that the cache refers to become the image again; the owned image becomes the
// cache.
void CMultiFieldBlob::ReturnToLentCache() {
  std::swap(m_pSerializedBlob, m_pCachedSerializedBlob);
  m_uSizeOfMallocedCache = m_uExactSizeOfMallocedSerializedBlob;
  m_uSizeOfUnusedOwnedCacheArea = m_uSizeOfUnusedOwnedBlobArea;
  m_eMemoryOwnership = eCopyOnWrite;
  m_uExactSizeOfMallocedSerializedBlob = m_uSizeOfUnusedOwnedBlobArea = 0;
}

void CMultiFieldBlob::SwapImageAndCache() {
  std::swap(m_pSerializedBlob, m_pCachedSerializedBlob);
  std::swap(m_uExactSizeOfMallocedSerializedBlob, m_uSizeOfMallocedCache);
  std::swap(m_uSizeOfUnusedOwnedBlobArea, m_uSizeOfUnusedOwnedCacheArea);
}

// The plaintext is in the cache and the image holds the stored version: they change places
// according to the ownership.
void CMultiFieldBlob::ExchangeToPlaintext() {
  uint8_t* pPlain = m_pCachedSerializedBlob;
  uint32_t uPlainLength = LoadLittleEndian32(pPlain + 2) + LoadLittleEndian32(pPlain + 6);
  bool bIdenticalCopy = m_pSerializedBlob[1] == ePlaintext;
  switch (m_eMemoryOwnership) {
    case eCopyImmediately:  // only while loading: the caller's envelope is not kept
      m_pSerializedBlob = pPlain;
      m_eMemoryOwnership = eTakeOwnershipOfMallocedSerializedBlob;
      m_uExactSizeOfMallocedSerializedBlob = m_uSizeOfMallocedCache;
      m_uSizeOfUnusedOwnedBlobArea = m_uSizeOfMallocedCache - uPlainLength;
      m_pCachedSerializedBlob = nullptr;
      m_uSizeOfMallocedCache = m_uSizeOfUnusedOwnedCacheArea = 0;
      m_eCacheState = eCacheEmpty;
      return;
    case eCopyOnWrite:  // only while loading: the caller's envelope stays as the cache
      OwnCacheKeepingLentImage(m_uSizeOfMallocedCache - uPlainLength);
      m_eCacheState = eCachePtrIsCopyOnWritePreprocessedVersion;
      return;
    case eTakeOwnershipOfMallocedSerializedBlob:
      if (m_eCacheState == eCachePtrIsCopyOnWritePlaintextVersion) {
        ReturnToLentCache();  // the caller's plaintext; the owned envelope becomes the cache
      } else {
        SwapImageAndCache();
      }
      m_eCacheState = eCachedMallocedPreprocessedVersion;
      return;
    case eChildBlobReferingToMemoryInParent:
      if (!bIdenticalCopy) {
        uint32_t uEnvelope =
            m_pParentBlob->SwapFieldData(m_iterIndexEntryInParent, pPlain, uPlainLength);
        m_pSerializedBlob = m_pParentBlob->DataAt(m_iterIndexEntryInParent);
        m_uSizeOfUnusedOwnedCacheArea = m_uSizeOfMallocedCache - uEnvelope;
      }
      m_eCacheState = eCachedMallocedPreprocessedVersion;
      return;
    case eMemoryMappedFile:
      if (!bIdenticalCopy) {
        uint32_t uEnvelope = ImageLength();
        SwapWithMappedImage(pPlain, uPlainLength);
        m_uSizeOfUnusedOwnedCacheArea = m_uSizeOfMallocedCache - uEnvelope;
      }
      m_eCacheState = eCachedMallocedPreprocessedVersion;
      return;
  }
}

// ---- Opening envelopes ------------------------------------------------------------------

void CMultiFieldBlob::OpenEnvelopeIntoCache(const uint8_t* pFirstTimeKey) {
  const uint8_t* pEnvelope = m_pSerializedBlob;
  uint32_t uLength = ImageLength();
  if (pEnvelope[1] == eZLibCompressed) {
    OpenCompressedEnvelope(pEnvelope, uLength);
  } else {
    OpenEncryptedEnvelope(pEnvelope, uLength, pFirstTimeKey);
  }
  m_eCacheState = eCachedMallocedPlaintextVersion;
}

void CMultiFieldBlob::OpenCompressedEnvelope(const uint8_t* pEnvelope, uint32_t uLength) {
  if (LoadLittleEndian32(pEnvelope + 6) != 0) ThrowInvalid("Bad CompressedBlob header #1");
  uint32_t uSize = LoadLittleEndian32(pEnvelope + 2);
  if (uSize <= sc_uCompressedHeaderSize) ThrowInvalid("Bad CompressedBlob header #2");
  uint32_t uPlain = LoadLittleEndian32(pEnvelope + 10), uSpare = LoadLittleEndian32(pEnvelope + 14);
  uint16_t u16Level = LoadLittleEndian16(pEnvelope + 18);
  if (uPlain < sc_uSizeOfBlobHeader || u16Level == 0 || u16Level > 9 ||
      uSpare > sc_uMaxSpareCapacityOfCompressedBlob) {
    ThrowInvalid("Bad CompressedBlob header #3");
  }
  uint32_t uStream = uSize - sc_uCompressedHeaderSize;
  if (uPlain > uint64_t(uStream) * sc_uMaxInflateRatio + 64) {
    throw CPreprocessingFailedException("ZLib decompression failed");
  }
  uint64_t u64Need = uint64_t(uPlain) + uSpare;
  if (m_eMemoryOwnership == eChildBlobReferingToMemoryInParent ||
      m_eMemoryOwnership == eMemoryMappedFile) {
    u64Need = std::max<uint64_t>(u64Need, uLength);
  }
  EnsureCacheBuffer(u64Need, sc_pszReallocFailed);
  uLongf uOut = uPlain;
  int nResult =
      uncompress(m_pCachedSerializedBlob, &uOut, pEnvelope + sc_uCompressedHeaderSize, uStream);
  if (nResult != Z_OK || uOut != uPlain) {
    throw CPreprocessingFailedException("ZLib decompression failed");
  }
  const uint8_t* p = m_pCachedSerializedBlob;
  if (p[0] != sc_u8CurrentBinaryFormatCode || p[1] != ePlaintext ||
      LoadLittleEndian32(p + 2) != uPlain || LoadLittleEndian32(p + 6) != uSpare) {
    ThrowInvalid("Corrupt decompressed BlobHeader");
  }
  std::memset(m_pCachedSerializedBlob + uPlain, 0, uSpare);
  m_uSizeOfUnusedOwnedCacheArea = m_uSizeOfMallocedCache - (uPlain + uSpare);
  m_eAutoPreprocessCode = eZLibCompressed;
  m_u16AutoZLibCompressionLevel = u16Level;
}

void CMultiFieldBlob::OpenEncryptedEnvelope(const uint8_t* pEnvelope, uint32_t uLength,
                                            const uint8_t* pFirstTimeKey) {
  const uint8_t* pKey = pFirstTimeKey;
  if (!pKey && m_eAutoPreprocessCode == eAES128) pKey = m_au8AESSessionKey;
  if (!pKey) {
    throw CRequiresDecryptionKeyException(std::string(sc_pszLoadPrefix) +
                                          "No decryption key supplied for encrypted blob");
  }
  if (LoadLittleEndian32(pEnvelope + 6) != 0) ThrowInvalid("Bad EncryptedBlob header");
  uint32_t uSize = LoadLittleEndian32(pEnvelope + 2);
  if (uSize <= sc_uEncryptedOverhead) ThrowInvalid("Bad AES128 encryption header");
  uint32_t uCipher = uSize - sc_uEncryptedOverhead;
  uint32_t uPlain = LoadLittleEndian32(pEnvelope + 10);
  if (uPlain < sc_uSizeOfBlobHeader || uPlain >= uCipher) ThrowInvalid("Bad encryption header");
  // The MAC first: nothing of an envelope that fails it is decrypted or looked at.
  uint8_t au8Mac[platform::sc_uHmacSha1Size];
  if (!platform::HmacSha1(pKey, sc_uAESKeySize, pEnvelope + 10, 20 + uCipher, au8Mac) ||
      !ConstantTimeEqual(au8Mac, pEnvelope + sc_uEncryptedCipherOffset + uCipher, sizeof(au8Mac))) {
    ThrowInvalid("decrypted blob failed MAC");
  }
  uint64_t u64Need = uCipher;
  if (m_eMemoryOwnership == eChildBlobReferingToMemoryInParent ||
      m_eMemoryOwnership == eMemoryMappedFile) {
    u64Need = std::max<uint64_t>(u64Need, uLength);
  }
  EnsureCacheBuffer(u64Need, sc_pszDecryptMallocFailed);
  size_t uOut = 0;
  const uint8_t* p = m_pCachedSerializedBlob;
  if (!platform::Aes128CbcDecrypt(pKey, pEnvelope + 14, pEnvelope + sc_uEncryptedCipherOffset,
                                  uCipher, m_pCachedSerializedBlob, &uOut) ||
      uOut != uPlain || p[0] != sc_u8CurrentBinaryFormatCode || p[1] != ePlaintext ||
      LoadLittleEndian32(p + 2) < sc_uSizeOfBlobHeader ||
      uint64_t(LoadLittleEndian32(p + 2)) + LoadLittleEndian32(p + 6) != uPlain) {
    ThrowInvalid("Corrupt decrypted BlobHeader");
  }
  m_uSizeOfUnusedOwnedCacheArea = m_uSizeOfMallocedCache - uPlain;
  if (pKey != m_au8AESSessionKey) std::memcpy(m_au8AESSessionKey, pKey, sc_uAESKeySize);
  std::memcpy(m_au8AESIV, pEnvelope + 14, sizeof(m_au8AESIV));
  m_eAutoPreprocessCode = eAES128;
  m_u16AutoZLibCompressionLevel = 0;
}

// ---- Producing the stored version ---------------------------------------------------------

void CMultiFieldBlob::BuildEnvelopeIntoCache() {
  const uint8_t* pImage = m_pSerializedBlob;
  uint32_t uSize = SizeOfSerialized(), uSpare = SpareCapacity();
  uint32_t uEnvelope = 0;
  if (m_eAutoPreprocessCode == eZLibCompressed) {
    uint64_t u64Need = std::max<uint64_t>(uint64_t(uSize) + uSize / 999 + 30 + uSpare,
                                          sc_uCompressedHeaderSize + compressBound(uSize) + uSpare);
    EnsureCacheBuffer(u64Need, sc_pszReallocFailed);
    uint8_t* p = m_pCachedSerializedBlob;
    uLongf uOut = m_uSizeOfMallocedCache - sc_uCompressedHeaderSize;
    bool bSmaller = false;
    if (uSpare <= sc_uMaxSpareCapacityOfCompressedBlob) {
      int nResult = compress2(p + sc_uCompressedHeaderSize, &uOut, pImage, uSize,
                              m_u16AutoZLibCompressionLevel);
      if (nResult != Z_OK && nResult != Z_BUF_ERROR) {
        throw CPreprocessingFailedException("ZLib compression failed");
      }
      bSmaller = nResult == Z_OK && sc_uCompressedHeaderSize + uOut < uSize;
    }
    if (bSmaller) {
      uEnvelope = static_cast<uint32_t>(sc_uCompressedHeaderSize + uOut);
      p[0] = sc_u8CurrentBinaryFormatCode;
      p[1] = eZLibCompressed;
      StoreLittleEndian32(p + 2, uEnvelope);
      StoreLittleEndian32(p + 6, 0);
      StoreLittleEndian32(p + 10, uSize);
      StoreLittleEndian32(p + 14, uSpare);
      StoreLittleEndian16(p + 18, m_u16AutoZLibCompressionLevel);
    } else {
      // Compression would not make it smaller, or its spare is too large for a compressed
      // header: the stored version is the plaintext itself.
      uEnvelope = uSize + uSpare;
      std::memcpy(p, pImage, uEnvelope);
    }
  } else {
    uint32_t uPlain = uSize + uSpare;
    uint64_t u64Cipher = platform::Aes128CbcCipherSize(uPlain);
    EnsureCacheBuffer(u64Cipher + sc_uEncryptedOverhead, sc_pszReallocFailed);
    uint32_t uCipher = static_cast<uint32_t>(u64Cipher);
    uint8_t* p = m_pCachedSerializedBlob;
    uEnvelope = uCipher + sc_uEncryptedOverhead;
    p[0] = sc_u8CurrentBinaryFormatCode;
    p[1] = eAES128;
    StoreLittleEndian32(p + 2, uEnvelope);
    StoreLittleEndian32(p + 6, 0);
    StoreLittleEndian32(p + 10, uPlain);
    std::memcpy(p + 14, m_au8AESIV, sizeof(m_au8AESIV));
    uint8_t* pMac = p + sc_uEncryptedCipherOffset + uCipher;
    if (!platform::Aes128CbcEncrypt(m_au8AESSessionKey, m_au8AESIV, pImage, uPlain,
                                    p + sc_uEncryptedCipherOffset) ||
        !platform::HmacSha1(m_au8AESSessionKey, sc_uAESKeySize, p + 10, 20 + uCipher, pMac)) {
      throw CPreprocessingFailedException("AES128 encryption failed");
    }
    // The envelope must open again to exactly this plaintext.
    std::vector<uint8_t> check(uCipher);
    size_t uOut = 0;
    uint8_t au8Mac[platform::sc_uHmacSha1Size];
    bool bRoundTrip =
        platform::Aes128CbcDecrypt(m_au8AESSessionKey, m_au8AESIV, p + sc_uEncryptedCipherOffset,
                                   uCipher, check.data(), &uOut) &&
        uOut == uPlain && std::memcmp(check.data(), pImage, uPlain) == 0 &&
        platform::HmacSha1(m_au8AESSessionKey, sc_uAESKeySize, p + 10, 20 + uCipher, au8Mac) &&
        std::memcmp(au8Mac, pMac, sizeof(au8Mac)) == 0;
    LARCH_POSTCONDITION("Encrypted envelope decrypts to the plaintext and its MAC verifies",
                        bRoundTrip);
  }
  m_uSizeOfUnusedOwnedCacheArea = m_uSizeOfMallocedCache - uEnvelope;
}

void CMultiFieldBlob::PreprocessBlob() {
  if (IsPreprocessedState(m_eCacheState)) return;
  if (m_bCheckForDescendentsThatNeedPreprocessingBeforeSerialization) {
    for (size_t i = 0; i < m_Index.size(); ++i) {
      if (m_Index[i].m_pChildBlob) m_Index[i].m_pChildBlob->PreprocessBlob();
    }
    m_bCheckForDescendentsThatNeedPreprocessingBeforeSerialization = false;
  }
  if (m_eAutoPreprocessCode == ePlaintext) return;
  if (m_eCacheState == eCacheEmpty) {
    BuildEnvelopeIntoCache();
    m_eCacheState = eCachedMallocedPreprocessedVersion;
  }
  uint8_t* pEnvelope = m_pCachedSerializedBlob;
  uint32_t uEnvelope = LoadLittleEndian32(pEnvelope + 2) + LoadLittleEndian32(pEnvelope + 6);
  bool bIdenticalCopy = pEnvelope[1] == ePlaintext;
  switch (m_eMemoryOwnership) {
    case eCopyOnWrite:
      // The owned envelope becomes the image; the cache points at the caller's plaintext.
      OwnCacheKeepingLentImage(m_uSizeOfUnusedOwnedCacheArea);
      m_eCacheState = eCachePtrIsCopyOnWritePlaintextVersion;
      break;
    case eTakeOwnershipOfMallocedSerializedBlob:
      if (m_eCacheState == eCachePtrIsCopyOnWritePreprocessedVersion) {
        ReturnToLentCache();  // the caller's envelope; the owned plaintext becomes the cache
      } else {
        SwapImageAndCache();
      }
      m_eCacheState = eCachedMallocedPlaintextVersion;
      break;
    case eChildBlobReferingToMemoryInParent:
      if (!bIdenticalCopy) {
        CMultiFieldBlob* pParent = m_pParentBlob;
        uint32_t uParentSpare = pParent->SpareCapacity();
        // The field holds the envelope from the moment the parent re-points its children.
        m_eCacheState = eCachedMallocedPlaintextVersion;
        uint32_t uPlain = 0;
        try {
          uPlain = pParent->SwapFieldData(m_iterIndexEntryInParent, pEnvelope, uEnvelope);
        } catch (...) {
          m_eCacheState = eCachedMallocedPreprocessedVersion;  // nothing was exchanged
          pParent->RepointChildren();
          throw;
        }
        m_uSizeOfUnusedOwnedCacheArea = m_uSizeOfMallocedCache - uPlain;
        m_pSerializedBlob = pParent->DataAt(m_iterIndexEntryInParent);
        if (uEnvelope < uPlain) pParent->TrimSpareCapacity(uParentSpare);
      }
      m_eCacheState = eCachedMallocedPlaintextVersion;
      break;
    case eMemoryMappedFile:
      if (!bIdenticalCopy) {
        uint32_t uPlain = ImageLength();
        SwapWithMappedImage(pEnvelope, uEnvelope);
        m_uSizeOfUnusedOwnedCacheArea = m_uSizeOfMallocedCache - uPlain;
      }
      m_eCacheState = eCachedMallocedPlaintextVersion;
      break;
    default:
      break;
  }
  CollapseChildren();
}

// ---- Settings and the stored image --------------------------------------------------------

void CMultiFieldBlob::SetAutoPreprocessAES128(const uint8_t* pAESSessionKey,
                                              const uint8_t* pAESIV) {
  CInvariantGuard guard(this);
  LARCH_REQUIRE("Non-null key and IV", pAESSessionKey && pAESIV, sc_BlobRefusal);
  if (m_eAutoPreprocessCode == eAES128 &&
      std::memcmp(m_au8AESSessionKey, pAESSessionKey, sc_uAESKeySize) == 0 &&
      std::memcmp(m_au8AESIV, pAESIV, sizeof(m_au8AESIV)) == 0) {
    return;
  }
  InvalidateForSettingChange(true);
  std::memcpy(m_au8AESSessionKey, pAESSessionKey, sc_uAESKeySize);
  std::memcpy(m_au8AESIV, pAESIV, sizeof(m_au8AESIV));
  m_eAutoPreprocessCode = eAES128;
  m_u16AutoZLibCompressionLevel = 0;
}

void CMultiFieldBlob::SetAutoPreprocessZLib(uint16_t u16ZLibCompressionLevel) {
  CInvariantGuard guard(this);
  LARCH_REQUIRE("ZLib compression level 1 to 9",
                u16ZLibCompressionLevel >= 1 && u16ZLibCompressionLevel <= 9, sc_BlobRefusal);
  if (m_eAutoPreprocessCode == eZLibCompressed &&
      m_u16AutoZLibCompressionLevel == u16ZLibCompressionLevel) {
    return;
  }
  InvalidateForSettingChange(true);
  std::memset(m_au8AESSessionKey, 0, sizeof(m_au8AESSessionKey));
  std::memset(m_au8AESIV, 0, sizeof(m_au8AESIV));
  m_eAutoPreprocessCode = eZLibCompressed;
  m_u16AutoZLibCompressionLevel = u16ZLibCompressionLevel;
}

void CMultiFieldBlob::SetAutoPreprocessPlaintext() {
  CInvariantGuard guard(this);
  if (m_eAutoPreprocessCode == ePlaintext) return;
  InvalidateForSettingChange(m_bCheckForDescendentsThatNeedPreprocessingBeforeSerialization);
  std::memset(m_au8AESSessionKey, 0, sizeof(m_au8AESSessionKey));
  std::memset(m_au8AESIV, 0, sizeof(m_au8AESIV));
  m_eAutoPreprocessCode = ePlaintext;
  m_u16AutoZLibCompressionLevel = 0;
}

const uint8_t* CMultiFieldBlob::GetSerializedBlob(
    SizeOfFieldData_t* pReturnSizeOfSerializedVersion) const {
  CMultiFieldBlob& self = const_cast<CMultiFieldBlob&>(*this);
  CInvariantGuard guard(this);
  if (m_pParentBlob) {
    // Revives this blob without touching its own cached versions.
    m_pParentBlob->ApplyCacheCommand(eKeepCachedPreprocessedVersions, false);
    if (!m_pSerializedBlob) m_pParentBlob->RepointChildren();
  }
  self.PreprocessBlob();
  if (pReturnSizeOfSerializedVersion) *pReturnSizeOfSerializedVersion = ImageLength();
  return m_pSerializedBlob;
}

}  // namespace common
