// `larchtool brand` on a Windows bootstrapper (Larch.exe): its branding strings are resources of
// the type "CONFIGDATA", read from the file on any platform and rewritten through the system's
// resource update functions. The native tool on a POSIX host hands the rewrite to larchtool's
// Windows build run under Wine: LARCH_WINDOWS_LARCHTOOL names that larchtool.exe, LARCH_WINE
// the command that runs it ("wine" when unset).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace larchtool {

// The whole executable file; throws "Cannot open input file NAME" or "Failed to read input
// file NAME".
std::vector<uint8_t> ReadExecutable(const std::string& sPath);

// Writes the given strings (null: leave as it is) into every language variant of their
// resources, or into a new language-neutral one when the executable has none, so that the
// program finds the new text whichever variant the system picks. With bShow, then prints
// "NAME: value" for both strings (one line per variant, with its language, while variants
// differ). Throws std::runtime_error with the message on failure; the file is then unchanged.
void BrandWindowsExe(const std::string& sExe, const std::vector<uint8_t>& image,
                     const std::string* pClientFile, const std::string* pDirectoryServers,
                     bool bShow);

}  // namespace larchtool
