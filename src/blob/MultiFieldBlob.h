// The multi-field blob: a self-contained byte image holding a set of named fields, edited in
// place. Field names and data are arbitrary byte strings; the data of a field may itself be a
// blob image, and a child object attached to such a field edits its bytes directly inside the
// parent's image, so that every ancestor stays consistent.
//
// Image layout (all integers little-endian, unaligned, packed):
//   TBlobHeader (10 bytes), field records (TFieldHeader, name, data) up to
//   m_uSizeOfSerializedBlob, then m_uSizeOfSpareCapacity reserved bytes.
// A blob may store itself zlib-compressed or AES-128 encrypted with an HMAC-SHA1 (automatic
// preprocessing); all reading and editing happens on the plaintext, the envelope is produced
// when the image is handed out for storage. A root blob can live in a memory-mapped file.
//
// Ownership: the object owns its heap buffers, its cache buffer and its file mapping, and
// releases them on every path. A parent must outlive its attached children. One thread at a
// time may use an object and its whole hierarchy.
//
// Failures throw the nested exception classes below with the system's texts; a refused load
// leaves no object. API misuse (null pointers with lengths, empty names, invalid positions,
// operations on a detached or collapsed image) is a precondition failure, after which the call
// throws std::invalid_argument instead of touching memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {
class CFileMapping;
}

namespace common {

class CMultiFieldBlob {
 public:
  // ---- Format -----------------------------------------------------------------------------

  typedef uint32_t SizeOfFieldData_t;

  static const uint8_t sc_u8CurrentBinaryFormatCode = 1;
  static const uint32_t sc_uSizeOfBlobHeader = 10;
  static const uint32_t sc_uSizeOfFieldHeader = 6;
  static const uint32_t sc_uAESKeySize = 16;
  static const uint32_t sc_uMACDigestSize = 20;  // MAC_t::DIGESTSIZE, HMAC-SHA1

  enum EPreprocessedFormatCode : uint8_t {
    ePlaintext = 0x50,       // "P"
    eZLibCompressed = 0x43,  // "C"
    eAES128 = 0x45           // "E"
  };

#pragma pack(push, 1)
  struct TBlobHeader {
    uint8_t m_u8BinaryFormatCode;
    uint8_t m_u8PreprocessedFormatCode;
    uint32_t m_uSizeOfSerializedBlob;
    uint32_t m_uSizeOfSpareCapacity;
  };
  struct TFieldHeader {
    uint16_t m_uSizeOfFieldName;
    SizeOfFieldData_t m_uSizeOfFieldData;
  };
#pragma pack(pop)

  // The image of a blob without fields: 01 50 0A 00 00 00 00 00 00 00. Never written.
  static const TBlobHeader sc_EmptyBlobHeader;

  // ---- Object model -----------------------------------------------------------------------

  enum EMemoryOwnership {
    eCopyImmediately = 1,
    eCopyOnWrite = 2,
    eTakeOwnershipOfMallocedSerializedBlob = 3,
    eChildBlobReferingToMemoryInParent = 4,
    eMemoryMappedFile = 5
  };
  enum ECacheState {
    eCacheEmpty = 0,
    eCachedMallocedPreprocessedVersion = 1,
    eCachedMallocedPlaintextVersion = 2,
    eCachePtrIsCopyOnWritePreprocessedVersion = 3,
    eCachePtrIsCopyOnWritePlaintextVersion = 4
  };
  enum ECacheCommand {
    eInvalidateCachedPreprocessedVersions = 0,
    eKeepCachedPreprocessedVersions = 1
  };
  enum EMemoryMappedFileAccessMode {
    eReadOnly = 0,
    eReadWrite = 1,
    eNotMemoryMapped = 2,
    eReadWriteWhileLoading = 3
  };

