#include "config/ConfigRecord.h"

#include <gtest/gtest.h>

#include <sstream>

#include "config/ConfigRecordXMLWriter.h"
#include "config/ConfigTestUtil.h"

using common::CConfigItemRecord;
using common::CConfigRecord;
using common::CMultiFieldBlob;
using namespace config_test;

namespace {

typedef CConfigItemRecord::CValidateFieldsException CValidateFieldsException;

const std::string sc_sNoField = "CMultiFieldBlob(pParent,FieldName): Field does not exist";

// An item with the fields of a valid String item, then changed by the caller.
Fields StringItemFields() {
  return {{Id(1), Byte(5)},
          {Id(2), std::string("v", 2)},
          {Id(3), Byte(1)},
          {Id(4), std::string("d", 2)}};
}

Fields Without(Fields fields, uint32_t uId) {
  for (auto it = fields.begin(); it != fields.end(); ++it) {
    if (it->first == Id(uId)) {
      fields.erase(it);
      break;
    }
  }
  return fields;
}

Fields With(Fields fields, uint32_t uId, const std::string& sData) {
  fields = Without(fields, uId);
  fields.push_back({Id(uId), sData});
  return fields;
}

void ExpectValidation(const Fields& itemFields, const std::string& sText) {
  SCOPED_TRACE(sText);
  std::string sImage = BlobImage({{"item", ItemImage(itemFields)}});
  ExpectThrowText<CValidateFieldsException>(
      [&] { CConfigRecord(CMultiFieldBlob::eCopyImmediately, sImage.data(), sImage.size()); },
      sText);
}

}  // namespace

TEST(ConfigRecordSetters, NamespacesAreCreatedOnDemandWithTheItemsActiveFlag) {
  CConfigRecord record;
  record.SetUnsignedInt32("A.B.X", 7, true, "d");

  ASSERT_EQ(1u, record.GetNumFields());
  std::string sA = FieldData(record, "A");
  CConfigItemRecord a(CMultiFieldBlob::eCopyImmediately, sA.data(), uint32_t(sA.size()));
  EXPECT_EQ(Byte(1), FieldData(a, 1));
  EXPECT_EQ(Byte(1), FieldData(a, 3));
  EXPECT_EQ("<absent>", FieldData(a, 4));
  EXPECT_EQ(3u, a.GetNumFields());

  std::string sNestedA = FieldData(a, 2);
  CConfigRecord recordA(CMultiFieldBlob::eCopyImmediately, sNestedA.data(), sNestedA.size());
  std::string sB = FieldData(recordA, "B");
  CConfigItemRecord b(CMultiFieldBlob::eCopyImmediately, sB.data(), uint32_t(sB.size()));
  EXPECT_EQ(Byte(1), FieldData(b, 1));

  CConfigRecord recordB = record.GetNamespace("A.B");
  std::string sX = FieldData(recordB, "X");
  CConfigItemRecord x(CMultiFieldBlob::eCopyImmediately, sX.data(), uint32_t(sX.size()));
  EXPECT_EQ(Byte(3), FieldData(x, 1));
  EXPECT_EQ(std::string("\x07\x00\x00\x00", 4), FieldData(x, 2));
  EXPECT_EQ(Byte(1), FieldData(x, 3));
  EXPECT_EQ(std::string("d\0", 2), FieldData(x, 4));
}

TEST(ConfigRecordSetters, InactiveItemCreatesInactiveNamespacesAndLaterItemsKeepThem) {
  CConfigRecord record;
  record.SetBoolean("N.first", true, false, "");
  record.SetBoolean("N.second", false, true, "");
  std::string sN = FieldData(record, "N");
  CConfigItemRecord n(CMultiFieldBlob::eCopyImmediately, sN.data(), uint32_t(sN.size()));
  EXPECT_FALSE(n.IsActive());
  EXPECT_EQ(2u, record.GetNamespace("N").GetNumFields());
}

