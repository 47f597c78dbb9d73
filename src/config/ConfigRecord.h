// Configuration records: named, typed configuration items kept as a multi-field blob, so that a
// record can be stored, sent and nested like any blob.
//
// CConfigRecord has one field per item: the field name is the item name, the data the image of
// the item's CConfigItemRecord. An item is a small blob with 4-byte numeric field names:
//   1 type (u8), 2 value (by type), 3 active flag (u8, 0 or 1), 4 description (text + NUL).
// A namespace item (type 1) holds a whole nested record as its value, so items are addressed
// by qualified names "A.B.X"; the setters create missing namespaces on demand.
//
// A record that fails validation is never handed out: GetSerializedBlob validates first.
// Validation is the XML writer run without an output stream (ConfigRecordXMLWriter.h).
//
// Failures: validation raises CConfigItemRecord::CValidateFieldsException; name errors raise
// std::runtime_error; damaged images raise the blob's exceptions unchanged. Misuse (null
// pointers, reading a value of the wrong type) is a precondition failure, after which the call
// throws std::invalid_argument instead of reading the wrong bytes.
#pragma once

#include <cstdint>
#include <string>

#include "blob/MultiFieldBlob.h"

namespace common {

class CConfigRecord;

class CConfigItemRecord : public CMultiFieldBlob {
 public:
  // Field ids of an item.
  enum EFieldId : uint32_t {
    eTypeFieldId = 1,
    eValueFieldId = 2,
    eActiveFieldId = 3,
    eDescriptionFieldId = 4
  };
  // Item types. Codes below eNextAvailFieldId pass the type check; 0, 6 and 7 have no value
  // form (their value is neither checked nor written, and no accessor reads it).
  enum EItemType : uint8_t {
    eNamespace = 1,
    eBoolean = 2,
    eUnsignedInt32 = 3,
    eSignedInt32 = 4,
    eString = 5,
    eNextAvailFieldId = 8
  };

  class CValidateFieldsException : public CMultiFieldBlob::CBlobException {
   public:
    explicit CValidateFieldsException(const std::string& sMessage) : CBlobException(sMessage) {}
  };

  // An empty item, filled field by field (the XML parser does that).
  CConfigItemRecord();
  // Typed items: fields in the order type, value, active flag, description.
  CConfigItemRecord(bool bValue, bool bActive, const std::string& sDescription);
  CConfigItemRecord(uint32_t uValue, bool bActive, const std::string& sDescription);
  CConfigItemRecord(int32_t nValue, bool bActive, const std::string& sDescription);
  CConfigItemRecord(const std::string& sValue, bool bActive, const std::string& sDescription);
  // A text literal is a string value, not a Boolean.
  CConfigItemRecord(const char* pszValue, bool bActive, const std::string& sDescription)
      : CConfigItemRecord(std::string(pszValue), bActive, sDescription) {}
  // A namespace item holding a copy of the sub-record; no description.
  CConfigItemRecord(const CConfigRecord* pSubRecord, bool bActive);
  // An item read from an image (the caller keeps a lent image alive), validated.
  CConfigItemRecord(EMemoryOwnership eMemoryOwnership, const void* pSerialized,
                    uint32_t uSizeOfSerialized, bool bValidate = true);
  // The item held in a field of a record, attached as a child that edits the field in place;
  // validated when bValidate is set.
  CConfigItemRecord(CConfigRecord* pParent, const index_iterator& iterField, bool bValidate);
  ~CConfigItemRecord() override;

  uint8_t GetType() const;
  bool IsActive() const;
  std::string GetDescription() const;
  void GetBoolean(bool* pbValue) const;
  void GetUnsignedInt32(uint32_t* puValue) const;
  void GetSignedInt32(int32_t* pnValue) const;
  void GetString(std::string* psValue) const;

  // Throws CValidateFieldsException (or the blob's exceptions) unless the item and every
  // nested record in it are well formed.
  void Validate() const;