  // How deep children may nest below a root (a root's children are at level 1). Attaching a
  // child below this level, or adding a child whose attached children would end up below it,
  // throws CNestingTooDeepException "CMultiFieldBlob: nesting deeper than 64 levels". Every
  // reader of nested blobs (registry, configuration records, the blob tool) stays within it, so
  // that no image can make a reader recurse or check without bound.
  static const uint32_t sc_uMaxBlobNestingDepth = 64;

  // An index entry: where the field's record starts in the image, and the child object
  // attached to the field (or null).
  struct TIndexEntry {
    uint32_t m_uFieldHeaderOffset;
    CMultiFieldBlob* m_pChildBlob;
  };

  // ---- Exceptions -------------------------------------------------------------------------

  class CBlobException : public std::runtime_error {
   public:
    explicit CBlobException(const std::string& sMessage) : std::runtime_error(sMessage) {}
  };
  class CFieldDoesNotExistException : public CBlobException {
    using CBlobException::CBlobException;
  };
  class CFieldAlreadyExistsException : public CBlobException {
    using CBlobException::CBlobException;
  };
  class CInvalidSerializedBlobException : public CBlobException {
    using CBlobException::CBlobException;
  };
  class CInvalidMemoryMappedFileException : public CInvalidSerializedBlobException {
    using CInvalidSerializedBlobException::CInvalidSerializedBlobException;
  };
  class CRequiresDecryptionKeyException : public CBlobException {
    using CBlobException::CBlobException;
  };
  class CPreprocessingFailedException : public CBlobException {
    using CBlobException::CBlobException;
  };
  class COverflowMemoryMappedFileException : public CBlobException {
    using CBlobException::CBlobException;
  };
  class CFlushMemoryMappedFileFailedException : public CBlobException {
    using CBlobException::CBlobException;
  };
  class CAttemptToUpdateFieldWithRegisteredChildException : public CBlobException {
    using CBlobException::CBlobException;
  };
  class CStringFieldNotTerminatedException : public CBlobException {
    using CBlobException::CBlobException;
  };
  class CFieldNameNotNumeriCBlobException : public CBlobException {
    using CBlobException::CBlobException;
  };
  class CNestingTooDeepException : public CBlobException {
    using CBlobException::CBlobException;
  };

  // ---- Argument helpers -------------------------------------------------------------------

  // A field name as raw bytes (1..65535): from a string (its characters, no terminator), from a
  // u32 field id (its 4 bytes, least significant first), or from a pointer and a length. It
  // refers to the caller's bytes, so it lives only as long as the argument it was made from.
  class CFieldName {
   public:
    CFieldName(const std::string& sName)  // NOLINT: implicit by design
        : m_pName(reinterpret_cast<const uint8_t*>(sName.data())), m_uSize(sName.size()) {}
    CFieldName(const char* pszName);  // NOLINT
    CFieldName(uint32_t uFieldId);    // NOLINT
    CFieldName(const void* pName, size_t uSizeOfName)
        : m_pName(static_cast<const uint8_t*>(pName)), m_uSize(uSizeOfName) {}
    CFieldName(const CFieldName& other);
    CFieldName& operator=(const CFieldName&) = delete;

    const uint8_t* Data() const { return m_pName; }
    size_t Size() const { return m_uSize; }

   private:
    const uint8_t* m_pName;
    size_t m_uSize;
    uint8_t m_au8FieldId[4] = {0, 0, 0, 0};
  };

  // One field for AddFields. Names given as strings are stored without a terminator, data
  // given as a string with its terminating NUL; byte forms are stored as they are.
  struct TFieldDescription {
    TFieldDescription(const void* pName, size_t uSizeOfName, const void* pData, size_t uSizeOfData);
    TFieldDescription(const std::string& sName, const std::string& sDataText);
    TFieldDescription(uint32_t uFieldId, const void* pData, size_t uSizeOfData);

    std::string m_sName;
    std::string m_sData;
  };

  // ---- Iteration --------------------------------------------------------------------------

