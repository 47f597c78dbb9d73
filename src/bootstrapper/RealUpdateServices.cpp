// The update services on the system's network, package and registry code.
#include <memory>
#include <stdexcept>

#include "bootstrapper/UpdateServices.h"
#include "network/IPAddrPort.h"
#include "network/WinSockHelperFunctions.h"
#include "package/PkgFile.h"
#include "protocols/ConfigServerCommands.h"
#include "protocols/ContentServerDirectoryServerCommands.h"
#include "protocols/GeneralDirectoryServerCommands.h"
#include "protocols/PublicContentServerCommands.h"
#include "registry/BlobRegistry.h"

namespace bootstrapper {
namespace {

constexpr uint32_t sc_uLockTimeoutMs = 100;
constexpr uint16_t sc_u16DefaultDirectoryServerPort = 5273;

std::vector<common::CIPAddrPort> ToAddresses(const ServerList& servers) {
  std::vector<common::CIPAddrPort> addresses;
  for (const std::string& s : servers) {
    addresses.push_back(common::CIPAddrPort(0, s, sc_u16DefaultDirectoryServerPort));
  }
  return addresses;
}

ServerList ToServerList(const std::vector<common::CIPAddrPort>& addresses) {
  ServerList servers;
  for (const common::CIPAddrPort& a : addresses) servers.push_back(a.ToString());
  return servers;
}

// Opens a registry file; a lock that does not come in time is told apart from damage.
std::unique_ptr<common::CBlobRegistry> OpenRegistry(const std::string& sFile, bool bMustExist) {
  try {
    return std::make_unique<common::CBlobRegistry>(sFile, bMustExist, sc_uLockTimeoutMs);
  } catch (const common::CInUseException& e) {
    throw CRegistryBusyException(e.what());
  }
}

class CRealUpdateServices : public IUpdateServices {
 public:
  void StartNetwork() override { m_pSession = std::make_unique<common::CWinSockSession>(); }
  void StopNetwork() override { m_pSession.reset(); }

  ServerList ParseDirectoryServers(const std::string& sText) override {
    return ToServerList(common::ParseIPAddrPortList(sText, 0, sc_u16DefaultDirectoryServerPort));
  }

  ServerList GetServers(const ServerList& directoryServers, uint32_t uType,
                        bool bPolling) override {
    std::vector<common::CIPAddrPort> found;
    std::atomic<bool> bAbort{false}, bStalled{false};
    common::GeneralDirectoryServerGetServers(
        static_cast<uint8_t>(uType), ToAddresses(directoryServers), &found,
        bPolling ? &bAbort : nullptr, bPolling ? &bStalled : nullptr);
    return ToServerList(found);
  }

  std::string GetMasterAuthenticationServer(const ServerList& directoryServers) override {
    return common::GetMasterAuthenticationServer(ToAddresses(directoryServers)).ToString();
  }

  ServerList GetContentServers(const std::string& sContentDirectoryServer, uint32_t uMaxCount,
                               uint32_t uCaller) override {
    std::vector<common::CIPAddrPort> found;
    std::atomic<bool> bAbort{false}, bStalled{false};
    common::ContentServerDirectoryServerGetContentServers(
        ToAddresses({sContentDirectoryServer}).front(), &found, static_cast<uint16_t>(uMaxCount),
        uCaller, &bAbort, &bStalled);
    return ToServerList(found);
  }

  void GetPublishedVersions(const std::string& sConfigServer, uint32_t& u32BootStrapper,
                            uint32_t& u32ClientApp) override {
    std::unique_ptr<Weft::CClientConfigRecord> pRecord =
        common::ConfigServerGetClientConfigRecord(ToAddresses({sConfigServer}).front());
    u32BootStrapper = pRecord->GetCurrentClientBootstrapVersion();
    u32ClientApp = pRecord->GetCurrentClientAppPackageVersion();
  }

  common::CMallocedBlock GetFile(const std::string& sContentServer, const std::string& sFile,
                                 ProgressCallback pfnProgress) override {
    common::CMallocedBlock block(1);
    std::atomic<bool> bAbort{false}, bStalled{false};
    common::ProgressCallbackFn callback;
    if (pfnProgress) callback = pfnProgress;
    common::PublicContentServerGetFile(ToAddresses({sContentServer}).front(), sFile, &block,
                                       callback, &bAbort, &bStalled);
    return block;
  }

  std::vector<std::string> UnpackPackage(const std::string& sPackageFile) override {
    common::CPkgFile package(sPackageFile);
    package.ExtractAll();
    std::vector<std::string> names;
    package.GetFileNames(names);
    return names;
  }

  void ReadVersionFile(const std::string& sFile, std::string& sBootStrapperVersion,
                       std::string& sClientAppVersion) override {
    auto pRegistry = OpenRegistry(sFile, true);
    pRegistry->GetStringValue("BootStrapperVersionNum", "BootStrapperVersionNum",
                              sBootStrapperVersion);
    pRegistry->GetStringValue("ClientAppVersionNum", "ClientAppVersionNum", sClientAppVersion);
  }

  void CreateVersionFile(const std::string& sFile) override {
    auto pRegistry = OpenRegistry(sFile, false);
    pRegistry->CreateKey("BootStrapperVersionNum", true);
    pRegistry->SetStringValue("BootStrapperVersionNum", "BootStrapperVersionNum", "0");
    pRegistry->CreateKey("ClientAppVersionNum", true);
    pRegistry->SetStringValue("ClientAppVersionNum", "ClientAppVersionNum", "0");
  }

  void SetVersion(const std::string& sFile, const std::string& sName,
                  const std::string& sValue) override {
    OpenRegistry(sFile, true)->SetStringValue(sName, sName, sValue);
  }

  bool RefreshMasterAddress(const std::string& sFile, const std::string& sAddress) override {
    const char* pszValue = "MasterAuthenticationServerIPAddrPort";
    auto pRegistry = OpenRegistry(sFile, true);
    if (!pRegistry->ValueExists("", pszValue)) return false;
    std::string sStored;
    pRegistry->GetStringValue("", pszValue, sStored);
    if (sStored == sAddress) return false;
    pRegistry->SetStringValue("", pszValue, sAddress);
    return true;
  }

 private:
  std::unique_ptr<common::CWinSockSession> m_pSession;
};

}  // namespace

std::unique_ptr<IUpdateServices> MakeRealUpdateServices() {
  return std::make_unique<CRealUpdateServices>();
}

}  // namespace bootstrapper
