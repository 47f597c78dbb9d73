// Randomized model test: long random sequences of edits on a tree of attached blobs, each
// step compared with a plain map model, with the full invariant check on every operation.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <list>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "blob/BlobTestUtil.h"
#include "blob/MultiFieldBlob.h"
#include "support/TestUtil.h"

using common::CMultiFieldBlob;
using namespace blob_test;

namespace {

const bool s_bWatching = (CAssertWatch::Get(), true);

const uint8_t sc_key[16] = {7, 7, 7, 7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

struct SNode;

// A field of the model: leaf bytes, or a nested blob.
struct SField {
  std::string sData;
  std::unique_ptr<SNode> pNested;
};

struct SNode {
  std::map<std::string, SField> fields;
  CMultiFieldBlob* pLive = nullptr;  // the attached object, null when none
  int nDepth = 0;
};

class CModelTest {
 public:
  // With a file name the root lives in a memory-mapped file with a large growth area.
  explicit CModelTest(uint32_t uSeed, const std::string& sMappedFile = std::string())
      : m_random(uSeed), m_bMapped(!sMappedFile.empty()) {
    m_pRoot.reset(
        m_bMapped ? new CMultiFieldBlob(sMappedFile, CMultiFieldBlob::eReadWrite, 8 * 1024 * 1024)
                  : new CMultiFieldBlob(0, Pick(3) * 8));
    m_model.pLive = m_pRoot.get();
  }
  ~CModelTest() { DetachEverything(); }

  void Step() {
    std::vector<SNode*> live;
    CollectLive(m_model, live);
    SNode& node = *live[Pick(live.size())];
    size_t uOp = Pick(10);
    if (std::getenv("LARCH_MODEL_TRACE"))
      std::fprintf(stderr, "op %zu depth %d\n", uOp, node.nDepth);
    switch (uOp) {
      case 0:
      case 1:
        AddLeaf(node);
        break;
      case 2:
        SetLeaf(node);
        break;
      case 3:
        Remove(node);
        break;
      case 4:
        AttachNewChild(node);
        break;
      case 5:
        AttachExisting(node);
        break;
      case 6:
        EditDeep(live);
        break;
      case 7:
        Detach(live);
        break;
      case 8:
        SerializeAndReload();
        break;
      case 9:
        SwitchPreprocessing(node);
        break;
    }
    Compare(m_model);
  }

 private:
  size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(m_random); }

  std::string RandomName() {
    static const char* const sc_names[] = {"a", "b", "ab", "zz", "key", "x\xff", "long-name"};
    if (Pick(4) == 0) {
      static const uint32_t sc_ids[] = {1, 256, 7, 0x01000000};
      uint32_t u = sc_ids[Pick(4)];
      return std::string(reinterpret_cast<const char*>(&u), 4);  // little-endian host order
    }
    return sc_names[Pick(7)];
  }

  std::string RandomData() {
    std::string s(Pick(4) == 0 ? Pick(300) : Pick(40), '\0');
    for (char& c : s) c = static_cast<char>(Pick(3) == 0 ? 0 : 'a' + Pick(26));
    return s;
  }

  static CMultiFieldBlob::CFieldName Name(const std::string& s) {
    return CMultiFieldBlob::CFieldName(s.data(), s.size());
  }

  void CollectLive(SNode& node, std::vector<SNode*>& out) {
    if (node.pLive) out.push_back(&node);
    for (auto& f : node.fields) {
      if (f.second.pNested) CollectLive(*f.second.pNested, out);
    }
  }

  void AddLeaf(SNode& node) {
    std::string sName = RandomName(), sData = RandomData();
    if (node.fields.count(sName)) {
      ExpectThrowText<CMultiFieldBlob::CFieldAlreadyExistsException>(
          [&] { node.pLive->AddField(Name(sName), sData.data(), sData.size()); },
          "CMultiFieldBlob::AddField(): Field already exists");
      return;
    }
    node.pLive->AddField(Name(sName), sData.data(), sData.size());
    node.fields[sName].sData = sData;
  }

  void SetLeaf(SNode& node) {
    if (node.fields.empty()) return AddLeaf(node);
    auto it = node.fields.begin();
    std::advance(it, Pick(node.fields.size()));
    std::string sData = RandomData();
    if (it->second.pNested && it->second.pNested->pLive) {
      ExpectThrowText<CMultiFieldBlob::CAttemptToUpdateFieldWithRegisteredChildException>(
          [&] { node.pLive->SetField(Name(it->first), sData.data(), sData.size()); },
          "CMultiFieldBlob: Attempt to update a field that has a registered child");
      return;
    }
    node.pLive->SetField(Name(it->first), sData.data(), sData.size());
    it->second.sData = sData;
    it->second.pNested.reset();
  }

  void Remove(SNode& node) {
    if (node.fields.empty()) return;
    auto it = node.fields.begin();
    std::advance(it, Pick(node.fields.size()));
    node.pLive->RemoveField(Name(it->first));
    if (it->second.pNested) Forget(*it->second.pNested);
    node.fields.erase(it);
  }

  // The objects of a detached subtree are empty now; the model keeps the field's content.
  void Forget(SNode& node) {
    if (node.pLive) {
      EXPECT_EQ(nullptr, node.pLive->GetParentBlob());
      EXPECT_EQ(0u, node.pLive->GetNumFields());
    }
    node.pLive = nullptr;
    for (auto& f : node.fields) {
      if (f.second.pNested) Forget(*f.second.pNested);
    }
  }

  void AttachNewChild(SNode& node) {
    if (node.nDepth >= 3) return AddLeaf(node);
    std::string sName = RandomName();
    auto pChild = std::make_unique<CMultiFieldBlob>(Pick(2), static_cast<uint32_t>(Pick(3) * 16));
    auto pNested = std::make_unique<SNode>();
    pNested->nDepth = node.nDepth + 1;
    for (size_t i = Pick(4); i > 0; --i) {
      std::string sField = RandomName(), sData = RandomData();
      pChild->SetField(Name(sField), sData.data(), sData.size());
      pNested->fields[sField].sData = sData;
    }
    if (Pick(3) == 0) pChild->SetAutoPreprocessZLib(static_cast<uint16_t>(1 + Pick(9)));
    auto it = node.fields.find(sName);
    bool bExists = it != node.fields.end();
    if (bExists && (it->second.pNested && it->second.pNested->pLive)) return;
    bool bReplace = bExists && Pick(2) == 0;
    if (bExists && !bReplace) {
      ExpectThrowText<CMultiFieldBlob::CFieldAlreadyExistsException>(
          [&] { node.pLive->AddField(Name(sName), pChild.get()); },
          "CMultiFieldBlob::AddField(pNewChild): duplicate field name");
      return;
    }
    node.pLive->AddField(Name(sName), pChild.get(), bReplace);
    pNested->pLive = pChild.get();
    SField& field = node.fields[sName];
    field.sData.clear();
    field.pNested = std::move(pNested);
    m_objects.push_back(std::move(pChild));
  }

  void AttachExisting(SNode& node) {
    for (auto& f : node.fields) {
      if (f.second.pNested && !f.second.pNested->pLive) {
        m_objects.emplace_back(new CMultiFieldBlob(node.pLive, f.first, 0, sc_key));
        f.second.pNested->pLive = m_objects.back().get();
        return;
      }
    }
    AttachNewChild(node);
  }

  void EditDeep(std::vector<SNode*>& live) {
    std::vector<SNode*> deep;
    for (SNode* p : live) {
      if (p->nDepth >= 2) deep.push_back(p);
    }
    if (deep.empty()) return AttachNewChild(*live[Pick(live.size())]);
    SNode& node = *deep[Pick(deep.size())];
    Pick(2) ? AddLeaf(node) : SetLeaf(node);
  }

  void Detach(std::vector<SNode*>& live) {
    std::vector<SNode*> children;
    for (SNode* p : live) {
      if (p->nDepth > 0) children.push_back(p);
    }
    if (children.empty()) return;
    SNode& node = *children[Pick(children.size())];
    EXPECT_TRUE(node.pLive->DetachFromParent());
    Forget(node);
  }

  void DetachEverything() {
    for (auto& f : m_model.fields) {
      if (f.second.pNested && f.second.pNested->pLive) {
        f.second.pNested->pLive->DetachFromParent();
        Forget(*f.second.pNested);
      }
    }
    m_objects.clear();
  }

  void SerializeAndReload() {
    // A copy of a lent image shares it, so the bytes stay alive as long as the test.
    m_lent.push_back(Stored(*m_pRoot));
    Bytes& stored = m_lent.back();
    auto eMode = Pick(3) == 0 ? CMultiFieldBlob::eCopyImmediately : CMultiFieldBlob::eCopyOnWrite;
    CMultiFieldBlob reloaded(eMode, stored.data(), static_cast<uint32_t>(stored.size()), 0, 0,
                             sc_key);
    SNode& model = m_model;
    CompareUnattached(reloaded, model);
    if (!m_bMapped && Pick(4) == 0) {
      // The root takes the reloaded image; every attached object goes.
      DetachEverything();
      *m_pRoot = reloaded;
    }
  }

  void SwitchPreprocessing(SNode& node) {
    switch (Pick(3)) {
      case 0:
        node.pLive->SetAutoPreprocessZLib(static_cast<uint16_t>(1 + Pick(9)));
        break;
      case 1: {
        uint8_t iv[16];
        for (uint8_t& u : iv) u = static_cast<uint8_t>(Pick(256));
        node.pLive->SetAutoPreprocessAES128(sc_key, iv);
        break;
      }
      case 2:
        node.pLive->SetAutoPreprocessPlaintext();
        break;
    }
    if (Pick(2)) Stored(*m_pRoot);  // leaves preprocessed and collapsed objects behind
  }

  void Compare(SNode& node) { CompareBlob(*node.pLive, node); }

  // Compares a blob with the model; nested fields without an attached object are opened
  // with a temporary child.
  void CompareBlob(CMultiFieldBlob& blob, SNode& node) {
    ASSERT_EQ(node.fields.size(), blob.GetNumFields());
    std::string sPrevious;
    bool bFirst = true;
    for (auto it = blob.begin(); it != blob.end(); ++it) {
      std::string sName = it.GetFieldName();
      if (!bFirst) {
        EXPECT_EQ(-1, CMultiFieldBlob::CompareFieldNamesForSearch(
                          static_cast<uint16_t>(sPrevious.size()), sPrevious.data(),
                          static_cast<uint16_t>(sName.size()), sName.data()));
      }
      bFirst = false;
      sPrevious = sName;
      auto found = node.fields.find(sName);
      ASSERT_NE(node.fields.end(), found) << "unexpected field " << sName;
      SField& field = found->second;
      if (!field.pNested) {
        CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
        const uint8_t* p = it.GetFieldData(&uSize);
        EXPECT_EQ(field.sData, std::string(reinterpret_cast<const char*>(p), uSize));
      } else if (field.pNested->pLive) {
        EXPECT_EQ(field.pNested->pLive, it.FindRegisteredChildBlob());
        CompareBlob(*field.pNested->pLive, *field.pNested);
      } else {
        CMultiFieldBlob temporary(&blob, it, 0, sc_key);
        CompareUnattached(temporary, *field.pNested);
        temporary.DetachFromParent();
      }
    }
  }

  // A blob with no attached objects compared with a model that may have some.
  void CompareUnattached(CMultiFieldBlob& blob, SNode& node) {
    ASSERT_EQ(node.fields.size(), blob.GetNumFields());
    for (auto& f : node.fields) {
      if (!f.second.pNested) {
        CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
        const uint8_t* p = blob.FindFieldData(Name(f.first), &uSize);
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(f.second.sData, std::string(reinterpret_cast<const char*>(p), uSize));
      } else {
        CMultiFieldBlob temporary(&blob, f.first, 0, sc_key);
        CompareUnattached(temporary, *f.second.pNested);
        temporary.DetachFromParent();
      }
    }
  }

  std::list<Bytes> m_lent;
  std::mt19937 m_random;
  bool m_bMapped;
  std::unique_ptr<CMultiFieldBlob> m_pRoot;
  std::vector<std::unique_ptr<CMultiFieldBlob>> m_objects;
  SNode m_model;
};

TEST(BlobModel, RandomEditsOnNestedBlobsMatchTheModel) {
  for (uint32_t uSeed = 1; uSeed <= 6; ++uSeed) {
    CModelTest test(uSeed);
    for (int i = 0; i < 3000; ++i) {
      test.Step();
      if (::testing::Test::HasFailure()) {
        ADD_FAILURE() << "seed " << uSeed << " step " << i;
        return;
      }
    }
  }
}

}  // namespace

namespace {

TEST(BlobModel, RandomEditsInAMappedFileMatchTheModel) {
  for (uint32_t uSeed = 11; uSeed <= 13; ++uSeed) {
    larch_test::CScratchDir dir;
    {
      CModelTest test(uSeed, dir / "model.blob");
      for (int i = 0; i < 2000; ++i) {
        test.Step();
        if (::testing::Test::HasFailure()) {
          ADD_FAILURE() << "seed " << uSeed << " step " << i;
          return;
        }
      }
    }
    // Closed: the file holds exactly the image, and it loads.
    std::ifstream in(dir / "model.blob", std::ios::binary);
    Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    CMultiFieldBlob reread(CMultiFieldBlob::eCopyOnWrite, file.data(),
                           static_cast<uint32_t>(file.size()), 0, 0, sc_key);
  }
}

}  // namespace
