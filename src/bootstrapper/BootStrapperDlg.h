// The progress dialog of one update-and-launch cycle: what it shows and when, independent of
// the window system that draws it.
//
// The view (a Win32 dialog, or the terminal) owns everything drawn and the modal loop; it calls
// the On... handlers on the main thread. The update worker, on its own thread, only reads the
// ready flag and the argument members and posts messages through Post.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "bootstrapper/DialogMessages.h"

namespace bootstrapper {

class CBootStrapperDlg;
class CCancelToken;

// What the dialog needs from a window system. All calls but Post come from the main thread
// while RunModal runs.
class IProgressView {
 public:
  virtual ~IProgressView() = default;
  // Runs the modal loop: calls dlg.OnInitDialog once, then hands posted messages and timer
  // ticks to the dialog's handlers until EndDialog; returns the end result.
  virtual int RunModal(CBootStrapperDlg& dlg) = 0;
  // Any thread, never blocks. Delivers the message to dlg.OnMessage later, in posting order;
  // a status text that is never delivered is freed by the view.
  virtual void Post(const SDialogMessage& msg) = 0;
  // A timer that calls dlg.OnTimer every uMilliseconds until killed; returns its id (0: none).
  virtual uintptr_t StartTimer(uint32_t uMilliseconds) = 0;
  virtual void KillTimer(uintptr_t uTimerId) = 0;
  virtual void ShowNormal() = 0;
  // Shows the window just right of the desktop's right edge, so that it is not seen.
  virtual void ShowOffScreen() = 0;
  virtual void SetStatusText(const char* pszText) = 0;
  virtual void SetBootStrapperVersion(int32_t nVersion) = 0;
  virtual void SetClientVersion(int32_t nVersion) = 0;
  virtual void SetProgress(int nPosition) = 0;  // 0 to 100
  virtual void EndDialog(int nResult) = 0;
};

class CBootStrapperDlg {
 public:
  static constexpr uint32_t sc_uShowDelayMs = 2000;

  explicit CBootStrapperDlg(IProgressView& view);
  CBootStrapperDlg(const CBootStrapperDlg&) = delete;
  CBootStrapperDlg& operator=(const CBootStrapperDlg&) = delete;

  // Set by the main thread before DoModal.
  void SetArgs(int nArgc, char** ppArgv);
  void SetClientApp(const std::string& sName, const std::string& sExtension);
  void SetNoTimer(bool bNoTimer) { m_bNoTimer = bNoTimer; }
  // The cycle's cancel token, set by the user's Cancel; it outlives the dialog's modal loop.
  void SetCancelToken(CCancelToken* pCancel) { m_pCancel = pCancel; }
  int DoModal() { return m_view.RunModal(*this); }

  // Worker side: read once the ready flag is set.
  void WaitUntilReady();
  bool IsReady();
  int Argc() const { return m_nArgc; }
  char** Argv() const { return m_ppArgv; }
  const std::string& ClientAppName() const { return m_sClientAppName; }
  const std::string& ClientAppExtension() const { return m_sClientAppExt; }
  void Post(const SDialogMessage& msg) { m_view.Post(msg); }

  // Handlers, on the main thread.
  void OnInitDialog();
  void OnTimer();
  void OnMessage(const SDialogMessage& msg);
  // The user's Cancel (the Cancel button, Escape, closing the window, Ctrl+C on the terminal):
  // the cycle's network calls give up, and the dialog ends with Cancel.
  void OnCancel();
  // The window-position handler lets the window become visible only once this is true.
  bool IsShown() const { return m_bShown; }
  bool IsNoTimer() const { return m_bNoTimer; }
  // True once the worker's last message (launch or quit) ended the dialog.
  bool EndedByWorker() const { return m_bEndedByWorker; }

 private:
  void OnStatusUpdate(char* pszText);
  void OnQuitWithoutLaunching();
  void OnLaunchClientApp();

  IProgressView& m_view;
  std::mutex m_readyMutex;
  std::condition_variable m_readyChanged;
  bool m_bReady = false;
  int m_nArgc = 0;
  char** m_ppArgv = nullptr;
  std::string m_sClientAppName;
  std::string m_sClientAppExt;
  uintptr_t m_nTimer = 0;
  bool m_bShown = false;
  bool m_bNoTimer = false;
  bool m_bEndedByWorker = false;
  CCancelToken* m_pCancel = nullptr;
};

}  // namespace bootstrapper
