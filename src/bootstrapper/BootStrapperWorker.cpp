#include "bootstrapper/BootStrapperWorker.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>

#include "bootstrapper/Branding.h"
#include "bootstrapper/Clock.h"
#include "bootstrapper/DeltaInstall.h"
#include "bootstrapper/PackageInstall.h"
#include "bootstrapper/ReleaseCheck.h"
#include "bootstrapper/SelfUpdate.h"
#include "bootstrapper/StagedInstall.h"
#include "platform/File.h"
#include "platform/SystemError.h"
#include "support/Assert.h"
#include "support/ErrorCodeException.h"
#include "support/SafeClibStringReplacements.h"
#include "support/Win32StructuredExceptions.h"

namespace bootstrapper {
namespace {

// The dialog of the running cycle; cycles do not overlap.
std::atomic<CBootStrapperDlg*> s_pTargetDlg{nullptr};

void PostToDialog(EDialogMessage eKind, uintptr_t uWParam) {
  CBootStrapperDlg* pDlg = s_pTargetDlg.load();
  if (!pDlg) return;
  SDialogMessage msg;
  msg.eKind = eKind;
  msg.uWParam = uWParam;
  pDlg->Post(msg);
}

void PostBootStrapperVersion(int32_t nVersion) {
  PostToDialog(eVersionNumUpdate, static_cast<uint32_t>(nVersion));
}
void PostClientVersion(int32_t nVersion) {
  PostToDialog(eClientVersionNumUpdate, static_cast<uint32_t>(nVersion));
}

bool IsReadable(const std::string& sFile) {
  platform::SFileStatus status;
  return platform::GetFileStatus(sFile, status) && status.bExists;
}

// A version file whose content is damaged would stop every start: it is moved aside (for
// whoever looks into it later) and made again with both versions 0, so that the run reinstalls
// both, and no release record seen. A lock that cannot be had says nothing about the content
// and stays an error.
void ReadOrRenewVersionFile(IUpdateServices& services, const std::string& sFile,
                            std::string& sBootStrapper, std::string& sClientApp,
                            uint64_t& u64SeenSequence) {
  try {
    services.ReadVersionFile(sFile, sBootStrapper, sClientApp);
    u64SeenSequence = services.ReadReleaseSequenceNum(sFile);
    return;
  } catch (const CRegistryLockException&) {
    throw;
  } catch (const std::exception&) {
  }
  const std::string sAside = sFile + ".damaged";
  platform::SetReadOnly(sAside, false);  // an older one is replaced
  if (!platform::RenameFile(sFile, sAside)) {
    throw std::runtime_error("Unable to move the damaged " + sFile + " aside to " + sAside +
                             " (errno=" + std::to_string(platform::GetLastSystemError()) + ")");
  }
  services.CreateVersionFile(sFile);
  sBootStrapper = sClientApp = "0";
  u64SeenSequence = 0;
  PostStatus("%s is damaged; it was moved aside to %s and everything is reinstalled", sFile.c_str(),
             sAside.c_str());
}

// A download's size for the status: KB (rounded up) below 10 MB, else MB.
std::string SizeText(uint64_t u64Bytes) {
  if (u64Bytes < (10ull << 20)) return std::to_string((u64Bytes + 1023) / 1024) + " KB";
  return std::to_string((u64Bytes + (1ull << 20) - 1) >> 20) + " MB";
}

const SPackageDigest* OrNull(const std::optional<SPackageDigest>& digest) {
  return digest ? &*digest : nullptr;
}

// One update cycle's sequence, a function per step.
class CUpdateSequence {
 public:
  CUpdateSequence(CBootStrapperDlg& dlg, const SWorkerContext& context)
      : m_dlg(dlg),
        m_services(*context.pServices),
        m_clock(*context.pClock),
        m_context(context),
        m_layout(context.layout),
        m_u64ReadyMs(m_clock.NowMs()) {}

  void Run();

