// The registry: a hierarchical store of keys and typed values. A registry has one top key;
// every key has a name, subkeys and named values; a value is a string, an unsigned 32-bit
// number or a byte string. Keys are addressed by paths of names separated by single
// backslashes, relative to a key (the forward slash is an ordinary character). Names are
// compared as exact byte strings.
//
// The interfaces hold no locks; an implementation states its own rules (CBlobRegistry).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/Assert.h"
#include "support/ErrorCodeException.h"
#include "support/ThreadSafeCountedPtr.h"

namespace common {

enum ERegistryValueType : uint32_t {
  eString = 0,
  eUnsignedNumber = 1,
  eBinary = 2,
  eTypeCount = 3
};

// The name of a type number in key-level messages: "string", "unsigned number", "binary",
// "unknown" for any other number.
const char* GetValueTypeName(uint32_t uType);

// Registry failures; the text is the whole message.
class CRegistryException : public CErrorCodeException {
 public:
  explicit CRegistryException(const std::string& sMessage);
};

// Failures of the blob registry: open, lock and key operations.
class CBlobException : public CRegistryException {
 public:
  explicit CBlobException(const std::string& sMessage);
};

class CValueDoesNotExistException : public CRegistryException {
 public:
  CValueDoesNotExistException(const std::string& sKeyName, const std::string& sValueName);
};

class CTypeMismatchException : public CRegistryException {
 public:
  // Key-level form: names the key and the value.
  CTypeMismatchException(const std::string& sKeyName, const std::string& sValueName,
                         const std::string& sExpected, const std::string& sActual);
  // Value-level form.
  CTypeMismatchException(const std::string& sValueName, const std::string& sExpected,
                         const std::string& sActual);
};

// The file's lock could not be had ("Failed to create file access mutex", "Failed to wait for
// file access mutex"): the file itself is not at fault, so callers must not treat it as damage.
class CRegistryLockException : public CBlobException {
 public:
  explicit CRegistryLockException(const std::string& sMessage);
};

// The lock was not obtained within the wait allowed: another process holds the file.
class CInUseException : public CRegistryLockException {
 public:
  CInUseException();
};

// A self-contained copy of one value. The buffer holds a string with its terminating NUL, a
// number as 4 bytes most significant first, or the bytes of a binary value.
class CValue {
 public:
  CValue(const std::string& sName, const std::string& sValue);
  CValue(const std::string& sName, uint32_t u32Value);
  // pData may be null only when uSize is 0.
  CValue(const std::string& sName, const void* pData, uint32_t uSize);
  // From stored data: a number is 4 bytes, least significant first; other types as they are.
  CValue(const std::string& sName, ERegistryValueType eType, const void* pData, uint32_t uSize);
  CValue(const CValue& other) = default;
  CValue& operator=(const CValue& other);

  virtual void CheckInvariants() const;

  std::string GetName() const { return m_sName; }
  ERegistryValueType GetType() const { return m_eType; }
  // Each getter throws CTypeMismatchException when the value has another type.
  std::string GetString() const;
  uint32_t GetUnsignedNumber() const;
  // Null when the value is empty.
  const uint8_t* GetBinary(uint32_t& uSize) const;

  // The value names its own type in its messages: "String", "UnsignedNumber", "Binary".
  static const std::string sc_asTypeNames[eTypeCount];

 private:
  void CheckName();
  void ThrowUnlessType(ERegistryValueType eWanted) const;

  std::string m_sName;
  ERegistryValueType m_eType;
  std::vector<uint8_t> m_DataBuf;
};

class IKey;
class IVisitor;
typedef ThreadSafeCountedPtr<IKey> KeyPtr_t;

// Iterator implementations, one per registry implementation.
class ISubKeyIteratorImpl {
 public:
  virtual ~ISubKeyIteratorImpl() = default;
  virtual void Increment() = 0;
  // Both must be of the same class (a precondition).
  virtual bool Equals(const ISubKeyIteratorImpl& other) const = 0;
  virtual std::string GetName() const = 0;
  virtual KeyPtr_t OpenKey() const = 0;
  virtual void CheckInvariants() const {}
};

class IValueIteratorImpl {
 public:
  virtual ~IValueIteratorImpl() = default;
  virtual void Increment() = 0;
  virtual bool Equals(const IValueIteratorImpl& other) const = 0;
  virtual std::string GetName() const = 0;
  virtual CValue GetValue() const = 0;
  // The value in text form: "String: abc", "Number: 0x0000001a", "Binary: 0x0aff".
  virtual std::string Describe() const = 0;
  virtual void CheckInvariants() const {}
};

// Copies share one implementation and therefore one position; a copy must not be advanced
// from another thread.
class CSubKeyIterator {
 public:
  explicit CSubKeyIterator(const ThreadSafeCountedPtr<ISubKeyIteratorImpl>& pImpl);
  CSubKeyIterator(const CSubKeyIterator& other) = default;
  CSubKeyIterator& operator=(const CSubKeyIterator& other);
  virtual ~CSubKeyIterator() = default;
  virtual void CheckInvariants() const {}

