// Rewriting the resources of a Windows executable file (the branding strings of a built
// bootstrapper). Windows: the system's resource update functions, which rebuild the file's
// resource section. POSIX: not available (false, with the "not supported" error); callers hand
// the work to the Windows build of their tool.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// One resource of a named type and name in one language. An update with bDelete removes that
// language variant; otherwise the variant gets the bytes, created when it was missing.
struct SExeResourceUpdate {
  std::string sType;
  std::string sName;
  uint16_t u16Language = 0;
  bool bDelete = false;
  std::vector<uint8_t> data;
};

// True where UpdateExeResources can work (Windows).
bool CanUpdateExeResources();

// Applies all updates or none. injection: "UpdateExeResources"
bool UpdateExeResources(const std::string& sPath, const std::vector<SExeResourceUpdate>& updates);

}  // namespace platform
