// Reads resources out of a Windows executable image (PE file) on any platform: enough to show
// the branding strings of a Windows bootstrapper and to know which language variants it has.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace larchtool {

// One language variant of a resource.
struct SPeResource {
  uint16_t u16Language = 0;
  std::string sData;  // the resource's bytes
};

// True when the bytes begin like a Windows executable: an "MZ" header pointing at "PE\0\0".
bool IsWindowsExecutable(const std::vector<uint8_t>& image);

// Every language variant of the resource of that type and name (both given by name, compared
// as the system does, without regard to case), in the order of the image's directory.
// Throws std::runtime_error "<what>: damaged Windows executable (<reason>)" when a structure
// lies outside the image.
std::vector<SPeResource> FindPeResources(const std::vector<uint8_t>& image,
                                         const std::string& sType, const std::string& sName,
                                         const std::string& sWhat);

}  // namespace larchtool
