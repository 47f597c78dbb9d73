#include "config/ConfigRecordXMLWriter.h"

#include <stdexcept>

#include "config/ConfigPrecondition.h"
#include "config/ConfigRecord.h"

namespace common {
namespace {

typedef CMultiFieldBlob::SizeOfFieldData_t SizeOfFieldData_t;
typedef CConfigItemRecord::CValidateFieldsException CValidateFieldsException;

const char sc_szRecordElement[] = "ConfigRecord";

void WriteTabs(std::ostream& os, unsigned uLevel) {
  for (unsigned u = 0; u < uLevel; ++u) os << '\t';
}

// The length of the UTF-8 sequence at p (at most uLeft bytes) if it encodes a character that
// XML 1.0 allows, else 0.
size_t XmlCharLength(const unsigned char* p, size_t uLeft) {
  unsigned char c = p[0];
  if (c < 0x80) return (c >= 0x20 || c == '\t' || c == '\n' || c == '\r') ? 1 : 0;
  size_t uLength;
  uint32_t uCode;
  if (c >= 0xC2 && c <= 0xDF) {
    uLength = 2;
    uCode = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    uLength = 3;
    uCode = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    uLength = 4;
    uCode = c & 0x07;
  } else {
    return 0;
  }
  if (uLeft < uLength) return 0;
  for (size_t u = 1; u < uLength; ++u) {
    if ((p[u] & 0xC0) != 0x80) return 0;
    uCode = (uCode << 6) | (p[u] & 0x3F);
  }
  static const uint32_t sc_auMinCode[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (uCode < sc_auMinCode[uLength] || uCode > 0x10FFFF) return 0;  // overlong or too large
  if (uCode >= 0xD800 && uCode <= 0xDFFF) return 0;                 // surrogates
  if (uCode == 0xFFFE || uCode == 0xFFFF) return 0;
  return uLength;
}

}  // namespace

std::string CConfigRecordXMLWriter::EscapeText(const std::string& sText, bool bAttribute) {
  std::string sOut;
  sOut.reserve(sText.size());
  const unsigned char* p = reinterpret_cast<const unsigned char*>(sText.data());
  size_t uLeft = sText.size();
  while (uLeft > 0) {
    size_t uLength = XmlCharLength(p, uLeft);
    if (uLength == 0) {
      throw std::runtime_error(
          "Config record text cannot be written as XML (control character or invalid UTF-8)");
    }
    switch (uLength == 1 ? *p : 0) {
      case '&':
        sOut += "&amp;";
        break;
      case '<':
        sOut += "&lt;";
        break;
      case '>':
        sOut += "&gt;";
        break;
      case '"':
        sOut += bAttribute ? "&quot;" : "\"";
        break;
      case '\r':
        sOut += "&#13;";
        break;  // a parser would turn a raw one into a line feed
      case '\t':
        sOut += bAttribute ? "&#9;" : "\t";
        break;  // attribute values lose raw
      case '\n':
        sOut += bAttribute ? "&#10;" : "\n";
        break;  // white space to blanks
      default:
        sOut.append(reinterpret_cast<const char*>(p), uLength);
        break;
    }
    p += uLength;
    uLeft -= uLength;
  }
  return sOut;
}

void CConfigRecordXMLWriter::WriteOpenTag(std::ostream* pOs, const char* pszElement,
                                          unsigned uLevel) {
  if (!pOs) return;
  WriteTabs(*pOs, uLevel);
  *pOs << '<' << pszElement << ">\n";
}

void CConfigRecordXMLWriter::WriteCloseTag(std::ostream* pOs, const char* pszElement,
                                           unsigned uLevel) {
  if (!pOs) return;
  WriteTabs(*pOs, uLevel);
  *pOs << "</" << pszElement << ">\n";
}

void CConfigRecordXMLWriter::WriteItemStartTag(std::ostream* pOs, const std::string& sItemName,
                                               unsigned uLevel) {
  if (!pOs) return;
  std::string sEscaped = EscapeText(sItemName, true);
  WriteTabs(*pOs, uLevel);
  *pOs << "<ConfigItemRecord Name=\"" << sEscaped << "\" >\n";
}

void CConfigRecordXMLWriter::WriteStringElement(std::ostream* pOs, const char* pszElement,
                                                const std::string& sValue, unsigned uLevel) {
  if (!pOs) return;
  std::string sEscaped = EscapeText(sValue, false);
  WriteTabs(*pOs, uLevel);
  *pOs << '<' << pszElement << '>' << sEscaped << "</" << pszElement << ">\n";
}

void CConfigRecordXMLWriter::WriteTextElement(std::ostream* pOs, const char* pszElement,
                                              const char* pszValue, unsigned uLevel) {
  if (!pOs) return;
  WriteStringElement(pOs, pszElement, pszValue ? pszValue : "", uLevel);
}

// Numbers go through to_string: plain decimal whatever the stream's flags and locale.
void CConfigRecordXMLWriter::WriteSignedElement(std::ostream* pOs, const char* pszElement,
                                                long nValue, unsigned uLevel) {
  if (!pOs) return;
  WriteStringElement(pOs, pszElement, std::to_string(nValue), uLevel);
}

void CConfigRecordXMLWriter::WriteUnsignedElement(std::ostream* pOs, const char* pszElement,
                                                  unsigned long uValue, unsigned uLevel) {
  if (!pOs) return;
  WriteStringElement(pOs, pszElement, std::to_string(uValue), uLevel);
}

void CConfigRecordXMLWriter::Write(const CConfigRecord& record, std::ostream& os) {
  os << "<?xml version=\"1.0\" ?>\n";
  WriteRecord(record, &os, 0);
}

void CConfigRecordXMLWriter::WriteRecord(const CConfigRecord& record, std::ostream* pOs,
                                         unsigned uLevel) {
  WriteRecordAt(record, pOs, uLevel, 0);
}

void CConfigRecordXMLWriter::WriteItem(const CConfigItemRecord& item, std::ostream* pOs,
                                       unsigned uLevel) {
  WriteItemAt(item, pOs, uLevel, 0);
}

void CConfigRecordXMLWriter::WriteRecordAt(const CConfigRecord& record, std::ostream* pOs,
                                           unsigned uLevel, unsigned uDepth) {
  if (uDepth > CConfigRecord::sc_uMaxNamespaceDepth) {
    throw CValidateFieldsException("Namespaces nested too deeply");
  }
  WriteOpenTag(pOs, sc_szRecordElement, uLevel);
  for (CMultiFieldBlob::index_iterator iter = record.begin(); iter != record.end(); ++iter) {
    // No operation makes an item without a name; a damaged image might, and its XML form
    // would lose the item.
    if (iter.GetFieldName().empty()) throw CValidateFieldsException("Empty config item name");
    if (pOs) WriteItemStartTag(pOs, iter.GetFieldName(), uLevel + 1);
    CMultiFieldBlob* pAttached = iter.FindRegisteredChildBlob();
    if (pAttached) {
      const CConfigItemRecord* pItem = dynamic_cast<const CConfigItemRecord*>(pAttached);
      LARCH_REQUIRE("CConfigItemRecord registered to CConfigRecord", pItem != nullptr,
                    sc_ConfigRefusal);
      WriteItemAt(*pItem, pOs, uLevel + 2, uDepth);
    } else {
      SizeOfFieldData_t uSize = 0;
      const uint8_t* pImage = iter.GetFieldData(&uSize);
      CConfigItemRecord item(CMultiFieldBlob::eCopyOnWrite, pImage, uSize, false);
      WriteItemAt(item, pOs, uLevel + 2, uDepth);
    }
    WriteCloseTag(pOs, "ConfigItemRecord", uLevel + 1);
  }
  WriteCloseTag(pOs, sc_szRecordElement, uLevel);
}

void CConfigRecordXMLWriter::WriteItemAt(const CConfigItemRecord& item, std::ostream* pOs,
                                         unsigned uLevel, unsigned uDepth) {
  SizeOfFieldData_t uSize = 0;
  const uint8_t* pType = item.FindFieldData(uint32_t(CConfigItemRecord::eTypeFieldId), &uSize);
  if (!pType) throw CValidateFieldsException("Missing type field");
  if (uSize != 1) throw CValidateFieldsException("Illegal type field size");
  uint8_t u8Type = *pType;
  if (u8Type >= CConfigItemRecord::eNextAvailFieldId) {
    throw CValidateFieldsException("Illegal Type field");
  }
  WriteSignedElement(pOs, "Type", long(u8Type), uLevel);

  const uint8_t* pActive = item.FindFieldData(uint32_t(CConfigItemRecord::eActiveFieldId), &uSize);
  if (!pActive) throw CValidateFieldsException("Missing ActiveFlag field");
  if (uSize != 1) throw CValidateFieldsException("Illegal ActiveFlag field size");
  if (*pActive > 1) throw CValidateFieldsException("Illegal ActiveFlag field");
  WriteUnsignedElement(pOs, "Active", static_cast<unsigned long>(*pActive), uLevel);

  if (u8Type == CConfigItemRecord::eNamespace) {
    WriteNestedRecord(item, pOs, uLevel, uDepth);
    return;
  }
  if (!item.FieldExists(uint32_t(CConfigItemRecord::eDescriptionFieldId))) {
    throw CValidateFieldsException("Missing Description field");
  }
  CMultiFieldBlob::index_iterator iterValue =
      item.FindField(uint32_t(CConfigItemRecord::eValueFieldId));
  if (iterValue == item.end()) throw CValidateFieldsException("Missing Value field");
  WriteStringElement(pOs, "Description", item.GetDescription(), uLevel);

  const uint8_t* pValue = iterValue.GetFieldData(&uSize);
  switch (u8Type) {
    case CConfigItemRecord::eBoolean:
      if (uSize != 1) throw CValidateFieldsException("Unexpected data size for Boolean type");
      if (*pValue > 1) throw CValidateFieldsException("Unexpected data value for Boolean type");
      WriteUnsignedElement(pOs, "Value", static_cast<unsigned long>(*pValue), uLevel);
      break;
    case CConfigItemRecord::eUnsignedInt32: {
      if (uSize != 4) {
        throw CValidateFieldsException("Unexpected data size for UnsignedInt32 type");
      }
      uint32_t uValue = 0;
      item.GetUnsignedInt32(&uValue);
      WriteUnsignedElement(pOs, "Value", static_cast<unsigned long>(uValue), uLevel);
      break;
    }
    case CConfigItemRecord::eSignedInt32: {
      if (uSize != 4) throw CValidateFieldsException("Unexpected data size for SignedInt32 type");
      int32_t nValue = 0;
      item.GetSignedInt32(&nValue);
      WriteSignedElement(pOs, "Value", static_cast<long>(nValue), uLevel);
      break;
    }
    case CConfigItemRecord::eString:
      WriteStringElement(pOs, "Value", iterValue.GetFieldDataAsCString(), uLevel);
      break;
    default:
      break;  // types 0, 6 and 7 have no value form
  }
}

void CConfigRecordXMLWriter::WriteNestedRecord(const CConfigItemRecord& item, std::ostream* pOs,
                                               unsigned uLevel, unsigned uDepth) {
  CMultiFieldBlob::index_iterator iterValue =
      item.FindField(uint32_t(CConfigItemRecord::eValueFieldId));
  if (iterValue == item.end()) {
    throw CMultiFieldBlob::CFieldDoesNotExistException(
        "CMultiFieldBlob(pParent,FieldName): Field does not exist");
  }
  CMultiFieldBlob* pAttached = iterValue.FindRegisteredChildBlob();
  if (pAttached) {
    const CConfigRecord* pNested = dynamic_cast<const CConfigRecord*>(pAttached);
    LARCH_REQUIRE("CConfigRecord registered to namespace item", pNested != nullptr,
                  sc_ConfigRefusal);
    WriteRecordAt(*pNested, pOs, uLevel, uDepth + 1);
    return;
  }
  SizeOfFieldData_t uSize = 0;
  const uint8_t* pImage = iterValue.GetFieldData(&uSize);
  CConfigRecord nested(CConfigRecord::SUnvalidated(), pImage, uSize);
  WriteRecordAt(nested, pOs, uLevel, uDepth + 1);
}

}  // namespace common