  // A position in a blob's index. Positions of the index are in name order (see
  // CompareFieldNamesForSearch). Dereferencing operations bring the blob to plaintext first.
  class index_iterator_impl {
   public:
    index_iterator_impl() = default;
    index_iterator_impl(CMultiFieldBlob* pBlob, size_t iterIndex)
        : m_pBlob(pBlob), m_iterIndex(iterIndex) {}
    virtual ~index_iterator_impl() = default;
    index_iterator_impl(const index_iterator_impl&) = default;
    index_iterator_impl& operator=(const index_iterator_impl&) = default;

    // A blob is set and the position is an entry or the end.
    virtual bool IsValid() const;

    CMultiFieldBlob* Blob() const { return m_pBlob; }
    size_t Position() const { return m_iterIndex; }

   protected:
    CMultiFieldBlob* m_pBlob = nullptr;
    size_t m_iterIndex = 0;
  };

  class index_iterator : public index_iterator_impl {
   public:
    using index_iterator_impl::index_iterator_impl;

    index_iterator& operator++();
    // Both iterators must refer to the same blob.
    bool operator==(const index_iterator& other) const;
    bool operator!=(const index_iterator& other) const { return !(*this == other); }
    // For range-for: the iterator is its own element.
    const index_iterator& operator*() const { return *this; }

    std::string GetFieldName() const;
    // The 4-byte name as a u32; other lengths throw "GetNumericFieldName(): not numeric".
    uint32_t GetNumericFieldName() const;
    const uint8_t* GetFieldData(SizeOfFieldData_t* pSizeOfFieldData) const;
    SizeOfFieldData_t GetSizeOfFieldData() const;
    std::string GetFieldDataAsCString() const;
    CMultiFieldBlob* FindRegisteredChildBlob() const;

   private:
    // The blob in plaintext, after checking that the position is an entry.
    CMultiFieldBlob& Entry() const;
  };

  // ---- Construction -----------------------------------------------------------------------

  // An empty blob, eCopyOnWrite over sc_EmptyBlobHeader.
  explicit CMultiFieldBlob(size_t uIndexCapacity = 0, uint32_t uSizeOfGrowthSlack = 0);

  // Loads an image of exactly uExpectedSizeOfSerializedImage bytes. eCopyOnWrite lends the
  // image (the caller keeps it alive and unchanged); eTakeOwnershipOfMallocedSerializedBlob
  // hands over a malloc'ed block of exactly that size (freed even when the load fails);
  // eCopyImmediately copies it. A compressed or encrypted image is opened at once;
  // pFirstTimeDecryptionKey (16 bytes) is the key of an encrypted image.
  CMultiFieldBlob(EMemoryOwnership eMemoryOwnership, const void* pSerialized,
                  uint32_t uExpectedSizeOfSerializedImage, size_t uIndexCapacity = 0,
                  uint32_t uSizeOfGrowthSlack = 0,
                  const uint8_t* pFirstTimeDecryptionKey = nullptr);

  // A root blob living in a memory-mapped file, opened without sharing. eReadWrite creates a
  // missing file and keeps a zero-filled temporary growth area of at least
  // uMinSizeOfTemporaryGrowthArea bytes after the image while open; it is cut off on close.
  CMultiFieldBlob(const std::string& sFileName, EMemoryMappedFileAccessMode eAccessMode,
                  uint32_t uMinSizeOfTemporaryGrowthArea, size_t uIndexCapacity = 0,
                  const uint8_t* pFirstTimeDecryptionKey = nullptr);

