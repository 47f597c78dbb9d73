// Blobs that live in a memory-mapped file: opening (creating a missing file read-write),
// the temporary growth area after the image, flushing, and closing with the growth area cut
// off. A failed open releases everything, deletes a file it created, and gives a read-write
// file back the length it had before.
#include <algorithm>
#include <cstring>

#include "blob/MultiFieldBlob.h"
#include "blob/MultiFieldBlobInternal.h"
#include "platform/File.h"
#include "platform/FileMapping.h"

namespace common {

using namespace blob_internal;

namespace {

// Files longer than this cannot be positioned for the cut on close.
constexpr uint64_t sc_uMaxFileLength = 2147483647u;

[[noreturn]] void ThrowMapped(const char* pszText) {
  throw CMultiFieldBlob::CInvalidMemoryMappedFileException(
      std::string("CMultiFieldBlob(mem-mapped file): ") + pszText);
}

}  // namespace

void CMultiFieldBlob::OpenMappedFile(const std::string& sFileName,
                                     EMemoryMappedFileAccessMode eAccessMode,
                                     uint32_t uMinSizeOfTemporaryGrowthArea,
                                     const uint8_t* pFirstTimeKey) {
  LARCH_REQUIRE("eReadOnly or eReadWrite", eAccessMode == eReadOnly || eAccessMode == eReadWrite,
                sc_BlobRefusal);
  LARCH_REQUIRE("Cannot request uMinSizeOfTemporaryGrowthArea in ReadOnly mode",
                eAccessMode == eReadWrite || uMinSizeOfTemporaryGrowthArea == 0, sc_BlobRefusal);
  m_eMemoryOwnership = eMemoryMappedFile;
  // Until the file's length is known nothing may be cut on failure: a file whose header is
  // refused keeps every byte.
  m_MemoryMappedFileAccessMode = eReadOnly;
  m_pMappedFile.reset(new platform::CFileMapping);
  m_sMappedFileName = sFileName;
  bool bCreated = false;
  try {
    platform::CFileMapping& file = *m_pMappedFile;
    bool bMissing = false;
    uint64_t u64MappingLength = 0, u64Growth = 0, u64Image = 0;
    if (!file.OpenExisting(sFileName, eAccessMode == eReadWrite, &bMissing)) {
      if (!bMissing) ThrowMapped("Failed to open file");
      if (eAccessMode == eReadOnly) ThrowMapped("File does not exist and eReadOnly specified");
      if (!file.CreateNew(sFileName)) {
        ThrowMapped("File does not exist and failed to create new file");
      }
      bCreated = true;
      m_MemoryMappedFileAccessMode = eReadWrite;
      u64Growth = uMinSizeOfTemporaryGrowthArea;
      u64MappingLength = sc_uSizeOfBlobHeader + u64Growth;
      if (u64MappingLength > sc_uMaxFileLength) ThrowMapped("Failed to open file");
    } else {
      uint64_t u64Length = 0;
      if (!file.GetFileSize(u64Length) || u64Length < sc_uSizeOfBlobHeader ||
          u64Length > sc_uMaxFileLength) {
        ThrowMapped("Existing file too short or long to be a blob");
      }
      m_uSizeOfExistingFile = static_cast<uint32_t>(u64Length);
      if (eAccessMode == eReadWrite) m_MemoryMappedFileAccessMode = eReadWriteWhileLoading;
      uint8_t au8Header[sc_uSizeOfBlobHeader];
      if (!file.ReadStart(au8Header, sizeof(au8Header))) ThrowMapped("Failed to read blob header");
      if (au8Header[0] != sc_u8CurrentBinaryFormatCode) {
        throw CInvalidMemoryMappedFileException(std::string(sc_pszLoadPrefix) +
                                                "Invalid BinaryFormatCode");
      }
      u64Image = uint64_t(LoadLittleEndian32(au8Header + 2)) + LoadLittleEndian32(au8Header + 6);
      if (u64Image > u64Length) ThrowMapped("Bad blob header");
      u64Growth = u64Length - u64Image;
      u64MappingLength = u64Length;
      if (eAccessMode == eReadWrite) {
        if (uMinSizeOfTemporaryGrowthArea > u64Growth) {
          u64MappingLength += uMinSizeOfTemporaryGrowthArea - u64Growth;
          u64Growth = uMinSizeOfTemporaryGrowthArea;
        }
      }
      if (u64MappingLength > sc_uMaxFileLength) ThrowMapped("Failed to open file");
    }
    if (!file.CreateMapping(static_cast<uint32_t>(u64MappingLength))) {
      ThrowMapped("Failed to open file");
    }
    if (!file.MapView()) ThrowMapped("Failed to MapViewOfFile");
    m_pSerializedBlob = file.Data();
    m_uExactSizeOfMallocedSerializedBlob = static_cast<uint32_t>(u64MappingLength);
    m_uSizeOfUnusedOwnedBlobArea = static_cast<uint32_t>(u64Growth);
    if (bCreated) {
      std::memcpy(m_pSerializedBlob, &sc_EmptyBlobHeader, sc_uSizeOfBlobHeader);
    } else {
      LoadImage(m_pSerializedBlob, static_cast<uint32_t>(u64Image), pFirstTimeKey);
      if (m_MemoryMappedFileAccessMode == eReadWriteWhileLoading) {
        m_MemoryMappedFileAccessMode = eReadWrite;
      }
    }
  } catch (...) {
    CloseMappedFile(bCreated);
    ReleaseResources();
    throw;
  }
}

void CMultiFieldBlob::CloseMappedFile(bool bDeleteFile) {
  if (!m_pMappedFile) return;
  platform::CFileMapping& file = *m_pMappedFile;
  file.Unmap();
  m_pSerializedBlob = nullptr;
  if (file.IsOpen()) {
    uint64_t u64Cut = 0;
    bool bCut = true;
    if (m_MemoryMappedFileAccessMode == eReadWrite) {
      u64Cut = uint64_t(m_uExactSizeOfMallocedSerializedBlob) - m_uSizeOfUnusedOwnedBlobArea;
    } else if (m_MemoryMappedFileAccessMode == eReadWriteWhileLoading) {
      u64Cut = m_uSizeOfExistingFile;
    } else {
      bCut = false;
    }
    uint64_t u64Current = 0;
    if (bCut && !bDeleteFile && file.GetFileSize(u64Current) && u64Cut <= u64Current &&
        u64Cut <= sc_uMaxFileLength) {
      file.SetFileLength(u64Cut);
    }
    file.Close();
  }
  if (bDeleteFile) platform::RemoveFile(m_sMappedFileName);
  m_pMappedFile.reset();
}

// The mapped image and the buffer's version change places byte for byte; the growth area
// pays for a longer image and takes back what a shorter one frees.
void CMultiFieldBlob::SwapWithMappedImage(uint8_t* pBuffer, uint32_t uNewLength) {
  uint32_t uOld = ImageLength();
  if (uNewLength > uOld && uNewLength - uOld > m_uSizeOfUnusedOwnedBlobArea) {
    throw COverflowMemoryMappedFileException(
        "CMultiFieldBlob: Attempt to overflow memory-mapped file");
  }
  uint8_t* p = m_pSerializedBlob;
  uint32_t uCommon = std::min(uOld, uNewLength);
  std::swap_ranges(p, p + uCommon, pBuffer);
  if (uNewLength > uOld) {
    std::memcpy(p + uOld, pBuffer + uOld, uNewLength - uOld);
    m_uSizeOfUnusedOwnedBlobArea -= uNewLength - uOld;
  } else {
    std::memcpy(pBuffer + uNewLength, p + uNewLength, uOld - uNewLength);
    std::memset(p + uNewLength, 0, uOld - uNewLength);
    m_uSizeOfUnusedOwnedBlobArea += uOld - uNewLength;
  }
}

void CMultiFieldBlob::Flush() {
  CInvariantGuard guard(this);
  if (m_eMemoryOwnership != eMemoryMappedFile || m_MemoryMappedFileAccessMode == eReadOnly) return;
  if (!m_pMappedFile->Flush(ImageLength())) {
    throw CFlushMemoryMappedFileFailedException(
        "CMultiFieldBlob: Failed to flush changes to memory mapped file");
  }
}

// Changes of a read-only file are refused: its pages are the file's.
void CMultiFieldBlob::BeginChange() {
  CMultiFieldBlob* pRoot = Root();
  LARCH_REQUIRE("Blob is not a read-only memory-mapped file",
                !(pRoot->m_eMemoryOwnership == eMemoryMappedFile &&
                  pRoot->m_MemoryMappedFileAccessMode == eReadOnly),
                sc_BlobRefusal);
  ApplyCacheCommand(eInvalidateCachedPreprocessedVersions, false);
  ++pRoot->m_u64ChangeGeneration;
}

}  // namespace common
