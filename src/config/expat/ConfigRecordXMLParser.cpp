#include "config/expat/ConfigRecordXMLParser.h"

#include <cstring>
#include <stdexcept>

#include "config/ConfigPrecondition.h"

namespace common {
namespace {

bool IsXmlSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

uint32_t ParseConfigDecimal(const std::string& sText) {
  size_t u = 0;
  while (u < sText.size() && IsXmlSpace(sText[u])) ++u;
  bool bNegative = false;
  if (u < sText.size() && (sText[u] == '+' || sText[u] == '-')) bNegative = sText[u++] == '-';
  uint32_t uValue = 0;
  for (; u < sText.size() && sText[u] >= '0' && sText[u] <= '9'; ++u) {
    uValue = uValue * 10u + uint32_t(sText[u] - '0');
  }
  return bNegative ? 0u - uValue : uValue;
}

// ---- Records ----------------------------------------------------------------------------

CConfigRecordXMLParser::CConfigRecordXMLParser(CConfigRecord* pRecord) : m_pRecord(pRecord) {}

CConfigRecordXMLParser::CConfigRecordXMLParser(expatppNesting* pParent, CConfigRecord* pRecord,
                                               unsigned uDepth)
    : expatppNesting(pParent), m_pRecord(pRecord), m_uDepth(uDepth) {}

CConfigRecordXMLParser::~CConfigRecordXMLParser() {
  // The item parser refers to the current item: it goes first.
  m_pItemParser.reset();
  m_pCurrentItem.reset();
}

void CConfigRecordXMLParser::startElement(const XML_Char* pszName,
                                          const XML_Char** ppszAttributes) {
  // Only items with a non-empty Name as first attribute are read; everything else, the
  // enclosing ConfigRecord included, is passed over.
  if (std::strcmp(pszName, "ConfigItemRecord") != 0) return;
  if (!ppszAttributes[0] || std::strcmp(ppszAttributes[0], "Name") != 0) return;
  const char* pszItemName = ppszAttributes[1];
  if (!pszItemName || !*pszItemName) return;

  std::string sItemName = pszItemName;
  CConfigRecord::CheckItemName(sItemName);
  if (!m_ItemNames.insert(sItemName).second || m_pRecord->FieldExists(sItemName)) {
    throw CMultiFieldBlob::CFieldAlreadyExistsException(
        "CMultiFieldBlob::AddField(pNewChild): duplicate field name");
  }
  m_pItemParser.reset();
  m_pCurrentItem.reset(new CConfigItemRecord());
  m_sCurrentItemName = sItemName;
  m_pItemParser.reset(new CConfigItemRecordXMLParser(this, m_pCurrentItem.get(), m_uDepth));
  HandControlTo(m_pItemParser.get());
}

void CConfigRecordXMLParser::endElement(const XML_Char*) {
  // The first end tag that comes back after an item started is that item's own.
  if (!m_pCurrentItem) return;
  m_pItemParser.reset();
  CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
  const uint8_t* pImage = m_pCurrentItem->GetSerializedBlob(&uSize);
  m_CompletedItems.emplace_back(m_sCurrentItemName.data(), m_sCurrentItemName.size(), pImage,
                                uSize);
  m_pCurrentItem.reset();
}

void CConfigRecordXMLParser::Flush() {
  if (m_CompletedItems.empty()) return;
  m_pRecord->AddFields(m_CompletedItems);
  m_CompletedItems.clear();
}

// ---- Items ------------------------------------------------------------------------------

CConfigItemRecordXMLParser::CConfigItemRecordXMLParser(expatppNesting* pParent,
                                                       CConfigItemRecord* pItem, unsigned uDepth)
    : expatppNesting(pParent), m_pItem(pItem), m_uDepth(uDepth) {}

CConfigItemRecordXMLParser::~CConfigItemRecordXMLParser() {
  m_pNestedParser.reset();
  m_pNestedRecord.reset();
}

void CConfigItemRecordXMLParser::startElement(const XML_Char* pszName, const XML_Char**) {
  m_sCharData.clear();
  if (std::strcmp(pszName, "Type") == 0) {
    m_eKind = eType;
  } else if (std::strcmp(pszName, "Active") == 0) {
    m_eKind = eActive;
  } else if (std::strcmp(pszName, "Description") == 0) {
    m_eKind = eDescription;
  } else if (std::strcmp(pszName, "Value") == 0) {
    m_eKind = eValue;
  } else if (std::strcmp(pszName, "ConfigRecord") == 0) {
    if (m_uDepth >= CConfigRecord::sc_uMaxNamespaceDepth) {
      throw CConfigItemRecord::CValidateFieldsException("Namespaces nested too deeply");
    }
    if (m_pItem->FieldExists(uint32_t(CConfigItemRecord::eValueFieldId))) {
      throw CMultiFieldBlob::CFieldAlreadyExistsException(
          "CMultiFieldBlob::AddField(pNewChild): duplicate field name");
    }
    m_pNestedParser.reset();
    m_pNestedRecord.reset(new CConfigRecord());
    m_pNestedParser.reset(new CConfigRecordXMLParser(this, m_pNestedRecord.get(), m_uDepth + 1));
    HandControlTo(m_pNestedParser.get());
    m_eKind = eConfigRecord;
  }
}

void CConfigItemRecordXMLParser::charData(const XML_Char* pChars, int nLength) {
  m_sCharData.append(pChars, static_cast<size_t>(nLength));
}

void CConfigItemRecordXMLParser::endElement(const XML_Char*) {
  uint8_t u8Byte = 0;
  switch (m_eKind) {
    case eType: {
      uint32_t uValue = ParseConfigDecimal(m_sCharData);
      u8Byte = static_cast<uint8_t>(uValue);
      m_pItem->AddField(uint32_t(CConfigItemRecord::eTypeFieldId), &u8Byte, 1);
      m_nItemType = static_cast<int32_t>(uValue);
      break;
    }
    case eActive:
      // Not normalised: validation refuses anything but 0 and 1.
      u8Byte = static_cast<uint8_t>(ParseConfigDecimal(m_sCharData));
      m_pItem->AddField(uint32_t(CConfigItemRecord::eActiveFieldId), &u8Byte, 1);
      break;
    case eDescription:
      m_pItem->AddField(uint32_t(CConfigItemRecord::eDescriptionFieldId), m_sCharData);
      break;
    case eValue:
      AddValueField();
      break;
    case eConfigRecord:
      AddNestedRecord();
      break;
    case eNone:
      break;
  }
  m_pNestedParser.reset();
  m_pNestedRecord.reset();
  m_eKind = eNone;
}

void CConfigItemRecordXMLParser::AddNestedRecord() {
  m_pNestedParser->Flush();
  CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
  // The blob's own image: the record is validated with the whole document.
  const uint8_t* pImage = m_pNestedRecord->CMultiFieldBlob::GetSerializedBlob(&uSize);
  m_pItem->AddField(uint32_t(CConfigItemRecord::eValueFieldId), pImage, uSize);
}

void CConfigItemRecordXMLParser::AddValueField() {
  const uint32_t uValueId = CConfigItemRecord::eValueFieldId;
  switch (m_nItemType) {
    case CConfigItemRecord::eBoolean: {
      uint8_t u8Value = ParseConfigDecimal(m_sCharData) != 0 ? 1 : 0;
      m_pItem->AddField(uValueId, &u8Value, 1);
      break;
    }
    case CConfigItemRecord::eUnsignedInt32:
    case CConfigItemRecord::eSignedInt32:
      m_pItem->AddField(uValueId, ParseConfigDecimal(m_sCharData));
      break;
    case CConfigItemRecord::eString:
      m_pItem->AddField(uValueId, m_sCharData);
      break;
    default:
      break;  // no Type yet, or a type without value form
  }
}

// ---- The record's XML constructor -------------------------------------------------------

CConfigRecord::CConfigRecord(const char* pXMLText, size_t uLength) : CConfigRecord() {
  LARCH_REQUIRE("NonNullXMLText", pXMLText != nullptr || uLength == 0, sc_ConfigRefusal);
  {
    CConfigRecordXMLParser parser(this);
    if (parser.Parse(pXMLText, uLength, true) != XML_STATUS_OK) {
      throw std::runtime_error("CConfigRecord::XML_Parse() failed: " + parser.GetErrorText() +
                               " at line " + std::to_string(parser.GetCurrentLineNumber()));
    }
    parser.Flush();
  }
  Validate();
}

}  // namespace common
