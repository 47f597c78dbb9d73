// The branding strings of a built bootstrapper, whichever kind: the reserved branding area of a
// POSIX one, the resources of a Windows one (BrandWindowsExe.h).
#pragma once

#include <string>
#include <vector>

#include "BrandWindowsExe.h"
#include "security/SigningKey.h"

namespace larchtool {

// Writes the strings into the executable (through a copy renamed over it) and with bShow then
// prints "NAME: value" for every slot. Everything is checked before anything is written: a
// failure leaves the file as it was.
void BrandExecutable(const std::string& sExe, const std::vector<SBrandingString>& strings,
                     bool bShow);

// The release public keys branded into the executable, read by the bootstrapper's rule (empty
// slots skipped; "BRANDING ERROR: RELEASE_PUBLIC_KEY_1 is not a public key"). Throws when the
// language variants of a Windows one disagree, as it is then unknown which one will be used.
std::vector<common::PublicKey> ReadBrandedReleaseKeys(const std::string& sExe);

// The client file and directory servers branded into an executable, and whether it still
// carries a value the build ships with (an unbranded Windows program carries two different
// directory-server variants: sDirectoryServers is then its first).
struct SExeBranding {
  std::string sClientFile;
  std::string sDirectoryServers;
  bool bUnbranded = false;
};
SExeBranding ReadExeBranding(const std::string& sExe);

}  // namespace larchtool
