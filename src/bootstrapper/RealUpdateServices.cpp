// The update services on the system's network, package and registry code.
#include <algorithm>
#include <memory>
#include <stdexcept>

#include "bootstrapper/InstallJournal.h"
#include "bootstrapper/PackageInstall.h"
#include "bootstrapper/UpdateServices.h"
#include "network/IPAddrPort.h"
#include "network/WinSockHelperFunctions.h"
#include "package/PkgFile.h"
#include "platform/File.h"
#include "platform/SystemError.h"
#include "protocols/ConfigServerCommands.h"
#include "protocols/ContentServerDirectoryServerCommands.h"
#include "protocols/GeneralDirectoryServerCommands.h"
#include "protocols/PublicContentServerCommands.h"
#include "registry/BlobRegistry.h"

namespace bootstrapper {
namespace {

constexpr uint32_t sc_uLockTimeoutMs = 100;
constexpr uint16_t sc_u16DefaultDirectoryServerPort = 5273;
// The version file: one key per version, holding a value of the same name.
constexpr const char* sc_pszBootStrapperVersionKey = "BootStrapperVersionNum";
constexpr const char* sc_pszClientVersionKey = "ClientAppVersionNum";
constexpr const char* sc_pszSequenceNumKey = "ReleaseRecordSequenceNum";

// Runs fn on the registry file; a lock that cannot be had is told apart from damage, also when
// a later call opens the file again.
template <class Fn>
auto WithRegistry(const std::string& sFile, bool bMustExist, Fn fn) {
  try {
    common::CBlobRegistry registry(sFile, bMustExist, sc_uLockTimeoutMs);
    return fn(registry);
  } catch (const common::CInUseException& e) {
    throw CRegistryBusyException(e.what());
  } catch (const common::CRegistryLockException& e) {
    throw CRegistryLockException(e.what());
  }
}

class CRealUpdateServices : public IUpdateServices {
 public:
  void StartNetwork(const CCancelToken& cancel) override {
    m_pSession = std::make_unique<common::CWinSockSession>();
    m_pCancel = &cancel;
  }
  void StopNetwork() override {
    m_pSession.reset();
    m_pCancel = nullptr;
  }

  ServerList ParseDirectoryServers(const std::string& sText) override {
    return common::ParseIPAddrPortList(sText, 0, sc_u16DefaultDirectoryServerPort);
  }

  ServerList GetServers(const ServerList& directoryServers, common::EServerType eType,
                        bool bPolling) override {
    ServerList found;
    std::atomic<bool> bStalled{false};
    if (!bPolling) ThrowIfCancelled();
    common::GeneralDirectoryServerGetServers(eType, directoryServers, &found,
                                             bPolling ? AbortFlag() : nullptr,
                                             bPolling ? &bStalled : nullptr);
    return found;
  }

  common::CIPAddrPort GetMasterAuthenticationServer(const ServerList& directoryServers) override {
    ThrowIfCancelled();
    return common::GetMasterAuthenticationServer(directoryServers);
  }

  ServerList GetContentServers(const common::CIPAddrPort& contentDirectoryServer,
                               uint32_t uMaxCount, uint32_t uCaller) override {
    ServerList found;
    std::atomic<bool> bStalled{false};
    common::ContentServerDirectoryServerGetContentServers(contentDirectoryServer, &found,
                                                          static_cast<uint16_t>(uMaxCount), uCaller,
                                                          AbortFlag(), &bStalled);
    return found;
  }

  std::unique_ptr<Weft::CClientConfigRecord> GetClientConfigRecord(
      const common::CIPAddrPort& configServer) override {
    ThrowIfCancelled();
    return common::ConfigServerGetClientConfigRecord(configServer);
  }

  void DownloadFile(const common::CIPAddrPort& contentServer, const std::string& sFile,
                    uint32_t u32Offset, platform::CFile& file,
                    const common::FileLengthCheckFn& fnCheckLength,
                    const common::FileDataFn& fnWritten, ProgressCallback pfnProgress) override {
    std::atomic<bool> bStalled{false};
    common::ProgressCallbackFn callback;
    if (pfnProgress) callback = pfnProgress;
    common::PublicContentServerGetFileToDisk(contentServer, sFile, u32Offset, file, fnCheckLength,
                                             callback, AbortFlag(), &bStalled, fnWritten);
  }

  bool GetFreeDiskSpace(uint64_t& u64Free) override {
    return platform::GetFreeDiskSpace(".", u64Free);
  }

