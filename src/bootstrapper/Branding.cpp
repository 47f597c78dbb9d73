#include "bootstrapper/Branding.h"

#include <stdexcept>

#include "platform/Branding.h"
#include "security/Sha256.h"
#include "support/Assert.h"

namespace bootstrapper {
namespace {

std::string LoadChecked(const char* pszName, const char* pszType, bool bMissingIsEmpty) {
  std::string sValue;
  switch (platform::LoadBrandingString(pszName, pszType, sValue)) {
    case platform::eBrandingFound:
      return sValue;
    case platform::eBrandingNotFound:
      if (bMissingIsEmpty) return std::string();
      throw std::runtime_error(std::string("Unable to find resource ") + pszType + ":" + pszName);
    case platform::eBrandingLoadFailed:
      throw std::runtime_error(std::string("Unable to load resource ") + pszType + ":" + pszName);
    case platform::eBrandingUnterminated:
    default:
      common::DebugAssert(
          "( !(szResource) || (strlen( szResource ) <= SizeofResource(hModule, hRes)) )", __FILE__,
          __LINE__);
      throw std::runtime_error(std::string("Unable to load resource ") + pszType + ":" + pszName);
  }
}

}  // namespace

std::string LoadBrandingString(const char* pszName, const char* pszType) {
  return LoadChecked(pszName, pszType, false);
}

void GetClientAppFileName(std::string& sName, std::string& sExtension) {
  SplitClientAppFileName(LoadBrandingString(sc_pszClientAppFileNameResource, sc_pszBrandingType),
                         sName, sExtension);
}

std::string LoadBrandedDirectoryServersText() {
  return LoadChecked(sc_pszDirectoryServersResource, sc_pszBrandingType, true);
}

std::vector<common::PublicKey> ReleaseKeysFromBranding(
    const std::function<std::string(const char* pszName)>& fnRead) {
  std::vector<common::PublicKey> keys;
  for (const char* pszName : sc_apszReleaseKeyResources) {
    std::string sText = fnRead(pszName);
    if (sText.empty()) continue;
    common::PublicKey key;
    if (!common::FromHex(sText, key.data(), key.size())) {
      throw std::runtime_error(std::string("BRANDING ERROR: ") + pszName + " is not a public key");
    }
    keys.push_back(key);
  }
  return keys;
}

std::vector<common::PublicKey> LoadBrandedReleaseKeys() {
  return ReleaseKeysFromBranding(
      [](const char* pszName) { return LoadChecked(pszName, sc_pszBrandingType, true); });
}

bool OfflineStartFromBranding(const std::string& sText) {
  if (sText == "yes") return true;
  if (sText.empty() || sText == "no") return false;
  throw std::runtime_error(std::string("BRANDING ERROR: ") + sc_pszOfflineStartResource +
                           " is neither yes nor no (" + sText + ")");
}

bool LoadBrandedOfflineStart() {
  return OfflineStartFromBranding(
      LoadChecked(sc_pszOfflineStartResource, sc_pszBrandingType, true));
}

}  // namespace bootstrapper
