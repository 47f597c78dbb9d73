#include "registry/BlobKey.h"

#include <algorithm>
#include <cstring>
#include <typeinfo>

#include "registry/BlobRegistry.h"
#include "support/Assert.h"
#include "support/ByteOrder.h"

namespace common {
namespace {

const uint8_t sc_au8SubKeysId[4] = {CBlobKey::sc_uSubKeysId, 0, 0, 0};
const uint8_t sc_au8ValuesId[4] = {CBlobKey::sc_uValuesId, 0, 0, 0};

std::string Wrap(const char* pszWhat, const std::string& sKeyName, const std::string& sPath,
                 const char* pszDetails, const char* pszCause) {
  return std::string(pszWhat) + sKeyName + "\\" + sPath + pszDetails + pszCause;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Construction

CBlobKey::CBlobKey(const std::string& sName, CMultiFieldBlob* pParentBlob, CBlobRegistry* pRegistry,
                   std::recursive_mutex* pCriticalSection)
    : IKey(sName), m_pRegistry(pRegistry), m_pCriticalSection(pCriticalSection) {
  m_pKeyBlob.reset(new CMultiFieldBlob(pParentBlob, sName));
  AttachChildBlobs();
}

// The key blob is built whole (ids 1 and 2 holding empty blobs) and then added
// to the parent in one step, so that a failed addition (the file's growth area
// is used up) leaves no half-made key behind. The stored bytes are those of
// adding the empty blob first and filling it after.
CBlobKey::CBlobKey(SCreate, const std::string& sName, CMultiFieldBlob* pParentBlob,
                   CBlobRegistry* pRegistry, std::recursive_mutex* pCriticalSection)
    : IKey(sName), m_pRegistry(pRegistry), m_pCriticalSection(pCriticalSection) {
  std::unique_ptr<CMultiFieldBlob> pKeyBlob(new CMultiFieldBlob());
  const CMultiFieldBlob::TBlobHeader& empty = CMultiFieldBlob::sc_EmptyBlobHeader;
  pKeyBlob->AddField(sc_uSubKeysId, &empty, sizeof(empty));
  pKeyBlob->AddField(sc_uValuesId, &empty, sizeof(empty));
  pParentBlob->AddField(sName, pKeyBlob.get());
  m_pKeyBlob = std::move(pKeyBlob);
  AttachChildBlobs();
}

CBlobKey::~CBlobKey() = default;

void CBlobKey::AttachChildBlobs() {
  m_pValuesBlob.reset(new CMultiFieldBlob(m_pKeyBlob.get(), sc_au8ValuesId, 4));
  m_pSubKeysBlob.reset(new CMultiFieldBlob(m_pKeyBlob.get(), sc_au8SubKeysId, 4));
}

// ---------------------------------------------------------------------------------------------
// Use marks

CBlobKey::CUse::CUse(CBlobKey* pKey)
    : m_pKey(pKey), m_pRegistry(pKey->m_pRegistry), m_pCriticalSection(pKey->m_pCriticalSection) {
  m_pCriticalSection->lock();
  m_pKey->AddUse();
}

CBlobKey::CUse::~CUse() {
  m_pKey->DropUse();
  try {
    CloseRegistryIfUnused(m_pRegistry);
  } catch (...) {
    // A release cannot report; the file is closed and the lock given back all
    // the same.
  }
  m_pCriticalSection->unlock();
}

void CBlobKey::CloseRegistryIfUnused(CBlobRegistry* pRegistry) {
  pRegistry->CloseIfUnused();
}

CBlobKey::CPublicKey::CPublicKey(CBlobKey* pKey) : IKey(std::string()), m_pKey(pKey), m_use(pKey) {
  LARCH_PRECONDITION("NonNullKey", m_pKey);
}

bool CBlobKey::IsInUseRecursively() const {
  if (m_uUseCount != 0) return true;
  for (const auto& entry : m_OpenSubKeys) {
    if (entry.second && entry.second->IsInUseRecursively()) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// Keys

CBlobKey* CBlobKey::Cached(const std::string& sName) const {
  auto it = m_OpenSubKeys.find(sName);
  return it == m_OpenSubKeys.end() ? nullptr : it->second.get();
}

CBlobKey* CBlobKey::IntermediateKey(const std::string& sName) {
  if (CBlobKey* pKey = Cached(sName)) return pKey;
  std::unique_ptr<CBlobKey> pKey(
      new CBlobKey(sName, m_pSubKeysBlob.get(), m_pRegistry, m_pCriticalSection));
  CBlobKey* pRaw = pKey.get();
  m_OpenSubKeys[sName] = std::move(pKey);
  return pRaw;
}

CBlobKey* CBlobKey::OpenSubKey(const std::string& sName) {
  if (CBlobKey* pKey = Cached(sName)) {
    if (pKey->IsInUse()) throw CBlobException("key is already open");
    return pKey;
  }
  return IntermediateKey(sName);
}

CBlobKey* CBlobKey::OpenKeyUnwrapped(const std::string& sPath) {
  std::string sHead, sTail;
  if (SplitKeyPath(sPath, sHead, sTail)) return IntermediateKey(sHead)->OpenKeyUnwrapped(sTail);
  return OpenSubKey(sPath);
}

CBlobKey* CBlobKey::CreateKeyUnwrapped(const std::string& sPath, bool bFailIfExists) {
  std::string sHead, sTail;
  if (SplitKeyPath(sPath, sHead, sTail)) {
    CBlobKey* pHead = m_pSubKeysBlob->FieldExists(sHead) ? IntermediateKey(sHead)
                                                         : CreateKeyUnwrapped(sHead, false);
    return pHead->CreateKeyUnwrapped(sTail, bFailIfExists);
  }
  if (m_pSubKeysBlob->FieldExists(sPath)) {
    if (bFailIfExists) throw CBlobException("subkey already exists");
    return OpenSubKey(sPath);
  }
  std::unique_ptr<CBlobKey> pKey(
      new CBlobKey(SCreate(), sPath, m_pSubKeysBlob.get(), m_pRegistry, m_pCriticalSection));
  CBlobKey* pRaw = pKey.get();
  m_OpenSubKeys[sPath] = std::move(pKey);
  return pRaw;
}

KeyPtr_t CBlobKey::CreateKey(const std::string& sPath, bool bFailIfExists) {
  ValidateKeyPath(sPath);
  CBlobKey* pKey = nullptr;
  try {
    pKey = CreateKeyUnwrapped(sPath, bFailIfExists);
  } catch (const std::runtime_error& e) {
    throw CBlobException(Wrap("Failed to create key ", GetName(), sPath, "\n Details: ", e.what()));
  }
  return KeyPtr_t(new CPublicKey(pKey));
}

KeyPtr_t CBlobKey::OpenKey(const std::string& sPath) {
  ValidateKeyPath(sPath);
  return OpenHandle(sPath, false);
}

KeyPtr_t CBlobKey::OpenSubKeyHandle(const std::string& sName) {
  return OpenHandle(sName, true);
}

KeyPtr_t CBlobKey::OpenHandle(const std::string& sPath, bool bSingleName) {
  CBlobKey* pKey = nullptr;
  try {
    pKey = bSingleName ? OpenSubKey(sPath) : OpenKeyUnwrapped(sPath);
  } catch (const std::runtime_error& e) {
    throw CBlobException(Wrap("Failed to open key ", GetName(), sPath, "\nDetails: ", e.what()));
  }
  return KeyPtr_t(new CPublicKey(pKey));
}

// A path is passed down to the key that holds its last component, which reports
// the failure; a missing key on the way fails as opening it would.
CBlobKey* CBlobKey::NextKeyOnPath(const std::string& sHead) {
  try {
    return IntermediateKey(sHead);
  } catch (const std::runtime_error& e) {
    throw CBlobException(Wrap("Failed to open key ", GetName(), sHead, "\nDetails: ", e.what()));
  }
}

void CBlobKey::DeleteKey(const std::string& sPath) {
  ValidateKeyPath(sPath);
  std::string sHead, sTail;
  if (SplitKeyPath(sPath, sHead, sTail)) return NextKeyOnPath(sHead)->DeleteKey(sTail);
  try {
    DeleteOneKey(sPath);
  } catch (const std::runtime_error& e) {
    throw CBlobException(Wrap("Failed to delete key ", GetName(), sPath, "\nDetails: ", e.what()));
  }
}

void CBlobKey::DeleteKeyTree(const std::string& sPath) {
  ValidateKeyPath(sPath);
  std::string sHead, sTail;
  if (SplitKeyPath(sPath, sHead, sTail)) return NextKeyOnPath(sHead)->DeleteKeyTree(sTail);
  try {
    DeleteOneKeyTree(sPath);
  } catch (const std::runtime_error& e) {
    throw CBlobException(Wrap("Failed to delete key ", GetName(), sPath, "\nDetails: ", e.what()));
  }
}

// A cached key with a live handle anywhere below it must not go: its handle
// would dangle.
void CBlobKey::DeleteOneKey(const std::string& sName) {
  auto it = m_OpenSubKeys.find(sName);
  if (it != m_OpenSubKeys.end() && it->second) {
    if (it->second->IsInUseRecursively()) throw CBlobException("key is in use");
    it->second.reset();
  }
  {
    CBlobKey stored(sName, m_pSubKeysBlob.get(), m_pRegistry, m_pCriticalSection);
    if (stored.m_pSubKeysBlob->GetNumFields() != 0) throw CBlobException("key has subkeys");
  }
  m_pSubKeysBlob->RemoveField(sName);
}

// Checks the whole subtree for live handles first, so that a refusal deletes
// nothing.
void CBlobKey::DeleteOneKeyTree(const std::string& sName) {
  auto it = m_OpenSubKeys.find(sName);
  CBlobKey* pKey = it == m_OpenSubKeys.end() ? nullptr : it->second.get();
  if (pKey && pKey->IsInUseRecursively()) throw CBlobException("key is in use");
  std::unique_ptr<CBlobKey> pStored;
  if (!pKey) {
    pStored.reset(new CBlobKey(sName, m_pSubKeysBlob.get(), m_pRegistry, m_pCriticalSection));
    pKey = pStored.get();
  }
  while (pKey->m_pSubKeysBlob->GetNumFields() != 0) {
    pKey->DeleteOneKeyTree(pKey->m_pSubKeysBlob->begin().GetFieldName());
  }
  pStored.reset();
  if (it != m_OpenSubKeys.end()) it->second.reset();
  m_pSubKeysBlob->RemoveField(sName);
}

bool CBlobKey::KeyExists(const std::string& sPath) {
  ValidateKeyPath(sPath);
  std::string sHead, sTail;
  if (!SplitKeyPath(sPath, sHead, sTail)) return m_pSubKeysBlob->FieldExists(sPath);
  if (CBlobKey* pHead = Cached(sHead)) return pHead->KeyExists(sTail);
  if (!m_pSubKeysBlob->FieldExists(sHead)) return false;
  CBlobKey stored(sHead, m_pSubKeysBlob.get(), m_pRegistry, m_pCriticalSection);
  return stored.KeyExists(sTail);
}

// ---------------------------------------------------------------------------------------------
// Values

// An existing value blob gets its data replaced before its type, so that a
// failed growth leaves the old type with the old data. A new value blob is
// built whole and added in one step (the same bytes as adding it empty and
// filling it after), so a failure leaves no half value.
void CBlobKey::StoreValue(const std::string& sValueName, uint32_t uType, const void* pData,
                          uint32_t uSize) {
  if (m_pValuesBlob->FieldExists(sValueName)) {
    CMultiFieldBlob valueBlob(m_pValuesBlob.get(), sValueName);
    valueBlob.SetField(sc_uDataId, pData, uSize);
    valueBlob.SetField(sc_uTypeId, uType);
    return;
  }
  CMultiFieldBlob valueBlob;
  valueBlob.AddField(sc_uTypeId, uType);
  valueBlob.AddField(sc_uDataId, pData, uSize);
  m_pValuesBlob->AddField(sValueName, &valueBlob);
}

void CBlobKey::SetBinaryValue(const std::string& sValueName, const uint8_t* pu8Data,
                              uint32_t uBytes) {
  RequireValueName(sValueName);
  LARCH_REQUIRE("NonNullCallerDataPtr", pu8Data, sc_ArgumentRefusal);
  LARCH_REQUIRE("PositiveLength", uBytes != 0, sc_ArgumentRefusal);
  StoreValue(sValueName, eBinary, pu8Data, uBytes);
}

void CBlobKey::SetUnsignedNumberValue(const std::string& sValueName, uint32_t u32Value) {
  RequireValueName(sValueName);
  uint8_t au8Data[4];
  StoreLittleEndian32(au8Data, u32Value);
  StoreValue(sValueName, eUnsignedNumber, au8Data, 4);
}

void CBlobKey::SetStringValue(const std::string& sValueName, const std::string& sValue) {
  RequireValueName(sValueName);
  if (sValue.find('\0') != std::string::npos) {
    throw CTypeMismatchException(sValueName, GetValueTypeName(eString), GetValueTypeName(eBinary));
  }
  StoreValue(sValueName, eString, sValue.c_str(), uint32_t(sValue.size() + 1));
}

// The value blob is read through a root object lent the field's bytes rather than a child
// attached to the values blob: a key with many values is then read without checking the whole
// values blob again for every value.
bool CBlobKey::ReadValue(const std::string& sValueName, SStoredValue& value) const {
  CMultiFieldBlob::SizeOfFieldData_t uImageSize = 0;
  const uint8_t* pu8Image = m_pValuesBlob->FindFieldData(sValueName, &uImageSize);
  if (!pu8Image) return false;
  CMultiFieldBlob valueBlob(CMultiFieldBlob::eCopyOnWrite, pu8Image, uImageSize);
  CMultiFieldBlob::SizeOfFieldData_t uTypeSize = 0, uDataSize = 0;
  const uint8_t* pu8Type = valueBlob.FindFieldData(sc_uTypeId, &uTypeSize);
  const uint8_t* pu8Data = valueBlob.FindFieldData(sc_uDataId, &uDataSize);
  bool bValid = pu8Type && uTypeSize == 4 && valueBlob.FieldExists(sc_uDataId);
  if (bValid) value.uType = LoadLittleEndian32(pu8Type);
  if (!bValid || (value.uType == eUnsignedNumber && uDataSize != 4)) {
    throw CBlobException("Failed to query key " + sValueName + " for value info");
  }
  value.data.assign(pu8Data, pu8Data + uDataSize);
  return true;
}

void CBlobKey::ReadTypedValue(const std::string& sValueName, uint32_t uWantedType,
                              SStoredValue& value) const {
  if (!ReadValue(sValueName, value)) throw CValueDoesNotExistException(GetName(), sValueName);
  if (value.uType != uWantedType) {
    throw CTypeMismatchException(GetName(), sValueName, GetValueTypeName(uWantedType),
                                 GetValueTypeName(value.uType));
  }
}

void CBlobKey::GetBinaryValue(const std::string& sValueName, uint8_t* pu8Data, uint32_t uBufSize,
                              uint32_t* puBytesRead) {
  RequireValueName(sValueName);
  LARCH_REQUIRE("NonNullCallerBytesPtr", puBytesRead, sc_ArgumentRefusal);
  LARCH_REQUIRE("CallerBufSizeNonZero", !pu8Data || uBufSize, sc_ArgumentRefusal);
  SStoredValue value;
  ReadTypedValue(sValueName, eBinary, value);
  uint32_t uStored = uint32_t(value.data.size());
  if (!pu8Data) {
    *puBytesRead = uStored;
    return;
  }
  uint32_t uCopy = std::min(uBufSize, uStored);
  if (uCopy) std::memcpy(pu8Data, value.data.data(), uCopy);
  *puBytesRead = uCopy;
}

void CBlobKey::GetUnsignedNumberValue(const std::string& sValueName, uint32_t* pu32UnsignedNumber) {
  RequireValueName(sValueName);
  LARCH_REQUIRE("NonNullCallersNumberPtr", pu32UnsignedNumber, sc_ArgumentRefusal);
  SStoredValue value;
  ReadTypedValue(sValueName, eUnsignedNumber, value);
  *pu32UnsignedNumber = LoadLittleEndian32(value.data.data());
}

void CBlobKey::GetStringValue(const std::string& sValueName, std::string& sValue) {
  RequireValueName(sValueName);
  SStoredValue value;
  ReadTypedValue(sValueName, eString, value);
  auto itEnd = std::find(value.data.begin(), value.data.end(), uint8_t(0));
  sValue.assign(value.data.begin(), itEnd);
}

void CBlobKey::DeleteValue(const std::string& sValueName) {
  RequireValueName(sValueName);
  if (!m_pValuesBlob->FieldExists(sValueName)) {
    throw CValueDoesNotExistException(GetName(), sValueName);
  }
  m_pValuesBlob->RemoveField(sValueName);
}

bool CBlobKey::ValueExists(const std::string& sValueName) {
  RequireValueName(sValueName);
  return m_pValuesBlob->FieldExists(sValueName);
}

// ---------------------------------------------------------------------------------------------
// Iterators

CSubKeyIterator CBlobKey::SubKeysBegin() {
  return CSubKeyIterator(ThreadSafeCountedPtr<ISubKeyIteratorImpl>(
      new CBlobSubKeyIterator(this, m_pSubKeysBlob->begin())));
}

CSubKeyIterator CBlobKey::SubKeysEnd() {
  return CSubKeyIterator(ThreadSafeCountedPtr<ISubKeyIteratorImpl>(
      new CBlobSubKeyIterator(this, m_pSubKeysBlob->end())));
}

CValueIterator CBlobKey::ValuesBegin() {
  return CValueIterator(ThreadSafeCountedPtr<IValueIteratorImpl>(
      new CBlobValueIterator(this, m_pValuesBlob->begin())));
}

CValueIterator CBlobKey::ValuesEnd() {
  return CValueIterator(
      ThreadSafeCountedPtr<IValueIteratorImpl>(new CBlobValueIterator(this, m_pValuesBlob->end())));
}

CBlobSubKeyIterator::CBlobSubKeyIterator(CBlobKey* pKey,
                                         const CMultiFieldBlob::index_iterator& position)
    : m_use(pKey), m_pKey(pKey), m_position(position) {
  LARCH_PRECONDITION("NonNullRegKeyWeakReference", m_pKey);
}

void CBlobSubKeyIterator::Increment() {
  ++m_position;
}

bool CBlobSubKeyIterator::Equals(const ISubKeyIteratorImpl& other) const {
  const CBlobSubKeyIterator* pOther = dynamic_cast<const CBlobSubKeyIterator*>(&other);
  LARCH_PRECONDITION("SameIteratorClass", pOther);
  return pOther && pOther->m_pKey == m_pKey && pOther->m_position == m_position;
}

std::string CBlobSubKeyIterator::GetName() const {
  return m_position.GetFieldName();
}

KeyPtr_t CBlobSubKeyIterator::OpenKey() const {
  return m_pKey->OpenSubKeyHandle(GetName());
}

CBlobValueIterator::CBlobValueIterator(CBlobKey* pKey,
                                       const CMultiFieldBlob::index_iterator& position)
    : m_use(pKey), m_pKey(pKey), m_position(position) {
  LARCH_PRECONDITION("NonNullRegKeyWeakReference", m_pKey);
}

void CBlobValueIterator::Increment() {
  ++m_position;
}

bool CBlobValueIterator::Equals(const IValueIteratorImpl& other) const {
  const CBlobValueIterator* pOther = dynamic_cast<const CBlobValueIterator*>(&other);
  LARCH_PRECONDITION("SameIteratorClass", pOther);
  return pOther && pOther->m_pKey == m_pKey && pOther->m_position == m_position;
}

std::string CBlobValueIterator::GetName() const {
  return m_position.GetFieldName();
}

CValue CBlobValueIterator::GetValue() const {
  std::string sName = GetName();
  try {
    CBlobKey::SStoredValue value;
    if (!m_pKey->ReadValue(sName, value) || value.uType >= eTypeCount) {
      throw CBlobException("unreadable value");
    }
    return CValue(sName, ERegistryValueType(value.uType), value.data.data(),
                  uint32_t(value.data.size()));
  } catch (const std::runtime_error&) {
    throw CBlobException("Failed to query key " + sName + " for value info");
  }
}

std::string CBlobValueIterator::Describe() const {
  return DescribeValue(GetValue());
}

}  // namespace common