  CSubKeyIterator& operator++();
  bool operator==(const CSubKeyIterator& other) const;
  bool operator!=(const CSubKeyIterator& other) const { return !(*this == other); }
  std::string GetName() const;
  KeyPtr_t OpenKey() const;

 private:
  ThreadSafeCountedPtr<ISubKeyIteratorImpl> m_pImpl;
};

class CValueIterator {
 public:
  explicit CValueIterator(const ThreadSafeCountedPtr<IValueIteratorImpl>& pImpl);
  CValueIterator(const CValueIterator& other) = default;
  CValueIterator& operator=(const CValueIterator& other);
  virtual ~CValueIterator() = default;
  virtual void CheckInvariants() const {}

  CValueIterator& operator++();
  bool operator==(const CValueIterator& other) const;
  bool operator!=(const CValueIterator& other) const { return !(*this == other); }
  std::string GetName() const;
  CValue GetValue() const;
  std::string Describe() const;

 private:
  ThreadSafeCountedPtr<IValueIteratorImpl> m_pImpl;
};

// The text form of a value, as the value iterators' Describe gives it.
std::string DescribeValue(const CValue& value);

// A key. Paths are relative to this key. Invalid arguments (empty paths or names, misplaced
// backslashes, null pointers) are reported as failed preconditions and then refused with a
// CRegistryException, so that nothing is stored under a malformed name.
class IKey {
 public:
  explicit IKey(const std::string& sName) : m_sName(sName) {}
  virtual ~IKey() = default;
  IKey(const IKey&) = delete;
  IKey& operator=(const IKey&) = delete;

  virtual std::string GetName() const { return m_sName; }
  // fail-if-exists applies to the last component; missing keys on the way are created.
  virtual KeyPtr_t CreateKey(const std::string& sPath, bool bFailIfExists) = 0;
  virtual KeyPtr_t OpenKey(const std::string& sPath) = 0;
  // The key must have no subkeys.
  virtual void DeleteKey(const std::string& sPath) = 0;
  virtual void TryDeleteKey(const std::string& sPath);
  virtual void DeleteKeyTree(const std::string& sPath) = 0;
  virtual void TryDeleteKeyTree(const std::string& sPath);
  virtual bool KeyExists(const std::string& sPath) = 0;
  // The setters create the value or replace its type and data. A string must not hold a NUL.
  virtual void SetBinaryValue(const std::string& sValueName, const uint8_t* pu8Data,
                              uint32_t uBytes) = 0;
  virtual void SetUnsignedNumberValue(const std::string& sValueName, uint32_t u32Value) = 0;
  virtual void SetStringValue(const std::string& sValueName, const std::string& sValue) = 0;
  // With a buffer: copies min(uBufSize, stored size) bytes and reports that count; with a
  // null buffer: copies nothing and reports the stored size.
  virtual void GetBinaryValue(const std::string& sValueName, uint8_t* pu8Data, uint32_t uBufSize,
                              uint32_t* puBytesRead) = 0;
  virtual void GetUnsignedNumberValue(const std::string& sValueName,
                                      uint32_t* pu32UnsignedNumber) = 0;
  virtual void GetStringValue(const std::string& sValueName, std::string& sValue) = 0;
  // Throws CValueDoesNotExistException when the value is absent.
  virtual void DeleteValue(const std::string& sValueName) = 0;
  // Ignores any std::runtime_error.
  virtual void TryDeleteValue(const std::string& sValueName);
  virtual bool ValueExists(const std::string& sValueName) = 0;
  virtual CSubKeyIterator SubKeysBegin() = 0;
  virtual CSubKeyIterator SubKeysEnd() = 0;
  virtual CValueIterator ValuesBegin() = 0;
  virtual CValueIterator ValuesEnd() = 0;
  // Walks the tree depth first: EnterKey, the values, each subkey's walk, LeaveKey.
  virtual void Accept(IVisitor& visitor);
  virtual void CheckInvariants() const {}