TEST(ConfigRecordSetters, ReplaceExistingItemsAtAnyLevelAndMayChangeTheirType) {
  CConfigRecord record;
  record.SetString("S.x", "old", true, "first");
  record.SetString("top", "t", true, "");
  record.SetSignedInt32("S.x", -5, false, "second");
  record.SetBoolean("top", true, true, "b");

  CConfigRecord s = record.GetNamespace("S");
  ASSERT_EQ(1u, s.GetNumFields());
  std::string sX = FieldData(s, "x");
  CConfigItemRecord x(CMultiFieldBlob::eCopyImmediately, sX.data(), uint32_t(sX.size()));
  int32_t nValue = 0;
  x.GetSignedInt32(&nValue);
  EXPECT_EQ(-5, nValue);
  EXPECT_FALSE(x.IsActive());
  EXPECT_EQ("second", x.GetDescription());
  EXPECT_EQ(2u, record.GetNumFields());
}

TEST(ConfigRecordSetters, NameErrorsLeaveTheRecordUnchanged) {
  CConfigRecord record;
  record.SetBoolean("A", true, true, "");
  record.SetString("N.x", "v", true, "");
  std::string sBefore = RecordImage(record);

  ExpectThrowText<std::runtime_error>([&] { record.SetString("A.X", "v", true, ""); },
                                      "Namespace in qualified name is not a namespace");
  ExpectThrowText<std::runtime_error>([&] { record.SetString("N.", "v", true, ""); },
                                      "Bad namespace name: N.");
  ExpectThrowText<std::runtime_error>([&] { record.SetString("N.y.", "v", true, ""); },
                                      "Bad namespace name: N.y.");
  ExpectThrowText<std::runtime_error>([&] { record.SetString("new.z.", "v", true, ""); },
                                      "Bad namespace name: new.z.");
  EXPECT_EQ(sBefore, RecordImage(record));
}

TEST(ConfigRecordSetters, EmptyPartsAndBadItemNamesAreRefused) {
  CConfigRecord record;
  record.SetString("a.x", "v", true, "");
  std::string sBefore = RecordImage(record);
  for (const char* pszName : {".x", "a..x", "a.", "..", "."}) {
    ExpectThrowText<std::runtime_error>([&] { record.SetString(pszName, "v", true, ""); },
                                        std::string("Bad namespace name: ") + pszName);
  }
  ExpectThrowText<std::runtime_error>([&] { record.SetString("", "v", true, ""); },
                                      "Empty config item name");
  ExpectThrowText<std::runtime_error>(
      [&] { record.SetString("a." + std::string(65536, 'n'), "v", true, ""); },
      "Config item name longer than 65535 bytes");
  ExpectThrowText<std::runtime_error>([&] { record.AddNamespace("", true); },
                                      "Empty config item name");
  EXPECT_EQ(sBefore, RecordImage(record));
  record.SetString(std::string(65535, 'n'), "v", true, "");
  EXPECT_NO_THROW(record.Validate());
}

TEST(ConfigRecordMerge, ItemNamesThatNameNothingFailWithoutAssertions) {
  // Item names are bytes: one holding full stops cannot be merged under its own name.
  CAssertRecorder recorder;
  CConfigRecord target;
  CConfigRecord withDottedItem = UnvalidatedRecord(BlobImage(
      {{".x",
        ItemImage({{Id(1), Byte(2)}, {Id(2), Byte(1)}, {Id(3), Byte(1)}, {Id(4), Byte(0)}})}}));
  ExpectThrowText<std::runtime_error>([&] { target.MergeRecord("p", withDottedItem); },
                                      "Bad namespace name: p..x");
  ExpectThrowText<std::runtime_error>([&] { target.MergeRecord("", withDottedItem); },
                                      "Bad namespace name: .x");
  EXPECT_TRUE(recorder.m_names.empty());
}

