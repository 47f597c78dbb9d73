#include "config/ConfigRecord.h"

#include <cstring>
#include <memory>
#include <stdexcept>

#include "config/ConfigPrecondition.h"
#include "config/ConfigRecordXMLWriter.h"
#include "support/ByteOrder.h"

namespace common {
namespace {

// Owned records keep some room to grow, so that a run of setters does not reallocate each time.
const uint32_t sc_uRecordGrowthSlack = 64;
const uint8_t sc_au8ValueFieldName[4] = {CConfigItemRecord::eValueFieldId, 0, 0, 0};

const char sc_szNotANamespace[] = "Namespace in qualified name is not a namespace";

// A qualified name cut at its first full stop.
struct SQualifiedName {
  bool bHasNamespace;
  std::string sHead;       // the namespace part, or the whole name
  std::string sRemainder;  // the text after the full stop
};

// Every part must be non-empty. The whole name is checked where it first arrives, so that the
// message names it rather than a remainder. Empty parts come from data as easily as from
// callers (item names merged under a prefix), so they are an error, not an assertion.
SQualifiedName SplitQualifiedName(const std::string& sName) {
  size_t uDot = sName.find('.');
  if (uDot == std::string::npos) return {false, sName, std::string()};
  if (sName.back() == '.' || uDot == 0 || sName.find("..") != std::string::npos) {
    throw std::runtime_error("Bad namespace name: " + sName);
  }
  return {true, sName.substr(0, uDot), sName.substr(uDot + 1)};
}

void CheckNamespaceDepth(const std::string& sQualifiedName) {
  size_t uDots = 0;
  for (char c : sQualifiedName) uDots += c == '.';
  if (uDots > CConfigRecord::sc_uMaxNamespaceDepth) {
    throw std::runtime_error("Bad namespace name: " + sQualifiedName);
  }
}

// The type byte of an item, or -1 when its type field is absent or not one byte: for the name
// checks, which treat a malformed item as "not a namespace" instead of asserting.
int PeekItemType(const CMultiFieldBlob& item) {
  CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
  const uint8_t* pType = item.FindFieldData(uint32_t(CConfigItemRecord::eTypeFieldId), &uSize);
  return pType && uSize == 1 ? *pType : -1;
}

[[noreturn]] void ThrowValueFieldMissing() {
  throw CMultiFieldBlob::CFieldDoesNotExistException(
      "CMultiFieldBlob(pParent,FieldName): Field does not exist");
}

}  // namespace

// ---- CConfigItemRecord --------------------------------------------------------------------

CConfigItemRecord::CConfigItemRecord() = default;

CConfigItemRecord::CConfigItemRecord(bool bValue, bool bActive, const std::string& sDescription) {
  uint8_t u8Value = bValue ? 1 : 0;
  AddTypedFields(eBoolean, &u8Value, 1, bActive, sDescription);
}

CConfigItemRecord::CConfigItemRecord(uint32_t uValue, bool bActive,
                                     const std::string& sDescription) {
  uint8_t au8Value[4];
  StoreLittleEndian32(au8Value, uValue);
  AddTypedFields(eUnsignedInt32, au8Value, 4, bActive, sDescription);
}

CConfigItemRecord::CConfigItemRecord(int32_t nValue, bool bActive,
                                     const std::string& sDescription) {
  uint32_t uValue = static_cast<uint32_t>(nValue);
  uint8_t au8Value[4];
  StoreLittleEndian32(au8Value, uValue);
  AddTypedFields(eSignedInt32, au8Value, 4, bActive, sDescription);
}

CConfigItemRecord::CConfigItemRecord(const std::string& sValue, bool bActive,
                                     const std::string& sDescription) {
  AddTypedFields(eString, sValue.c_str(), sValue.size() + 1, bActive, sDescription);
}

CConfigItemRecord::CConfigItemRecord(const CConfigRecord* pSubRecord, bool bActive) {
  LARCH_REQUIRE("NonNullSubRecordPtr", pSubRecord != nullptr, sc_ConfigRefusal);
  uint8_t u8Type = eNamespace;
  AddField(uint32_t(eTypeFieldId), &u8Type, 1);
  {
    // The copy is attached only while its image is stored; the field keeps the bytes.
    CConfigRecord copy(*pSubRecord);
    AddField(uint32_t(eValueFieldId), &copy, false);
  }
  uint8_t u8Active = bActive ? 1 : 0;
  AddField(uint32_t(eActiveFieldId), &u8Active, 1);
}

CConfigItemRecord::CConfigItemRecord(EMemoryOwnership eMemoryOwnership, const void* pSerialized,
                                     uint32_t uSizeOfSerialized, bool bValidate)
    : CMultiFieldBlob(eMemoryOwnership, pSerialized, uSizeOfSerialized) {
  if (bValidate) Validate();
}

CConfigItemRecord::CConfigItemRecord(CConfigRecord* pParent, const index_iterator& iterField,
                                     bool bValidate)
    : CMultiFieldBlob(pParent, iterField) {
  if (bValidate) Validate();
}

CConfigItemRecord::~CConfigItemRecord() = default;

void CConfigItemRecord::AddTypedFields(EItemType eType, const void* pValue, size_t uSizeOfValue,
                                       bool bActive, const std::string& sDescription) {
  uint8_t u8Type = eType;
  uint8_t u8Active = bActive ? 1 : 0;
  AddField(uint32_t(eTypeFieldId), &u8Type, 1);
  AddField(uint32_t(eValueFieldId), pValue, uSizeOfValue);
  AddField(uint32_t(eActiveFieldId), &u8Active, 1);
  AddField(uint32_t(eDescriptionFieldId), sDescription);
}

void CConfigItemRecord::Validate() const {
  CConfigRecordXMLWriter::WriteItem(*this, nullptr, 0);
}

uint8_t CConfigItemRecord::GetType() const {
  SizeOfFieldData_t uSizeOfFieldData = 0;
  const uint8_t* pType = FindFieldData(uint32_t(eTypeFieldId), &uSizeOfFieldData);
  LARCH_REQUIRE("uSizeOfFieldData == sizeof(u8)", pType && uSizeOfFieldData == 1, sc_ConfigRefusal);
  uint8_t eItemType = *pType;
  LARCH_REQUIRE("eItemType < eNextAvailFieldId", eItemType < eNextAvailFieldId, sc_ConfigRefusal);
  return eItemType;
}

bool CConfigItemRecord::IsActive() const {
  SizeOfFieldData_t uSize = 0;
  const uint8_t* pActive = FindFieldData(uint32_t(eActiveFieldId), &uSize);
  LARCH_REQUIRE("ActiveFlagPresent", pActive != nullptr, sc_ConfigRefusal);
  LARCH_REQUIRE("ActiveFlagSize", uSize == 1, sc_ConfigRefusal);
  LARCH_REQUIRE("ActiveFlagValue", *pActive <= 1, sc_ConfigRefusal);
  return *pActive == 1;
}

std::string CConfigItemRecord::GetDescription() const {
  return GetFieldDataAsCString(uint32_t(eDescriptionFieldId));
}

const uint8_t* CConfigItemRecord::ValueOfType(EItemType eType, const char* pszCheckName,
                                              SizeOfFieldData_t* puSize) const {
  LARCH_REQUIRE(pszCheckName, GetType() == eType, sc_ConfigRefusal);
  const uint8_t* pValue = FindFieldData(uint32_t(eValueFieldId), puSize);
  LARCH_REQUIRE("ValueFieldPresent", pValue != nullptr, sc_ConfigRefusal);
  return pValue;
}

void CConfigItemRecord::GetBoolean(bool* pbValue) const {
  LARCH_REQUIRE("NonNullCallerPtr", pbValue != nullptr, sc_ConfigRefusal);
  SizeOfFieldData_t uSize = 0;
  const uint8_t* pValue = ValueOfType(eBoolean, "IsBooleanType", &uSize);
  LARCH_REQUIRE("BooleanValueSize", uSize == 1, sc_ConfigRefusal);
  *pbValue = *pValue != 0;
}

void CConfigItemRecord::GetUnsignedInt32(uint32_t* puValue) const {
  LARCH_REQUIRE("NonNullCallerPtr", puValue != nullptr, sc_ConfigRefusal);
  SizeOfFieldData_t uSize = 0;
  const uint8_t* pValue = ValueOfType(eUnsignedInt32, "IsUnsignedInt32Type", &uSize);
  LARCH_REQUIRE("UnsignedInt32ValueSize", uSize == 4, sc_ConfigRefusal);
  *puValue = LoadLittleEndian32(pValue);
}

void CConfigItemRecord::GetSignedInt32(int32_t* pnValue) const {
  LARCH_REQUIRE("NonNullCallerPtr", pnValue != nullptr, sc_ConfigRefusal);
  SizeOfFieldData_t uSize = 0;
  const uint8_t* pValue = ValueOfType(eSignedInt32, "IsSignedInt32Type", &uSize);
  LARCH_REQUIRE("SignedInt32ValueSize", uSize == 4, sc_ConfigRefusal);
  *pnValue = static_cast<int32_t>(LoadLittleEndian32(pValue));
}

void CConfigItemRecord::GetString(std::string* psValue) const {
  LARCH_REQUIRE("NonNullCallerPtr", psValue != nullptr, sc_ConfigRefusal);
  SizeOfFieldData_t uSize = 0;
  ValueOfType(eString, "IsStringType", &uSize);
  *psValue = FindField(uint32_t(eValueFieldId)).GetFieldDataAsCString();
}

// ---- CConfigRecord ------------------------------------------------------------------------

CConfigRecord::CConfigRecord() : CMultiFieldBlob(0, sc_uRecordGrowthSlack) {}

CConfigRecord::CConfigRecord(const CConfigRecord& other) = default;

CConfigRecord& CConfigRecord::operator=(const CConfigRecord& other) = default;

CConfigRecord::CConfigRecord(EMemoryOwnership eMemoryOwnership, const void* pSerialized,
                             uint32_t uSizeOfSerialized, const uint8_t* pFirstTimeDecryptionKey)
    : CMultiFieldBlob(eMemoryOwnership, pSerialized, uSizeOfSerialized, 0, sc_uRecordGrowthSlack,
                      pFirstTimeDecryptionKey) {
  Validate();
}

CConfigRecord::CConfigRecord(void* pMallocedSerialized, EMemoryOwnership eMemoryOwnership,
                             uint32_t uSizeOfSerialized, const uint8_t* pFirstTimeDecryptionKey,
                             bool bValidate)
    : CMultiFieldBlob(eMemoryOwnership, pMallocedSerialized, uSizeOfSerialized, 0,
                      sc_uRecordGrowthSlack, pFirstTimeDecryptionKey) {
  LARCH_REQUIRE("TakesOwnershipOfMallocedBlob",
                eMemoryOwnership == eTakeOwnershipOfMallocedSerializedBlob, sc_ConfigRefusal);
  if (bValidate) Validate();
}

CConfigRecord::CConfigRecord(CConfigItemRecord* pNamespaceItem, bool bValidate)
    : CMultiFieldBlob(pNamespaceItem, sc_au8ValueFieldName, sizeof(sc_au8ValueFieldName)) {
  if (bValidate) Validate();
}

CConfigRecord::CConfigRecord(SUnvalidated, const void* pSerialized, uint32_t uSizeOfSerialized)
    : CMultiFieldBlob(eCopyOnWrite, pSerialized, uSizeOfSerialized) {}

CConfigRecord::~CConfigRecord() = default;

void CConfigRecord::CheckItemName(const std::string& sName) {
  if (sName.empty()) throw std::runtime_error("Empty config item name");
  if (sName.size() > sc_uMaxItemNameSize) {
    throw std::runtime_error("Config item name longer than 65535 bytes");
  }
}

void CConfigRecord::Validate() const {
  CConfigRecordXMLWriter::WriteRecord(*this, nullptr, 0);
}

const uint8_t* CConfigRecord::GetSerializedBlob(
    SizeOfFieldData_t* pReturnSizeOfSerializedVersion) const {
  Validate();
  return CMultiFieldBlob::GetSerializedBlob(pReturnSizeOfSerializedVersion);
}

CConfigRecord CConfigRecord::GetNamespace(const std::string& sAskedForNamespace) const {
  LARCH_REQUIRE("NonEmptyAskedForNamespace", !sAskedForNamespace.empty(), sc_ConfigRefusal);
  CheckNamespaceDepth(sAskedForNamespace);
  SQualifiedName name = SplitQualifiedName(sAskedForNamespace);
  SizeOfFieldData_t uSizeOfItem = 0;
  const uint8_t* pItemImage = FindFieldData(name.sHead, &uSizeOfItem);
  if (!pItemImage) return CConfigRecord();

  // Attached children edit their field in place, so the field's bytes are current either way.
  CConfigItemRecord item(eCopyOnWrite, pItemImage, uSizeOfItem, false);
  if (PeekItemType(item) != CConfigItemRecord::eNamespace) {
    throw std::runtime_error(sc_szNotANamespace);
  }
  SizeOfFieldData_t uSizeOfNested = 0;
  const uint8_t* pNestedImage =
      item.FindFieldData(uint32_t(CConfigItemRecord::eValueFieldId), &uSizeOfNested);
  if (!pNestedImage) ThrowValueFieldMissing();
  if (!name.bHasNamespace) return CConfigRecord(eCopyImmediately, pNestedImage, uSizeOfNested);
  CConfigRecord nested(eCopyOnWrite, pNestedImage, uSizeOfNested);
  return nested.GetNamespace(name.sRemainder);
}

void CConfigRecord::SetBoolean(const std::string& sQualifiedName, bool bValue, bool bActive,
                               const std::string& sDescription) {
  SetItem(sQualifiedName, bValue, bActive, sDescription);
}

void CConfigRecord::SetUnsignedInt32(const std::string& sQualifiedName, uint32_t uValue,
                                     bool bActive, const std::string& sDescription) {
  SetItem(sQualifiedName, uValue, bActive, sDescription);
}

void CConfigRecord::SetSignedInt32(const std::string& sQualifiedName, int32_t nValue, bool bActive,
                                   const std::string& sDescription) {
  SetItem(sQualifiedName, nValue, bActive, sDescription);
}

void CConfigRecord::SetString(const std::string& sQualifiedName, const std::string& sValue,
                              bool bActive, const std::string& sDescription) {
  SetItem(sQualifiedName, sValue, bActive, sDescription);
}

template <class TValue>
void CConfigRecord::SetItem(const std::string& sQualifiedName, const TValue& value, bool bActive,
                            const std::string& sDescription) {
  CheckNamespaceDepth(sQualifiedName);
  SQualifiedName name = SplitQualifiedName(sQualifiedName);
  CheckItemName(name.sHead);
  if (!name.bHasNamespace) {
    CConfigItemRecord item(value, bActive, sDescription);
    AddField(name.sHead, &item, true);
    return;
  }

  index_iterator iterItem = FindField(name.sHead);
  if (iterItem == end()) {
    // Namespaces are created on demand, with the active flag of the item that needs them.
    CConfigRecord nested;
    nested.SetItem(name.sRemainder, value, bActive, sDescription);
    CConfigItemRecord namespaceItem(&nested, bActive);
    AddField(name.sHead, &namespaceItem, false);
    return;
  }

  // Through the objects attached to the item and its value if there are any, else through
  // temporary children that edit the fields in place.
  CMultiFieldBlob* pAttached = iterItem.FindRegisteredChildBlob();
  CConfigItemRecord* pItem = dynamic_cast<CConfigItemRecord*>(pAttached);
  LARCH_REQUIRE("CConfigItemRecord registered to CConfigRecord", pItem || !pAttached,
                sc_ConfigRefusal);
  std::unique_ptr<CConfigItemRecord> pTemporaryItem;
  if (!pItem) {
    pTemporaryItem.reset(new CConfigItemRecord(this, iterItem, false));
    pItem = pTemporaryItem.get();
  }
  if (PeekItemType(*pItem) != CConfigItemRecord::eNamespace) {
    throw std::runtime_error(sc_szNotANamespace);
  }
  index_iterator iterValue = pItem->FindField(uint32_t(CConfigItemRecord::eValueFieldId));
  if (iterValue == pItem->end()) {
    throw std::runtime_error(
        pAttached ? "Missing value field in existing (opened) child namespace subrecord"
                  : "Missing value field in existing (not opened) child namespace subrecord");
  }
  CMultiFieldBlob* pAttachedNested = iterValue.FindRegisteredChildBlob();
  CConfigRecord* pNested = dynamic_cast<CConfigRecord*>(pAttachedNested);
  LARCH_REQUIRE("CConfigRecord registered to namespace item", pNested || !pAttachedNested,
                sc_ConfigRefusal);
  if (pNested) {
    pNested->SetItem(name.sRemainder, value, bActive, sDescription);
  } else {
    CConfigRecord nested(pItem, false);
    nested.SetItem(name.sRemainder, value, bActive, sDescription);
  }
}

void CConfigRecord::AddNamespace(const std::string& sName, bool bActive) {
  CheckItemName(sName);
  CConfigRecord empty;
  CConfigItemRecord namespaceItem(&empty, bActive);
  AddField(sName, &namespaceItem, false);
}

void CConfigRecord::MergeRecord(const std::string& sNamePrefix, const CConfigRecord& source) {
  // A snapshot, so that merging a record into itself or into its own namespace reads stable
  // bytes while this record changes.
  CConfigRecord snapshot(source);
  MergeFrom(sNamePrefix, snapshot, 0);
}

void CConfigRecord::MergeFrom(const std::string& sNamePrefix, const CConfigRecord& source,
                              unsigned uDepth) {
  if (uDepth > sc_uMaxNamespaceDepth) {
    throw CConfigItemRecord::CValidateFieldsException("Namespaces nested too deeply");
  }
  for (index_iterator iter = source.begin(); iter != source.end(); ++iter) {
    std::string sName = iter.GetFieldName();
    std::string sQualifiedName = sNamePrefix.empty() ? sName : sNamePrefix + "." + sName;
    SizeOfFieldData_t uSizeOfItem = 0;
    const uint8_t* pItemImage = iter.GetFieldData(&uSizeOfItem);
    CConfigItemRecord item(eCopyOnWrite, pItemImage, uSizeOfItem);
    bool bActive = item.IsActive();
    switch (item.GetType()) {
      case CConfigItemRecord::eNamespace: {
        SizeOfFieldData_t uSizeOfNested = 0;
        const uint8_t* pNestedImage =
            item.FindFieldData(uint32_t(CConfigItemRecord::eValueFieldId), &uSizeOfNested);
        CConfigRecord nested(SUnvalidated(), pNestedImage, uSizeOfNested);
        MergeFrom(sQualifiedName, nested, uDepth + 1);
        break;
      }
      case CConfigItemRecord::eBoolean: {
        bool bValue = false;
        item.GetBoolean(&bValue);
        SetBoolean(sQualifiedName, bValue, bActive, item.GetDescription());
        break;
      }
      case CConfigItemRecord::eUnsignedInt32: {
        uint32_t uValue = 0;
        item.GetUnsignedInt32(&uValue);
        SetUnsignedInt32(sQualifiedName, uValue, bActive, item.GetDescription());
        break;
      }
      case CConfigItemRecord::eSignedInt32: {
        int32_t nValue = 0;
        item.GetSignedInt32(&nValue);
        SetSignedInt32(sQualifiedName, nValue, bActive, item.GetDescription());
        break;
      }
      case CConfigItemRecord::eString: {
        std::string sValue;
        item.GetString(&sValue);
        SetString(sQualifiedName, sValue, bActive, item.GetDescription());
        break;
      }
      default:
        break;  // types without a value form are not copied
    }
  }
}

}  // namespace common
