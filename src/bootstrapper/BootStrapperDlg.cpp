#include "bootstrapper/BootStrapperDlg.h"

#include "bootstrapper/InstallLayout.h"
#include "support/Assert.h"

namespace bootstrapper {

CBootStrapperDlg::CBootStrapperDlg(IProgressView& view) : m_view(view) {}

void CBootStrapperDlg::SetArgs(int nArgc, char** ppArgv) {
  LARCH_PRECONDITION("argc > 0", nArgc > 0);
  LARCH_PRECONDITION("HaveCmdLineArguments", ppArgv);
  m_nArgc = nArgc;
  m_ppArgv = ppArgv;
}

void CBootStrapperDlg::SetClientApp(const std::string& sName, const std::string& sExtension) {
  m_sClientAppName = sName;
  m_sClientAppExt = sExtension;
}

void CBootStrapperDlg::WaitUntilReady() {
  std::unique_lock<std::mutex> lock(m_readyMutex);
  m_readyChanged.wait(lock, [this] { return m_bReady; });
}

bool CBootStrapperDlg::IsReady() {
  std::lock_guard<std::mutex> lock(m_readyMutex);
  return m_bReady;
}

void CBootStrapperDlg::OnInitDialog() {
  // The window stays hidden for the first two seconds; a repeat cycle never shows it.
  if (!m_bNoTimer) {
    m_nTimer = m_view.StartTimer(sc_uShowDelayMs);
    LARCH_DEBUG_ASSERT(m_nTimer);
  }
  {
    std::lock_guard<std::mutex> lock(m_readyMutex);
    m_bReady = true;
  }
  m_readyChanged.notify_all();
}

void CBootStrapperDlg::OnTimer() {
  if (m_bShown) return;
  m_bShown = true;
  m_view.ShowNormal();
  m_view.KillTimer(m_nTimer);
}

void CBootStrapperDlg::OnMessage(const SDialogMessage& msg) {
  switch (msg.eKind) {
    case eStatusUpdate:
      OnStatusUpdate(msg.pszText);
      break;
    case eVersionNumUpdate:
      // The number arrives unsigned and is shown signed: a large value reads negative.
      m_view.SetBootStrapperVersion(static_cast<int32_t>(static_cast<uint32_t>(msg.uWParam)));
      break;
    case eClientVersionNumUpdate:
      m_view.SetClientVersion(static_cast<int32_t>(static_cast<uint32_t>(msg.uWParam)));
      break;
    case eQuitWithoutLaunching:
      OnQuitWithoutLaunching();
      break;
    case eLaunchClientApp:
      OnLaunchClientApp();
      break;
    case eFileProgressUpdate:
      m_view.SetProgress(static_cast<int>(msg.uWParam));
      break;
    default:
      FreeStatusText(msg.pszText);
      break;
  }
}

void CBootStrapperDlg::OnStatusUpdate(char* pszText) {
  m_view.SetStatusText(pszText ? pszText : "");
  FreeStatusText(pszText);
}

void CBootStrapperDlg::OnQuitWithoutLaunching() {
  if (!m_bShown && m_nTimer) m_view.KillTimer(m_nTimer);
  m_bEndedByWorker = true;
  m_view.EndDialog(sc_nIdCancel);
}

void CBootStrapperDlg::OnCancel() {
  if (m_pCancel) m_pCancel->Cancel();
  m_view.EndDialog(sc_nIdCancel);
}

void CBootStrapperDlg::OnLaunchClientApp() {
  // A first cycle that ends before the window appeared is shown off-screen, so that the
  // window system has seen the program's window before the client starts.
  if (!m_bNoTimer && !m_bShown) {
    m_view.KillTimer(m_nTimer);
    m_bShown = true;
    m_view.ShowOffScreen();
  }
  m_bEndedByWorker = true;
  m_view.EndDialog(sc_nIdOk);
}

}  // namespace bootstrapper