TEST(ConfigRecordSetters, ExistingNamespaceWithoutValueFieldFailsOpenedOrNot) {
  std::string sImage = BlobImage({{"A", ItemImage({{Id(1), Byte(1)}, {Id(3), Byte(1)}})}});
  CConfigRecord record = UnvalidatedRecord(sImage);
  ExpectThrowText<std::runtime_error>(
      [&] { record.SetString("A.x", "v", true, ""); },
      "Missing value field in existing (not opened) child namespace subrecord");
  {
    CConfigItemRecord opened(&record, record.FindField("A"), false);
    ExpectThrowText<std::runtime_error>(
        [&] { record.SetString("A.x", "v", true, ""); },
        "Missing value field in existing (opened) child namespace subrecord");
  }
  // An item without a type field is no namespace either.
  CConfigRecord noType = UnvalidatedRecord(BlobImage({{"A", ItemImage({{Id(3), Byte(1)}})}}));
  ExpectThrowText<std::runtime_error>([&] { noType.SetString("A.x", "v", true, ""); },
                                      "Namespace in qualified name is not a namespace");
}

TEST(ConfigRecordSetters, GoThroughAnAttachedItemAndItsAttachedRecord) {
  CConfigRecord record;
  record.SetString("A.x", "1", true, "");
  {
    CConfigItemRecord item(&record, record.FindField("A"), true);
    record.SetString("A.y", "2", true, "");
    {
      CConfigRecord nested(&item);
      record.SetString("A.z", "3", true, "");
      EXPECT_EQ(3u, nested.GetNumFields());
    }
  }
  CConfigRecord a = record.GetNamespace("A");
  EXPECT_EQ(3u, a.GetNumFields());
  EXPECT_NO_THROW(record.Validate());
}

TEST(ConfigRecordSetters, NamesNestingTooDeepAreRefused) {
  std::string sName;
  for (unsigned u = 0; u < CConfigRecord::sc_uMaxNamespaceDepth; ++u) sName += "n.";
  std::string sDeepest = sName + "x";
  sName += "n.x";
  CConfigRecord record;
  ExpectThrowText<std::runtime_error>([&] { record.SetBoolean(sName, true, true, ""); },
                                      "Bad namespace name: " + sName);
  EXPECT_EQ(0u, record.GetNumFields());
  // The deepest names are set through attached children within the blob's nesting bound.
  record.SetBoolean(sDeepest, false, true, "");
  record.SetBoolean(sDeepest, true, true, "");
  EXPECT_NO_THROW(record.Validate());
}

TEST(ConfigRecordNamespaces, GetNamespaceCopiesAndToleratesAbsence) {
  CConfigRecord record;
  record.SetString("A.B.x", "v", true, "");
  record.SetBoolean("flag", true, true, "");

  EXPECT_EQ(0u, record.GetNamespace("missing").GetNumFields());
  EXPECT_EQ(0u, record.GetNamespace("A.missing.deeper").GetNumFields());
  ExpectThrowText<std::runtime_error>([&] { record.GetNamespace("flag"); },
                                      "Namespace in qualified name is not a namespace");
  ExpectThrowText<std::runtime_error>([&] { record.GetNamespace("A."); }, "Bad namespace name: A.");

  CConfigRecord b;
  {
    CConfigRecord source = record;
    b = source.GetNamespace("A.B");
  }
  // The copy owns its bytes: it outlives the record it came from.
  EXPECT_EQ(std::string("v\0", 2), [&] {
    std::string sX = FieldData(b, "x");
    CConfigItemRecord x(CMultiFieldBlob::eCopyImmediately, sX.data(), uint32_t(sX.size()));
    return FieldData(x, 2);
  }());

  CAssertRecorder recorder;
  EXPECT_THROW(record.GetNamespace(""), std::invalid_argument);
  EXPECT_EQ(std::vector<std::string>{"NonEmptyAskedForNamespace"}, recorder.m_names);
}

TEST(ConfigRecordNamespaces, AddNamespaceUsesThePlainNameAndRefusesDuplicates) {
  CConfigRecord record;
  record.AddNamespace("a.b", false);
  EXPECT_TRUE(record.FieldExists(std::string("a.b")));
  ExpectThrowText<CMultiFieldBlob::CFieldAlreadyExistsException>(
      [&] { record.AddNamespace("a.b", true); },
      "CMultiFieldBlob::AddField(pNewChild): duplicate field name");
  EXPECT_NO_THROW(record.Validate());
}

