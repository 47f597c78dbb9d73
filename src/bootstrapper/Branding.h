// The branding strings: which client application the bootstrapper keeps current and starts,
// and where the operator's directory servers are. Read from the program's own executable.
#pragma once

#include <cctype>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "security/SigningKey.h"

namespace bootstrapper {

constexpr const char* sc_pszBrandingType = "CONFIGDATA";
constexpr const char* sc_pszClientAppFileNameResource = "CLIENTAPP_FILENAME";
constexpr const char* sc_pszDirectoryServersResource = "GENERALDIRECTORYSERVER_IPADDRPORTS";
// The two slots for the operator's release-signing public keys (two, so that a key can be
// replaced by a bootstrapper that trusts both for a while), each 64 hexadecimal digits.
constexpr const char* sc_apszReleaseKeyResources[2] = {"RELEASE_PUBLIC_KEY_1",
                                                       "RELEASE_PUBLIC_KEY_2"};
// Whether the installed client is started when the servers cannot be reached: "yes" or "no".
// A program without the string (branded before it existed) does not.
constexpr const char* sc_pszOfflineStartResource = "OFFLINE_START";

// The values a build ships with until the operator brands it, the same in every build: a
// program that still carries one of them has not been branded for a deployment.
constexpr const char* sc_pszUnbrandedClientFile = "LARCHCLI.DLL";
constexpr const char* sc_apszUnbrandedDirectoryServers[] = {
    "127.0.0.1:27030", "198.51.100.123:27030 198.51.100.123:27030", ":27131 :27231"};

// The string of that name and type; throws "Unable to find resource TYPE:NAME" or "Unable to
// load resource TYPE:NAME".
std::string LoadBrandingString(const char* pszName, const char* pszType);

// Splits a client application file name at its last dot: the name keeps its case, the
// extension is lowered and must be "exe" or "dll". The file lies beside the bootstrapper: a
// folder or a drive in the name is refused, on every platform alike. Throws the
// "BRANDING ERROR: ..." texts.
// Inline so that larchtool checks a name it brands by the same rule without linking the
// bootstrapper's resource reading.
inline void SplitClientAppFileName(const std::string& sValue, std::string& sName,
                                   std::string& sExtension) {
  if (sValue.find_first_of("/\\:") != std::string::npos) {
    throw std::runtime_error(
        "BRANDING ERROR: Client application file name must not name a folder or a drive (" +
        sValue + ")");
  }
  size_t uDot = sValue.rfind('.');
  if (uDot == std::string::npos) {
    throw std::runtime_error("BRANDING ERROR: No client app extension provided (" + sValue + ")");
  }
  std::string sExt = sValue.substr(uDot + 1);
  for (char& c : sExt) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (sExt != "exe" && sExt != "dll") {
    throw std::runtime_error("BRANDING ERROR: Invalid client application extension type (" + sExt +
                             ")");
  }
  sName = sValue.substr(0, uDot);
  sExtension = sExt;
}
// The branded client application file name, split as above.
void GetClientAppFileName(std::string& sName, std::string& sExtension);

// The branded directory-server list as text; a missing string is an empty text.
std::string LoadBrandedDirectoryServersText();

// The public keys branded into this program: none, one or two (empty or missing slots are
// skipped). A slot that holds anything but 64 hexadecimal digits throws "BRANDING ERROR:
// RELEASE_PUBLIC_KEY_1 is not a public key": a typo must not turn the checks off.
std::vector<common::PublicKey> LoadBrandedReleaseKeys();
// The same rule over the texts fnRead gives for the slot names (larchtool reads another
// program's branding).
std::vector<common::PublicKey> ReleaseKeysFromBranding(
    const std::function<std::string(const char* pszName)>& fnRead);

// Whether the operator allows the offline start: true for "yes", false for "no" or nothing;
// any other text throws "BRANDING ERROR: OFFLINE_START is neither yes nor no (TEXT)", as a
// damaged string must not decide it either way.
bool OfflineStartFromBranding(const std::string& sText);
bool LoadBrandedOfflineStart();

}  // namespace bootstrapper
