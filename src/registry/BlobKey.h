// The keys of a blob registry: the key objects that mirror the opened part of the stored tree,
// the handles handed to callers, and the iterators. Used only by CBlobRegistry.
//
// Stored layout (all names without terminator; "id n" is the 4-byte name n, least significant
// byte first):
//   key blob:     id 1 = subkeys blob (one field per subkey, data = its key blob)
//                 id 2 = values blob  (one field per value, data = its value blob)
//   value blob:   id 1 = type (u32, 0 string, 1 unsigned number, 2 binary)
//                 id 2 = data (string with its NUL; number as 4 bytes, least significant first)
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "blob/MultiFieldBlob.h"
#include "registry/Registry.h"

namespace common {

class CBlobRegistry;

// One key of the open file. It owns its cached subkeys (an entry may be null after a delete)
// and the child blob objects over its stored key. Key objects live only while the file is
// open; all use happens under the registry's critical section.
class CBlobKey : public IKey {
 public:
  static constexpr uint32_t sc_uSubKeysId = 1;
  static constexpr uint32_t sc_uValuesId = 2;
  static constexpr uint32_t sc_uTypeId = 1;
  static constexpr uint32_t sc_uDataId = 2;

  // Over the existing stored key in the parent's field of that name. Throws the blob's
  // exceptions (a missing field: "CMultiFieldBlob(pParent,FieldName): Field does not exist").
  CBlobKey(const std::string& sName, CMultiFieldBlob* pParentBlob, CBlobRegistry* pRegistry,
           std::recursive_mutex* pCriticalSection);
  // A new key stored in the parent's new field of that name.
  struct SCreate {};
  CBlobKey(SCreate, const std::string& sName, CMultiFieldBlob* pParentBlob,
           CBlobRegistry* pRegistry, std::recursive_mutex* pCriticalSection);
  ~CBlobKey() override;

  KeyPtr_t CreateKey(const std::string& sPath, bool bFailIfExists) override;
  KeyPtr_t OpenKey(const std::string& sPath) override;
  void DeleteKey(const std::string& sPath) override;
  void DeleteKeyTree(const std::string& sPath) override;
  bool KeyExists(const std::string& sPath) override;
  void SetBinaryValue(const std::string& sValueName, const uint8_t* pu8Data,
                      uint32_t uBytes) override;
  void SetUnsignedNumberValue(const std::string& sValueName, uint32_t u32Value) override;
  void SetStringValue(const std::string& sValueName, const std::string& sValue) override;
  void GetBinaryValue(const std::string& sValueName, uint8_t* pu8Data, uint32_t uBufSize,
                      uint32_t* puBytesRead) override;
  void GetUnsignedNumberValue(const std::string& sValueName, uint32_t* pu32UnsignedNumber) override;
  void GetStringValue(const std::string& sValueName, std::string& sValue) override;
  void DeleteValue(const std::string& sValueName) override;
  bool ValueExists(const std::string& sValueName) override;
  CSubKeyIterator SubKeysBegin() override;
  CSubKeyIterator SubKeysEnd() override;
  CValueIterator ValuesBegin() override;
  CValueIterator ValuesEnd() override;

  // True while a handle or iterator refers to this key or to a cached descendant.
  bool IsInUseRecursively() const;
  bool IsInUse() const { return m_uUseCount != 0; }

  // A value as stored: its type number and a copy of its data.
  struct SStoredValue {
    uint32_t uType = 0;
    std::vector<uint8_t> data;
  };
  // False when absent. A value blob without a 4-byte type or without data, or a number that
  // is not 4 bytes long, throws CBlobException "Failed to query key NAME for value info".
  bool ReadValue(const std::string& sValueName, SStoredValue& value) const;
  // A handle on the subkey of that single name (not a path), as OpenKey gives it; stored names
  // are never split at backslashes.
  KeyPtr_t OpenSubKeyHandle(const std::string& sName);

  // In-use marks of handles, iterators and running registry calls.
  void AddUse() { ++m_uUseCount; }
  void DropUse() { --m_uUseCount; }

  CMultiFieldBlob* SubKeysBlob() const { return m_pSubKeysBlob.get(); }
  CMultiFieldBlob* ValuesBlob() const { return m_pValuesBlob.get(); }

  // Marks a key in use for its lifetime and holds the registry's critical section, so that
  // the file stays open and other threads stay out. Must be released on the thread that made
  // it. Its release runs close-if-unused, which may destroy the key.
  class CUse {
   public:
    explicit CUse(CBlobKey* pKey);
    ~CUse();
    CUse(const CUse&) = delete;
    CUse& operator=(const CUse&) = delete;
    CBlobKey* Key() const { return m_pKey; }

   private:
    CBlobKey* m_pKey;
    CBlobRegistry* m_pRegistry;
    std::recursive_mutex* m_pCriticalSection;
  };

  // The handle handed to callers: forwards every operation to its key.
  class CPublicKey : public IKey {
   public:
    explicit CPublicKey(CBlobKey* pKey);