TEST(ConfigRecordMerge, CopiesTypedItemsUnderThePrefixAndReplacesExistingOnes) {
  CConfigRecord source;
  source.SetString("s", "text", true, "ds");
  source.SetUnsignedInt32("ns.u", 4000000000u, false, "du");
  source.SetSignedInt32("ns.deeper.i", -3, true, "di");
  source.SetBoolean("b", true, false, "db");

  CConfigRecord target;
  target.SetString("P.s", "old", true, "");
  target.SetString("keep", "k", true, "");
  target.MergeRecord("P", source);

  CConfigRecord expected;
  expected.SetString("keep", "k", true, "");
  expected.SetString("P.s", "text", true, "ds");
  expected.SetBoolean("P.b", true, false, "db");
  // The namespace created by the merge takes the flag of its first item, not the source's.
  expected.SetUnsignedInt32("P.ns.u", 4000000000u, false, "du");
  expected.SetSignedInt32("P.ns.deeper.i", -3, true, "di");

  std::ostringstream actualXml, expectedXml;
  common::CConfigRecordXMLWriter::Write(target, actualXml);
  common::CConfigRecordXMLWriter::Write(expected, expectedXml);
  EXPECT_EQ(expectedXml.str(), actualXml.str());
}

TEST(ConfigRecordMerge, SkipsItemsWithoutValueFormAndMergesIntoItself) {
  Fields typeZero = {{Id(1), Byte(0)}, {Id(2), "xyz"}, {Id(3), Byte(1)}, {Id(4), Byte(0)}};
  CConfigRecord source(CMultiFieldBlob::eCopyImmediately,
                       BlobImage({{"zero", ItemImage(typeZero)}}).data(),
                       uint32_t(BlobImage({{"zero", ItemImage(typeZero)}}).size()));
  source.SetString("s", "v", true, "");
  CConfigRecord target;
  target.MergeRecord("", source);
  EXPECT_FALSE(target.FieldExists(std::string("zero")));
  EXPECT_TRUE(target.FieldExists(std::string("s")));

  target.MergeRecord("copy", target);
  EXPECT_EQ(1u, target.GetNamespace("copy").GetNumFields());
  EXPECT_NO_THROW(target.Validate());
}

TEST(ConfigRecordValidation, EachCheckHasItsText) {
  Fields item = StringItemFields();
  ExpectValidation(Without(item, 1), "Missing type field");
  ExpectValidation(With(item, 1, std::string(2, '\x05')), "Illegal type field size");
  ExpectValidation(With(item, 1, Byte(8)), "Illegal Type field");
  ExpectValidation(Without(item, 3), "Missing ActiveFlag field");
  ExpectValidation(With(item, 3, std::string(2, '\x01')), "Illegal ActiveFlag field size");
  ExpectValidation(With(item, 3, Byte(2)), "Illegal ActiveFlag field");
  ExpectValidation(Without(item, 4), "Missing Description field");
  ExpectValidation(Without(item, 2), "Missing Value field");
  ExpectValidation(Without(With(item, 1, Byte(6)), 2), "Missing Value field");
  ExpectValidation(With(With(item, 1, Byte(2)), 2, std::string(2, '\x01')),
                   "Unexpected data size for Boolean type");
  ExpectValidation(With(With(item, 1, Byte(2)), 2, Byte(5)),
                   "Unexpected data value for Boolean type");
  ExpectValidation(With(With(item, 1, Byte(3)), 2, "abc"),
                   "Unexpected data size for UnsignedInt32 type");
  ExpectValidation(With(With(item, 1, Byte(4)), 2, "abcde"),
                   "Unexpected data size for SignedInt32 type");
  // Missing type is found before a bad active flag: the checks run in a fixed order.
  ExpectValidation(With(Without(item, 1), 3, Byte(7)), "Missing type field");
}

