#include "platform/Branding.h"

#include <cstring>

// The values the build presets (CMake options LARCH_BRAND_CLIENT_FILE,
// LARCH_BRAND_DIRECTORY_SERVERS and LARCH_BRAND_OFFLINE_START); `larchtool brand` rewrites them
// in a built program.
#ifndef LARCH_BRAND_CLIENT_FILE
#define LARCH_BRAND_CLIENT_FILE "LARCHCLI.DLL"
#endif
#ifndef LARCH_BRAND_DIRECTORY_SERVERS
#define LARCH_BRAND_DIRECTORY_SERVERS "127.0.0.1:27030"
#endif
#ifndef LARCH_BRAND_OFFLINE_START
#define LARCH_BRAND_OFFLINE_START "no"
#endif

namespace platform {

struct SBrandingArea {
  char szMarker[sc_uBrandingMarkerSize];
  char szClientFile[sc_uBrandingClientFileSize];
  char szDirectoryServers[sc_uBrandingDirectoryServersSize];
  char aszReleaseKeys[2][sc_uBrandingReleaseKeySize];  // none until `larchtool brand` sets them
  char szOfflineStart[sc_uBrandingOfflineStartSize];
};
static_assert(sizeof(SBrandingArea) == sc_uBrandingAreaSize, "branding area layout");

}  // namespace platform

// Volatile and externally visible, so that the compiler neither folds the preset texts into
// the code nor drops the area: a rewritten executable must be read from its data.
extern "C" {
__attribute__((used)) volatile platform::SBrandingArea g_LarchBrandingArea = {
    LARCH_BRANDING_MARKER,
    LARCH_BRAND_CLIENT_FILE,
    LARCH_BRAND_DIRECTORY_SERVERS,
    {"", ""},
    LARCH_BRAND_OFFLINE_START};
}

namespace platform {

EBrandingResult LoadBrandingString(const char* pszName, const char* pszType, std::string& sValue) {
  sValue.clear();
  if (std::strcmp(pszType, "CONFIGDATA") != 0) return eBrandingNotFound;
  const volatile char* pArea = reinterpret_cast<const volatile char*>(&g_LarchBrandingArea);
  for (const SBrandingSlot& slot : sc_aBrandingSlots) {
    if (std::strcmp(slot.pszName, pszName) != 0) continue;
    size_t uLen = 0;
    while (uLen < slot.uSize && pArea[slot.uOffset + uLen] != '\0') ++uLen;
    if (uLen == slot.uSize) return eBrandingUnterminated;
    for (size_t u = 0; u < uLen; ++u) sValue += pArea[slot.uOffset + u];
    return uLen == 0 ? eBrandingNotFound : eBrandingFound;
  }
  return eBrandingNotFound;
}

}  // namespace platform
