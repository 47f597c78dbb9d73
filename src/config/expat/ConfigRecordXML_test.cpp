#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "config/ConfigRecord.h"
#include "config/ConfigRecordXMLWriter.h"
#include "config/ConfigTestUtil.h"
#include "config/expat/ConfigRecordXMLParser.h"
#include "config/expat/ExpatParser.h"

using common::CConfigItemRecord;
using common::CConfigRecord;
using common::CConfigRecordXMLWriter;
using common::CMultiFieldBlob;
using namespace config_test;

namespace {

typedef CConfigItemRecord::CValidateFieldsException CValidateFieldsException;

const char sc_szHeader[] = "<?xml version=\"1.0\" ?>\n";

std::string Xml(const CConfigRecord& record) {
  std::ostringstream os;
  CConfigRecordXMLWriter::Write(record, os);
  return os.str();
}

// The item of that name, validated.
CConfigItemRecord ItemOf(const CConfigRecord& record, const std::string& sName) {
  CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
  const uint8_t* p = record.FindFieldData(sName, &uSize);
  if (!p) throw std::runtime_error("no item " + sName);
  return CConfigItemRecord(CMultiFieldBlob::eCopyImmediately, p, uSize);
}

CConfigRecord Parse(const std::string& sXml) {
  return CConfigRecord(sXml.data(), sXml.size());
}

// One item in the document form, fields given as element lines.
std::string Document(const std::string& sItems) {
  return std::string(sc_szHeader) + "<ConfigRecord>\n" + sItems + "</ConfigRecord>\n";
}

std::string RandomText(std::mt19937& rng, size_t uMaxLength) {
  static const char sc_szChars[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 _-:/,;()[]{}=+*#!?";
  size_t uLength = rng() % (uMaxLength + 1);
  std::string s;
  for (size_t u = 0; u < uLength; ++u) s += sc_szChars[rng() % (sizeof(sc_szChars) - 1)];
  return s;
}

// Unique, never empty, no full stops.
std::string RandomName(std::mt19937& rng) {
  static unsigned s_uCounter = 0;
  return RandomText(rng, 12) + "#" + std::to_string(++s_uCounter);
}

void FillRandomRecord(std::mt19937& rng, CConfigRecord& record, const std::string& sPrefix,
                      unsigned uDepth) {
  unsigned uItems = rng() % 6;
  for (unsigned u = 0; u < uItems; ++u) {
    std::string sName = sPrefix + RandomName(rng);
    bool bActive = rng() % 2 == 0;
    std::string sDescription = RandomText(rng, 20);
    switch (rng() % (uDepth < 3 ? 5 : 4)) {
      case 0:
        record.SetBoolean(sName, rng() % 2 == 0, bActive, sDescription);
        break;
      case 1:
        record.SetUnsignedInt32(sName, uint32_t(rng()), bActive, sDescription);
        break;
      case 2:
        record.SetSignedInt32(sName, int32_t(rng()), bActive, sDescription);
        break;
      case 3:
        record.SetString(sName, RandomText(rng, 30), bActive, sDescription);
        break;
      case 4:
        FillRandomRecord(rng, record, sName + ".", uDepth + 1);
        break;
    }
  }
}

}  // namespace

TEST(ConfigRecordXMLParser, ReadsTheOneItemExample) {
  CConfigRecord record =
      Parse(Document("\t<ConfigItemRecord Name=\"N\" >\n"
                     "\t\t<Type>5</Type>\n"
                     "\t\t<Active>1</Active>\n"
                     "\t\t<Description>D</Description>\n"
                     "\t\t<Value>V</Value>\n"
                     "\t</ConfigItemRecord>\n"));
  ASSERT_EQ(1u, record.GetNumFields());
  // Fields in the order of their elements.
  EXPECT_EQ(ItemImage({{Id(1), Byte(5)},
                       {Id(3), Byte(1)},
                       {Id(4), std::string("D\0", 2)},
                       {Id(2), std::string("V\0", 2)}}),
            FieldData(record, "N"));
}

TEST(ConfigRecordXMLParser, NumbersReadBackToTheSameBits) {
  CConfigRecord record;
  record.SetUnsignedInt32("max", 4294967295u, true, "");
  record.SetSignedInt32("min", INT32_MIN, true, "");
  record.SetSignedInt32("minus", -1, true, "");
  std::string sXml = Xml(record);
  EXPECT_NE(std::string::npos, sXml.find("<Value>4294967295</Value>"));
  EXPECT_NE(std::string::npos, sXml.find("<Value>-2147483648</Value>"));
  EXPECT_NE(std::string::npos, sXml.find("<Value>-1</Value>"));
  CConfigRecord parsed = Parse(sXml);
  uint32_t uMax = 0;
  int32_t nMin = 0, nMinus = 0;
  ItemOf(parsed, "max").GetUnsignedInt32(&uMax);
  ItemOf(parsed, "min").GetSignedInt32(&nMin);
  ItemOf(parsed, "minus").GetSignedInt32(&nMinus);
  EXPECT_EQ(0xFFFFFFFFu, uMax);
  EXPECT_EQ(INT32_MIN, nMin);
  EXPECT_EQ(-1, nMinus);
}

TEST(ConfigRecordXMLParser, DecimalTextsAreReadLeniently) {
  EXPECT_EQ(12u, common::ParseConfigDecimal(" \t+12x"));
  EXPECT_EQ(0xFFFFFFFFu, common::ParseConfigDecimal("-1"));
  EXPECT_EQ(0u, common::ParseConfigDecimal("4294967296"));  // wraps around
  EXPECT_EQ(0u, common::ParseConfigDecimal(""));
  EXPECT_EQ(0u, common::ParseConfigDecimal("x12"));
  EXPECT_EQ(0u, common::ParseConfigDecimal("- 5"));
}

TEST(ConfigRecordXMLParser, ManyGeneratedRecordsRoundTripToTheSameText) {
  std::mt19937 rng(20261208);
  for (int i = 0; i < 300; ++i) {
    CConfigRecord record;
    FillRandomRecord(rng, record, "", 0);
    std::string sXml = Xml(record);
    CConfigRecord parsed = Parse(sXml);
    ASSERT_EQ(sXml, Xml(parsed)) << "record " << i;
  }
}

TEST(ConfigRecordXMLParser, EscapedTextsReadBackAsStored) {
  CConfigRecord record;
  const std::string sName = "a&b<\"c\">\t'd'\r\n e";
  const std::string sValue = "x<y & z>\"q\"\r\n\tend ]]> \xE2\x82\xAC";
  record.SetString(sName, sValue, true, " lead and trail ");
  record.SetString("ns.&amp;", "", false, "<>");
  CConfigRecord parsed = Parse(Xml(record));
  std::string sParsedValue;
  ItemOf(parsed, sName).GetString(&sParsedValue);
  EXPECT_EQ(sValue, sParsedValue);
  EXPECT_EQ(" lead and trail ", ItemOf(parsed, sName).GetDescription());
  EXPECT_EQ("<>", ItemOf(parsed.GetNamespace("ns"), "&amp;").GetDescription());
  EXPECT_EQ(Xml(record), Xml(parsed));
}

TEST(ConfigRecordXMLParser, NamespaceItemsNest) {
  CConfigRecord record = Parse(
      Document("\t<ConfigItemRecord Name=\"ns\" >\n"
               "\t\t<Type>1</Type>\n"
               "\t\t<Active>0</Active>\n"
               "\t\t<ConfigRecord>\n"
               "\t\t\t<ConfigItemRecord Name=\"x\" >\n"
               "\t\t\t\t<Type>2</Type><Active>1</Active><Description/><Value>7</Value>\n"
               "\t\t\t</ConfigItemRecord>\n"
               "\t\t</ConfigRecord>\n"
               "\t</ConfigItemRecord>\n"
               "\t<ConfigItemRecord Name=\"after\" >\n"
               "\t\t<Type>3</Type><Active>1</Active><Description>d</Description><Value>9</Value>\n"
               "\t</ConfigItemRecord>\n"));
  // Boolean values other than 0 read as 1.
  CConfigRecord nested;
  nested.SetBoolean("x", true, true, "");
  CConfigItemRecord nsItem(&nested, false);
  CConfigRecord expectedWithItem;
  expectedWithItem.AddField(std::string("ns"), &nsItem, false);
  expectedWithItem.SetUnsignedInt32("after", 9, true, "d");
  EXPECT_EQ(Xml(expectedWithItem), Xml(record));
}

TEST(ConfigRecordXMLParser, TypesWithoutValueFormDoNotReadBackFromTheirOwnText) {
  // A nested ConfigRecord gives an item of type 0 its value field; the written form of such an
  // item has no Value element, so it reads back as an item without value.
  CConfigRecord record =
      Parse(Document("<ConfigItemRecord Name=\"z\"><Type>0</Type><Active>1</Active><ConfigRecord/>"
                     "<Description/></ConfigItemRecord>"));
  std::string sXml = Xml(record);
  EXPECT_EQ(Document("\t<ConfigItemRecord Name=\"z\" >\n"
                     "\t\t<Type>0</Type>\n"
                     "\t\t<Active>1</Active>\n"
                     "\t\t<Description></Description>\n"
                     "\t</ConfigItemRecord>\n"),
            sXml);
  ExpectThrowText<CValidateFieldsException>([&] { Parse(sXml); }, "Missing Value field");
}

TEST(ConfigRecordXMLParser, IgnoresWhatItDoesNotKnow) {
  CConfigRecord record = Parse(
      "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n"
      "<!-- a comment -->\n"
      "<AnyRootName>\n"
      "<ConfigItemRecord Id=\"1\" Name=\"skipped\"><Type>5</Type></ConfigItemRecord>\n"
      "<ConfigItemRecord Name=\"\"><Type>5</Type></ConfigItemRecord>\n"
      "<ConfigItemRecord>no attributes</ConfigItemRecord>\n"
      "<Other><ConfigItemRecord Name=\"kept\" Extra=\"x\"><?pi data?>"
      "<Type>5</Type><Unknown>3</Unknown><Active>1</Active>"
      "<Description><![CDATA[<cdata>]]></Description><Value>a&amp;b&#65;</Value>"
      "</ConfigItemRecord></Other>\n"
      "</AnyRootName>\n");
  ASSERT_EQ(1u, record.GetNumFields());
  CConfigRecord expected;
  expected.SetString("kept", "a&bA", true, "<cdata>");
  EXPECT_EQ(Xml(expected), Xml(record));
}

TEST(ConfigRecordXMLParser, ValidatesAfterParsing) {
  ExpectThrowText<CValidateFieldsException>(
      [] {
        Parse(
            Document("<ConfigItemRecord Name=\"v\"><Value>x</Value><Type>5</Type>"
                     "<Active>1</Active><Description/></ConfigItemRecord>"));
      },
      "Missing Value field");
  ExpectThrowText<CValidateFieldsException>(
      [] {
        Parse(
            Document("<ConfigItemRecord Name=\"v\"><Type>5</Type><Active>1</Active>"
                     "<Value>x</Value></ConfigItemRecord>"));
      },
      "Missing Description field");
  ExpectThrowText<CValidateFieldsException>(
      [] {
        Parse(
            Document("<ConfigItemRecord Name=\"v\"><Type>2</Type><Active>2</Active>"
                     "<Description/><Value>1</Value></ConfigItemRecord>"));
      },
      "Illegal ActiveFlag field");
  ExpectThrowText<CValidateFieldsException>(
      [] {
        Parse(
            Document("<ConfigItemRecord Name=\"v\"><Type>9</Type><Active>1</Active>"
                     "<Description/><Value>1</Value></ConfigItemRecord>"));
      },
      "Illegal Type field");
  ExpectThrowText<CMultiFieldBlob::CFieldDoesNotExistException>(
      [] {
        Parse(
            Document("<ConfigItemRecord Name=\"ns\"><Type>1</Type><Active>1</Active>"
                     "</ConfigItemRecord>"));
      },
      "CMultiFieldBlob(pParent,FieldName): Field does not exist");
}

TEST(ConfigRecordXMLParser, ItemNamesLongerThanAFieldNameAreRefused) {
  ExpectThrowText<std::runtime_error>(
      [] { Parse(Document("<ConfigItemRecord Name=\"" + std::string(65536, 'n') + "\"/>")); },
      "Config item name longer than 65535 bytes");
}

TEST(ConfigRecordXMLParser, RepeatedNamesAndElementsFailInTheBlobLayer) {
  const std::string sItem =
      "<ConfigItemRecord Name=\"x\"><Type>5</Type><Active>1</Active><Description/>"
      "<Value>v</Value></ConfigItemRecord>";
  ExpectThrowText<CMultiFieldBlob::CFieldAlreadyExistsException>(
      [&] { Parse(Document(sItem + sItem)); },
      "CMultiFieldBlob::AddField(pNewChild): duplicate field name");
  const std::string sNamespaceStart =
      "<ConfigItemRecord Name=\"x\"><Type>1</Type><Active>1</Active><ConfigRecord>";
  const std::string sNamespaceEnd = "</ConfigRecord></ConfigItemRecord>";
  ExpectThrowText<CMultiFieldBlob::CFieldAlreadyExistsException>(
      [&] { Parse(Document(sNamespaceStart + sItem + sItem + sNamespaceEnd)); },
      "CMultiFieldBlob::AddField(pNewChild): duplicate field name");
  // The same name on different levels is two items.
  CConfigRecord nested = Parse(Document(sNamespaceStart + sItem + sNamespaceEnd));
  EXPECT_EQ(1u, nested.GetNamespace("x").GetNumFields());
  ExpectThrowText<CMultiFieldBlob::CFieldAlreadyExistsException>(
      [] {
        Parse(
            Document("<ConfigItemRecord Name=\"x\"><Type>5</Type><Type>5</Type>"
                     "</ConfigItemRecord>"));
      },
      "CMultiFieldBlob::AddField(): Field already exists");
  ExpectThrowText<CMultiFieldBlob::CFieldAlreadyExistsException>(
      [] {
        Parse(
            Document("<ConfigItemRecord Name=\"x\"><Type>1</Type><Active>1</Active>"
                     "<ConfigRecord/><ConfigRecord/></ConfigItemRecord>"));
      },
      "CMultiFieldBlob::AddField(pNewChild): duplicate field name");
}

TEST(ConfigRecordXMLParser, MalformedXmlGivesExpatsTextAndTheLine) {
  ExpectThrowText<std::runtime_error>(
      [] { Parse(std::string(sc_szHeader) + "<ConfigRecord>\n<Oops>\n</ConfigRecord>\n"); },
      "CConfigRecord::XML_Parse() failed: mismatched tag at line 4");
  ExpectThrowText<std::runtime_error>([] { Parse(""); },
                                      "CConfigRecord::XML_Parse() failed: no element found at "
                                      "line 1");
  ExpectThrowText<std::runtime_error>(
      [] { Parse(std::string(sc_szHeader) + "<ConfigRecord>\n\n<a>\xFF</a></ConfigRecord>"); },
      "CConfigRecord::XML_Parse() failed: not well-formed (invalid token) at line 4");
  ExpectThrowText<std::runtime_error>(
      [] { Parse(Document("<ConfigItemRecord Name=\"x\">&undefined;</ConfigItemRecord>")); },
      "CConfigRecord::XML_Parse() failed: undefined entity at line 3");
}

TEST(ConfigRecordXMLParser, NestingTooDeepIsRefused) {
  std::string sOpen, sClose;
  for (unsigned u = 0; u <= CConfigRecord::sc_uMaxNamespaceDepth; ++u) {
    sOpen += "<ConfigItemRecord Name=\"n\"><Type>1</Type><Active>1</Active><ConfigRecord>";
    sClose += "</ConfigRecord></ConfigItemRecord>";
  }
  ExpectThrowText<CValidateFieldsException>([&] { Parse(Document(sOpen + sClose)); },
                                            "Namespaces nested too deeply");
}

namespace {

// Records which parser object receives which event.
class CTracingParser : public common::expatppNesting {
 public:
  CTracingParser(std::string* psTrace, const std::string& sName, CTracingParser* pParent)
      : expatppNesting(pParent), m_psTrace(psTrace), m_sName(sName) {}
  CTracingParser(std::string* psTrace, const std::string& sName)
      : m_psTrace(psTrace), m_sName(sName) {}

