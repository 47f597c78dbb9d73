#include "config/ConfigTree.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "config/ConfigTestUtil.h"

using common::CConfigItemRecord;
using common::CConfigRecord;
using common::CConfigRecordTree;
using common::CConfigTree;
using common::CMainConfigTree;
using common::ThreadSafeCountedPtr;
using namespace config_test;

namespace {

CConfigRecord SampleRecord() {
  CConfigRecord record;
  record.SetString("name", "larch", true, "");
  record.SetString("off", "hidden", false, "");
  record.SetSignedInt32("offset", -7, true, "");
  record.SetUnsignedInt32("count", 5, true, "");
  record.SetBoolean("flag", true, true, "");
  record.SetBoolean("offflag", true, false, "");
  record.SetUnsignedInt32("net.port", 27030, true, "");
  record.SetString("net.host.name", "example", true, "");
  return record;
}

}  // namespace

TEST(ConfigRecordTree, AbsentAndInactiveItemsLeaveTheOutputAlone) {
  CConfigRecordTree tree(SampleRecord());
  bool bValue = true;
  EXPECT_FALSE(tree.GetBoolean("missing", &bValue));
  EXPECT_TRUE(bValue);
  EXPECT_FALSE(tree.GetBoolean("offflag", &bValue));
  EXPECT_TRUE(bValue);
  bValue = false;
  EXPECT_FALSE(tree.GetBoolean("offflag", &bValue));
  EXPECT_FALSE(bValue);
  std::string sValue = "default";
  EXPECT_FALSE(tree.GetString("off", &sValue));
  EXPECT_EQ("default", sValue);
  EXPECT_FALSE(tree.GetString("", &sValue));
}

TEST(ConfigRecordTree, ReturnsValuesOfTheRequestedTypeOnly) {
  CConfigRecordTree tree(SampleRecord());
  std::string sValue;
  int32_t nValue = 0;
  uint32_t uValue = 0;
  bool bValue = false;
  EXPECT_TRUE(tree.GetString("name", &sValue));
  EXPECT_EQ("larch", sValue);
  EXPECT_TRUE(tree.GetSignedInt32("offset", &nValue));
  EXPECT_EQ(-7, nValue);
  EXPECT_TRUE(tree.GetUnsignedInt32("count", &uValue));
  EXPECT_EQ(5u, uValue);
  EXPECT_TRUE(tree.GetBoolean("flag", &bValue));
  EXPECT_TRUE(bValue);
  EXPECT_TRUE(tree.GetBoolean("flag", nullptr));

  ExpectThrowText<std::runtime_error>([&] { tree.GetBoolean("name", &bValue); },
                                      "Requested config item exists but is not Boolean type");
  ExpectThrowText<std::runtime_error>([&] { tree.GetString("flag", &sValue); },
                                      "Requested config item exists but is not String type");
  ExpectThrowText<std::runtime_error>([&] { tree.GetSignedInt32("count", &nValue); },
                                      "Requested config item exists but is not SignedInt32 type");
  ExpectThrowText<std::runtime_error>([&] { tree.GetUnsignedInt32("offset", &uValue); },
                                      "Requested config item exists but is not UnsignedInt32 type");
  // The type is checked before the active flag.
  ExpectThrowText<std::runtime_error>([&] { tree.GetString("offflag", nullptr); },
                                      "Requested config item exists but is not String type");
  // Names are field names of this level: no splitting at full stops.
  EXPECT_FALSE(tree.GetUnsignedInt32("net.port", &uValue));
}

