// larchtool brand: reads and rewrites the branding strings of a built bootstrapper without
// recompiling it: the reserved branding area of a POSIX one, the resources of a Windows one.
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "BrandWindowsExe.h"
#include "Command.h"
#include "InputFile.h"
#include "PeResources.h"
#include "bootstrapper/Branding.h"
#include "platform/Branding.h"

namespace larchtool {
namespace {

const char sc_szUsage[] =
    "usage: larchtool brand EXE [--client-file NAME] [--directory-servers LIST] [--show]\n"
    "\n"
    "Reads or rewrites the branding strings built into a bootstrapper executable:\n"
    "  --client-file NAME        the client application's file name (name.exe or name.dll)\n"
    "  --directory-servers LIST  the directory servers, address:port items separated by\n"
    "                            blanks or commas\n"
    "  --show                    prints the strings (after any change)\n";

// An area is the marker padded with NULs to its slot, then slots that each end in a NUL.
bool IsArea(const std::vector<uint8_t>& bytes, size_t uAt) {
  const char* pszMarker = LARCH_BRANDING_MARKER;
  size_t uMarkerLen = std::strlen(pszMarker);
  if (std::memcmp(&bytes[uAt], pszMarker, uMarkerLen) != 0) return false;
  for (size_t u = uMarkerLen; u < platform::sc_uBrandingMarkerSize; ++u) {
    if (bytes[uAt + u] != 0) return false;
  }
  for (const platform::SBrandingSlot& slot : platform::sc_aBrandingSlots) {
    if (bytes[uAt + slot.uOffset + slot.uSize - 1] != 0) return false;
  }
  return true;
}

// The offset of the one branding area in the executable.
size_t FindArea(const std::vector<uint8_t>& bytes, const std::string& sPath) {
  const uint8_t u8First = static_cast<uint8_t>(LARCH_BRANDING_MARKER[0]);
  std::vector<size_t> found;
  for (size_t u = 0; u + platform::sc_uBrandingAreaSize <= bytes.size(); ++u) {
    if (bytes[u] == u8First && IsArea(bytes, u)) found.push_back(u);
  }
  if (found.empty()) {
    throw std::runtime_error(sPath + ": no branding area found (not a POSIX Larch bootstrapper)");
  }
  if (found.size() > 1) {
    throw std::runtime_error(sPath + ": more than one branding area found");
  }
  return found.front();
}

const platform::SBrandingSlot& Slot(const char* pszName) {
  for (const platform::SBrandingSlot& slot : platform::sc_aBrandingSlots) {
    if (std::strcmp(slot.pszName, pszName) == 0) return slot;
  }
  throw std::logic_error("no branding slot");
}

std::string ReadSlot(const std::vector<uint8_t>& bytes, size_t uArea, const char* pszName) {
  const platform::SBrandingSlot& slot = Slot(pszName);
  const char* psz = reinterpret_cast<const char*>(&bytes[uArea + slot.uOffset]);
  return std::string(psz, strnlen(psz, slot.uSize));
}

void WriteSlot(std::vector<uint8_t>& bytes, size_t uArea, const char* pszName,
               const std::string& sValue) {
  const platform::SBrandingSlot& slot = Slot(pszName);
  if (sValue.size() >= slot.uSize) {
    throw std::runtime_error(std::string("BRANDING ERROR: ") + pszName + " is longer than " +
                             std::to_string(slot.uSize - 1) + " characters");
  }
  std::memset(&bytes[uArea + slot.uOffset], 0, slot.uSize);
  std::memcpy(&bytes[uArea + slot.uOffset], sValue.data(), sValue.size());
}

int RunBrand(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::fputs(sc_szUsage, stdout);
    return sc_nExitOk;
  }
  std::string sExe;
  bool bShow = false, bHaveClient = false, bHaveServers = false;
  std::string sClient, sServers;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& sArg = args[i];
    if (sArg == "--show") {
      bShow = true;
    } else if (sArg == "--client-file" || sArg == "--directory-servers") {
      if (i + 1 >= args.size()) throw CUsageError(sArg + " needs a value");
      (sArg == "--client-file" ? sClient : sServers) = args[++i];
      (sArg == "--client-file" ? bHaveClient : bHaveServers) = true;
    } else if (!sArg.empty() && sArg[0] == '-') {
      throw CUsageError("unknown option " + sArg);
    } else if (sExe.empty()) {
      sExe = sArg;
    } else {
      throw CUsageError("only one executable may be given");
    }
  }
  if (sExe.empty()) throw CUsageError("no executable given");
  if (!bShow && !bHaveClient && !bHaveServers) {
    throw CUsageError("nothing to do: give --client-file, --directory-servers or --show");
  }
  // Every check comes before anything is written.
  if (bHaveClient) {
    // The bootstrapper's own rule: a plain file name (no folder, no drive) whose extension
    // after the last dot, in any case, is exe or dll.
    std::string sName, sExtension;
    bootstrapper::SplitClientAppFileName(sClient, sName, sExtension);
  }
  std::vector<uint8_t> bytes = ReadInputBytes(sExe);
  if (IsWindowsExecutable(bytes)) {
    // A Windows Larch.exe keeps its strings as resources.
    BrandWindowsExe(sExe, bytes, bHaveClient ? &sClient : nullptr,
                    bHaveServers ? &sServers : nullptr, bShow);
    return sc_nExitOk;
  }
  size_t uArea = FindArea(bytes, sExe);
  if (bHaveClient) WriteSlot(bytes, uArea, "CLIENTAPP_FILENAME", sClient);
  if (bHaveServers) WriteSlot(bytes, uArea, "GENERALDIRECTORYSERVER_IPADDRPORTS", sServers);
  if (bHaveClient || bHaveServers) WriteExecutable(sExe, bytes);
  if (bShow) {
    for (const platform::SBrandingSlot& slot : platform::sc_aBrandingSlots) {
      std::printf("%s: %s\n", slot.pszName, ReadSlot(bytes, uArea, slot.pszName).c_str());
    }
  }
  return sc_nExitOk;
}

const CCommandRegistration s_registration({"brand",
                                           "read or rewrite the branding strings of a bootstrapper",
                                           sc_szUsage, RunBrand});

}  // namespace
}  // namespace larchtool
