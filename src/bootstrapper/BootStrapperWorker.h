// The update worker: one thread per update-and-launch cycle. It finds the operator's servers,
// compares the published versions with the installed ones, brings the bootstrapper and the
// client application up to date, and ends the cycle with exactly one launch or quit message.
//
// It talks to the dialog only by posting messages; it reads the dialog's argument and name
// members once the ready flag is set. Failures never leave the thread: they are shown as
// "ERROR: " + text for ten seconds, then the cycle quits without a launch.
#pragma once

#include <cstdint>

#include "bootstrapper/BootStrapperDlg.h"
#include "bootstrapper/InstallLayout.h"
#include "bootstrapper/UpdateServices.h"

namespace bootstrapper {

// The thread entry. pDlg must not be null. After the cycle's Cancel the worker ends quietly:
// the dialog is gone, so neither the error nor the quit message is posted.
void BootStrapperWorker(CBootStrapperDlg* pDlg, const SWorkerContext& context);

// Status texts: formatted into a 256-byte buffer (cut at 255 characters) and posted to the
// current cycle's dialog; nothing is posted while no dialog is set.
void PostStatus(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
// The download progress callback: posts the position (0 to 99; 0 resets the bar).
void PostFileProgress(int nPercent);

// The directory servers of the branding strings; "No IP:ports provided for
// GeneralDirectoryServers" when there are none.
ServerList GetBrandedDirectoryServers(IUpdateServices& services);

}  // namespace bootstrapper
