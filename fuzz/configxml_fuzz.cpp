// Parses arbitrary text as the XML form of a configuration record. Malformed text and invalid
// records must end in an exception with a text; an accepted record must write, parse back and
// write again to the same text, answer tree look-ups for every item and merge into another
// record. Any assertion is a finding: no input may reach one.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "config/ConfigRecord.h"
#include "config/ConfigRecordXMLWriter.h"
#include "config/ConfigTree.h"
#include "support/Assert.h"

using common::CConfigRecord;

using fuzz_support::Check;

namespace {

std::string Xml(const CConfigRecord& record) {
  std::ostringstream os;
  common::CConfigRecordXMLWriter::Write(record, os);
  return os.str();
}

// Every look-up on every item of the tree and its sub-trees; wrong types throw.
void LookUpEverything(const common::CConfigTree& tree, int nDepth) {
  std::vector<std::string> names;
  tree.GetItemNames(&names);
  for (const std::string& sName : names) {
    std::string s;
    int32_t n = 0;
    uint32_t u = 0;
    bool b = false;
    try {
      tree.GetString(sName, &s);
    } catch (const std::runtime_error& e) {
      Check(*e.what());
    }
    try {
      tree.GetSignedInt32(sName, &n);
    } catch (const std::runtime_error& e) {
      Check(*e.what());
    }
    try {
      tree.GetUnsignedInt32(sName, &u);
    } catch (const std::runtime_error& e) {
      Check(*e.what());
    }
    try {
      tree.GetBoolean(sName, &b);
    } catch (const std::runtime_error& e) {
      Check(*e.what());
    }
    if (nDepth < 3) {
      try {
        LookUpEverything(*tree.GetSubTree(sName), nDepth + 1);
      } catch (const std::runtime_error& e) {
        Check(*e.what());
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::AbortOnAssert();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize) {
  std::unique_ptr<CConfigRecord> pRecord;
  try {
    pRecord.reset(new CConfigRecord(reinterpret_cast<const char*>(pData), uSize));
  } catch (const std::exception& e) {
    Check(*e.what());
    return 0;
  }
  // Whatever the parser accepted, the writer can write and the parser reads back, except
  // items of the types without value form (a nested ConfigRecord element gives them a value
  // that their XML form does not carry).
  std::string sXml = Xml(*pRecord);
  try {
    CConfigRecord again(sXml.data(), sXml.size());
    Check(Xml(again) == sXml);
  } catch (const common::CConfigItemRecord::CValidateFieldsException& e) {
    Check(std::string(e.what()) == "Missing Value field");
  }

  LookUpEverything(common::CConfigRecordTree(*pRecord), 0);
  try {
    CConfigRecord merged;
    merged.SetBoolean("p.flag", true, true, "");
    merged.MergeRecord("p", *pRecord);
    merged.MergeRecord("", merged);
    merged.Validate();
  } catch (const std::runtime_error& e) {
    Check(*e.what());  // item names with full stops name nothing
  }
  return 0;
}
