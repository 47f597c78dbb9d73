#include "bootstrapper/InstallLayout.h"

#include "bootstrapper/CommandLine.h"

namespace bootstrapper {

CInstallLayout CInstallLayout::FromArgv0(const char* pszArgv0) {
  return CInstallLayout(SplitPath(pszArgv0 ? pszArgv0 : "").sFileName);
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

}  // namespace bootstrapper