  std::vector<std::string> UnpackPackage(const std::string& sPackageFile,
                                         const std::string& sTargetDir,
                                         const std::string& sLeftOut) override {
    common::CPkgFile package(sPackageFile);
    package.CheckEntryNames(platform::FileNamesIgnoreCase());
    // Staged files reach the disk before the journal that lets them replace installed ones:
    // in one call for the whole volume where the platform has one, else file by file.
    const bool bWholeVolume = platform::CanSyncFileSystem();
    package.SetFlushExtractedFiles(!bWholeVolume);
    if (sLeftOut.empty()) {
      package.ExtractAll(sTargetDir);
    } else {
      package.ExtractAllBut(sLeftOut, sTargetDir);
    }
    if (bWholeVolume && !platform::SyncFileSystem(sTargetDir)) {
      throw std::runtime_error("error writing " + sTargetDir +
                               " (errno = " + std::to_string(platform::GetLastSystemError()) + ")");
    }
    std::vector<std::string> names;
    package.GetFileNames(names);
    names.erase(std::remove(names.begin(), names.end(), sLeftOut), names.end());
    return names;
  }

  bool ReadPackageEntry(const std::string& sPackageFile, const std::string& sEntryName,
                        uint64_t u64MaxSize, std::string& sContent) override {
    return common::CPkgFile(sPackageFile).ReadEntry(sEntryName, u64MaxSize, sContent);
  }

  void ReadVersionFile(const std::string& sFile, std::string& sBootStrapperVersion,
                       std::string& sClientAppVersion) override {
    WithRegistry(sFile, true, [&](common::CBlobRegistry& registry) {
      registry.GetStringValue(sc_pszBootStrapperVersionKey, sc_pszBootStrapperVersionKey,
                              sBootStrapperVersion);
      registry.GetStringValue(sc_pszClientVersionKey, sc_pszClientVersionKey, sClientAppVersion);
    });
  }

  void CreateVersionFile(const std::string& sFile) override {
    WithRegistry(sFile, false, [](common::CBlobRegistry& registry) {
      for (const char* pszKey : {sc_pszBootStrapperVersionKey, sc_pszClientVersionKey}) {
        registry.CreateKey(pszKey, true);
        registry.SetStringValue(pszKey, pszKey, "0");
      }
    });
  }

  void SetBootStrapperVersion(const std::string& sFile, const std::string& sVersion) override {
    SetVersion(sFile, sc_pszBootStrapperVersionKey, sVersion);
  }
  void SetClientVersion(const std::string& sFile, const std::string& sVersion) override {
    SetVersion(sFile, sc_pszClientVersionKey, sVersion);
  }

  uint64_t ReadReleaseSequenceNum(const std::string& sFile) override {
    return WithRegistry(sFile, true, [&](common::CBlobRegistry& registry) {
      if (!registry.ValueExists(sc_pszSequenceNumKey, sc_pszSequenceNumKey)) return uint64_t{0};
      std::string sValue;
      registry.GetStringValue(sc_pszSequenceNumKey, sc_pszSequenceNumKey, sValue);
      uint64_t u64Sequence = 0;
      if (!ParseDecimal(sValue, UINT64_MAX, u64Sequence)) {
        throw std::runtime_error("Bad " + std::string(sc_pszSequenceNumKey) + " in " + sFile);
      }
      return u64Sequence;
    });
  }

  void SetReleaseSequenceNum(const std::string& sFile, uint64_t u64Sequence) override {
    WithRegistry(sFile, true, [&](common::CBlobRegistry& registry) {
      if (!registry.KeyExists(sc_pszSequenceNumKey)) registry.CreateKey(sc_pszSequenceNumKey, true);
      registry.SetStringValue(sc_pszSequenceNumKey, sc_pszSequenceNumKey,
                              std::to_string(u64Sequence));
    });
  }

  bool RefreshMasterAddress(const std::string& sFile, const common::CIPAddrPort& address) override {
    const char* pszValue = "MasterAuthenticationServerIPAddrPort";
    const std::string sAddress = address.ToString();
    return WithRegistry(sFile, true, [&](common::CBlobRegistry& registry) {
      if (!registry.ValueExists("", pszValue)) return false;
      std::string sStored;
      registry.GetStringValue("", pszValue, sStored);
      if (sStored == sAddress) return false;
      registry.SetStringValue("", pszValue, sAddress);
      return true;
    });
  }

 private:
  static void SetVersion(const std::string& sFile, const char* pszKey, const std::string& sValue) {
    WithRegistry(sFile, true, [&](common::CBlobRegistry& registry) {
      registry.SetStringValue(pszKey, pszKey, sValue);
    });
  }
  // The session's cancel token as an abort flag; none outside a session.
  const std::atomic<bool>* AbortFlag() const { return m_pCancel ? m_pCancel->Flag() : nullptr; }
  // A blocking request cannot be cancelled once started; it is not started after a Cancel.
  void ThrowIfCancelled() const {
    if (m_pCancel && m_pCancel->IsCancelled()) {
      throw std::runtime_error("network request aborted by caller");
    }
  }

  std::unique_ptr<common::CWinSockSession> m_pSession;
  const CCancelToken* m_pCancel = nullptr;  // the session's, set from StartNetwork to StopNetwork
};

}  // namespace

std::unique_ptr<IUpdateServices> MakeRealUpdateServices() {
  return std::make_unique<CRealUpdateServices>();
}

}  // namespace bootstrapper
