// Reads and rewrites the resources of a Windows executable image (PE file) on any platform: the
// branding strings of a Windows bootstrapper are resources, and the operator's tool changes them
// on whatever system it runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace larchtool {

// One resource of a named type and name in one language. An update with bDelete removes that
// language variant; otherwise the variant gets the bytes, created when it was missing.
struct SExeResourceUpdate {
  std::string sType;
  std::string sName;
  uint16_t u16Language = 0;
  bool bDelete = false;
  std::vector<uint8_t> data;
};

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

// A copy of a 32-bit executable image (PE32) whose resources carry the updates (types and names
// are texts, or "#123" for a number; compared without regard to case). The whole resource tree
// is laid out afresh, over the old resource section when it is the last one, otherwise as a new
// last section; data that followed the sections moves behind it. Every other resource keeps its
// bytes. Throws std::runtime_error "<what>: cannot rewrite its resources (<reason>)" for what it
// does not handle (64-bit images, signed files, no room for a section header) and the damaged
// text of FindPeResources; it never returns a partial image.
std::vector<uint8_t> RewritePeResources(const std::vector<uint8_t>& image,
                                        const std::vector<SExeResourceUpdate>& updates,
                                        const std::string& sWhat);

}  // namespace larchtool