TEST(ConfigRecordTree, SubTreesFollowNamespacesAndMissingOnesAreEmpty) {
  CConfigRecordTree tree(SampleRecord());
  uint32_t uPort = 0;
  EXPECT_TRUE(tree.GetSubTree("net")->GetUnsignedInt32("port", &uPort));
  EXPECT_EQ(27030u, uPort);
  std::string sHost;
  EXPECT_TRUE(tree.GetSubTree("net.host")->GetString("name", &sHost));
  EXPECT_EQ("example", sHost);

  ThreadSafeCountedPtr<CConfigTree> pMissing = tree.GetSubTree("nothing.here");
  std::string s = "x";
  int32_t n = 1;
  uint32_t u = 2;
  bool b = true;
  EXPECT_FALSE(pMissing->GetString("name", &s));
  EXPECT_FALSE(pMissing->GetSignedInt32("offset", &n));
  EXPECT_FALSE(pMissing->GetUnsignedInt32("count", &u));
  EXPECT_FALSE(pMissing->GetBoolean("flag", &b));
  std::vector<std::string> names{"stale"};
  pMissing->GetItemNames(&names);
  EXPECT_TRUE(names.empty());

  tree.GetItemNames(&names);
  EXPECT_EQ((std::vector<std::string>{"net", "off", "flag", "name", "count", "offset", "offflag"}),
            names);
  ExpectThrowText<std::runtime_error>([&] { tree.GetSubTree("name"); },
                                      "Namespace in qualified name is not a namespace");
}

TEST(ConfigRecordTree, KeepsItsOwnCopyOfTheRecord) {
  CConfigRecord record = SampleRecord();
  CConfigRecordTree tree(record);
  record.SetString("name", "changed", true, "");
  record = CConfigRecord();
  std::string sValue;
  EXPECT_TRUE(tree.GetString("name", &sValue));
  EXPECT_EQ("larch", sValue);
}

TEST(ConfigRecordTree, OwnsItsBytesEvenWhenTheRecordOnlyBorrowedThem) {
  std::unique_ptr<CConfigRecordTree> pTree;
  {
    std::string sImage = RecordImage(SampleRecord());
    CConfigRecord borrowing(common::CMultiFieldBlob::eCopyOnWrite, sImage.data(),
                            uint32_t(sImage.size()));
    pTree.reset(new CConfigRecordTree(borrowing));
    sImage.assign(sImage.size(), '\0');
  }
  std::string sValue;
  EXPECT_TRUE(pTree->GetString("name", &sValue));
  EXPECT_EQ("larch", sValue);
}

TEST(ConfigRecordTree, MalformedItemsFailValidationOnLookUp) {
  CConfigRecord record = UnvalidatedRecord(BlobImage(
      {{"b",
        ItemImage(
            {{Id(1), Byte(2)}, {Id(2), Byte(9)}, {Id(3), Byte(1)}, {Id(4), std::string(1, 0)}})}}));
  CConfigRecordTree tree(record);
  bool bValue = false;
  ExpectThrowText<CConfigItemRecord::CValidateFieldsException>(
      [&] { tree.GetBoolean("b", &bValue); }, "Unexpected data value for Boolean type");
}

