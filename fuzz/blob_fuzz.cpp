// Loads arbitrary bytes as a blob image, with and without a key, walks every field and every
// nested blob, edits the tree a little and checks that its stored image loads back to the
// same fields. Refusals are expected; crashes, leaks and out-of-bounds reads are not.
//
// Input: first byte bit 0 = load with the key, bit 1 = store compressed before reloading,
// bits 2 and 3 = compress the first and encrypt the last attached child, bit 4 = serialize
// once in between; the rest is the image.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "blob/MultiFieldBlob.h"
#include "support/Assert.h"
#include "support/ByteOrder.h"

using common::CMultiFieldBlob;
using common::LoadLittleEndian32;

using fuzz_support::Check;

namespace {

const uint8_t sc_key[16] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe,
                            0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
constexpr int sc_nMaxDepth = 4;
constexpr size_t sc_uMaxChildren = 64;

// A compressed envelope may claim up to 64 MiB of spare capacity, which is then allocated;
// such claims are valid images but only measure the allocator.
bool ClaimsHugeSpare(const uint8_t* p, size_t n) {
  for (size_t i = 0; i + 18 <= n; ++i) {
    if (p[i] == 1 && p[i + 1] == 0x43 && LoadLittleEndian32(p + i + 14) > (1u << 20)) return true;
  }
  return false;
}

using Children = std::vector<std::unique_ptr<CMultiFieldBlob>>;

// A flat description of a tree: names, data of leaves, and nested trees, in index order.
void Describe(CMultiFieldBlob& blob, int nDepth, Children& children, std::string& sOut) {
  for (auto it = blob.begin(); it != blob.end(); ++it) {
    std::string sName = it.GetFieldName();
    sOut += sName;
    sOut += '\x1f';
    if (sName.size() == 4) sOut += std::to_string(it.GetNumericFieldName());
    CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
    const uint8_t* pData = it.GetFieldData(&uSize);
    try {
      sOut += it.GetFieldDataAsCString();
    } catch (const CMultiFieldBlob::CBlobException&) {
    }
    bool bNested = false;
    if (nDepth < sc_nMaxDepth && children.size() < sc_uMaxChildren && uSize >= 10) {
      try {
        children.emplace_back(new CMultiFieldBlob(&blob, it, 0, sc_key));
        bNested = true;
      } catch (const std::exception&) {
      }
    }
    if (bNested) {
      sOut += '{';
      Describe(*children.back(), nDepth + 1, children, sOut);
      sOut += '}';
    } else {
      // The field may have changed form (an envelope opened in place): read it again.
      pData = blob.FindFieldData(CMultiFieldBlob::CFieldName(sName), &uSize);
      sOut.append(reinterpret_cast<const char*>(pData), uSize);
    }
  }
}

void DetachAll(Children& children) {
  for (auto it = children.rbegin(); it != children.rend(); ++it) (*it)->DetachFromParent();
  children.clear();
}

void Run(const uint8_t* pImage, size_t uSize, bool bKey, bool bCompress, uint8_t uFlags) {
  std::unique_ptr<CMultiFieldBlob> pRoot;
  try {
    pRoot.reset(new CMultiFieldBlob(CMultiFieldBlob::eCopyOnWrite, pImage,
                                    static_cast<uint32_t>(uSize), 0, 16, bKey ? sc_key : nullptr));
  } catch (const std::exception&) {
    return;
  }
  Children children;
  std::string sBefore;
  Describe(*pRoot, 0, children, sBefore);
  // A few edits in the deepest attached child and the root.
  try {
    CMultiFieldBlob& target = children.empty() ? *pRoot : *children.back();
    target.SetField("fuzz-added", "value");
    if (target.GetNumFields() > 1) {
      auto it = target.begin();
      if (!it.FindRegisteredChildBlob()) target.RemoveField(it);
    }
    pRoot->SetField(7u, 42u);
  } catch (const std::exception&) {
  }
  if (bCompress) pRoot->SetAutoPreprocessZLib(6);
  // Children that store themselves in another form inside their parents.
  if (uFlags & 4 && !children.empty()) children.front()->SetAutoPreprocessZLib(1);
  if (uFlags & 8 && !children.empty()) children.back()->SetAutoPreprocessAES128(sc_key, sc_key);
  if (uFlags & 16) {
    CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
    pRoot->GetSerializedBlob(&uSize);  // leaves collapsed children behind
  }
  std::string sEdited;
  DetachAll(children);
  Describe(*pRoot, 0, children, sEdited);
  CMultiFieldBlob::SizeOfFieldData_t uStored = 0;
  const uint8_t* pStored = pRoot->GetSerializedBlob(&uStored);
  std::vector<uint8_t> stored(pStored, pStored + uStored);
  DetachAll(children);
  CMultiFieldBlob reloaded(CMultiFieldBlob::eCopyImmediately, stored.data(), uStored, 0, 0, sc_key);
  std::string sAfter;
  Describe(reloaded, 0, children, sAfter);
  Check(sAfter == sEdited);
  DetachAll(children);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize) {
  fuzz_support::AbortOnAssert();
  if (uSize < 1 || uSize > (1u << 20)) return 0;
  const uint8_t* pImage = pData + 1;
  size_t uImage = uSize - 1;
  if (ClaimsHugeSpare(pImage, uImage)) return 0;
  Run(uImage ? pImage : nullptr, uImage, (pData[0] & 1) != 0, (pData[0] & 2) != 0, pData[0]);
  return 0;
}
