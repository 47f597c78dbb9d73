// The update worker: one thread per update-and-launch cycle. It finds the operator's servers,
// compares the published versions with the installed ones, brings the bootstrapper and the
// client application up to date, and ends the cycle with exactly one launch or quit message.
//
// It talks to the dialog only by posting messages; it reads the dialog's argument and name
// members once the ready flag is set. Failures never leave the thread: they are shown as
// "ERROR: " + text for ten seconds, then the cycle quits without a launch.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "bootstrapper/BootStrapperDlg.h"
#include "bootstrapper/Clock.h"
#include "bootstrapper/UpdateServices.h"

namespace bootstrapper {

// What the worker's steps use besides the dialog. Not owned; alive for the whole cycle.
struct SWorkerContext {
  IUpdateServices* pServices = nullptr;
  IClock* pClock = nullptr;
  // Called right before a successor process is started (releases the single-instance guard,
  // so that the successor does not take this process for a second instance).
  std::function<void()> fnBeforeSuccessorStart;
  // Ends the process at once with exit status 0 (after the self-updater was started).
  std::function<void()> fnEndProcess;
};

// The thread entry. pDlg must not be null.
void BootStrapperWorker(CBootStrapperDlg* pDlg, const SWorkerContext& context);

// Status texts: formatted into a 256-byte buffer (cut at 255 characters) and posted to the
// current cycle's dialog; nothing is posted while no dialog is set.
void PostStatus(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
// The download progress callback: posts the position (0 to 99; 0 resets the bar).
void PostFileProgress(int nPercent);

// The directory servers of the branding strings; "No IP:ports provided for
// GeneralDirectoryServers" when there are none.
ServerList GetBrandedDirectoryServers(IUpdateServices& services);

// The worker's names for a bootstrapper whose argv[0] is given.
struct SWorkerNames {
  std::string sBaseName;     // "Larch"
  std::string sExeName;      // "Larch.exe"
  std::string sVersionBlob;  // "Larch.blb"
};
SWorkerNames MakeWorkerNames(const char* pszArgv0);

constexpr const char* sc_pszClientRegistryFile = "ClientRegistry.blob";

}  // namespace bootstrapper
