#include "config/ConfigTree.h"

#include <cstring>
#include <memory>
#include <stdexcept>

#include "config/ConfigPrecondition.h"

namespace common {
namespace {

// The validated item of that name at this level, or false when there is none.
bool FindItem(const CConfigRecord& record, const std::string& sItemName,
              std::unique_ptr<CConfigItemRecord>* ppItem) {
  if (sItemName.empty()) return false;  // no item has an empty name
  CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
  const uint8_t* pImage = record.FindFieldData(sItemName, &uSize);
  if (!pImage) return false;
  ppItem->reset(new CConfigItemRecord(CMultiFieldBlob::eCopyOnWrite, pImage, uSize));
  return true;
}

// The active item of that name and type, or null; an item of another type throws.
std::unique_ptr<CConfigItemRecord> FindActiveItem(const CConfigRecord& record,
                                                  const std::string& sItemName,
                                                  CConfigItemRecord::EItemType eType,
                                                  const char* pszTypeName) {
  std::unique_ptr<CConfigItemRecord> pItem;
  if (!FindItem(record, sItemName, &pItem)) return nullptr;
  if (pItem->GetType() != eType) {
    throw std::runtime_error(std::string("Requested config item exists but is not ") + pszTypeName +
                             " type");
  }
  if (!pItem->IsActive()) return nullptr;
  return pItem;
}

[[noreturn]] void ThrowBadParameter(const std::string& sItemName, const std::string& sValue) {
  throw std::runtime_error("Bad config parameter: " + sItemName + " " + sValue);
}

}  // namespace

CConfigTree::~CConfigTree() = default;

// ---- CConfigRecordTree --------------------------------------------------------------------

CConfigRecordTree::CConfigRecordTree() = default;

namespace {

// A copy that owns its bytes: a blob copy of a record that only lends its caller's image
// would share that image, and a tree may outlive it.
CConfigRecord OwnedCopy(const CConfigRecord& record) {
  if (record.GetMemoryOwnership() != CMultiFieldBlob::eCopyOnWrite) return record;
  uint32_t uLength = record.GetSizeOfSerializedBlob() + record.GetSizeOfSpareCapacity();
  return CConfigRecord(CMultiFieldBlob::eCopyImmediately, record.PeekImage(), uLength);
}

}  // namespace

CConfigRecordTree::CConfigRecordTree(const CConfigRecord& record) : m_Record(OwnedCopy(record)) {}

CConfigRecordTree::~CConfigRecordTree() = default;

ThreadSafeCountedPtr<CConfigTree> CConfigRecordTree::GetSubTree(
    const std::string& sNamespace) const {
  return ThreadSafeCountedPtr<CConfigTree>(
      new CConfigRecordTree(m_Record.GetNamespace(sNamespace)));
}

bool CConfigRecordTree::GetString(const std::string& sItemName, std::string* psValue) const {
  auto pItem = FindActiveItem(m_Record, sItemName, CConfigItemRecord::eString, "String");
  if (!pItem) return false;
  if (psValue) pItem->GetString(psValue);
  return true;
}

bool CConfigRecordTree::GetSignedInt32(const std::string& sItemName, int32_t* pnValue) const {
  auto pItem = FindActiveItem(m_Record, sItemName, CConfigItemRecord::eSignedInt32, "SignedInt32");
  if (!pItem) return false;
  if (pnValue) pItem->GetSignedInt32(pnValue);
  return true;
}

bool CConfigRecordTree::GetUnsignedInt32(const std::string& sItemName, uint32_t* puValue) const {
  auto pItem =
      FindActiveItem(m_Record, sItemName, CConfigItemRecord::eUnsignedInt32, "UnsignedInt32");
  if (!pItem) return false;
  if (puValue) pItem->GetUnsignedInt32(puValue);
  return true;
}

bool CConfigRecordTree::GetBoolean(const std::string& sItemName, bool* pbValue) const {
  auto pItem = FindActiveItem(m_Record, sItemName, CConfigItemRecord::eBoolean, "Boolean");
  if (!pItem) return false;
  if (pbValue) pItem->GetBoolean(pbValue);
  return true;
}

void CConfigRecordTree::GetItemNames(std::vector<std::string>* pNames) const {
  LARCH_REQUIRE("NonNullCallerPtr", pNames != nullptr, sc_ConfigRefusal);
  pNames->clear();
  for (CMultiFieldBlob::index_iterator iter = m_Record.begin(); iter != m_Record.end(); ++iter) {
    pNames->push_back(iter.GetFieldName());
  }
}

// ---- Helpers ------------------------------------------------------------------------------

void GetConfigUnsignedInt32InRange(const CConfigTree& tree, const std::string& sItemName,
                                   uint32_t* pReceiveValueIfPresent, uint32_t uMinimum,
                                   uint32_t uMaximum) {
  LARCH_REQUIRE("Valid pReceiveValueIfPresent", pReceiveValueIfPresent != nullptr,
                sc_ConfigRefusal);
  tree.GetUnsignedInt32(sItemName, pReceiveValueIfPresent);
  // The default is checked as well as a found value.
  if (*pReceiveValueIfPresent < uMinimum || *pReceiveValueIfPresent > uMaximum) {
    ThrowBadParameter(sItemName, std::to_string(*pReceiveValueIfPresent));
  }
}

void GetConfigBoolean(const CConfigTree& tree, const std::string& sItemName,
                      bool* pReceiveValueIfPresent) {
  LARCH_REQUIRE("Valid pReceiveValueIfPresent", pReceiveValueIfPresent != nullptr,
                sc_ConfigRefusal);
  tree.GetBoolean(sItemName, pReceiveValueIfPresent);
  // The caller's default may be an uninitialised byte: it is read as a byte, not as a bool.
  uint8_t u8Byte = 0;
  std::memcpy(&u8Byte, pReceiveValueIfPresent, 1);
  if (u8Byte > 1) ThrowBadParameter(sItemName, std::to_string(u8Byte));
}

void GetConfigString(const CConfigTree& tree, const std::string& sItemName,
                     std::string* pReceiveValueIfPresent, size_t uMaxLength) {
  LARCH_REQUIRE("Valid pReceiveValueIfPresent", pReceiveValueIfPresent != nullptr,
                sc_ConfigRefusal);
  tree.GetString(sItemName, pReceiveValueIfPresent);
  if (uMaxLength != 0 && pReceiveValueIfPresent->size() > uMaxLength) {
    ThrowBadParameter(sItemName, *pReceiveValueIfPresent);
  }
}

std::string GetConfigString(const CConfigTree& tree, const std::string& sItemName,
                            const std::string& sDefault, size_t uMaxLength) {
  std::string sValue = sDefault;
  GetConfigString(tree, sItemName, &sValue, uMaxLength);
  return sValue;
}

std::string GetConfigString(const std::string& sItemName, const CConfigTree& tree) {
  std::string sValue;
  tree.GetString(sItemName, &sValue);
  return sValue;
}

// ---- CMainConfigTree ----------------------------------------------------------------------

ThreadSafeCountedPtr<CConfigTree> CMainConfigTree::s_tsrcpConfigTree;

void CMainConfigTree::SetConfigTree(CConfigTree* pConfigTree) {
  LARCH_REQUIRE("NonNullConfigTreePtrInput", pConfigTree, sc_ConfigRefusal);
  LARCH_REQUIRE("ConfigNotYetSet", s_tsrcpConfigTree.Get() == 0, sc_ConfigRefusal);
  s_tsrcpConfigTree = ThreadSafeCountedPtr<CConfigTree>(pConfigTree);
  LARCH_POSTCONDITION("ConfigTreeNowSet", s_tsrcpConfigTree.Get() != 0);
}

ThreadSafeCountedPtr<CConfigTree> CMainConfigTree::GetConfigTree() {
  LARCH_REQUIRE("ConfigTreeSet", s_tsrcpConfigTree.Get() != 0, sc_ConfigRefusal);
  return s_tsrcpConfigTree;
}

void CMainConfigTree::ReleaseConfigTree() {
  LARCH_REQUIRE("ConfigTreeSet", s_tsrcpConfigTree.Get() != 0, sc_ConfigRefusal);
  s_tsrcpConfigTree = ThreadSafeCountedPtr<CConfigTree>();
  LARCH_POSTCONDITION("ConfigReleased", s_tsrcpConfigTree.Get() == 0);
}

CMainConfigTree::~CMainConfigTree() {
  try {
    LARCH_PRECONDITION("ConfigHasBeenSet", s_tsrcpConfigTree.Get() != 0);
    s_tsrcpConfigTree = ThreadSafeCountedPtr<CConfigTree>();
    LARCH_POSTCONDITION("ConfigHasBeenReleased", s_tsrcpConfigTree.Get() == 0);
  } catch (...) {
    // A destructor that runs while the scope unwinds must not throw.
  }
}

}  // namespace common
