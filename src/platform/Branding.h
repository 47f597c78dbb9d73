// The branding strings built into the bootstrapper's executable: which client application it
// keeps current and where the operator's directory servers are.
//
// Windows: resources of the custom type "CONFIGDATA" in the program's own module. POSIX: a
// reserved area in the program's data, preset at build time and rewritten in a built
// executable by `larchtool brand`; its byte layout is fixed below so that the tool can find it.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

enum EBrandingResult {
  eBrandingFound,
  eBrandingNotFound,     // no such resource (POSIX: the string is empty)
  eBrandingLoadFailed,   // found but could not be loaded
  eBrandingUnterminated  // the text is not NUL-terminated within its resource
};

// Reads the branding string of that name and type ("CONFIGDATA").
EBrandingResult LoadBrandingString(const char* pszName, const char* pszType, std::string& sValue);

// The POSIX reserved area: the marker, then one slot per string, each a NUL-terminated text
// padded with NULs to the slot's size. The marker occurs exactly once in a built program.
struct SBrandingSlot {
  const char* pszName;
  size_t uOffset;  // from the start of the marker
  size_t uSize;    // including the terminator
};
// A macro, not a constant: a constant's bytes may also land in the debug information, and the
// marker must occur once.
#define LARCH_BRANDING_MARKER "LARCH-BRANDING-AREA-3"
constexpr size_t sc_uBrandingMarkerSize = 32;
constexpr size_t sc_uBrandingClientFileSize = 260;
constexpr size_t sc_uBrandingDirectoryServersSize = 1024;
// A release key is 64 hexadecimal digits.
constexpr size_t sc_uBrandingReleaseKeySize = 65;
// "yes" or "no".
constexpr size_t sc_uBrandingOfflineStartSize = 4;
constexpr size_t sc_uBrandingReleaseKeysOffset =
    sc_uBrandingMarkerSize + sc_uBrandingClientFileSize + sc_uBrandingDirectoryServersSize;
constexpr size_t sc_uBrandingOfflineStartOffset =
    sc_uBrandingReleaseKeysOffset + 2 * sc_uBrandingReleaseKeySize;
constexpr size_t sc_uBrandingAreaSize =
    sc_uBrandingOfflineStartOffset + sc_uBrandingOfflineStartSize;
constexpr SBrandingSlot sc_aBrandingSlots[] = {
    {"CLIENTAPP_FILENAME", sc_uBrandingMarkerSize, sc_uBrandingClientFileSize},
    {"GENERALDIRECTORYSERVER_IPADDRPORTS", sc_uBrandingMarkerSize + sc_uBrandingClientFileSize,
     sc_uBrandingDirectoryServersSize},
    {"RELEASE_PUBLIC_KEY_1", sc_uBrandingReleaseKeysOffset, sc_uBrandingReleaseKeySize},
    {"RELEASE_PUBLIC_KEY_2", sc_uBrandingReleaseKeysOffset + sc_uBrandingReleaseKeySize,
     sc_uBrandingReleaseKeySize},
    {"OFFLINE_START", sc_uBrandingOfflineStartOffset, sc_uBrandingOfflineStartSize},
};

}  // namespace platform