 private:
  void AddTypedFields(EItemType eType, const void* pValue, size_t uSizeOfValue, bool bActive,
                      const std::string& sDescription);
  // The value field of an item of the given type; precondition failures otherwise.
  const uint8_t* ValueOfType(EItemType eType, const char* pszCheckName,
                             SizeOfFieldData_t* puSize) const;
};

class CConfigRecord : public CMultiFieldBlob {
 public:
  // An empty record.
  CConfigRecord();
  CConfigRecord(const CConfigRecord& other);
  CConfigRecord& operator=(const CConfigRecord& other);
  // From an image, validated. eCopyOnWrite lends the image: the caller keeps it alive.
  CConfigRecord(EMemoryOwnership eMemoryOwnership, const void* pSerialized,
                uint32_t uSizeOfSerialized, const uint8_t* pFirstTimeDecryptionKey = nullptr);
  // From a malloc'ed image whose ownership passes to the record (eMemoryOwnership must be
  // eTakeOwnershipOfMallocedSerializedBlob); validated only when bValidate is set.
  CConfigRecord(void* pMallocedSerialized, EMemoryOwnership eMemoryOwnership,
                uint32_t uSizeOfSerialized, const uint8_t* pFirstTimeDecryptionKey, bool bValidate);
  // The nested record in the value field of a namespace item, attached as a child that edits
  // the field in place; validated unless bValidate is cleared (the setters edit a namespace
  // without checking all of it: GetSerializedBlob still does).
  explicit CConfigRecord(CConfigItemRecord* pNamespaceItem, bool bValidate = true);
  // From the XML form (ConfigRecordXMLParser): parsed in one piece, then validated. Malformed
  // XML raises std::runtime_error "CConfigRecord::XML_Parse() failed: ..." with expat's text
  // and the line number.
  CConfigRecord(const char* pXMLText, size_t uLength);
  ~CConfigRecord() override;

  // Validates the whole record first; a record that fails is never handed out.
  const uint8_t* GetSerializedBlob(
      SizeOfFieldData_t* pReturnSizeOfSerializedVersion) const override;

  // A copy of the namespace of that qualified name; an empty record when it does not exist.
  CConfigRecord GetNamespace(const std::string& sAskedForNamespace) const;

  // Stores the item under the qualified name, replacing an item of that name; namespaces
  // missing on the way are created with the same active flag.
  void SetBoolean(const std::string& sQualifiedName, bool bValue, bool bActive,
                  const std::string& sDescription);
  void SetUnsignedInt32(const std::string& sQualifiedName, uint32_t uValue, bool bActive,
                        const std::string& sDescription);
  void SetSignedInt32(const std::string& sQualifiedName, int32_t nValue, bool bActive,
                      const std::string& sDescription);
  void SetString(const std::string& sQualifiedName, const std::string& sValue, bool bActive,
                 const std::string& sDescription);

  // Adds an empty namespace under the plain name (not split at full stops); an existing item of
  // that name fails with the blob's duplicate-name exception.
  void AddNamespace(const std::string& sName, bool bActive);

  // Copies every typed item of the source, namespaces recursively, under prefix + "." + name
  // (the plain name when the prefix is empty), replacing items of the same name.
  void MergeRecord(const std::string& sNamePrefix, const CConfigRecord& source);

  // Throws CConfigItemRecord::CValidateFieldsException (or the blob's exceptions) unless every
  // item, nested records included, is well formed.
  void Validate() const;

  // Item names are field names: 1 to 65535 bytes. Throws std::runtime_error otherwise.
  static void CheckItemName(const std::string& sName);
  static const size_t sc_uMaxItemNameSize = 65535;

  // Namespaces nest at most this deep; deeper images, XML texts and names are refused, so that
  // no input can exhaust the stack. A namespace is two blob levels (its item and its record),
  // so the items of the deepest record stay within the blob's nesting bound.
  static const unsigned sc_uMaxNamespaceDepth = (CMultiFieldBlob::sc_uMaxBlobNestingDepth - 1) / 2;

 private:
  friend class CConfigRecordXMLWriter;
  struct SUnvalidated {};
  // A read-only view of a lent image, not validated (the writer validates as it walks).
  CConfigRecord(SUnvalidated, const void* pSerialized, uint32_t uSizeOfSerialized);

  void MergeFrom(const std::string& sNamePrefix, const CConfigRecord& source, unsigned uDepth);
  template <class TValue>
  void SetItem(const std::string& sQualifiedName, const TValue& value, bool bActive,
               const std::string& sDescription);
};

}  // namespace common