 private:
  void FinishInterruptedInstall();
  bool RecordInterruptedClientVersion(int32_t nVersion);
  bool StartInstalledClientOffline();
  int32_t InstalledClientVersion();
  uint32_t OfflineNoticeMs();
  void ConnectToContentServers();
  void UpdateMasterAuthServerAddr(const ServerList& directoryServers);
  void GetLocalVersionNums(int32_t& nBootStrapper, int32_t& nClientApp);
  SRelease GetPublishedRelease();
  SRelease CheckRelease(const Weft::CClientConfigRecord& record);
  void RemovePartFilesNotResumed(const SRelease& release, int32_t nLocalClient);
  void UpdateBootStrapper(int32_t nLocal, const SRelease& release);
  void UpdateClientApp(int32_t nLocal, const SRelease& release);
  bool UpdateClientAppByDelta(int32_t nLocal, const SRelease& release,
                              const std::string& sClientFile);
  void RecordClientVersion(const CStagedInstall& staged, const std::string& sPackage,
                           int32_t nPublished);
  CPackageInstaller MakeInstaller() {
    return CPackageInstaller(
        m_services, m_contentServers, &PostFileProgress,
        [](const std::string& sText) { PostStatus("%s", sText.c_str()); }, m_context.pCancel.get());
  }

  CBootStrapperDlg& m_dlg;      // the cycle's; outlives the sequence
  IUpdateServices& m_services;  // the process's (m_context.pServices)
  IClock& m_clock;              // the process's (m_context.pClock)
  const SWorkerContext m_context;
  const CInstallLayout m_layout;  // m_context.layout
  std::string m_sClientAppName;
  std::string m_sClientAppExt;
  ServerList m_contentServers;
  uint64_t m_u64SeenSequence = 0;  // the highest release record sequence number accepted
  // An interrupted install could not be finished: the client is installed whatever the versions.
  bool m_bReinstallClient = false;
  bool m_bVersionsShown = false;  // the local versions were posted
  const uint64_t m_u64ReadyMs;    // when the dialog was ready (its show delay began)
};

// How long the offline start's notice stays on screen before the client starts.
constexpr uint32_t sc_uOfflineNoticeMs = 2000;

// Stops the network when the sequence ends, also on error.
class CNetworkSession {
 public:
  CNetworkSession(IUpdateServices& services, const CCancelToken& cancel) : m_services(services) {
    m_services.StartNetwork(cancel);
  }
  ~CNetworkSession() { m_services.StopNetwork(); }

