#include "ClientRecordXml.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "config/ConfigRecordXMLWriter.h"
#include "config/expat/ExpatParser.h"
#include "security/Sha256.h"
#include "support/ByteOrder.h"

namespace larchtool {
namespace {

using Weft::CClientConfigRecord;

const char sc_szRoot[] = "ClientConfigRecord";
const char sc_szField[] = "Field";

// The names of the known fields (3 and 4 name the published components).
const char* const sc_apszFieldNames[] = {"VersionNum",
                                         "CurrentClientBootstrapVersion",
                                         "CurrentClientAppPackageVersion",
                                         "BootstrapComponent",
                                         "ClientAppComponent",
                                         "BootstrapPackageSize",
                                         "BootstrapPackageSha256",
                                         "ClientAppPackageSize",
                                         "ClientAppPackageSha256",
                                         "SequenceNum",
                                         "ExpiryTime",
                                         "Signature"};

[[noreturn]] void Refuse(const std::string& sText) {
  throw std::runtime_error("ClientConfigRecord XML: " + sText);
}

// The field's value as text in the type that shows it best; hex for anything unexpected.
std::string ValueText(uint32_t uId, const uint8_t* pData, uint32_t uSize, std::string& sType) {
  const bool bNumber32 = uId <= CClientConfigRecord::eCurrentClientAppPackageVersion;
  const bool bNumber64 = uId == CClientConfigRecord::eBootstrapPackageSize ||
                         uId == CClientConfigRecord::eClientAppPackageSize ||
                         uId == CClientConfigRecord::eSequenceNum ||
                         uId == CClientConfigRecord::eExpiryTime;
  if (bNumber32 && uSize == 4) {
    sType = "uint32";
    return std::to_string(common::LoadLittleEndian32(pData));
  }
  if (bNumber64 && uSize == 8) {
    sType = "uint64";
    return std::to_string(common::LoadLittleEndian64(pData));
  }
  const bool bName = uId == 3 || uId == 4;
  if (bName && uSize > 1 && pData[uSize - 1] == 0 && std::memchr(pData, 0, uSize - 1) == nullptr) {
    try {
      std::string sText = common::CConfigRecordXMLWriter::EscapeText(
          std::string(reinterpret_cast<const char*>(pData), uSize - 1), false);
      sType = "string";
      return sText;
    } catch (const std::exception&) {
      // not text XML can carry: hex below
    }
  }
  sType = "hex";
  return common::ToLowerHex(pData, uSize);
}

// Reads the root element and its Field elements into a blob, in the order given.
class CClientRecordXmlParser : public common::expatpp {
 public:
  void startElement(const XML_Char* pszName, const XML_Char** ppszAttributes) override {
    ++m_uDepth;
    if (m_uDepth == 1) {
      if (std::strcmp(pszName, sc_szRoot) != 0) throw CNotThisForm();
      return;
    }
    if (m_uDepth != 2 || std::strcmp(pszName, sc_szField) != 0) {
      Refuse(std::string("unexpected element ") + pszName);
    }
    m_sId.clear();
    m_sType.clear();
    m_sText.clear();
    for (const XML_Char** pp = ppszAttributes; *pp; pp += 2) {
      if (std::strcmp(pp[0], "Id") == 0) m_sId = pp[1];
      if (std::strcmp(pp[0], "Type") == 0) m_sType = pp[1];
    }
  }
  void charData(const XML_Char* pChars, int nLength) override {
    if (m_uDepth == 2) m_sText.append(pChars, static_cast<size_t>(nLength));
  }
  void endElement(const XML_Char*) override {
    if (m_uDepth-- == 2) AddField();
  }

  // Thrown from the first element when the text is another form.
  struct CNotThisForm {};

  common::CMultiFieldBlob m_blob;