  // A child attached to the parent's field of that name, whose data must be a blob image.
  // Throws CFieldDoesNotExistException when the field is absent. (A name given as a C string
  // goes through the std::string form, so that CMultiFieldBlob(0, 0) stays the default form;
  // with more arguments pass std::string(pszName), or the literal binds to the byte form.)
  CMultiFieldBlob(CMultiFieldBlob* pParent, const void* pFieldName, size_t uSizeOfFieldName,
                  size_t uIndexCapacity = 0, const uint8_t* pFirstTimeDecryptionKey = nullptr);
  CMultiFieldBlob(CMultiFieldBlob* pParent, const std::string& sFieldName,
                  size_t uIndexCapacity = 0, const uint8_t* pFirstTimeDecryptionKey = nullptr);
  CMultiFieldBlob(CMultiFieldBlob* pParent, const index_iterator& iterIndex,
                  size_t uIndexCapacity = 0, const uint8_t* pFirstTimeDecryptionKey = nullptr);

  // A default construction followed by AddFields.
  explicit CMultiFieldBlob(const std::vector<TFieldDescription>& fields, size_t uIndexCapacity = 0,
                           uint32_t uSizeOfGrowthSlack = 0);

  // A root copy with no children, no cache and plaintext preprocessing; an eCopyOnWrite
  // source is shared.
  CMultiFieldBlob(const CMultiFieldBlob& other);
  // Copy, then exchange of all state; the target must have no attached children. An attached
  // child that is assigned to leaves its parent.
  CMultiFieldBlob& operator=(const CMultiFieldBlob& other);

  // No child may still be attached. A memory-mapped blob leaves its envelope in the file (when
  // automatic preprocessing is on) and its growth area is cut off.
  virtual ~CMultiFieldBlob();

  // ---- Field operations -------------------------------------------------------------------

  // Compares names as the index orders them: shorter names first, then bytes as unsigned.
  static int CompareFieldNamesForSearch(uint16_t uSizeOfFieldNameLhs, const void* pFieldNameLhs,
                                        uint16_t uSizeOfFieldNameRhs, const void* pFieldNameRhs);

  // The field's data (null when absent) and its length in *pSizeOfFieldData (may be null).
  const uint8_t* FindFieldData(const CFieldName& name,
                               SizeOfFieldData_t* pSizeOfFieldData = nullptr) const;
  bool FieldExists(const CFieldName& name) const;
  // The field's position, or end() when absent.
  index_iterator FindField(const CFieldName& name) const;

  // Adds a field; "CMultiFieldBlob::AddField(): Field already exists" when present. Data given
  // as a string is stored with its NUL; a u32 as its 4 bytes. Returns the new position.
  index_iterator AddField(const CFieldName& name, const void* pData, size_t uSizeOfData);
  index_iterator AddField(const CFieldName& name, const std::string& sData);
  index_iterator AddField(const CFieldName& name, const char* pszData);
  index_iterator AddField(const CFieldName& name, uint32_t uData);

  // Stores the child's image as the field's data and attaches the child, which must be a root
  // outside this blob's hierarchy. Without bReplaceExisting an existing field fails with
  // "CMultiFieldBlob::AddField(pNewChild): duplicate field name".
  index_iterator AddField(const CFieldName& name, CMultiFieldBlob* pNewChild,
                          bool bReplaceExisting = false);

  // Adds all fields or none: "CMultiFieldBlob::AddFields(): duplicate field name" when a name
  // is present or occurs twice in the list.
  void AddFields(const std::vector<TFieldDescription>& fields);

  // Adds a field holding the program's own "BINDATA" resource of that id. Fails with
  // "AddFieldFromWin32BinaryResource: Missing resource <id>", "...: Failed to load resource
  // <id>" or "...: Failed to lock resource <id>". Programs without resources (POSIX) have none.
  index_iterator AddFieldFromWin32BinaryResource(uint16_t u16ResourceId, const CFieldName& name);

  // Updates the field when present, else adds it.
  index_iterator SetField(const CFieldName& name, const void* pData, size_t uSizeOfData);
  index_iterator SetField(const CFieldName& name, const std::string& sData);
  index_iterator SetField(const CFieldName& name, uint32_t uData);

