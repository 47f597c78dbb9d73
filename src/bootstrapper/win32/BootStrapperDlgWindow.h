// The progress dialog's Windows face: dialog template 102 with the status line, both version
// numbers, the progress bar and the Cancel picture button, driven by the portable
// CBootStrapperDlg, which decides what is shown and when.
//
// The main thread runs RunModal and every handler. Post is the only call for other threads:
// it posts the worker's message to the window as the registered window message of its kind
// and never waits; a status text that cannot be delivered (no window, or the window is gone
// before the message was handled) is freed here.
#pragma once

#include <atomic>

#include "bootstrapper/BootStrapperDlg.h"
#include "bootstrapper/win32/ColouredDialog.h"

namespace gui {

class CBootStrapperDlgWindow : public CColouredDialog, public bootstrapper::IProgressView {
 public:
  static constexpr Colour sc_ProgressBarColour = MakeColour(153, 153, 51);
  static constexpr Colour sc_ProgressBackColour = MakeColour(62, 70, 55);

  CBootStrapperDlgWindow();
  ~CBootStrapperDlgWindow() override;

  // bootstrapper::IProgressView
  int RunModal(bootstrapper::CBootStrapperDlg& dlg) override;
  void Post(const bootstrapper::SDialogMessage& msg) override;
  uintptr_t StartTimer(uint32_t uMilliseconds) override;
  void KillTimer(uintptr_t uTimerId) override;
  void ShowNormal() override;
  void ShowOffScreen() override;
  void SetStatusText(const char* pszText) override;
  void SetBootStrapperVersion(int32_t nVersion) override;
  void SetClientVersion(int32_t nVersion) override;
  void SetProgress(int nPosition) override;
  void EndDialog(int nResult) override;

 protected:
  void DoDataExchange() override;
  bool OnInitDialog() override;
  bool OnMessage(unsigned uMsg, MessageWord wParam, MessageLong lParam,
                 MessageResult& nResult) override;
  // The Cancel button, Escape and the close box: the portable dialog's Cancel.
  void OnCancel() override;

 private:
  void AddAboutMenuItem();
  bool OnSysCommand(MessageWord wParam);
  void OnWindowPosChanging(MessageLong lParam);
  // Frees the status texts of worker messages still queued for a window that is gone.
  void DiscardUndeliveredMessages(WindowHandle hWnd);

  CWindowRef m_ClientVersion;
  CWindowRef m_BootStrapperVersion;
  CWindowRef m_Status;
  CProgressBar m_Progress;
  IconHandle m_hSmallIcon = nullptr;

  bootstrapper::CBootStrapperDlg* m_pDlg = nullptr;  // while RunModal runs
  std::atomic<WindowHandle> m_hPostTarget{nullptr};
};

}  // namespace gui
