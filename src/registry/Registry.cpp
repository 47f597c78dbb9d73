#include "registry/Registry.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "support/Assert.h"
#include "support/ByteOrder.h"

namespace common {

const char* GetValueTypeName(uint32_t uType) {
  switch (uType) {
    case eString:
      return "string";
    case eUnsignedNumber:
      return "unsigned number";
    case eBinary:
      return "binary";
    default:
      return "unknown";
  }
}

CRegistryException::CRegistryException(const std::string& sMessage)
    : CErrorCodeException(eNone, sMessage) {}

CBlobException::CBlobException(const std::string& sMessage) : CRegistryException(sMessage) {}

CValueDoesNotExistException::CValueDoesNotExistException(const std::string& sKeyName,
                                                         const std::string& sValueName)
    : CRegistryException("Value \"" + sKeyName + "\\" + sValueName + "\" does not exist") {}

CTypeMismatchException::CTypeMismatchException(const std::string& sKeyName,
                                               const std::string& sValueName,
                                               const std::string& sExpected,
                                               const std::string& sActual)
    : CRegistryException("Type mismatch on value \"" + sKeyName + "\\" + sValueName +
                         "\", expected " + sExpected + " but got " + sActual) {}

CTypeMismatchException::CTypeMismatchException(const std::string& sValueName,
                                               const std::string& sExpected,
                                               const std::string& sActual)
    : CRegistryException("Type mismatch on value \"" + sValueName + "\", expected " + sExpected +
                         " but got " + sActual) {}

CRegistryLockException::CRegistryLockException(const std::string& sMessage)
    : CBlobException(sMessage) {}

CInUseException::CInUseException()
    : CRegistryLockException("The registry is in use by another process, timeout expired") {}

// ---------------------------------------------------------------------------------------------
// CValue

const std::string CValue::sc_asTypeNames[eTypeCount] = {"String", "UnsignedNumber", "Binary"};

CValue::CValue(const std::string& sName, const std::string& sValue)
    : m_sName(sName), m_eType(eString), m_DataBuf(sValue.begin(), sValue.end()) {
  CheckName();
  m_DataBuf.push_back(0);
  LARCH_POSTCONDITION("BufferSizeCorrectForString", m_DataBuf.size() == sValue.size() + 1);
  CheckInvariants();
}

CValue::CValue(const std::string& sName, uint32_t u32Value)
    : m_sName(sName), m_eType(eUnsignedNumber) {
  CheckName();
  m_DataBuf.resize(4);
  StoreBigEndian32(m_DataBuf.data(), u32Value);
  LARCH_POSTCONDITION("BufferSizeCorrectForUnsignedNumber", m_DataBuf.size() == 4);
  CheckInvariants();
}

CValue::CValue(const std::string& sName, const void* pData, uint32_t uSize)
    : CValue(sName, eBinary, pData, uSize) {}

CValue::CValue(const std::string& sName, ERegistryValueType eType, const void* pData,
               uint32_t uSize)
    : m_sName(sName), m_eType(eType) {
  CheckName();
  // Copying from a null pointer would crash, so the failed check ends the construction.
  if (!pData && uSize != 0) {
    AssertPreCondition("NonNullDataBufPtr", "pData || uSize == 0", __FILE__, __LINE__);
    throw CRegistryException("Value \"" + sName + "\" has no data");
  }
  const uint8_t* pu8Data = static_cast<const uint8_t*>(pData);
  if (eType == eUnsignedNumber) {
    if (uSize != 4) {
      AssertPreCondition("ValidUnsignedNumberSize", "uSize == 4", __FILE__, __LINE__);
      throw CRegistryException("Value \"" + sName + "\" is not a 4-byte number");
    }
    m_DataBuf = {pu8Data[3], pu8Data[2], pu8Data[1], pu8Data[0]};
  } else if (uSize != 0) {
    m_DataBuf.assign(pu8Data, pu8Data + uSize);
  }
  LARCH_POSTCONDITION("VectorSizeCorrect", m_DataBuf.size() == uSize);
  CheckInvariants();
}

CValue& CValue::operator=(const CValue& other) {
  CValue copy(other);
  std::swap(m_sName, copy.m_sName);
  std::swap(m_eType, copy.m_eType);
  std::swap(m_DataBuf, copy.m_DataBuf);
  return *this;
}

void CValue::CheckInvariants() const {
  LARCH_INVARIANT("ValidType", m_eType < eTypeCount);
}

void CValue::CheckName() {
  if (m_sName.empty()) AssertPreCondition("NonNullValueName", "!sName.empty()", __FILE__, __LINE__);
}

void CValue::ThrowUnlessType(ERegistryValueType eWanted) const {
  CheckInvariants();
  if (m_eType == eWanted) return;
  const char* pszActual = m_eType < eTypeCount ? sc_asTypeNames[m_eType].c_str() : "unknown";
  throw CTypeMismatchException(m_sName, sc_asTypeNames[eWanted], pszActual);
}

std::string CValue::GetString() const {
  ThrowUnlessType(eString);
  if (m_DataBuf.empty()) return std::string();
  const char* psz = reinterpret_cast<const char*>(m_DataBuf.data());
  return std::string(psz, ::strnlen(psz, m_DataBuf.size()));
}

uint32_t CValue::GetUnsignedNumber() const {
  ThrowUnlessType(eUnsignedNumber);
  return LoadBigEndian32(m_DataBuf.data());
}

const uint8_t* CValue::GetBinary(uint32_t& uSize) const {
  ThrowUnlessType(eBinary);
  uSize = uint32_t(m_DataBuf.size());
  return m_DataBuf.empty() ? nullptr : m_DataBuf.data();
}

std::string DescribeValue(const CValue& value) {
  switch (value.GetType()) {
    case eString:
      return "String: " + value.GetString();
    case eUnsignedNumber: {
      char szFmtBuf[25];
      std::snprintf(szFmtBuf, sizeof(szFmtBuf), "Number: 0x%8.8x", value.GetUnsignedNumber());
      return szFmtBuf;
    }
    default: {
      uint32_t uSize = 0;
      const uint8_t* pu8Data = value.GetBinary(uSize);
      std::string sText = "Binary: 0x";
      sText.reserve(10 + 2 * size_t(uSize));
      for (uint32_t u = 0; u < uSize; ++u) {
        char szByte[3];
        std::snprintf(szByte, sizeof(szByte), "%2.2x", pu8Data[u]);
        sText += szByte;
      }
      return sText;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Iterators

CSubKeyIterator::CSubKeyIterator(const ThreadSafeCountedPtr<ISubKeyIteratorImpl>& pImpl)
    : m_pImpl(pImpl) {}

CSubKeyIterator& CSubKeyIterator::operator=(const CSubKeyIterator& other) {
  m_pImpl = other.m_pImpl;  // copies, then exchanges
  return *this;
}

CSubKeyIterator& CSubKeyIterator::operator++() {
  m_pImpl->Increment();
  return *this;
}

bool CSubKeyIterator::operator==(const CSubKeyIterator& other) const {
  return m_pImpl->Equals(*other.m_pImpl);
}

std::string CSubKeyIterator::GetName() const {
  return m_pImpl->GetName();
}

KeyPtr_t CSubKeyIterator::OpenKey() const {
  return m_pImpl->OpenKey();
}

CValueIterator::CValueIterator(const ThreadSafeCountedPtr<IValueIteratorImpl>& pImpl)
    : m_pImpl(pImpl) {}

CValueIterator& CValueIterator::operator=(const CValueIterator& other) {
  m_pImpl = other.m_pImpl;
  return *this;
}

CValueIterator& CValueIterator::operator++() {
  m_pImpl->Increment();
  return *this;
}

bool CValueIterator::operator==(const CValueIterator& other) const {
  return m_pImpl->Equals(*other.m_pImpl);
}

std::string CValueIterator::GetName() const {
  return m_pImpl->GetName();
}

CValue CValueIterator::GetValue() const {
  return m_pImpl->GetValue();
}

std::string CValueIterator::Describe() const {
  return m_pImpl->Describe();
}

// ---------------------------------------------------------------------------------------------
// IKey

void IKey::TryDeleteKey(const std::string& sPath) {
  try {
    DeleteKey(sPath);
  } catch (const CRegistryException&) {
  }
}

void IKey::TryDeleteKeyTree(const std::string& sPath) {
  try {
    DeleteKeyTree(sPath);
  } catch (const CRegistryException&) {
  }
}

void IKey::TryDeleteValue(const std::string& sValueName) {
  try {
    DeleteValue(sValueName);
  } catch (const std::runtime_error&) {
  }
}

void IKey::Accept(IVisitor& visitor) {
  visitor.EnterKey(this);
  for (CValueIterator it = ValuesBegin(); it != ValuesEnd(); ++it) {
    CValue value = it.GetValue();
    visitor.VisitValue(&value);
  }
  for (CSubKeyIterator it = SubKeysBegin(); it != SubKeysEnd(); ++it) {
    KeyPtr_t pSubKey = it.OpenKey();
    pSubKey->Accept(visitor);
  }
  visitor.LeaveKey(this);
}

bool IKey::SplitKeyPath(const std::string& sSubKeyName, std::string& sHead, std::string& sTail) {
  bool bValid = true;
  size_t nSlash = sSubKeyName.find('\\');
  if (sSubKeyName.empty()) {
    AssertPreCondition("NonNullSubKeyName", "!sSubKeyName.empty()", __FILE__, __LINE__);
    bValid = false;
  } else if (nSlash == (sSubKeyName.length() - 1)) {
    AssertPreCondition("ValidSubKeyPath", "nSlash != (sSubKeyName.length()-1)", __FILE__, __LINE__);
    bValid = false;
  } else if (nSlash == 0) {
    AssertPreCondition("ValidSubKeyPath", "nSlash != 0", __FILE__, __LINE__);
    bValid = false;
  }
  // Going on would store or look up a key with an empty name.
  if (!bValid) throw CRegistryException("Invalid key path \"" + sSubKeyName + "\"");
  if (nSlash == std::string::npos) {
    sHead = sSubKeyName;
    sTail.clear();
    return false;
  }
  sHead = sSubKeyName.substr(0, nSlash);
  sTail = sSubKeyName.substr(nSlash + 1);
  return true;
}

void IKey::ValidateKeyPath(const std::string& sPath) {
  std::string sHead, sTail = sPath;
  while (SplitKeyPath(sTail, sHead, sTail)) {
  }
}

void IKey::RequireValueName(const std::string& sValueName) {
  LARCH_REQUIRE("NonNullValueName", !sValueName.empty(), sc_ArgumentRefusal);
}

// ---------------------------------------------------------------------------------------------
// Visitors

void CPathVisitor::EnterKey(IKey* pKey) {
  LARCH_PRECONDITION("NonNullKey", pKey);
  if (pKey) m_sCurrentPath += pKey->GetName() + "\\";
}

void CPathVisitor::LeaveKey(IKey* pKey) {
  LARCH_PRECONDITION("NonNullKey", pKey);
  LARCH_PRECONDITION("CurrentPath not empty", !m_sCurrentPath.empty());
  if (!pKey) return;
  size_t uCut = pKey->GetName().size() + 1;
  m_sCurrentPath.resize(m_sCurrentPath.size() > uCut ? m_sCurrentPath.size() - uCut : 0);
}

void CVerifyVisitor::EnterKey(IKey* pKey) {
  LARCH_PRECONDITION("NonNullKeyPtr", pKey);
  CPathVisitor::EnterKey(pKey);
}

void CVerifyVisitor::VisitValue(const CValue* pValue) {
  LARCH_PRECONDITION("NonNullValuePtr", pValue);
}

void CVerifyVisitor::LeaveKey(IKey* pKey) {
  LARCH_PRECONDITION("NonNullKeyPtr", pKey);
  CPathVisitor::LeaveKey(pKey);
}

}  // namespace common