  // Replaces the field's data in place; a field with an attached child throws
  // CAttemptToUpdateFieldWithRegisteredChildException.
  void UpdateField(const index_iterator& iterIndex, const void* pData, size_t uSizeOfData);
  void UpdateField(const index_iterator& iterIndex, const std::string& sData);

  // Removes the field if present (no error when absent); an attached child is detached first.
  void RemoveField(const CFieldName& name);
  // Removes the field and returns the position of the following entry.
  index_iterator RemoveField(const index_iterator& iterIndex);
  // Detaches the children, zeroes the records and returns them to the spare capacity.
  void RemoveAllFields();

  // Absent field: "". Present: its data without the final NUL, or
  // CStringFieldNotTerminatedException when it is empty or does not end with NUL.
  std::string GetFieldDataAsCString(const CFieldName& name) const;
  // The 4-byte data of a u32 field; false when absent or not 4 bytes long.
  bool GetFieldDataAsU32(const CFieldName& name, uint32_t& uValue) const;

  index_iterator begin() const;
  index_iterator end() const;
  size_t GetNumFields() const;

  // Empties this child (and its attached descendants) and detaches it from its parent; the
  // field keeps its data. True when it had a parent.
  bool DetachFromParent();

  // ---- Preprocessing (compression, encryption) ----------------------------------------------

  // Automatic encryption with a 16-byte session key and initialisation vector.
  void SetAutoPreprocessAES128(const uint8_t* pAESSessionKey, const uint8_t* pAESIV);
  // Automatic zlib compression at a level of 1 to 9.
  void SetAutoPreprocessZLib(uint16_t u16ZLibCompressionLevel);
  void SetAutoPreprocessPlaintext();
  EPreprocessedFormatCode GetAutoPreprocessCode() const {
    return m_eAutoPreprocessCode;
  }
  uint16_t GetAutoZLibCompressionLevel() const {
    return m_u16AutoZLibCompressionLevel;
  }

  // The image as it is to be stored (compressed or encrypted when automatic preprocessing is
  // on) and its length. Valid until the next operation on the blob or its hierarchy.
  virtual const uint8_t* GetSerializedBlob(SizeOfFieldData_t* pReturnSizeOfSerializedVersion) const;

  // ---- Memory-mapped files ----------------------------------------------------------------

  // Writes the mapped image to the file; nothing for other blobs.
  // CFlushMemoryMappedFileFailedException on failure.
  void Flush();

  // ---- Checks and observers -----------------------------------------------------------------

  // Checks every object of the hierarchy, each after its parent. Run on entry to and exit from
  // every public operation. While every object of the hierarchy is plaintext without a cached
  // version, a hierarchy that passed the full check since its last change is not walked again:
  // only the chain from the root to this object is checked (an attached child checks its chain
  // when it attaches). A change is checked in full at the end of the call that made it.
  virtual void CheckClassInvariant() const;

  // How thoroughly the invariant check looks: the full check walks every record of every
  // blob in the hierarchy (the default); the shallow one checks sizes, ownership and links
  // only, for benchmarks of large blobs. Process-wide.
  static void SetFullInvariantCheck(bool bFull);

  CMultiFieldBlob* GetParentBlob() const {
    return m_pParentBlob;
  }
  EMemoryOwnership GetMemoryOwnership() const {
    return m_eMemoryOwnership;
  }
  ECacheState GetCacheState() const {
    return m_eCacheState;
  }
  uint32_t GetNumRegisteredChildren() const {
    return m_uNumRegisteredChildren;
  }
  uint32_t GetSizeOfGrowthSlack() const {
    return m_uSizeOfGrowthSlack;
  }
  uint32_t GetExactSizeOfMallocedSerializedBlob() const {
    return m_uExactSizeOfMallocedSerializedBlob;
  }
  uint32_t GetSizeOfUnusedOwnedBlobArea() const {
    return m_uSizeOfUnusedOwnedBlobArea;
  }
  bool IsCollapsed() const {
    return m_pSerializedBlob == nullptr;
  }
  // The current image as it lies, without preprocessing or reviving: null when collapsed.
  const uint8_t* PeekImage() const {
    return m_pSerializedBlob;
  }
  // Sizes from the plaintext header (the blob is brought to plaintext first).
  uint32_t GetSizeOfSerializedBlob() const;
  uint32_t GetSizeOfSpareCapacity() const;

