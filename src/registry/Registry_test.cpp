#include "registry/Registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "registry/RegistryTestSupport.h"

namespace common {
namespace {

using registry_test::CAssertRecorder;
using registry_test::MessageOf;

TEST(RegistryExceptions, TextsAndClassTree) {
  CValueDoesNotExistException missing("TopKey", "Port");
  EXPECT_STREQ("Value \"TopKey\\Port\" does not exist", missing.what());
  CTypeMismatchException keyLevel("A", "v", "string", "unsigned number");
  EXPECT_STREQ("Type mismatch on value \"A\\v\", expected string but got unsigned number",
               keyLevel.what());
  CTypeMismatchException valueLevel("v", "Binary", "String");
  EXPECT_STREQ("Type mismatch on value \"v\", expected Binary but got String", valueLevel.what());
  CInUseException inUse;
  EXPECT_STREQ("The registry is in use by another process, timeout expired", inUse.what());
  CBlobException blob("Failed to open file: x");
  EXPECT_STREQ("Failed to open file: x", blob.what());
  EXPECT_EQ(0u, blob.Kind());
  const CRegistryException* pBase = &inUse;
  EXPECT_NE(nullptr, dynamic_cast<const CErrorCodeException*>(pBase));
  EXPECT_NE(nullptr,
            dynamic_cast<const CRegistryException*>(static_cast<std::runtime_error*>(&blob)));
}

TEST(RegistryExceptions, KeyLevelTypeNames) {
  EXPECT_STREQ("string", GetValueTypeName(0));
  EXPECT_STREQ("unsigned number", GetValueTypeName(1));
  EXPECT_STREQ("binary", GetValueTypeName(2));
  EXPECT_STREQ("unknown", GetValueTypeName(3));
  EXPECT_STREQ("unknown", GetValueTypeName(0xFFFFFFFF));
}

TEST(Value, StringKeepsItsTerminatorAndStopsAtTheFirstNul) {
  CValue value("Name", std::string("abc"));
  EXPECT_EQ(eString, value.GetType());
  EXPECT_EQ("Name", value.GetName());
  EXPECT_EQ("abc", value.GetString());
  // Stored strings from another writer may hold bytes after a NUL.
  const char stored[] = {'x', 'y', 0, 'z', 0};
  EXPECT_EQ("xy", CValue("s", eString, stored, 5).GetString());
  // Or none at all; reading stays inside the buffer.
  EXPECT_EQ("xy", CValue("s", eString, stored, 2).GetString());
  EXPECT_EQ("", CValue("s", eString, nullptr, 0).GetString());
}

TEST(Value, NumberFromStoredBytesIsLeastSignificantFirst) {
  const uint8_t au8Stored[] = {0x01, 0x02, 0x03, 0x04};
  CValue stored("n", eUnsignedNumber, au8Stored, 4);
  EXPECT_EQ(0x04030201u, stored.GetUnsignedNumber());
  EXPECT_EQ(0xFFFFFFFEu, CValue("n", 0xFFFFFFFEu).GetUnsignedNumber());
  EXPECT_EQ(0u, CValue("n", 0u).GetUnsignedNumber());
}

TEST(Value, BinaryMayBeEmpty) {
  const uint8_t au8Data[] = {0x0A, 0xFF};
  uint32_t uSize = 99;
  CValue value("b", au8Data, 2);
  const uint8_t* p = value.GetBinary(uSize);
  ASSERT_EQ(2u, uSize);
  EXPECT_EQ(0x0A, p[0]);
  EXPECT_EQ(0xFF, p[1]);
  CValue empty("b", nullptr, 0);
  EXPECT_EQ(nullptr, empty.GetBinary(uSize));
  EXPECT_EQ(0u, uSize);
}

TEST(Value, GettersOfAnotherTypeThrowTheValueLevelMismatch) {
  CValue number("Port", 26u);
  uint32_t uSize;
  EXPECT_EQ("Type mismatch on value \"Port\", expected String but got UnsignedNumber",
            MessageOf<CTypeMismatchException>([&] { number.GetString(); }));
  EXPECT_EQ("Type mismatch on value \"Port\", expected Binary but got UnsignedNumber",
            MessageOf<CTypeMismatchException>([&] { number.GetBinary(uSize); }));
  EXPECT_EQ(
      "Type mismatch on value \"s\", expected UnsignedNumber but got String",
      MessageOf<CTypeMismatchException>([&] { CValue("s", std::string()).GetUnsignedNumber(); }));
}

TEST(Value, CopyAndAssignmentCopyEverything) {
  CValue a("a", std::string("text"));
  CValue b("b", 7u);
  b = a;
  a = CValue("c", 1u);
  EXPECT_EQ("a", b.GetName());
  EXPECT_EQ("text", b.GetString());
  CValue c(b);
  EXPECT_EQ("text", c.GetString());
  c = c;
  EXPECT_EQ("text", c.GetString());
}

TEST(Value, MisuseIsReportedAndRefused) {
  CAssertRecorder recorder;
  const uint8_t au8Three[] = {1, 2, 3};
  EXPECT_THROW(CValue("n", eUnsignedNumber, au8Three, 3), CRegistryException);
  EXPECT_THROW(CValue("b", nullptr, 5), CRegistryException);
  CValue unnamed("", 1u);
  EXPECT_EQ((std::vector<std::string>{"ValidUnsignedNumberSize: uSize == 4",
                                      "NonNullDataBufPtr: pData || uSize == 0",
                                      "NonNullValueName: !sName.empty()"}),
            recorder.Checks());
}

TEST(Value, DescribeFormsOfEachType) {
  const uint8_t au8Data[] = {0x0A, 0xFF};
  EXPECT_EQ("Binary: 0x0aff", DescribeValue(CValue("b", au8Data, 2)));
  EXPECT_EQ("Binary: 0x", DescribeValue(CValue("b", nullptr, 0)));
  EXPECT_EQ("Number: 0x0000001a", DescribeValue(CValue("n", 26u)));
  EXPECT_EQ("Number: 0xffffffff", DescribeValue(CValue("n", 0xFFFFFFFFu)));
  EXPECT_EQ("String: 10.0.0.1:27030", DescribeValue(CValue("s", std::string("10.0.0.1:27030"))));
}

}  // namespace
}  // namespace common
