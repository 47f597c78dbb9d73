#include "bootstrapper/InstallLayout.h"

#include "bootstrapper/CommandLine.h"

namespace bootstrapper {

CInstallLayout CInstallLayout::FromExecutablePath(const std::string& sPath) {
  const SPathParts parts = SplitPath(sPath);
  return CInstallLayout(parts.sFileName, parts.sExtension);
}

std::string CInstallLayout::PackageName(const std::string& sComponent, int32_t nVersion) {
  return PackageName(sComponent, std::to_string(nVersion));
}

std::string CInstallLayout::PackageName(const std::string& sComponent,
                                        const std::string& sVersion) {
  return sComponent + "_" + sVersion + ".pkg";
}

std::string CInstallLayout::ManifestName(const std::string& sComponent, int32_t nVersion) {
  return sComponent + "_" + std::to_string(nVersion) + ".mst";
}

namespace {

bool IsDecimal(const std::string& sText) {
  return !sText.empty() && sText.find_first_not_of("0123456789") == std::string::npos;
}

// True for "<component>_<decimal digits><suffix>", and with bDelta for
// "<component>_<digits>-<digits><suffix>" too.
bool IsVersionedNameOf(const std::string& sName, const std::string& sComponent,
                       const std::string& sSuffix, bool bDelta = false) {
  const std::string sPrefix = sComponent + "_";
  if (sName.size() <= sPrefix.size() + sSuffix.size() ||
      sName.compare(0, sPrefix.size(), sPrefix) ||
      sName.compare(sName.size() - sSuffix.size(), sSuffix.size(), sSuffix)) {
    return false;
  }
  const std::string sVersion =
      sName.substr(sPrefix.size(), sName.size() - sPrefix.size() - sSuffix.size());
  const size_t uDash = bDelta ? sVersion.find('-') : std::string::npos;
  if (uDash == std::string::npos) return IsDecimal(sVersion);
  return IsDecimal(sVersion.substr(0, uDash)) && IsDecimal(sVersion.substr(uDash + 1));
}

}  // namespace

bool CInstallLayout::IsPartNameOf(const std::string& sName, const std::string& sComponent) {
  return IsVersionedNameOf(sName, sComponent, PartName(".pkg"), true);
}

bool CInstallLayout::IsManifestNameOf(const std::string& sName, const std::string& sComponent) {
  return IsVersionedNameOf(sName, sComponent, ".mst");
}

}  // namespace bootstrapper