 private:
  friend class index_iterator;

  // Construction helpers.
  void InitEmpty(size_t uIndexCapacity, uint32_t uSizeOfGrowthSlack);
  void LoadImage(const uint8_t* pImage, uint32_t uExpectedSize, const uint8_t* pFirstTimeKey);
  void AttachToParentField(CMultiFieldBlob* pParent, const uint8_t* pName, size_t uSizeOfName,
                           bool bByPosition, size_t iterIndex, size_t uIndexCapacity,
                           const uint8_t* pFirstTimeKey);
  void OpenMappedFile(const std::string& sFileName, EMemoryMappedFileAccessMode eAccessMode,
                      uint32_t uMinSizeOfTemporaryGrowthArea, const uint8_t* pFirstTimeKey);
  void CloseMappedFile(bool bDeleteFile);
  void ReleaseResources();
  void SwapState(CMultiFieldBlob& other);
  void RepointBackLinks();

  // Image access.
  uint32_t SizeOfSerialized() const;
  uint32_t SpareCapacity() const;
  uint32_t ImageLength() const {
    return SizeOfSerialized() + SpareCapacity();
  }
  void SetSizes(uint32_t uSizeOfSerialized, uint32_t uSpare);
  uint16_t NameSizeAt(size_t iterIndex) const;
  const uint8_t* NameAt(size_t iterIndex) const;
  uint32_t DataSizeAt(size_t iterIndex) const;
  uint8_t* DataAt(size_t iterIndex) const;
  uint32_t RecordSizeAt(size_t iterIndex) const;
  bool Search(const uint8_t* pName, size_t uSizeOfName, size_t& iterIndex) const;

  // Editing.
  void RecursivelyEnsureSizeOfSpareCapacity(uint32_t uMinSpare, uint32_t uExtra);
  void GrowField(size_t iterIndex, uint32_t uGrowBy, uint32_t uExtra);
  void DisplaceField(size_t iterIndex, int64_t nDisplacement, bool bRemovingRecord);
  size_t AddFieldImpl(const uint8_t* pName, size_t uSizeOfName, const void* pData,
                      size_t uSizeOfData, uint32_t uExtra);
  void UpdateFieldImpl(size_t iterIndex, const void* pData, size_t uSizeOfData, uint32_t uExtra);
  size_t RemoveFieldImpl(size_t iterIndex);
  void DetachChildrenRecursively();
  void RepointChildIndexPositions(size_t uFrom);
  void RepointChildren();
  void CollapseChildren();
  void TrimSpareCapacity(uint32_t uWantedSpare);
  uint32_t SwapFieldData(size_t iterIndex, uint8_t* pBuffer, uint32_t uNewLength);
  void SwapWithMappedImage(uint8_t* pBuffer, uint32_t uNewLength);
  CMultiFieldBlob* Root();
  void MakeWritable();
  void OwnCopyOfImage(uint32_t uSpare, uint32_t uUnused);

