// Parses arbitrary text as the XML form of the client config record. Malformed text and
// records without their version fields must end in an exception with a text; an accepted record
// must write, and its text must read back to the same image. Any assertion is a finding.
#include <cstdint>
#include <string>
#include <vector>

#include "ClientRecordXml.h"
#include "FuzzSupport.h"

using fuzz_support::Check;
using larchtool::CClientRecordXml;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::AbortOnAssert();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize) {
  std::vector<uint8_t> image;
  try {
    if (!CClientRecordXml::Read(std::string(reinterpret_cast<const char*>(pData), uSize), image)) {
      return 0;  // another form
    }
  } catch (const std::exception& e) {
    Check(*e.what());
    return 0;
  }
  const Weft::CClientConfigRecord record(image.data(), static_cast<uint32_t>(image.size()));
  const std::string sXml = CClientRecordXml::Write(record);
  std::vector<uint8_t> again;
  Check(CClientRecordXml::Read(sXml, again));
  Check(again == image);
  return 0;
}
