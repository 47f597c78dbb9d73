// Parses arbitrary text as a delta package's file list. Anything but a whole list must end in
// CDeltaFileListError; an accepted list must write back to the same text. Any assertion is a
// finding.
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "protocols/DeltaPackage.h"

using fuzz_support::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize) {
  fuzz_support::AbortOnAssert();
  const std::string sText(reinterpret_cast<const char*>(pData), uSize);
  common::SDeltaFileList list;
  try {
    list = common::ParseDeltaFileList(sText);
  } catch (const common::CDeltaFileListError& e) {
    Check(*e.what());
    return 0;
  }
  Check(common::FormatDeltaFileList(list) == sText);
  return 0;
}
