// Reads arbitrary bytes as a Windows executable's resources and rewrites one branding string.
// Refusals are fine; a crash, a sanitizer report, or a rewritten image that does not read back
// with the new string is a finding.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "PeResources.h"
#include "platform/Process.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  platform::SetEnvVar("LARCH_ASSERT_REPORT", "ignore");
  fuzz_support::AbortOnAssert();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize) {
  const std::vector<uint8_t> image(pData, pData + uSize);
  try {
    larchtool::FindPeResources(image, "CONFIGDATA", "CLIENTAPP_FILENAME", "fuzz.exe");
  } catch (const std::runtime_error&) {
  }
  larchtool::SExeResourceUpdate update;
  update.sType = "CONFIGDATA";
  update.sName = "CLIENTAPP_FILENAME";
  update.u16Language = 0x409;
  const std::string sValue("GAME.exe", 9);
  update.data.assign(sValue.begin(), sValue.end());
  std::vector<uint8_t> rewritten;
  try {
    rewritten = larchtool::RewritePeResources(image, {update}, "fuzz.exe");
  } catch (const std::runtime_error&) {
    return 0;
  }
  bool bFound = false;
  for (const larchtool::SPeResource& resource :
       larchtool::FindPeResources(rewritten, "configdata", "clientapp_filename", "fuzz.exe")) {
    bFound = bFound || (resource.u16Language == 0x409 && resource.sData == sValue);
  }
  fuzz_support::Check(bFound);
  return 0;
}