 private:
  IUpdateServices& m_services;
};

void CUpdateSequence::Run() {
  LARCH_PRECONDITION("EnoughCmdLineArgs", m_dlg.Argc() > 0);
  LARCH_PRECONDITION("ProvidedACmdLine", m_dlg.Argv());
  m_sClientAppName = m_dlg.ClientAppName();
  m_sClientAppExt = m_dlg.ClientAppExtension();
  PostStatus("%s - ready", m_layout.Executable().c_str());
  RepairExecutable(m_layout);

  FinishInterruptedInstall();
  CNetworkSession network(m_services, *m_context.pCancel);
  int32_t nLocalBoot = 0, nLocalClient = 0;
  SRelease release;
  // The steps that ask the servers; only their network failures are an unreachable server, not
  // an answer that is refused.
  try {
    ConnectToContentServers();
    GetLocalVersionNums(nLocalBoot, nLocalClient);
    release = GetPublishedRelease();
  } catch (const common::CNetworkException&) {
    if (!StartInstalledClientOffline()) throw;
    return;
  }
  RemovePartFilesNotResumed(release, nLocalClient);
  UpdateBootStrapper(nLocalBoot, release);
  PostFileProgress(0);
  UpdateClientApp(nLocalClient, release);
  PostFileProgress(0);
  PostToDialog(eLaunchClientApp, 0);
}

// An install that a journal records was interrupted: when its staged files are all there it is
// finished (the files were checked before the journal was written); otherwise the client is
// reinstalled from scratch, so that no version stays recorded over a mix of files.
void CUpdateSequence::FinishInterruptedInstall() {
  CStagedInstall staged(m_layout);
  if (!IsReadable(m_layout.Journal())) {
    staged.RemoveLeftovers();
    return;
  }
  CInstallJournal journal;
  const bool bRead = journal.Read(m_layout.Journal());
  const bool bClient = bRead && journal.Component() == m_sClientAppName;
  if ((bClient || (bRead && journal.Component() == m_layout.BaseName())) &&
      staged.IsComplete(journal)) {
    PostStatus("Finishing the interrupted install of %s version %d...", journal.Component().c_str(),
               journal.Version());
    staged.Commit(journal);
    // The bootstrapper's version is the self-updater's to record.
    if (bClient && !RecordInterruptedClientVersion(journal.Version())) return;
    staged.Close(CInstallLayout::PackageName(journal.Component(), journal.Version()));
    return;
  }
  const std::string sClientFile = m_sClientAppName + "." + m_sClientAppExt;
  PostStatus("The interrupted install cannot be finished; %s is installed again",
             sClientFile.c_str());
  m_bReinstallClient = true;
  if (RecordInterruptedClientVersion(0)) staged.Close(std::string());
}

// False when the version file is there but cannot be written: the journal then stays, and the
// next run tries again (a damaged version file is replaced before the versions are compared).
bool CUpdateSequence::RecordInterruptedClientVersion(int32_t nVersion) {
  const std::string sVersionFile = m_layout.VersionFile();
  if (!IsReadable(sVersionFile)) return true;
  try {
    m_services.SetClientVersion(sVersionFile, std::to_string(nVersion));
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}

// When the operator allows it, a complete installed client starts as an up-to-date one would;
// false otherwise, and the failure is shown as it is.
bool CUpdateSequence::StartInstalledClientOffline() {
  if (!m_context.bOfflineStart || m_context.pCancel->IsCancelled()) return false;
  const int32_t nInstalled = InstalledClientVersion();
  if (nInstalled <= 0) return false;
  PostStatus("Servers unreachable; starting the installed version %d", nInstalled);
  m_clock.SleepMs(OfflineNoticeMs());
  PostToDialog(eLaunchClientApp, 0);
  return true;
}

// The installed client's recorded version when it is complete: its file there, no install
// pending or due. 0 otherwise.
int32_t CUpdateSequence::InstalledClientVersion() {
  const std::string sVersionFile = m_layout.VersionFile();
  if (m_bReinstallClient || IsReadable(m_layout.Journal()) || !IsReadable(sVersionFile) ||
      !IsReadable(m_sClientAppName + "." + m_sClientAppExt)) {
    return 0;
  }
  std::string sBoot, sClient;
  try {
    m_services.ReadVersionFile(sVersionFile, sBoot, sClient);
  } catch (const std::exception&) {
    return 0;
  }
  const int32_t nClient = std::atoi(sClient.c_str());
  if (!m_bVersionsShown && nClient > 0) {
    PostBootStrapperVersion(std::atoi(sBoot.c_str()));
    PostClientVersion(nClient);
  }
  return nClient;
}

// Two seconds on screen: a first cycle's window appears only once its show delay has passed.
uint32_t CUpdateSequence::OfflineNoticeMs() {
  const uint64_t u64Now = m_clock.NowMs();
  uint64_t u64Until = u64Now + sc_uOfflineNoticeMs;
  if (!m_dlg.IsNoTimer()) {
    u64Until =
        std::max(u64Until, m_u64ReadyMs + CBootStrapperDlg::sc_uShowDelayMs + sc_uOfflineNoticeMs);
  }
  return static_cast<uint32_t>(u64Until - u64Now);
}

void CUpdateSequence::ConnectToContentServers() {
  PostStatus("Attempting to connect to Larch CSs...");
  ServerList directoryServers = GetBrandedDirectoryServers(m_services);
  ServerList contentDirectoryServers =
      m_services.GetServers(directoryServers, common::eContentServerDirectoryServer, true);
  if (contentDirectoryServers.empty()) throw std::runtime_error("No CSDSes logged-in.");
  UpdateMasterAuthServerAddr(directoryServers);
  m_contentServers = m_services.GetContentServers(contentDirectoryServers.front(), 3, 0);
  if (m_contentServers.empty()) throw std::runtime_error("No public CSes logged-in.");
}

// The client application's registry file gets the current master authentication server.
// A file that cannot be read is damaged and removed; a file whose lock cannot be had is not at
// fault and is left alone until the next run, quietly when another process (the client
// application) holds it.
void CUpdateSequence::UpdateMasterAuthServerAddr(const ServerList& directoryServers) {
  if (!IsReadable(sc_pszClientRegistryFile)) return;
  common::CIPAddrPort master = m_services.GetMasterAuthenticationServer(directoryServers);
  try {
    m_services.RefreshMasterAddress(sc_pszClientRegistryFile, master);
    return;
  } catch (const CRegistryBusyException&) {
    return;
  } catch (const CRegistryLockException& e) {
    PostStatus("%s was not updated: its lock could not be had (%s)", sc_pszClientRegistryFile,
               e.what());
    return;
  } catch (...) {
  }
  if (!platform::SetReadOnly(sc_pszClientRegistryFile, false)) {
    throw std::runtime_error("Failed to make client registry blob writable for deletion");
  }
  if (!platform::RemoveFile(sc_pszClientRegistryFile)) {
    throw std::runtime_error("Failed to delete client registry blob");
  }
}

void CUpdateSequence::GetLocalVersionNums(int32_t& nBootStrapper, int32_t& nClientApp) {
  PostStatus("Determining local version numbers...");
  std::string sBoot = "0", sClient = "0";
  const std::string sVersionFile = m_layout.VersionFile();
  if (IsReadable(sVersionFile)) {
    ReadOrRenewVersionFile(m_services, sVersionFile, sBoot, sClient, m_u64SeenSequence);
  } else {
    m_services.CreateVersionFile(sVersionFile);
  }
  nBootStrapper = std::atoi(sBoot.c_str());
  nClientApp = std::atoi(sClient.c_str());
  PostBootStrapperVersion(nBootStrapper);
  PostClientVersion(nClientApp);
  m_bVersionsShown = true;
}

SRelease CUpdateSequence::GetPublishedRelease() {
  PostStatus("Determining current published version numbers...");
  ServerList directoryServers = GetBrandedDirectoryServers(m_services);
  ServerList configServers = m_services.GetServers(directoryServers, common::eConfigServer, false);
  if (configServers.empty()) throw std::runtime_error("No LCSes logged-in.");
  return CheckRelease(*m_services.GetClientConfigRecord(configServers.front()));
}

// Before anything is downloaded: a refused record changes nothing installed. The sequence
// number is kept at once, so that an older record is refused from now on.
SRelease CUpdateSequence::CheckRelease(const Weft::CClientConfigRecord& record) {
  const std::vector<common::PublicKey> keys =
      m_context.fnReleaseKeys ? m_context.fnReleaseKeys() : LoadBrandedReleaseKeys();
  SRelease release = CReleaseCheck(keys, m_u64SeenSequence, m_clock.UtcSeconds()).Check(record);
  if (release.u64SequenceNum > m_u64SeenSequence) {
    m_services.SetReleaseSequenceNum(m_layout.VersionFile(), release.u64SequenceNum);
    m_u64SeenSequence = release.u64SequenceNum;
  }
  return release;
}

// Part files of an interrupted run are resumed only for the published packages whose hash is
// known, and the delta from the installed client version.
void CUpdateSequence::RemovePartFilesNotResumed(const SRelease& release, int32_t nLocalClient) {
  std::map<std::string, uint64_t> resumable;
  if (release.bootStrapperDigest) {
    resumable[m_layout.Package(release.nBootStrapperVersion)] = release.bootStrapperDigest->u64Size;
  }
  if (release.clientDigest) {
    resumable[CInstallLayout::PackageName(m_sClientAppName, release.nClientVersion)] =
        release.clientDigest->u64Size;
  }
  if (const SDeltaOffer* pOffer = release.ClientDeltaFrom(nLocalClient)) {
    resumable[common::DeltaPackageName(m_sClientAppName, static_cast<uint32_t>(nLocalClient),
                                       static_cast<uint32_t>(release.nClientVersion))] =
        pOffer->digest.u64Size;
  }
  RemoveStalePartFiles({m_layout.BaseName(), m_sClientAppName}, resumable);
}

void CUpdateSequence::UpdateBootStrapper(int32_t nLocal, const SRelease& release) {
  const int32_t nPublished = release.nBootStrapperVersion;
  LARCH_PRECONDITION("HaveBootStrapperBaseName", m_layout.BaseName().length());
  const std::string sExe = m_layout.Executable();
  // Only equality counts: a lower published number is a rollback.
  if (nPublished == nLocal) {
    PostStatus("%s is up-to-date at version %d", sExe.c_str(), nLocal);
    return;
  }
  PostStatus("Updating %s to version %d. Please wait...", sExe.c_str(), nPublished);
  m_clock.SleepMs(3000);
  std::string sPackage = m_layout.Package(nPublished);
  PostStatus("Downloading package %s, please wait...", sPackage.c_str());
  CPackageInstaller installer = MakeInstaller();
  installer.DownloadPackage(sPackage, OrNull(release.bootStrapperDigest));
  CStagedInstall staged(m_layout);
  staged.Install(m_services, sPackage, m_layout.BaseName(), nPublished, m_layout.NewExecutable());
  staged.Close(std::string());  // the self-updater removes the package
  SpawnSelfUpdater(m_layout, nPublished, m_dlg.Argc(), m_dlg.Argv(), m_context);
}

void CUpdateSequence::UpdateClientApp(int32_t nLocal, const SRelease& release) {
  const int32_t nPublished = release.nClientVersion;
  std::string sClientFile = m_sClientAppName + "." + m_sClientAppExt;
  std::string sPackage = CInstallLayout::PackageName(m_sClientAppName, nPublished);
  bool bHaveFile = IsReadable(sClientFile);
  if (bHaveFile && nPublished == nLocal && !m_bReinstallClient) {
    PostStatus("%s is up-to-date at v%d", sClientFile.c_str(), nLocal);
    return;
  }
  if (bHaveFile && !m_bReinstallClient && UpdateClientAppByDelta(nLocal, release, sClientFile)) {
    return;
  }
  if (!bHaveFile) {
    PostStatus("%s: No local copy, updating, please wait...", sClientFile.c_str());
  } else {
    PostStatus("Updating %s to version %d. Please wait...", sClientFile.c_str(), nPublished);
  }
  CPackageInstaller installer = MakeInstaller();
  installer.DownloadPackage(sPackage, OrNull(release.clientDigest));
  PostStatus("Updating %s to version %d. Unpacking please wait...", sClientFile.c_str(),
             nPublished);
  CStagedInstall staged(m_layout);
  staged.Install(m_services, sPackage, m_sClientAppName, nPublished, sClientFile);
  RecordClientVersion(staged, sPackage, nPublished);
}

// A delta from the installed version, when the record offers one; false (the full package is
// then installed) when there is none or it failed before its journal was written.
bool CUpdateSequence::UpdateClientAppByDelta(int32_t nLocal, const SRelease& release,
                                             const std::string& sClientFile) {
  const SDeltaOffer* pOffer = release.ClientDeltaFrom(nLocal);
  if (!pOffer) return false;
  const int32_t nPublished = release.nClientVersion;
  const std::string sDelta = common::DeltaPackageName(
      m_sClientAppName, static_cast<uint32_t>(nLocal), static_cast<uint32_t>(nPublished));
  PostStatus("Updating %s to version %d (delta from %d, %s). Please wait...", sClientFile.c_str(),
             nPublished, nLocal, SizeText(pOffer->digest.u64Size).c_str());
  CStagedInstall staged(m_layout);
  CInstallJournal journal;
  try {
    CheckInstalledVersionIsWhole(m_sClientAppName, nLocal);
    MakeInstaller().DownloadPackage(sDelta, &pOffer->digest);
    journal =
        staged.StageDelta(m_services, sDelta, m_sClientAppName, nLocal, nPublished, sClientFile);
  } catch (const std::exception& e) {
    if (m_context.pCancel->IsCancelled()) throw;
    PostFileProgress(0);
    PostStatus("Delta update failed (%s); downloading the full package instead...", e.what());
    return false;
  }
  staged.Commit(journal);
  RecordClientVersion(staged, std::string(), nPublished);
  return true;
}

// Once the files are in place.
void CUpdateSequence::RecordClientVersion(const CStagedInstall& staged, const std::string& sPackage,
                                          int32_t nPublished) {
  const std::string sClientFile = m_sClientAppName + "." + m_sClientAppExt;
  const std::string sVersionFile = m_layout.VersionFile();
  if (!IsReadable(sVersionFile)) {
    throw std::runtime_error("Unable to open client blob file " + sVersionFile);
  }
  PostClientVersion(nPublished);
  PostStatus("%s has been updated to version %d", sClientFile.c_str(), nPublished);
  m_clock.SleepMs(3000);
  // Recorded once the files are in place; until the journal is gone, an interruption is
  // finished by the next run.
  m_services.SetClientVersion(sVersionFile, std::to_string(nPublished));
  staged.Close(sPackage);
}

// Keeps the guarded steps out of the function that holds the try, so that a processor fault
// inside them unwinds into the handler.
__attribute__((noinline)) void RunSequence(CBootStrapperDlg& dlg, const SWorkerContext& context) {
  CUpdateSequence(dlg, context).Run();
}

}  // namespace

void PostStatus(const char* pszFormat, ...) {
  if (!pszFormat) return;
  CBootStrapperDlg* pDlg = s_pTargetDlg.load();
  if (!pDlg) return;
  char* pszText = AllocateStatusText();
  LARCH_DEBUG_ASSERT(pszText);
  if (!pszText) return;
  va_list args;
  va_start(args, pszFormat);
  common::SafeVsnprintf(pszText, sc_uStatusBufferSize, pszFormat, args);
  va_end(args);
  SDialogMessage msg;
  msg.eKind = eStatusUpdate;
  msg.uWParam = std::strlen(pszText);
  msg.pszText = pszText;
  pDlg->Post(msg);
}

void PostFileProgress(int nPercent) {
  PostToDialog(eFileProgressUpdate, static_cast<uintptr_t>(nPercent));
}

ServerList GetBrandedDirectoryServers(IUpdateServices& services) {
  ServerList servers = services.ParseDirectoryServers(LoadBrandedDirectoryServersText());
  if (servers.empty()) {
    throw std::runtime_error("No IP:ports provided for GeneralDirectoryServers");
  }
  return servers;
}

void BootStrapperWorker(CBootStrapperDlg* pDlg, const SWorkerContext& context) {
  LARCH_PRECONDITION("HaveBootStrapperDlgPtr", pDlg);
  if (!pDlg) return;
  common::InstallStructuredExceptionTranslator();
  s_pTargetDlg.store(pDlg);
  pDlg->WaitUntilReady();
  std::string sError;
  try {
    RunSequence(*pDlg, context);
    s_pTargetDlg.compare_exchange_strong(pDlg, nullptr);
    return;
  } catch (const std::exception& e) {
    sError = std::string("ERROR: ") + e.what();
  } catch (...) {
    sError = "ERROR - main unknown exception";
  }
  // After a Cancel the dialog is gone: there is nothing to show and nothing to end.
  if (!context.pCancel->IsCancelled()) {
    context.pFailed->store(true);
    PostStatus("%s", sError.c_str());
    context.pClock->SleepMs(10000);
    PostToDialog(eQuitWithoutLaunching, 0);
  }
  s_pTargetDlg.compare_exchange_strong(pDlg, nullptr);
}

}  // namespace bootstrapper