  // Preprocessing.
  void ApplyCacheCommand(ECacheCommand eCommand, bool bDescendentNeedsPreprocessing);
  void InvalidateForSettingChange(bool bTellAncestors);
  void BringToPlaintext();
  void OpenEnvelopeIntoCache(const uint8_t* pFirstTimeKey);
  void OpenCompressedEnvelope(const uint8_t* pEnvelope, uint32_t uLength);
  void OpenEncryptedEnvelope(const uint8_t* pEnvelope, uint32_t uLength, const uint8_t* pKey);
  void ExchangeToPlaintext();
  void OwnCacheKeepingLentImage(uint32_t uUnused);
  void ReturnToLentCache();
  void SwapImageAndCache();
  void PreprocessBlob();
  void BuildEnvelopeIntoCache();
  void EnsureCacheBuffer(uint64_t u64MinSize, const char* pszFailure);
  void DropCachedPreprocessedVersion();
  void CheckNotCollapsed(const char* pszWhat) const;
  void BeginChange();
  // Nesting: the level of this object (a root is at 0) and how many levels of attached
  // children it has below it; the refusal of a level beyond the bound.
  uint32_t NestingLevel() const;
  uint32_t LevelsOfAttachedChildren() const;
  static void CheckNestingLevel(uint64_t u64Level);
  bool CheckChainFromRoot(bool bFull, uint64_t u64Generation) const;
  void CheckInvariantOfThis(bool bFull, uint64_t u64Generation) const;
  bool IsPlainWithoutCache() const {
    return m_eAutoPreprocessCode == ePlaintext && m_eCacheState == eCacheEmpty;
  }

  // What the last full check of this object found sound. An unchanged object is not walked
  // again, so that reading a large blob does not cost a pass over its records per call. The
  // number of attached children is not part of it: attaching a child changes no record, and
  // the count is checked again with the records at the next change.
  struct TCheckedState {
    const uint8_t* m_pImage = nullptr;
    uint64_t m_u64Generation = ~uint64_t(0);
    size_t m_uIndexSize = 0;
    uint32_t m_uSizeOfSerialized = 0;
    int m_nCacheState = -1;
    bool operator==(const TCheckedState& o) const {
      return m_pImage == o.m_pImage && m_u64Generation == o.m_u64Generation &&
             m_uIndexSize == o.m_uIndexSize && m_uSizeOfSerialized == o.m_uSizeOfSerialized &&
             m_nCacheState == o.m_nCacheState;
    }
  };
  TCheckedState CurrentCheckedState(uint64_t u64Generation) const;

  mutable TCheckedState m_CheckedState;
  uint64_t m_u64ChangeGeneration = 0;  // a root's count of changes anywhere in its hierarchy
  // A root's generation at which the whole hierarchy last passed the full check with every
  // object plaintext and without a cached version; ~0 when that is not so.
  mutable uint64_t m_u64PlainHierarchyCheckedGeneration = ~uint64_t(0);
  CMultiFieldBlob* m_pParentBlob = nullptr;
  size_t m_iterIndexEntryInParent = 0;
  EMemoryOwnership m_eMemoryOwnership = eCopyOnWrite;
  uint8_t* m_pSerializedBlob = nullptr;
  std::vector<TIndexEntry> m_Index;
  uint32_t m_uExactSizeOfMallocedSerializedBlob = 0;
  uint32_t m_uSizeOfUnusedOwnedBlobArea = 0;
  uint32_t m_uSizeOfGrowthSlack = 0;
  uint32_t m_uNumRegisteredChildren = 0;
  bool m_bCheckForDescendentsThatNeedPreprocessingBeforeSerialization = false;
  std::unique_ptr<platform::CFileMapping> m_pMappedFile;  // the file handle and mapping
  std::string m_sMappedFileName;
  uint32_t m_uSizeOfExistingFile = 0;
  EMemoryMappedFileAccessMode m_MemoryMappedFileAccessMode = eNotMemoryMapped;
  ECacheState m_eCacheState = eCacheEmpty;
  uint8_t* m_pCachedSerializedBlob = nullptr;
  uint32_t m_uSizeOfMallocedCache = 0;
  uint32_t m_uSizeOfUnusedOwnedCacheArea = 0;
  EPreprocessedFormatCode m_eAutoPreprocessCode = ePlaintext;
  uint8_t m_au8AESSessionKey[16] = {};
  uint8_t m_au8AESIV[16] = {};
  uint16_t m_u16AutoZLibCompressionLevel = 0;
};

}  // namespace common
