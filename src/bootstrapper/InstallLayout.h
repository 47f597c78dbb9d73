// The installation's vocabulary: the names of the files the bootstrapper keeps beside its
// executable, made from the executable's base name, and what one update cycle is given to work
// with (its services, its clock, its cancel token).
//
// `larchtool publish` builds its packages with these names too, so that what it publishes is
// what the bootstrapper looks for.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "security/SigningKey.h"

namespace bootstrapper {

class IUpdateServices;
class IClock;

constexpr const char* sc_pszClientRegistryFile = "ClientRegistry.blob";

// The names of one installation, for the executable "B.exe" (for "B" without extension, the
// executable is "B" and its copy "BTmp"; the other names stay as they are):
//   B.exe      the executable              B_12.pkg  package of component B, version 12
//   BTmp.exe   the self-updater's copy     B_12.mst  its manifest (the installed entry names)
//   BNew.exe   the new executable (the name the bootstrapper's package gives it on every system)
//   B.blb      the version file            B_12.pkg.part  the package while it downloads
//   B.staging  the folder a package is unpacked into before its files are moved into place
//   B.journal  the install being moved into place (B.journal.tmp while it is written)
class CInstallLayout {
 public:
  explicit CInstallLayout(std::string sBaseName = std::string(), std::string sExtension = ".exe")
      : m_sBaseName(std::move(sBaseName)), m_sExtension(std::move(sExtension)) {}
  // The layout of the executable at that path (the directory is dropped; its extension, if any,
  // is kept for the executable and its copy).
  static CInstallLayout FromExecutablePath(const std::string& sPath);

  const std::string& BaseName() const { return m_sBaseName; }
  std::string Executable() const { return m_sBaseName + m_sExtension; }
  std::string TemporaryCopy() const { return m_sBaseName + "Tmp" + m_sExtension; }
  std::string NewExecutable() const { return m_sBaseName + "New.exe"; }
  std::string VersionFile() const { return m_sBaseName + ".blb"; }
  std::string Package(int32_t nVersion) const { return PackageName(m_sBaseName, nVersion); }
  std::string StagingFolder() const { return m_sBaseName + ".staging"; }
  std::string Journal() const { return m_sBaseName + ".journal"; }

  // Versions in decimal without sign or leading zeros. The version text variant keeps the text
  // as given (the self-update command line's).
  static std::string PackageName(const std::string& sComponent, int32_t nVersion);
  static std::string PackageName(const std::string& sComponent, const std::string& sVersion);
  static std::string ManifestName(const std::string& sComponent, int32_t nVersion);
  // The file a package is downloaded into until it is complete: "B_12.pkg.part".
  static std::string PartName(const std::string& sPackageFile) { return sPackageFile + ".part"; }
  // True for the part file of one of the component's packages, any version, delta packages
  // ("B_11-12.pkg.part") included.
  static bool IsPartNameOf(const std::string& sName, const std::string& sComponent);
  // True for a manifest of the component, any version.
  static bool IsManifestNameOf(const std::string& sName, const std::string& sComponent);

 private:
  std::string m_sBaseName;
  std::string m_sExtension;
};

// The user's Cancel for one cycle: set once from the dialog's thread (or the terminal's
// termination relay), read by the worker's network calls as their abort flag.
class CCancelToken {
 public:
  void Cancel() { m_bCancelled = true; }
  bool IsCancelled() const { return m_bCancelled.load(); }
  const std::atomic<bool>* Flag() const { return &m_bCancelled; }

 private:
  std::atomic<bool> m_bCancelled{false};
};

// What the worker's steps use besides the dialog. The services and the clock are not owned and
// live for the whole process; the cancel token is shared with the cycle that made it, so that a
// worker left running after a Cancel still reads a live flag.
struct SWorkerContext {
  IUpdateServices* pServices = nullptr;
  IClock* pClock = nullptr;
  std::shared_ptr<CCancelToken> pCancel = std::make_shared<CCancelToken>();
  // The installation's names, made from the running executable's.
  CInstallLayout layout;
  // Set by the worker once it has shown an error (shared like the token: read after a Cancel).
  std::shared_ptr<std::atomic<bool>> pFailed = std::make_shared<std::atomic<bool>>(false);
  // Called right before a successor process is started (releases the single-instance guard,
  // so that the successor does not take this process for a second instance).
  std::function<void()> fnBeforeSuccessorStart;
  // Ends the process at once with exit status 0 (after the self-updater was started).
  std::function<void()> fnEndProcess;
  // The release keys the records are checked with; empty: the ones branded into the program
  // (tests give theirs).
  std::function<std::vector<common::PublicKey>()> fnReleaseKeys;
  // The operator allows starting the installed client when the servers cannot be reached.
  bool bOfflineStart = false;
};

}  // namespace bootstrapper
