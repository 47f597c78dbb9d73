// Loads arbitrary bytes as the blob image of a configuration record. Damaged images and
// invalid records must end in an exception with a text; an accepted record must hand out an
// image that loads back to the same XML text, write XML (or refuse texts XML cannot carry),
// answer look-ups and namespace requests, and take edits. Any assertion is a finding.
//
// Input: the image, preceded by one byte choosing the qualified name edited at the end.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "config/ConfigRecord.h"
#include "config/ConfigRecordXMLWriter.h"
#include "config/ConfigTree.h"
#include "support/Assert.h"

using common::CConfigRecord;
using common::CMultiFieldBlob;

using fuzz_support::Check;

namespace {

// The XML text, or the writer's refusal text for texts XML cannot carry.
std::string XmlOrRefusal(const CConfigRecord& record) {
  std::ostringstream os;
  try {
    common::CConfigRecordXMLWriter::Write(record, os);
  } catch (const std::runtime_error& e) {
    Check(*e.what());
    return std::string("refused: ") + e.what();
  }
  return os.str();
}

void VisitNamespaces(const CConfigRecord& record, const std::string& sPrefix, int nDepth) {
  for (CMultiFieldBlob::index_iterator it = record.begin(); it != record.end(); ++it) {
    std::string sName = sPrefix + it.GetFieldName();
    try {
      CConfigRecord nested = record.GetNamespace(sName);
      if (nDepth < 4) VisitNamespaces(nested, "", nDepth + 1);
    } catch (const std::runtime_error& e) {
      Check(*e.what());
    }
    common::CConfigRecordTree tree(record);
    std::string s;
    bool b = false;
    try {
      tree.GetString(it.GetFieldName(), &s);
    } catch (const std::runtime_error& e) {
      Check(*e.what());
    }
    try {
      tree.GetBoolean(it.GetFieldName(), &b);
    } catch (const std::runtime_error& e) {
      Check(*e.what());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::AbortOnAssert();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize) {
  if (uSize < 1) return 0;
  static const char* const sc_apszNames[] = {"a", "a.b", "a.b.c", "x.y", "n.", ".n", "s"};
  const char* pszEditName = sc_apszNames[pData[0] % 7];
  std::unique_ptr<CConfigRecord> pRecord;
  try {
    pRecord.reset(new CConfigRecord(CMultiFieldBlob::eCopyImmediately, pData + 1,
                                    static_cast<uint32_t>(uSize - 1)));
  } catch (const std::exception& e) {
    Check(*e.what());
    return 0;
  }
  std::string sXml = XmlOrRefusal(*pRecord);

  // The image handed out loads back to the same record.
  CMultiFieldBlob::SizeOfFieldData_t uImageSize = 0;
  const uint8_t* pImage = pRecord->GetSerializedBlob(&uImageSize);
  CConfigRecord reloaded(CMultiFieldBlob::eCopyImmediately, pImage, uImageSize);
  Check(XmlOrRefusal(reloaded) == sXml);
  if (sXml.compare(0, 8, "refused:") != 0) {
    // Items of the types without value form have no Value element, so their text does not
    // read back as a valid record; everything else does, unchanged.
    try {
      CConfigRecord parsed(sXml.data(), sXml.size());
      Check(XmlOrRefusal(parsed) == sXml);
    } catch (const common::CConfigItemRecord::CValidateFieldsException& e) {
      Check(std::string(e.what()) == "Missing Value field");
    }
  }

  VisitNamespaces(*pRecord, "", 0);
  try {
    pRecord->SetUnsignedInt32(pszEditName, 7, true, "edited");
    pRecord->MergeRecord("copy", reloaded);
    pRecord->Validate();
  } catch (const std::runtime_error& e) {
    Check(*e.what());
  }
  return 0;
}