TEST(ConfigRecordTree, LookUpsRunConcurrently) {
  ThreadSafeCountedPtr<CConfigTree> pTree(new CConfigRecordTree(SampleRecord()));
  std::vector<std::thread> threads;
  std::atomic<int> nFound{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([pTree, &nFound] {
      for (int i = 0; i < 200; ++i) {
        ThreadSafeCountedPtr<CConfigTree> pCopy = pTree;
        uint32_t uPort = 0;
        if (pCopy->GetSubTree("net")->GetUnsignedInt32("port", &uPort) && uPort == 27030) {
          ++nFound;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(800, nFound.load());
  EXPECT_EQ(1, pTree.UseCount());
}

TEST(ConfigTreeHelpers, UnsignedRangeChecksFoundValuesAndDefaults) {
  CConfigRecordTree tree(SampleRecord());
  uint32_t uValue = 0;
  ExpectThrowText<std::runtime_error>(
      [&] { common::GetConfigUnsignedInt32InRange(tree, "absent", &uValue, 1, 10); },
      "Bad config parameter: absent 0");
  uValue = 3;
  common::GetConfigUnsignedInt32InRange(tree, "absent", &uValue, 1, 10);
  EXPECT_EQ(3u, uValue);
  common::GetConfigUnsignedInt32InRange(tree, "count", &uValue, 5, 5);
  EXPECT_EQ(5u, uValue);
  ExpectThrowText<std::runtime_error>(
      [&] { common::GetConfigUnsignedInt32InRange(tree, "count", &uValue, 6, 4000000000u); },
      "Bad config parameter: count 5");
  CAssertRecorder recorder;
  EXPECT_THROW(common::GetConfigUnsignedInt32InRange(tree, "count", nullptr, 0, 1),
               std::invalid_argument);
  EXPECT_EQ(std::vector<std::string>{"Valid pReceiveValueIfPresent"}, recorder.m_names);
}

TEST(ConfigTreeHelpers, BooleanChecksTheOutputByte) {
  CConfigRecordTree tree(SampleRecord());
  bool bValue = false;
  common::GetConfigBoolean(tree, "flag", &bValue);
  EXPECT_TRUE(bValue);
  // A default that is no proper bool (an uninitialised byte) is refused.
  bool bGarbage;
  const uint8_t u8Garbage = 2;
  std::memcpy(&bGarbage, &u8Garbage, 1);
  ExpectThrowText<std::runtime_error>([&] { common::GetConfigBoolean(tree, "absent", &bGarbage); },
                                      "Bad config parameter: absent 2");
}

TEST(ConfigTreeHelpers, StringLengthLimitAndPlainForms) {
  CConfigRecordTree tree(SampleRecord());
  std::string sValue;
  common::GetConfigString(tree, "name", &sValue, 0);
  EXPECT_EQ("larch", sValue);
  common::GetConfigString(tree, "name", &sValue, 5);
  ExpectThrowText<std::runtime_error>([&] { common::GetConfigString(tree, "name", &sValue, 4); },
                                      "Bad config parameter: name larch");
  ExpectThrowText<std::runtime_error>(
      [&] { common::GetConfigString(tree, "absent", std::string("too long"), 3); },
      "Bad config parameter: absent too long");
  EXPECT_EQ("fallback", common::GetConfigString(tree, "absent", std::string("fallback"), 0));
  EXPECT_EQ("larch", common::GetConfigString(tree, "name", std::string("fallback"), 0));
  EXPECT_EQ("larch", common::GetConfigString("name", tree));
  EXPECT_EQ("", common::GetConfigString("off", tree));
  EXPECT_EQ("", common::GetConfigString("absent", tree));
}

TEST(MainConfigTree, SetGetReleaseAndScopedRelease) {
  {
    CMainConfigTree scope;
    CMainConfigTree::SetConfigTree(new CConfigRecordTree(SampleRecord()));
    ThreadSafeCountedPtr<CConfigTree> pTree = CMainConfigTree::GetConfigTree();
    EXPECT_EQ(2, pTree.UseCount());
    CMainConfigTree::ReleaseConfigTree();
    // A copy handed out before the release stays usable.
    std::string sValue;
    EXPECT_TRUE(pTree->GetString("name", &sValue));
    EXPECT_EQ(1, pTree.UseCount());

    CMainConfigTree::SetConfigTree(new CConfigRecordTree());
    {
      CAssertRecorder recorder;
      CConfigRecordTree* pSecond = new CConfigRecordTree();
      EXPECT_THROW(CMainConfigTree::SetConfigTree(pSecond), std::invalid_argument);
      delete pSecond;  // refused, so still the caller's
      EXPECT_EQ(std::vector<std::string>{"ConfigNotYetSet"}, recorder.m_names);
    }
  }  // the scope object releases the tree
  CAssertRecorder recorder;
  EXPECT_THROW(CMainConfigTree::GetConfigTree(), std::invalid_argument);
  EXPECT_THROW(CMainConfigTree::ReleaseConfigTree(), std::invalid_argument);
  EXPECT_THROW(CMainConfigTree::SetConfigTree(nullptr), std::invalid_argument);
  { CMainConfigTree unsetScope; }  // releasing nothing is reported, never thrown
  EXPECT_EQ((std::vector<std::string>{"ConfigTreeSet", "ConfigTreeSet", "NonNullConfigTreePtrInput",
                                      "ConfigHasBeenSet"}),
            recorder.m_names);
}
