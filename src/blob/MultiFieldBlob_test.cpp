// The blob's format, object model and edits: whole images compared byte for byte.
#include "blob/MultiFieldBlob.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "blob/BlobTestUtil.h"
#include "platform/FaultInjection.h"

using common::CMultiFieldBlob;
using namespace blob_test;

namespace {

const bool s_bWatching = (CAssertWatch::Get(), true);

TEST(BlobFormat, EmptyImagesLoad) {
  Bytes empty = {1, 0x50, 10, 0, 0, 0, 0, 0, 0, 0};
  CMultiFieldBlob blob(CMultiFieldBlob::eCopyOnWrite, empty.data(), 10);
  EXPECT_EQ(0u, blob.GetNumFields());
  EXPECT_EQ(empty, Stored(blob));

  Bytes spare = {1, 0x50, 10, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0};
  CMultiFieldBlob withSpare(CMultiFieldBlob::eCopyOnWrite, spare.data(), 15);
  EXPECT_EQ(0u, withSpare.GetNumFields());
  EXPECT_EQ(5u, withSpare.GetSizeOfSpareCapacity());
}

TEST(BlobFormat, LoadRefusalsInOrder) {
  ExpectLoadRefused<CMultiFieldBlob::CInvalidSerializedBlobException>(
      nullptr, 10, "CMultiFieldBlob(pSerialized): Null pSerialized");
  Bytes empty = {1, 0x50, 10, 0, 0, 0, 0, 0, 0, 0};
  ExpectLoadRefused<CMultiFieldBlob::CInvalidSerializedBlobException>(
      &empty, 9, "CMultiFieldBlob(pSerialized): Invalid ExpectedSizeOfSerializedImage");
  Bytes format2 = {2, 0x50, 10, 0, 0, 0, 0, 0, 0, 0};
  ExpectLoadRefused<CMultiFieldBlob::CInvalidSerializedBlobException>(
      &format2, 10, "CMultiFieldBlob(pSerialized): Invalid BinaryFormatCode");
  Bytes longer = {1, 0x50, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  ExpectLoadRefused<CMultiFieldBlob::CInvalidSerializedBlobException>(
      &longer, 14,
      "CMultiFieldBlob(pSerialized): Bad BlobHeader doesn't match ExpectedSizeOfSerializedImage");
  Bytes tooSmallSize = {1, 0x50, 5, 0, 0, 0, 5, 0, 0, 0};
  ExpectLoadRefused<CMultiFieldBlob::CInvalidSerializedBlobException>(
      &tooSmallSize, 10,
      "CMultiFieldBlob(pSerialized): Bad BlobHeader doesn't match ExpectedSizeOfSerializedImage");
  Bytes unknownCode = {1, 0x51, 10, 0, 0, 0, 0, 0, 0, 0};
  ExpectLoadRefused<CMultiFieldBlob::CInvalidSerializedBlobException>(
      &unknownCode, 10, "CMultiFieldBlob(pSerialized): Invalid m_u8PreprocessedFormatCode");
  Bytes partial = {1, 0x50, 13, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0};
  ExpectLoadRefused<CMultiFieldBlob::CInvalidSerializedBlobException>(
      &partial, 13, "CMultiFieldBlob(pSerialized): Partial field header at end of record");
  // Name "a", data length 2 but only one data byte before the end.
  Bytes pastEnd = {1, 0x50, 18, 0, 0, 0, 0, 0, 0, 0, 1, 0, 2, 0, 0, 0, 'a', 'x'};
  ExpectLoadRefused<CMultiFieldBlob::CInvalidSerializedBlobException>(
      &pastEnd, 18, "CMultiFieldBlob(pSerialized): Bad field - extends past end of blob");
  // A data length near 4 GiB must not wrap around the position.
  Bytes huge = {1, 0x50, 18, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 'x'};
  ExpectLoadRefused<CMultiFieldBlob::CInvalidSerializedBlobException>(
      &huge, 18, "CMultiFieldBlob(pSerialized): Bad field - extends past end of blob");
}

TEST(BlobFormat, DuplicateNamesInEitherOrder) {
  Bytes image = Image({{"ab", "1"}, {"ab", "2"}});
  ExpectLoadRefused<CMultiFieldBlob::CFieldAlreadyExistsException>(
      &image, static_cast<uint32_t>(image.size()),
      "CMultiFieldBlob(pSerialized): FieldId defined twice");
  Bytes other = Image({{"ab", "2"}, {"x", ""}, {"ab", "1"}});
  ExpectLoadRefused<CMultiFieldBlob::CFieldAlreadyExistsException>(
      &other, static_cast<uint32_t>(other.size()),
      "CMultiFieldBlob(pSerialized): FieldId defined twice");
}

TEST(BlobFormat, RecordWithEmptyDataAndIndexOrder) {
  Bytes image = Image({{"zz", "1"}, {"a", "2"}, {"abc", ""}, {"ab", "3"}});
  CMultiFieldBlob blob(CMultiFieldBlob::eCopyOnWrite, image.data(),
                       static_cast<uint32_t>(image.size()));
  std::vector<std::string> names;
  for (const auto& it : blob) names.push_back(it.GetFieldName());
  EXPECT_EQ((std::vector<std::string>{"a", "ab", "zz", "abc"}), names);
  CMultiFieldBlob::SizeOfFieldData_t uSize = 99;
  EXPECT_NE(nullptr, blob.FindFieldData("abc", &uSize));
  EXPECT_EQ(0u, uSize);
  // The record order of the image is kept as it was.
  EXPECT_EQ(image, Stored(blob));
}

TEST(BlobFormat, NameOrdering) {
  EXPECT_EQ(-1, CMultiFieldBlob::CompareFieldNamesForSearch(1, "b", 2, "aa"));
  EXPECT_EQ(1, CMultiFieldBlob::CompareFieldNamesForSearch(2, "aa", 1, "b"));
  EXPECT_EQ(0, CMultiFieldBlob::CompareFieldNamesForSearch(2, "ab", 2, "ab"));
  EXPECT_EQ(1, CMultiFieldBlob::CompareFieldNamesForSearch(1, "\xff", 1, "\x01"));
  uint8_t id256[] = {0, 1, 0, 0}, id1[] = {1, 0, 0, 0};
  EXPECT_EQ(-1, CMultiFieldBlob::CompareFieldNamesForSearch(4, id256, 4, id1));
  CMultiFieldBlob blob;
  blob.AddField(1u, "one");
  blob.AddField(256u, "two56");
  auto it = blob.begin();
  EXPECT_EQ(256u, it.GetNumericFieldName());
  ++it;
  EXPECT_EQ(1u, it.GetNumericFieldName());
  EXPECT_EQ(std::string("\x01\x00\x00\x00", 4), it.GetFieldName());
}

TEST(BlobObject, DefaultBlobAndFirstCopy) {
  CMultiFieldBlob blob;
  EXPECT_EQ(CMultiFieldBlob::eCopyOnWrite, blob.GetMemoryOwnership());
  EXPECT_EQ((Bytes{1, 0x50, 10, 0, 0, 0, 0, 0, 0, 0}), Stored(blob));
  blob.AddField("k", "v");
  EXPECT_EQ(CMultiFieldBlob::eTakeOwnershipOfMallocedSerializedBlob, blob.GetMemoryOwnership());
  const uint8_t* pEmpty = reinterpret_cast<const uint8_t*>(&CMultiFieldBlob::sc_EmptyBlobHeader);
  EXPECT_EQ((Bytes{1, 0x50, 10, 0, 0, 0, 0, 0, 0, 0}), Bytes(pEmpty, pEmpty + 10));
  EXPECT_EQ((Bytes{1, 0x50, 19, 0, 0, 0, 0, 0, 0, 0, 1, 0, 2, 0, 0, 0, 'k', 'v', 0}), Stored(blob));
}

TEST(BlobObject, GrowthSlackAndUnusedArea) {
  CMultiFieldBlob blob(0, 100);
  uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  blob.AddField(7u, data, sizeof(data));
  EXPECT_EQ(130u, blob.GetExactSizeOfMallocedSerializedBlob());
  EXPECT_EQ(30u, blob.GetSizeOfSerializedBlob());
  EXPECT_EQ(0u, blob.GetSizeOfSpareCapacity());
  EXPECT_EQ(100u, blob.GetSizeOfUnusedOwnedBlobArea());
  const uint8_t* pBefore = blob.PeekImage();
  blob.AddField(8u, data, sizeof(data));
  EXPECT_EQ(pBefore, blob.PeekImage());
  EXPECT_EQ(80u, blob.GetSizeOfUnusedOwnedBlobArea());
  EXPECT_EQ(50u, blob.GetSizeOfSerializedBlob());
}

TEST(BlobObject, RemoveOnlyFieldReturnsBytesToSpare) {
  Bytes image = Image({{"abcd", "0123456789"}});
  ASSERT_EQ(30u, image.size());
  CMultiFieldBlob blob(CMultiFieldBlob::eCopyImmediately, image.data(), 30);
  blob.RemoveField("abcd");
  Bytes expected(30, 0);
  expected[0] = 1;
  expected[1] = 0x50;
  expected[2] = 10;
  expected[6] = 20;
  EXPECT_EQ(expected, Stored(blob));
  blob.RemoveField("absent");
  EXPECT_EQ(expected, Stored(blob));
}

TEST(BlobObject, UpdateShrinksAndGrowsInPlace) {
  Bytes image = Image({{"a", "0123456789"}, {"b", "xyz"}});
  CMultiFieldBlob blob(CMultiFieldBlob::eCopyImmediately, image.data(),
                       static_cast<uint32_t>(image.size()));
  uint32_t uLength = static_cast<uint32_t>(image.size());
  blob.UpdateField(blob.FindField("a"), "wxyz", 4);
  Bytes expected = Image({{"a", "wxyz"}, {"b", "xyz"}});
  expected.resize(uLength, 0);
  expected[6] = 6;  // spare capacity
  EXPECT_EQ(expected, Stored(blob));
  blob.SetField("a", "0123456789", 10);
  EXPECT_EQ(image, Stored(blob));
  blob.SetField("c", 5u);
  uint32_t u = 0;
  EXPECT_TRUE(blob.GetFieldDataAsU32("c", u));
  EXPECT_EQ(5u, u);
}

TEST(BlobObject, StringFields) {
  CMultiFieldBlob blob;
  blob.AddField("s", std::string("hello"));
  blob.AddField("raw", "abc", 3);
  blob.AddField("empty", "", 0);
  EXPECT_EQ("hello", blob.GetFieldDataAsCString("s"));
  EXPECT_EQ("", blob.GetFieldDataAsCString("absent"));
  ExpectThrowText<CMultiFieldBlob::CStringFieldNotTerminatedException>(
      [&] { blob.GetFieldDataAsCString("raw"); },
      "GetFieldDataAsCString(s,p) zero-length or not null-terminated");
  ExpectThrowText<CMultiFieldBlob::CStringFieldNotTerminatedException>(
      [&] { blob.GetFieldDataAsCString("empty"); },
      "GetFieldDataAsCString(s,p) zero-length or not null-terminated");
  ExpectThrowText<CMultiFieldBlob::CStringFieldNotTerminatedException>(
      [&] { blob.FindField("raw").GetFieldDataAsCString(); },
      "GetFieldDataAsCString(iterIndex) zero-length or not null-terminated");
  ExpectThrowText<CMultiFieldBlob::CFieldNameNotNumeriCBlobException>(
      [&] { blob.FindField("raw").GetNumericFieldName(); }, "GetNumericFieldName(): not numeric");
  ExpectThrowText<CMultiFieldBlob::CFieldAlreadyExistsException>(
      [&] { blob.AddField("s", "again"); }, "CMultiFieldBlob::AddField(): Field already exists");
}

TEST(BlobObject, AddFieldsAllOrNothing) {
  CMultiFieldBlob blob;
  blob.AddField("keep", "1");
  Bytes before = Stored(blob);
  uint32_t uSpare = blob.GetSizeOfSpareCapacity();
  using TD = CMultiFieldBlob::TFieldDescription;
  ExpectThrowText<CMultiFieldBlob::CFieldAlreadyExistsException>(
      [&] {
        blob.AddFields({TD("x", "1"), TD("keep", "2")});
      },
      "CMultiFieldBlob::AddFields(): duplicate field name");
  ExpectThrowText<CMultiFieldBlob::CFieldAlreadyExistsException>(
      [&] {
        blob.AddFields({TD("x", "1"), TD("y", "2"), TD("x", "3")});
      },
      "CMultiFieldBlob::AddFields(): duplicate field name");
  EXPECT_EQ(before, Stored(blob));
  EXPECT_EQ(uSpare, blob.GetSizeOfSpareCapacity());
  EXPECT_EQ(1u, blob.GetNumFields());

  blob.AddFields({TD("zz", "1"), TD("b", "2"), TD(9u, "\x01\x02", 2)});
  Bytes expected = Image({{"keep", std::string("1", 2)},
                          {"zz", std::string("1", 2)},
                          {"b", std::string("2", 2)},
                          {std::string("\x09\0\0\0", 4), "\x01\x02"}});
  EXPECT_EQ(expected, Stored(blob));
  std::vector<std::string> names;
  for (const auto& it : blob) names.push_back(it.GetFieldName());
  EXPECT_EQ((std::vector<std::string>{"b", "zz", std::string("\x09\0\0\0", 4), "keep"}), names);
}

// The Windows test binary carries "BINDATA" resource 7 (BlobTestResources.rc); POSIX programs
// carry no resources.

TEST(BlobObject, FieldFromBinaryResource) {
  CMultiFieldBlob blob;
  blob.AddField("keep", "1");
  Bytes before = Stored(blob);
  auto expectRefused = [&](uint16_t u16Id, const std::string& sText) {
    ExpectThrowText<std::runtime_error>([&] { blob.AddFieldFromWin32BinaryResource(u16Id, "res"); },
                                        sText);
    EXPECT_EQ(before, Stored(blob));
  };
  expectRefused(8, "AddFieldFromWin32BinaryResource: Missing resource 8");
  if (!LARCH_TEST_BINDATA) {
    expectRefused(7, "AddFieldFromWin32BinaryResource: Missing resource 7");
    return;
  }
  platform::InjectFailure("LoadResource", 1);
  expectRefused(7, "AddFieldFromWin32BinaryResource: Failed to load resource 7");
  platform::InjectFailure("LockResource", 1);
  expectRefused(7, "AddFieldFromWin32BinaryResource: Failed to lock resource 7");
  blob.AddFieldFromWin32BinaryResource(7, "res");
  EXPECT_EQ(Image({{"keep", std::string("1", 2)},
                   {"res", std::string("Larch test resource\0\x01\x02", 22)}}),
            Stored(blob));
}

// Reads of an unchanged blob and attaching a child skip the walk over its records, but the
// next change still finds what a stray write into the lent image broke.
TEST(BlobObject, InvariantCheckFindsAStrayWriteAtTheNextChange) {
  std::string sChild(reinterpret_cast<const char*>(&CMultiFieldBlob::sc_EmptyBlobHeader), 10);
  Bytes image = Image({{"a", "1"}, {"b", "2"}, {"c", sChild}});
  CMultiFieldBlob blob(CMultiFieldBlob::eCopyOnWrite, image.data(),
                       static_cast<uint32_t>(image.size()));
  EXPECT_EQ(3u, blob.GetNumFields());
  std::swap(image[16], image[23]);  // the two names change places; the index does not know
  EXPECT_EQ(3u, blob.GetNumFields());
  CMultiFieldBlob child(&blob, std::string("c"));
  {
    CExpectAssert expect("Index and records agree");
    blob.AddField("d", "4");
  }
  child.DetachFromParent();
}

TEST(BlobObject, CopyAndAssignment) {
  Bytes image = Image({{"a", "1"}, {"b", "22"}});
  CMultiFieldBlob lent(CMultiFieldBlob::eCopyOnWrite, image.data(),
                       static_cast<uint32_t>(image.size()), 0, 7);
  CMultiFieldBlob shared(lent);
  EXPECT_EQ(CMultiFieldBlob::eCopyOnWrite, shared.GetMemoryOwnership());
  EXPECT_EQ(lent.PeekImage(), shared.PeekImage());
  EXPECT_EQ(7u, shared.GetSizeOfGrowthSlack());

  CMultiFieldBlob owned(CMultiFieldBlob::eCopyImmediately, image.data(),
                        static_cast<uint32_t>(image.size()), 0, 7);
  owned.SetAutoPreprocessZLib(3);
  CMultiFieldBlob copy(owned);
  EXPECT_EQ(image.size() + 7, copy.GetExactSizeOfMallocedSerializedBlob());
  EXPECT_EQ(CMultiFieldBlob::ePlaintext, copy.GetAutoPreprocessCode());
  EXPECT_EQ(image, Stored(copy));

  CMultiFieldBlob target;
  target.AddField("old", "x");
  target = owned;
  EXPECT_EQ(image, Stored(target));
  EXPECT_EQ(CMultiFieldBlob::ePlaintext, target.GetAutoPreprocessCode());
  CMultiFieldBlob& self = target;
  target = self;
  EXPECT_EQ(image, Stored(target));
}

TEST(BlobChildren, EditInsideChildGrowsParent) {
  CMultiFieldBlob inner;
  inner.AddField("x", "1");
  CMultiFieldBlob root;
  root.AddField("before", "b");
  root.AddField("child", &inner);
  root.AddField("zafter", "a");
  EXPECT_EQ(CMultiFieldBlob::eChildBlobReferingToMemoryInParent, inner.GetMemoryOwnership());
  EXPECT_EQ(&root, inner.GetParentBlob());
  uint32_t uRootSize = root.GetSizeOfSerializedBlob();
  uint32_t uRootSpare = root.GetSizeOfSpareCapacity();
  inner.AddField("y", "22");
  EXPECT_EQ(uRootSize + 10, root.GetSizeOfSerializedBlob());
  EXPECT_EQ(uRootSpare >= 10 ? uRootSpare - 10 : 0, root.GetSizeOfSpareCapacity());
  EXPECT_EQ("a", root.GetFieldDataAsCString("zafter"));
  CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
  const uint8_t* p = root.FindFieldData("child", &uSize);
  EXPECT_EQ(Image({{"x", std::string("1", 2)}, {"y", std::string("22", 3)}}), Bytes(p, p + uSize));
  ExpectThrowText<CMultiFieldBlob::CAttemptToUpdateFieldWithRegisteredChildException>(
      [&] { root.SetField("child", "z"); },
      "CMultiFieldBlob: Attempt to update a field that has a registered child");
  EXPECT_TRUE(inner.DetachFromParent());
  EXPECT_EQ(0u, inner.GetNumFields());
  EXPECT_EQ(0u, root.GetNumRegisteredChildren());
  CMultiFieldBlob again(&root, "child");
  EXPECT_EQ("22", again.GetFieldDataAsCString("y"));
  ExpectThrowText<CMultiFieldBlob::CFieldDoesNotExistException>(
      [&] { CMultiFieldBlob missing(&root, "nope"); },
      "CMultiFieldBlob(pParent,FieldName): Field does not exist");
  ExpectThrowText<CMultiFieldBlob::CFieldAlreadyExistsException>(
      [&] {
        CMultiFieldBlob other;
        root.AddField("child", &other);
      },
      "CMultiFieldBlob::AddField(pNewChild): duplicate field name");
  {
    CExpectAssert expect("No other ChildBlob is registered to this field in parent");
    EXPECT_THROW(CMultiFieldBlob twice(&root, "child"), std::invalid_argument);
  }
  root.RemoveField("child");
  EXPECT_EQ(0u, root.GetNumRegisteredChildren());
  EXPECT_EQ(nullptr, again.GetParentBlob());
}

TEST(BlobChildren, ThreeLevelsEditsKeepEveryAncestorConsistent) {
  CMultiFieldBlob root(0, 16);
  root.AddField("a", "alpha");
  CMultiFieldBlob mid;
  mid.AddField("m", "mid");
  root.AddField("mid", &mid);
  root.AddField("z", "zulu");
  CMultiFieldBlob leaf;
  mid.AddField("leaf", &leaf);
  mid.AddField("n", "after");
  for (int i = 0; i < 50; ++i) {
    leaf.SetField(std::to_string(i), std::string(i, 'q'));
  }
  leaf.RemoveField("7");
  leaf.SetField("3", "short");
  // Reload the root's image and check all three levels.
  Bytes stored = Stored(root);
  CMultiFieldBlob reloaded(CMultiFieldBlob::eCopyOnWrite, stored.data(),
                           static_cast<uint32_t>(stored.size()));
  CMultiFieldBlob mid2(&reloaded, "mid");
  CMultiFieldBlob leaf2(&mid2, "leaf");
  EXPECT_EQ(49u, leaf2.GetNumFields());
  EXPECT_EQ("short", leaf2.GetFieldDataAsCString("3"));
  EXPECT_EQ(std::string(40, 'q'), leaf2.GetFieldDataAsCString("40"));
  EXPECT_EQ("after", mid2.GetFieldDataAsCString("n"));
  EXPECT_EQ("zulu", reloaded.GetFieldDataAsCString("z"));
  leaf2.DetachFromParent();
  mid2.DetachFromParent();
  leaf.DetachFromParent();
  mid.DetachFromParent();
}

TEST(BlobChildren, ChildSpareCapacityAbsorbsEdits) {
  Bytes childImage = Image({{"x", "1"}});
  childImage.resize(childImage.size() + 20, 0);
  childImage[6] = 20;
  CMultiFieldBlob root;
  root.AddField("c", childImage.data(), childImage.size());
  Bytes before = Stored(root);
  CMultiFieldBlob child(&root, "c");
  child.AddField("y", "2");  // a 9-byte record fits in the 20 spare bytes
  Bytes after = Stored(root);
  EXPECT_EQ(before.size(), after.size());
  EXPECT_EQ(Bytes(before.begin(), before.begin() + 10), Bytes(after.begin(), after.begin() + 10));
  EXPECT_EQ(11u, child.GetSizeOfSpareCapacity());
  child.DetachFromParent();
}

TEST(BlobChildren, AddedChildBringsItsOwnChildren) {
  CMultiFieldBlob child;
  CMultiFieldBlob grandChild;
  child.AddField("gc", &grandChild);
  grandChild.AddField("deep", "1");
  CMultiFieldBlob root;
  root.AddField("first", "f");
  root.AddField("child", &child);
  grandChild.SetField("deep", "changed");
  grandChild.AddField("more", std::string(100, 'm'));
  Bytes stored = Stored(root);
  CMultiFieldBlob reloaded(CMultiFieldBlob::eCopyOnWrite, stored.data(),
                           static_cast<uint32_t>(stored.size()));
  CMultiFieldBlob c(&reloaded, "child");
  CMultiFieldBlob g(&c, "gc");
  EXPECT_EQ("changed", g.GetFieldDataAsCString("deep"));
  EXPECT_EQ(std::string(100, 'm'), g.GetFieldDataAsCString("more"));
  // Removing all fields detaches the children first and keeps the image length.
  uint32_t uLength = reloaded.GetSizeOfSerializedBlob() + reloaded.GetSizeOfSpareCapacity();
  reloaded.RemoveAllFields();
  EXPECT_EQ(nullptr, c.GetParentBlob());
  EXPECT_EQ(nullptr, g.GetParentBlob());
  EXPECT_EQ(0u, g.GetNumFields());
  Bytes empty(uLength, 0);
  empty[0] = 1;
  empty[1] = 0x50;
  empty[2] = 10;
  empty[6] = static_cast<uint8_t>(uLength - 10);
  empty[7] = static_cast<uint8_t>((uLength - 10) >> 8);
  EXPECT_EQ(empty, Stored(reloaded));
  grandChild.DetachFromParent();
  child.DetachFromParent();
}

// Children nest down to the bound: deeper ones are refused whether they are attached to a
// field or added with their own children, and nothing changes.
TEST(BlobChildren, NestingBeyondTheBoundIsRefused) {
  const std::string sText = "CMultiFieldBlob: nesting deeper than 64 levels";
  Bytes image = Image({});
  for (uint32_t u = 0; u <= CMultiFieldBlob::sc_uMaxBlobNestingDepth; ++u) {
    image = Image({{"n", std::string(image.begin(), image.end())}});
  }
  CMultiFieldBlob root(CMultiFieldBlob::eCopyOnWrite, image.data(),
                       static_cast<uint32_t>(image.size()));
  std::vector<std::unique_ptr<CMultiFieldBlob>> chain;
  CMultiFieldBlob* pDeepest = &root;
  for (uint32_t u = 0; u < CMultiFieldBlob::sc_uMaxBlobNestingDepth; ++u) {
    chain.emplace_back(new CMultiFieldBlob(pDeepest, std::string("n")));
    pDeepest = chain.back().get();
  }
  ExpectThrowText<CMultiFieldBlob::CNestingTooDeepException>(
      [&] { CMultiFieldBlob tooDeep(pDeepest, std::string("n")); }, sText);

  CMultiFieldBlob inner(std::vector<CMultiFieldBlob::TFieldDescription>{{"x", "1"}});
  CMultiFieldBlob outer;
  outer.AddField("inner", &inner);
  CMultiFieldBlob* pLevel63 = chain[62].get();
  ExpectThrowText<CMultiFieldBlob::CNestingTooDeepException>(
      [&] { pLevel63->AddField("outer", &outer); }, sText);
  EXPECT_FALSE(pLevel63->FieldExists("outer"));
  EXPECT_EQ(nullptr, outer.GetParentBlob());
  inner.DetachFromParent();
  pLevel63->AddField("outer", &outer);
  EXPECT_EQ(pLevel63, outer.GetParentBlob());
  outer.DetachFromParent();
  while (!chain.empty()) chain.pop_back();
}

TEST(BlobChildren, MisuseIsAPreconditionFailure) {
  CMultiFieldBlob root;
  root.AddField("c", CMultiFieldBlob().GetSerializedBlob(nullptr), 10);
  CMultiFieldBlob child(&root, "c");
  {
    CExpectAssert expect("No children registered to the target of an assignment");
    EXPECT_THROW(root = CMultiFieldBlob(), std::invalid_argument);
  }
  {
    CExpectAssert expect("New child is not in this blob's hierarchy");
    EXPECT_THROW(child.AddField("self", &root), std::invalid_argument);
  }
  {
    CExpectAssert expect("Field name of 1 to 65535 bytes");
    EXPECT_THROW(root.AddField("", "x"), std::invalid_argument);
  }
  {
    CExpectAssert expect("ZLib compression level 1 to 9");
    EXPECT_THROW(root.SetAutoPreprocessZLib(10), std::invalid_argument);
  }
  {
    // A parent destroyed before its child detaches the child instead of leaving it dangling.
    auto* pParent = new CMultiFieldBlob(root);
    CMultiFieldBlob orphan(pParent, "c");
    CExpectAssert expect("No children still registered");
    delete pParent;
    EXPECT_EQ(nullptr, orphan.GetParentBlob());
  }
  child.DetachFromParent();
}

}  // namespace
