// The progress dialog's face on a text console: the same messages and handler logic as the
// Windows dialog, drawn on a stream (stderr in the program).
//
// On a terminal the view draws a panel (both version numbers, the status line and a progress
// bar) in place, once the dialog is shown. On anything else (a file, a pipe) it writes one
// plain line per status text and per version change, at once, hidden or not, so that logs
// keep the whole story.
//
// Post and CancelActiveDialog may be called from any thread; everything else runs on the thread
// inside RunModal.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>

#include "bootstrapper/BootStrapperDlg.h"
#include "bootstrapper/Clock.h"

namespace bootstrapper {

class CTerminalView : public IProgressView {
 public:
  CTerminalView(FILE* pOut, bool bInteractive, IClock& clock);
  ~CTerminalView() override;  // frees the status texts never delivered

  int RunModal(CBootStrapperDlg& dlg) override;
  void Post(const SDialogMessage& msg) override;
  uintptr_t StartTimer(uint32_t uMilliseconds) override;
  void KillTimer(uintptr_t uTimerId) override;
  void ShowNormal() override;
  void ShowOffScreen() override;
  void SetStatusText(const char* pszText) override;
  void SetBootStrapperVersion(int32_t nVersion) override;
  void SetClientVersion(int32_t nVersion) override;
  void SetProgress(int nPosition) override;
  void EndDialog(int nResult) override;

  // The user's Cancel (Ctrl+C on the terminal): the running modal loop, if any, hands it to
  // the dialog's OnCancel, as the dialog's Cancel button does. False when no loop runs.
  static bool CancelActiveDialog();

 private:
  bool PopMessage(SDialogMessage& msg, uint32_t uWaitMs);
  void Redraw();
  void WritePlainLine(const std::string& sLine);

  FILE* m_pOut;
  bool m_bInteractive;
  IClock& m_clock;

  std::mutex m_queueMutex;
  std::condition_variable m_queueChanged;
  std::deque<SDialogMessage> m_queue;
  bool m_bCancelRequested = false;     // guarded by m_queueMutex
  CBootStrapperDlg* m_pDlg = nullptr;  // while RunModal runs

  bool m_bTimerRunning = false;
  uint32_t m_uTimerPeriodMs = 0;
  uint64_t m_u64TimerDueMs = 0;
  bool m_bEnded = false;
  int m_nResult = 0;

  bool m_bVisible = false;
  bool m_bPanelDrawn = false;
  std::string m_sStatus = "Initializing...";
  int32_t m_nBootStrapperVersion = 0;
  int32_t m_nClientVersion = 0;
  int m_nProgress = 0;
};

}  // namespace bootstrapper