 protected:
  // Splits a path at its first backslash; false when there is none (sHead is then the path).
  // A malformed path is a failed precondition and then a CRegistryException.
  static bool SplitKeyPath(const std::string& sSubKeyName, std::string& sHead, std::string& sTail);
  // Checks every component of a path the same way before anything is done.
  static void ValidateKeyPath(const std::string& sPath);
  // Refuses an empty value name the same way.
  static void RequireValueName(const std::string& sValueName);
  // What a failed argument check (LARCH_REQUIRE) throws after its report.
  static constexpr SRefusal<CRegistryException> sc_ArgumentRefusal{"Invalid registry argument: "};

 private:
  std::string m_sName;
};

// A registry: every key path is relative to its top key. The value operations open the key
// (an empty path is the top key) and run the key's operation of the same name.
class IRegistry {
 public:
  virtual ~IRegistry() = default;
  virtual KeyPtr_t CreateKey(const std::string& sPath, bool bFailIfExists) = 0;
  // An empty path gives the top key.
  virtual KeyPtr_t OpenKey(const std::string& sPath) = 0;
  virtual void DeleteKey(const std::string& sPath) = 0;
  virtual void TryDeleteKey(const std::string& sPath) = 0;
  virtual void DeleteKeyTree(const std::string& sPath) = 0;
  virtual void TryDeleteKeyTree(const std::string& sPath) = 0;
  virtual bool KeyExists(const std::string& sPath) = 0;
  virtual void SetBinaryValue(const std::string& sPath, const std::string& sValueName,
                              const uint8_t* pu8Data, uint32_t uBytes) = 0;
  virtual void SetUnsignedNumberValue(const std::string& sPath, const std::string& sValueName,
                                      uint32_t u32Value) = 0;
  virtual void SetStringValue(const std::string& sPath, const std::string& sValueName,
                              const std::string& sValue) = 0;
  virtual void GetBinaryValue(const std::string& sPath, const std::string& sValueName,
                              uint8_t* pu8Data, uint32_t uBufSize, uint32_t* puBytesRead) = 0;
  virtual void GetUnsignedNumberValue(const std::string& sPath, const std::string& sValueName,
                                      uint32_t* pu32UnsignedNumber) = 0;
  virtual void GetStringValue(const std::string& sPath, const std::string& sValueName,
                              std::string& sValue) = 0;
  virtual void DeleteValue(const std::string& sPath, const std::string& sValueName) = 0;
  // A missing value is ignored; a missing key still fails.
  virtual void TryDeleteValue(const std::string& sPath, const std::string& sValueName) = 0;
  // False when the key does not exist.
  virtual bool ValueExists(const std::string& sPath, const std::string& sValueName) = 0;
  virtual void CheckInvariants() const {}
};

class IVisitor {
 public:
  virtual ~IVisitor() = default;
  virtual void EnterKey(IKey* pKey) {}
  virtual void VisitValue(const CValue* pValue) = 0;
  virtual void LeaveKey(IKey* pKey) {}
  virtual void CheckInvariants() const {}
};

// Keeps the path of the key being visited: each entered key's name and a backslash, so inside
// subkey A of the top key it is "TopKey\A\".
class CPathVisitor : public IVisitor {
 public:
  void EnterKey(IKey* pKey) override;
  void LeaveKey(IKey* pKey) override;
  const std::string& GetCurrentPath() const { return m_sCurrentPath; }

 protected:
  std::string m_sCurrentPath;
};

// Reads every key and every value of a tree, so that a damaged stored tree fails with the
// exception that reading it raises.
class CVerifyVisitor : public CPathVisitor {
 public:
  explicit CVerifyVisitor(const KeyPtr_t& pKey) : m_pKey(pKey) {}
  // Walks the key given at construction.
  void Run() { m_pKey->Accept(*this); }
  void EnterKey(IKey* pKey) override;
  void VisitValue(const CValue* pValue) override;
  void LeaveKey(IKey* pKey) override;

 private:
  KeyPtr_t m_pKey;
};

}  // namespace common