 private:
  static uint64_t Decimal(const std::string& sText, uint64_t u64Max) {
    if (sText.empty() || sText.size() > 20 ||
        sText.find_first_not_of("0123456789") != std::string::npos) {
      Refuse("not a number: '" + sText + "'");
    }
    errno = 0;
    const unsigned long long u = std::strtoull(sText.c_str(), nullptr, 10);
    if (errno != 0 || u > u64Max) Refuse("number out of range: " + sText);
    return u;
  }

  void AddField() {
    const uint32_t uId = static_cast<uint32_t>(Decimal(m_sId, 0xFFFFFFFFu));
    std::vector<uint8_t> data;
    if (m_sType == "uint32") {
      data.resize(4);
      common::StoreLittleEndian32(data.data(),
                                  static_cast<uint32_t>(Decimal(m_sText, 0xFFFFFFFFu)));
    } else if (m_sType == "uint64") {
      data.resize(8);
      common::StoreLittleEndian64(data.data(), Decimal(m_sText, UINT64_MAX));
    } else if (m_sType == "string") {
      data.assign(m_sText.begin(), m_sText.end());
      data.push_back(0);
    } else if (m_sType == "hex") {
      data.resize(m_sText.size() / 2);
      if (m_sText.size() % 2 != 0 || !common::FromHex(m_sText, data.data(), data.size())) {
        Refuse("field " + m_sId + " is not hexadecimal");
      }
    } else {
      Refuse("field " + m_sId + " has Type '" + m_sType + "' (uint32, uint64, string or hex)");
    }
    const common::CMultiFieldBlob::CFieldName name(uId);
    if (m_blob.FieldExists(name)) Refuse("field " + m_sId + " is given twice");
    m_blob.AddField(name, data.data(), data.size());
  }

  unsigned m_uDepth = 0;
  std::string m_sId, m_sType, m_sText;
};

}  // namespace

std::string CClientRecordXml::Write(const CClientConfigRecord& record) {
  std::string sXml = std::string("<") + sc_szRoot + ">\n";
  for (auto it = record.begin(); it != record.end(); ++it) {
    const uint32_t uId = it.GetNumericFieldName();
    common::CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
    const uint8_t* pData = it.GetFieldData(&uSize);
    std::string sType;
    const std::string sValue = ValueText(uId, pData, uSize, sType);
    sXml += "\t<Field Id=\"" + std::to_string(uId) + "\"";
    if (uId < sizeof(sc_apszFieldNames) / sizeof(sc_apszFieldNames[0])) {
      sXml += std::string(" Name=\"") + sc_apszFieldNames[uId] + "\"";
    }
    sXml += " Type=\"" + sType + "\">" + sValue + "</Field>\n";
  }
  return sXml + "</" + sc_szRoot + ">\n";
}

bool CClientRecordXml::Read(const std::string& sXml, std::vector<uint8_t>& image) {
  CClientRecordXmlParser parser;
  try {
    if (parser.Parse(sXml.data(), sXml.size(), true) != XML_STATUS_OK) {
      Refuse(parser.GetErrorText() + " at line " + std::to_string(parser.GetCurrentLineNumber()));
    }
  } catch (const CClientRecordXmlParser::CNotThisForm&) {
    return false;
  }
  // Added again in name order: the image then does not depend on the order of the text.
  common::CMultiFieldBlob canonical(parser.m_blob.GetNumFields(), 0);
  for (auto it = parser.m_blob.begin(); it != parser.m_blob.end(); ++it) {
    common::CMultiFieldBlob::SizeOfFieldData_t uFieldSize = 0;
    const uint8_t* pData = it.GetFieldData(&uFieldSize);
    canonical.AddField(it.GetFieldName(), pData, uFieldSize);
  }
  common::CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
  const uint8_t* pImage = canonical.GetSerializedBlob(&uSize);
  // Loaded as the record to check its version fields.
  CClientConfigRecord(pImage, uSize).ValidateFields();
  image.assign(pImage, pImage + uSize);
  return true;
}

}  // namespace larchtool
