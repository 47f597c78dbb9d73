// `larchtool brand` on a Windows bootstrapper (Larch.exe): its branding strings are resources of
// the type "CONFIGDATA", read and rewritten in the file itself on any platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace larchtool {

// Writes the whole file beside the old one and renames it over it, so that a failure never
// leaves half a program behind; throws "Cannot open output file NAME.branding: reason", "Failed to
// write output file NAME.branding" or "Failed to replace NAME".
void WriteExecutable(const std::string& sPath, const std::vector<uint8_t>& bytes);

// A branding string to write: the name of a slot of platform/Branding.h and its new text.
struct SBrandingString {
  const char* pszName;
  std::string sValue;
};

// Writes the strings into every language variant of their resources, or into a new
// language-neutral one when the executable has none, so that the program finds the new text
// whichever variant the system picks. With bShow, then prints "NAME: value" for every string
// (one line per variant, with its language, while variants differ). Throws std::runtime_error
// with the message on failure; the file is then unchanged.
void BrandWindowsExe(const std::string& sExe, const std::vector<uint8_t>& image,
                     const std::vector<SBrandingString>& strings, bool bShow);

// The text of each language variant of the string (none when the executable lacks it).
std::vector<std::string> WindowsBrandingTexts(const std::vector<uint8_t>& image,
                                              const std::string& sExe, const char* pszName);

}  // namespace larchtool
