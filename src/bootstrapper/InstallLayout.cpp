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

// True for "<component>_<decimal digits><suffix>".
bool IsVersionedNameOf(const std::string& sName, const std::string& sComponent,
                       const std::string& sSuffix) {
  const std::string sPrefix = sComponent + "_";
  if (sName.size() <= sPrefix.size() + sSuffix.size() ||
      sName.compare(0, sPrefix.size(), sPrefix) ||
      sName.compare(sName.size() - sSuffix.size(), sSuffix.size(), sSuffix)) {
    return false;
  }
  const std::string sVersion =
      sName.substr(sPrefix.size(), sName.size() - sPrefix.size() - sSuffix.size());
  return sVersion.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

bool CInstallLayout::IsPartNameOf(const std::string& sName, const std::string& sComponent) {
  return IsVersionedNameOf(sName, sComponent, PartName(".pkg"));
}

bool CInstallLayout::IsManifestNameOf(const std::string& sName, const std::string& sComponent) {
  return IsVersionedNameOf(sName, sComponent, ".mst");
}

}  // namespace bootstrapper