TEST(ConfigRecordValidation, StringValuesAndNamespacesUseTheBlobsTexts) {
  Fields item = StringItemFields();
  for (const std::string& sValue : {std::string(), std::string("abc")}) {
    std::string sImage = BlobImage({{"item", ItemImage(With(item, 2, sValue))}});
    ExpectThrowText<CMultiFieldBlob::CStringFieldNotTerminatedException>(
        [&] { CConfigRecord(CMultiFieldBlob::eCopyImmediately, sImage.data(), sImage.size()); },
        "GetFieldDataAsCString(iterIndex) zero-length or not null-terminated");
  }
  std::string sNoNested = BlobImage({{"ns", ItemImage({{Id(1), Byte(1)}, {Id(3), Byte(0)}})}});
  ExpectThrowText<CMultiFieldBlob::CFieldDoesNotExistException>(
      [&] { CConfigRecord(CMultiFieldBlob::eCopyImmediately, sNoNested.data(), sNoNested.size()); },
      sc_sNoField);
  // A nested record is validated like the top one.
  std::string sBadNested =
      BlobImage({{"ns", ItemImage({{Id(1), Byte(1)},
                                   {Id(2), BlobImage({{"in", ItemImage(With(item, 3, Byte(2)))}})},
                                   {Id(3), Byte(1)}})}});
  ExpectThrowText<CValidateFieldsException>(
      [&] {
        CConfigRecord(CMultiFieldBlob::eCopyImmediately, sBadNested.data(), sBadNested.size());
      },
      "Illegal ActiveFlag field");
  // A nested value that is no blob image at all fails in the blob layer.
  std::string sGarbage =
      BlobImage({{"ns", ItemImage({{Id(1), Byte(1)}, {Id(2), "garbage"}, {Id(3), Byte(1)}})}});
  ExpectThrowText<CMultiFieldBlob::CInvalidSerializedBlobException>(
      [&] { CConfigRecord(CMultiFieldBlob::eCopyImmediately, sGarbage.data(), sGarbage.size()); },
      "CMultiFieldBlob(pSerialized): Invalid ExpectedSizeOfSerializedImage");
}

TEST(ConfigRecordValidation, DescriptionsMustBeTexts) {
  // A description without its NUL would pass the field checks and then fail every reader.
  std::string sImage =
      BlobImage({{"item", ItemImage(With(StringItemFields(), 4, std::string("abc")))}});
  ExpectThrowText<CMultiFieldBlob::CStringFieldNotTerminatedException>(
      [&] { CConfigRecord(CMultiFieldBlob::eCopyImmediately, sImage.data(), sImage.size()); },
      "GetFieldDataAsCString(s,p) zero-length or not null-terminated");
}

TEST(ConfigRecordValidation, ItemsWithoutANameAreRefused) {
  // Only a hand-made image can hold a field with an empty name.
  std::string sItem = ItemImage(StringItemFields());
  uint32_t uTotal = uint32_t(10 + 6 + sItem.size());
  uint32_t uItem = uint32_t(sItem.size());
  std::string sImage = std::string("\x01\x50", 2) +
                       std::string(reinterpret_cast<const char*>(&uTotal), 4) +
                       std::string(4, '\0') + std::string(2, '\0') +
                       std::string(reinterpret_cast<const char*>(&uItem), 4) + sItem;
  ExpectThrowText<CValidateFieldsException>(
      [&] { CConfigRecord(CMultiFieldBlob::eCopyImmediately, sImage.data(), sImage.size()); },
      "Empty config item name");
}

TEST(ConfigRecordValidation, ItemsWithoutValueFormAreValidWithAnyValue) {
  for (uint8_t u8Type : {0, 6, 7}) {
    Fields item = {{Id(1), Byte(u8Type)}, {Id(2), "any"}, {Id(3), Byte(0)}, {Id(4), Byte(0)}};
    std::string sImage = BlobImage({{"item", ItemImage(item)}});
    EXPECT_NO_THROW(CConfigRecord(CMultiFieldBlob::eCopyImmediately, sImage.data(), sImage.size()));
  }
}

TEST(ConfigRecordValidation, AnInvalidRecordIsNeverHandedOut) {
  std::string sImage =
      BlobImage({{"b", ItemImage(With(With(StringItemFields(), 1, Byte(2)), 2, Byte(5)))}});
  CConfigRecord record = UnvalidatedRecord(sImage);
  CMultiFieldBlob::SizeOfFieldData_t uSize = 12345;
  ExpectThrowText<CValidateFieldsException>([&] { record.GetSerializedBlob(&uSize); },
                                            "Unexpected data value for Boolean type");
  EXPECT_EQ(12345u, uSize);
}