  void startElement(const XML_Char* pszName, const XML_Char**) override {
    *m_psTrace += m_sName + "<" + pszName + " ";
    if (std::string(pszName) == "hand") {
      m_pNested.reset(new CTracingParser(m_psTrace, m_sName + "+", this));
      HandControlTo(m_pNested.get());
    }
    if (std::string(pszName) == "fail") throw std::logic_error("handler failed");
  }
  void endElement(const XML_Char* pszName) override { *m_psTrace += m_sName + ">" + pszName + " "; }

 private:
  std::string* m_psTrace;
  std::string m_sName;
  std::unique_ptr<CTracingParser> m_pNested;
};

}  // namespace

TEST(ExpatNesting, NestedParserGetsTheContentAndTheParentTheEndTag) {
  std::string sTrace;
  CTracingParser root(&sTrace, "R");
  const std::string sXml = "<a><hand><b><hand><c/></hand></b></hand><d/></a>";
  ASSERT_EQ(XML_STATUS_OK, root.Parse(sXml.data(), sXml.size(), true));
  EXPECT_EQ("R<a R<hand R+<b R+<hand R++<c R++>c R+>hand R+>b R>hand R<d R>d R>a ", sTrace);
}

TEST(ExpatNesting, HandlerExceptionsLeaveTheParseUnchanged) {
  std::string sTrace;
  CTracingParser root(&sTrace, "R");
  const std::string sXml = "<a><hand><fail/><after/></hand></a>";
  ExpectThrowText<std::logic_error>([&] { root.Parse(sXml.data(), sXml.size(), true); },
                                    "handler failed");
  EXPECT_EQ("R<a R<hand R+<fail ", sTrace);
}
