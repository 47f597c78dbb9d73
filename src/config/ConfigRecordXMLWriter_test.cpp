#include "config/ConfigRecordXMLWriter.h"

#include <gtest/gtest.h>

#include <sstream>

#include "config/ConfigRecord.h"
#include "config/ConfigTestUtil.h"

using common::CConfigItemRecord;
using common::CConfigRecord;
using common::CConfigRecordXMLWriter;
using common::CMultiFieldBlob;
using namespace config_test;

namespace {

std::string Xml(const CConfigRecord& record) {
  std::ostringstream os;
  CConfigRecordXMLWriter::Write(record, os);
  return os.str();
}

}  // namespace

TEST(ConfigRecordXMLWriter, OneStringItemIsWrittenLineByLine) {
  CConfigRecord record;
  record.SetString("N", "V", true, "D");
  EXPECT_EQ(
      "<?xml version=\"1.0\" ?>\n"
      "<ConfigRecord>\n"
      "\t<ConfigItemRecord Name=\"N\" >\n"
      "\t\t<Type>5</Type>\n"
      "\t\t<Active>1</Active>\n"
      "\t\t<Description>D</Description>\n"
      "\t\t<Value>V</Value>\n"
      "\t</ConfigItemRecord>\n"
      "</ConfigRecord>\n",
      Xml(record));
}

TEST(ConfigRecordXMLWriter, NumbersNamespacesAndItemsWithoutValueForm) {
  Fields typeSix = {{Id(1), Byte(6)}, {Id(2), "x"}, {Id(3), Byte(0)}, {Id(4), std::string(1, 0)}};
  std::string sImage = BlobImage({{"six", ItemImage(typeSix)}});
  CConfigRecord record(CMultiFieldBlob::eCopyImmediately, sImage.data(), sImage.size());
  record.SetUnsignedInt32("u", 4294967295u, true, "");
  record.SetSignedInt32("ns.i", -1, false, "neg");
  record.SetBoolean("ns.b", true, true, "");
  // Index order: one-byte names before longer ones, then bytes.
  EXPECT_EQ(
      "<?xml version=\"1.0\" ?>\n"
      "<ConfigRecord>\n"
      "\t<ConfigItemRecord Name=\"u\" >\n"
      "\t\t<Type>3</Type>\n"
      "\t\t<Active>1</Active>\n"
      "\t\t<Description></Description>\n"
      "\t\t<Value>4294967295</Value>\n"
      "\t</ConfigItemRecord>\n"
      "\t<ConfigItemRecord Name=\"ns\" >\n"
      "\t\t<Type>1</Type>\n"
      "\t\t<Active>0</Active>\n"
      "\t\t<ConfigRecord>\n"
      "\t\t\t<ConfigItemRecord Name=\"b\" >\n"
      "\t\t\t\t<Type>2</Type>\n"
      "\t\t\t\t<Active>1</Active>\n"
      "\t\t\t\t<Description></Description>\n"
      "\t\t\t\t<Value>1</Value>\n"
      "\t\t\t</ConfigItemRecord>\n"
      "\t\t\t<ConfigItemRecord Name=\"i\" >\n"
      "\t\t\t\t<Type>4</Type>\n"
      "\t\t\t\t<Active>0</Active>\n"
      "\t\t\t\t<Description>neg</Description>\n"
      "\t\t\t\t<Value>-1</Value>\n"
      "\t\t\t</ConfigItemRecord>\n"
      "\t\t</ConfigRecord>\n"
      "\t</ConfigItemRecord>\n"
      "\t<ConfigItemRecord Name=\"six\" >\n"
      "\t\t<Type>6</Type>\n"
      "\t\t<Active>0</Active>\n"
      "\t\t<Description></Description>\n"
      "\t</ConfigItemRecord>\n"
      "</ConfigRecord>\n",
      Xml(record));
}

TEST(ConfigRecordXMLWriter, SpecialCharactersAreEscapedSoTheTextStaysWellFormed) {
  CConfigRecord record;
  record.SetString("a&b<\"c\">\td", "x<y & z>\"q\"\r\n", true, "tab\there");
  EXPECT_EQ(
      "<?xml version=\"1.0\" ?>\n"
      "<ConfigRecord>\n"
      "\t<ConfigItemRecord Name=\"a&amp;b&lt;&quot;c&quot;&gt;&#9;d\" >\n"
      "\t\t<Type>5</Type>\n"
      "\t\t<Active>1</Active>\n"
      "\t\t<Description>tab\there</Description>\n"
      "\t\t<Value>x&lt;y &amp; z&gt;\"q\"&#13;\n</Value>\n"
      "\t</ConfigItemRecord>\n"
      "</ConfigRecord>\n",
      Xml(record));
}

TEST(ConfigRecordXMLWriter, TextsXmlCannotCarryFailTheWriteButNotTheValidation) {
  const std::string sText =
      "Config record text cannot be written as XML (control character or invalid UTF-8)";
  for (const std::string& sBad :
       {std::string("bell\x07"), std::string("nul\0in", 6), std::string("latin1 \xE9"),
        std::string("overlong \xC0\xAF"), std::string("surrogate \xED\xA0\x80"),
        std::string("cut \xE2\x82")}) {
    CConfigRecord record;
    record.SetString("s", sBad, true, "");
    EXPECT_NO_THROW(record.Validate());
    std::ostringstream os;
    ExpectThrowText<std::runtime_error>([&] { CConfigRecordXMLWriter::Write(record, os); }, sText);
  }
  CConfigRecord utf8;
  utf8.SetString("\xC3\xA9t\xC3\xA9", "\xE2\x82\xAC \xF0\x9F\x98\x80", true, "");
  EXPECT_NE(std::string::npos, Xml(utf8).find("<Value>\xE2\x82\xAC \xF0\x9F\x98\x80</Value>"));
}

TEST(ConfigRecordXMLWriter, WithoutAStreamItOnlyValidates) {
  CConfigRecord record;
  record.SetString("ok", "v", true, "");
  EXPECT_NO_THROW(CConfigRecordXMLWriter::WriteRecord(record, nullptr, 0));
  CConfigRecord bad = UnvalidatedRecord(BlobImage(
      {{"x",
        ItemImage({{Id(1), Byte(3)}, {Id(3), Byte(1)}, {Id(4), Byte(0)}, {Id(2), "12345"}})}}));
  ExpectThrowText<CConfigItemRecord::CValidateFieldsException>(
      [&] { CConfigRecordXMLWriter::WriteRecord(bad, nullptr, 0); },
      "Unexpected data size for UnsignedInt32 type");
}

TEST(ConfigRecordXMLWriter, AttachedObjectsAreWrittenThroughAndMustBeConfigObjects) {
  CConfigRecord record;
  record.SetString("ns.x", "v", true, "");
  std::string sExpected = Xml(record);
  {
    CConfigItemRecord item(&record, record.FindField("ns"), true);
    CConfigRecord nested(&item);
    EXPECT_EQ(sExpected, Xml(record));
  }
  {
    CMultiFieldBlob plain(&record, std::string("ns"));
    CAssertRecorder recorder;
    EXPECT_THROW(record.Validate(), std::invalid_argument);
    EXPECT_EQ(std::vector<std::string>{"CConfigItemRecord registered to CConfigRecord"},
              recorder.m_names);
  }
}