TEST(ConfigRecordValidation, NestingTooDeepIsRefused) {
  std::string sRecord = BlobImage({});
  for (unsigned u = 0; u <= CConfigRecord::sc_uMaxNamespaceDepth; ++u) {
    sRecord = BlobImage({{"n", ItemImage({{Id(1), Byte(1)}, {Id(2), sRecord}, {Id(3), Byte(1)}})}});
  }
  ExpectThrowText<CValidateFieldsException>(
      [&] { CConfigRecord(CMultiFieldBlob::eCopyImmediately, sRecord.data(), sRecord.size()); },
      "Namespaces nested too deeply");
}

TEST(ConfigRecordImages, DamagedImagesFailInTheBlobLayer) {
  std::string sImage = BlobImage({{"s", ItemImage(StringItemFields())}});
  ExpectThrowText<CMultiFieldBlob::CInvalidSerializedBlobException>(
      [&] { CConfigRecord(CMultiFieldBlob::eCopyImmediately, sImage.data(), sImage.size() - 1); },
      "CMultiFieldBlob(pSerialized): Bad BlobHeader doesn't match ExpectedSizeOfSerializedImage");
  // A record image round-trips through its validated constructor unchanged.
  CConfigRecord record(CMultiFieldBlob::eCopyImmediately, sImage.data(), sImage.size());
  EXPECT_EQ(sImage, RecordImage(record));
}

TEST(ConfigItemRecord, TypedConstructorsAndAccessors) {
  CConfigItemRecord b(true, false, "bd");
  bool bValue = false;
  b.GetBoolean(&bValue);
  EXPECT_TRUE(bValue);
  EXPECT_FALSE(b.IsActive());
  EXPECT_EQ(CConfigItemRecord::eBoolean, b.GetType());
  // Fields in the order type, value, active flag, description.
  EXPECT_EQ(
      BlobImage(
          {{Id(1), Byte(2)}, {Id(2), Byte(1)}, {Id(3), Byte(0)}, {Id(4), std::string("bd\0", 3)}}),
      ImageOf(b));

  CConfigItemRecord s("text", true, "sd");
  std::string sValue;
  s.GetString(&sValue);
  EXPECT_EQ("text", sValue);
  EXPECT_EQ(CConfigItemRecord::eString, s.GetType());

  CConfigItemRecord u(uint32_t(0xFFFFFFFF), true, "");
  uint32_t uValue = 0;
  u.GetUnsignedInt32(&uValue);
  EXPECT_EQ(0xFFFFFFFFu, uValue);
  EXPECT_EQ(std::string("\xFF\xFF\xFF\xFF", 4), FieldData(u, 2));

  CConfigItemRecord n(int32_t(-2), true, "");
  int32_t nValue = 0;
  n.GetSignedInt32(&nValue);
  EXPECT_EQ(-2, nValue);
  EXPECT_EQ(std::string("\xFE\xFF\xFF\xFF", 4), FieldData(n, 2));
}

TEST(ConfigItemRecord, AccessorMisuseIsAPreconditionFailure) {
  CConfigItemRecord s("text", true, "");
  {
    CAssertRecorder recorder;
    bool bValue = false;
    EXPECT_THROW(s.GetBoolean(&bValue), std::invalid_argument);
    EXPECT_EQ(std::vector<std::string>{"IsBooleanType"}, recorder.m_names);
  }
  {
    CAssertRecorder recorder;
    EXPECT_THROW(s.GetString(nullptr), std::invalid_argument);
    EXPECT_EQ(std::vector<std::string>{"NonNullCallerPtr"}, recorder.m_names);
  }
  {
    CAssertRecorder recorder;
    EXPECT_THROW(CConfigItemRecord(nullptr, true), std::invalid_argument);
    EXPECT_EQ(std::vector<std::string>{"NonNullSubRecordPtr"}, recorder.m_names);
  }
  {
    CAssertRecorder recorder;
    CConfigItemRecord empty;
    EXPECT_THROW(empty.GetType(), std::invalid_argument);
    EXPECT_EQ(std::vector<std::string>{"uSizeOfFieldData == sizeof(u8)"}, recorder.m_names);
  }
}