    std::string GetName() const override { return m_pKey->GetName(); }
    KeyPtr_t CreateKey(const std::string& sPath, bool bFailIfExists) override {
      return m_pKey->CreateKey(sPath, bFailIfExists);
    }
    KeyPtr_t OpenKey(const std::string& sPath) override { return m_pKey->OpenKey(sPath); }
    void DeleteKey(const std::string& sPath) override { m_pKey->DeleteKey(sPath); }
    void TryDeleteKey(const std::string& sPath) override { m_pKey->TryDeleteKey(sPath); }
    void DeleteKeyTree(const std::string& sPath) override { m_pKey->DeleteKeyTree(sPath); }
    void TryDeleteKeyTree(const std::string& sPath) override { m_pKey->TryDeleteKeyTree(sPath); }
    bool KeyExists(const std::string& sPath) override { return m_pKey->KeyExists(sPath); }
    void SetBinaryValue(const std::string& sValueName, const uint8_t* pu8Data,
                        uint32_t uBytes) override {
      m_pKey->SetBinaryValue(sValueName, pu8Data, uBytes);
    }
    void SetUnsignedNumberValue(const std::string& sValueName, uint32_t u32Value) override {
      m_pKey->SetUnsignedNumberValue(sValueName, u32Value);
    }
    void SetStringValue(const std::string& sValueName, const std::string& sValue) override {
      m_pKey->SetStringValue(sValueName, sValue);
    }
    void GetBinaryValue(const std::string& sValueName, uint8_t* pu8Data, uint32_t uBufSize,
                        uint32_t* puBytesRead) override {
      m_pKey->GetBinaryValue(sValueName, pu8Data, uBufSize, puBytesRead);
    }
    void GetUnsignedNumberValue(const std::string& sValueName,
                                uint32_t* pu32UnsignedNumber) override {
      m_pKey->GetUnsignedNumberValue(sValueName, pu32UnsignedNumber);
    }
    void GetStringValue(const std::string& sValueName, std::string& sValue) override {
      m_pKey->GetStringValue(sValueName, sValue);
    }
    void DeleteValue(const std::string& sValueName) override { m_pKey->DeleteValue(sValueName); }
    void TryDeleteValue(const std::string& sValueName) override {
      m_pKey->TryDeleteValue(sValueName);
    }
    bool ValueExists(const std::string& sValueName) override {
      return m_pKey->ValueExists(sValueName);
    }
    CSubKeyIterator SubKeysBegin() override { return m_pKey->SubKeysBegin(); }
    CSubKeyIterator SubKeysEnd() override { return m_pKey->SubKeysEnd(); }
    CValueIterator ValuesBegin() override { return m_pKey->ValuesBegin(); }
    CValueIterator ValuesEnd() override { return m_pKey->ValuesEnd(); }
    void Accept(IVisitor& visitor) override { m_pKey->Accept(visitor); }

   private:
    CBlobKey* m_pKey;
    CUse m_use;
  };

 private:
  friend class CUse;

  static void CloseRegistryIfUnused(CBlobRegistry* pRegistry);
  void AttachChildBlobs();
  KeyPtr_t OpenHandle(const std::string& sPath, bool bSingleName);
  CBlobKey* NextKeyOnPath(const std::string& sHead);
  // The subkey of that single name, from the cache or the stored tree; a cached subkey in use
  // is refused ("key is already open"). Unwrapped errors.
  CBlobKey* OpenSubKey(const std::string& sName);
  // The key of that name in the cache (null when not cached).
  CBlobKey* Cached(const std::string& sName) const;
  // A direct subkey used on the way along a path: from the cache, else opened and cached.
  CBlobKey* IntermediateKey(const std::string& sName);
  CBlobKey* CreateKeyUnwrapped(const std::string& sPath, bool bFailIfExists);
  CBlobKey* OpenKeyUnwrapped(const std::string& sPath);
  void DeleteOneKey(const std::string& sName);
  void DeleteOneKeyTree(const std::string& sName);
  void StoreValue(const std::string& sValueName, uint32_t uType, const void* pData, uint32_t uSize);
  // The stored value of the wanted type; CValueDoesNotExistException / CTypeMismatchException.
  void ReadTypedValue(const std::string& sValueName, uint32_t uWantedType,
                      SStoredValue& value) const;

  // Destroyed in reverse order: cached subkeys, subkeys blob, values blob, key blob.
  std::unique_ptr<CMultiFieldBlob> m_pKeyBlob;
  std::unique_ptr<CMultiFieldBlob> m_pValuesBlob;
  std::unique_ptr<CMultiFieldBlob> m_pSubKeysBlob;
  std::map<std::string, std::unique_ptr<CBlobKey>> m_OpenSubKeys;
  CBlobRegistry* m_pRegistry;
  std::recursive_mutex* m_pCriticalSection;
  // Handles and iterators that refer to this key. The top key may have several handles; a
  // subkey gets a second one refused.
  uint32_t m_uUseCount = 0;
};

// Iterators over the subkeys or values of one key. Each keeps its key in use while it lives.
class CBlobSubKeyIterator : public ISubKeyIteratorImpl {
 public:
  CBlobSubKeyIterator(CBlobKey* pKey, const CMultiFieldBlob::index_iterator& position);
  void Increment() override;
  bool Equals(const ISubKeyIteratorImpl& other) const override;
  std::string GetName() const override;
  KeyPtr_t OpenKey() const override;

 private:
  CBlobKey::CUse m_use;
  CBlobKey* m_pKey;
  CMultiFieldBlob::index_iterator m_position;
};

class CBlobValueIterator : public IValueIteratorImpl {
 public:
  CBlobValueIterator(CBlobKey* pKey, const CMultiFieldBlob::index_iterator& position);
  void Increment() override;
  bool Equals(const IValueIteratorImpl& other) const override;
  std::string GetName() const override;
  CValue GetValue() const override;
  std::string Describe() const override;

 private:
  CBlobKey::CUse m_use;
  CBlobKey* m_pKey;
  CMultiFieldBlob::index_iterator m_position;
};

}  // namespace common
