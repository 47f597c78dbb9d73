#include "bootstrapper/TerminalView.h"

#include <algorithm>

#include "platform/Terminal.h"

namespace bootstrapper {
namespace {

constexpr uintptr_t sc_uShowTimerId = 1;
constexpr int sc_nBarWidth = 40;

// The view whose modal loop runs, for a cancel that comes from another thread.
std::mutex s_activeMutex;
CTerminalView* s_pActiveView = nullptr;

// Makes a view the active one for the life of its modal loop, however the loop ends.
class CActiveView {
 public:
  explicit CActiveView(CTerminalView* pView) { Set(pView); }
  ~CActiveView() { Set(nullptr); }
  CActiveView(const CActiveView&) = delete;
  CActiveView& operator=(const CActiveView&) = delete;

 private:
  static void Set(CTerminalView* pView) {
    std::lock_guard<std::mutex> lock(s_activeMutex);
    s_pActiveView = pView;
  }
};

}  // namespace

CTerminalView::CTerminalView(FILE* pOut, bool bInteractive, IClock& clock)
    : m_pOut(pOut), m_bInteractive(bInteractive), m_clock(clock) {}

CTerminalView::~CTerminalView() {
  for (SDialogMessage& msg : m_queue) FreeStatusText(msg.pszText);
}

void CTerminalView::Post(const SDialogMessage& msg) {
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_queue.push_back(msg);
  }
  m_queueChanged.notify_one();
}

bool CTerminalView::CancelActiveDialog() {
  std::lock_guard<std::mutex> active(s_activeMutex);
  if (!s_pActiveView) return false;
  {
    std::lock_guard<std::mutex> lock(s_pActiveView->m_queueMutex);
    s_pActiveView->m_bCancelRequested = true;
  }
  s_pActiveView->m_queueChanged.notify_one();
  return true;
}

// A cancel request ends the wait like a message; it is answered before any message.
bool CTerminalView::PopMessage(SDialogMessage& msg, uint32_t uWaitMs) {
  std::unique_lock<std::mutex> lock(m_queueMutex);
  auto ready = [this] { return !m_queue.empty() || m_bCancelRequested; };
  if (!ready() && uWaitMs > 0) {
    if (uWaitMs == 0xFFFFFFFFu) {
      m_queueChanged.wait(lock, ready);
    } else {
      m_queueChanged.wait_for(lock, std::chrono::milliseconds(uWaitMs), ready);
    }
  }
  if (m_bCancelRequested) {
    m_bCancelRequested = false;
    lock.unlock();
    m_pDlg->OnCancel();
    return false;
  }
  if (m_queue.empty()) return false;
  msg = m_queue.front();
  m_queue.pop_front();
  return true;
}

int CTerminalView::RunModal(CBootStrapperDlg& dlg) {
  m_bEnded = false;
  m_pDlg = &dlg;
  CActiveView active(this);
  dlg.OnInitDialog();
  // Posted messages come before the timer, as in a window's message queue.
  while (!m_bEnded) {
    SDialogMessage msg;
    if (PopMessage(msg, 0)) {
      dlg.OnMessage(msg);
      continue;
    }
    if (m_bEnded) break;  // cancelled
    uint64_t u64Now = m_clock.NowMs();
    if (m_bTimerRunning && u64Now >= m_u64TimerDueMs) {
      m_u64TimerDueMs = u64Now + m_uTimerPeriodMs;
      dlg.OnTimer();
      continue;
    }
    uint32_t uWait = m_clock.LongestWaitMs();
    if (m_bTimerRunning) {
      uWait = static_cast<uint32_t>(std::min<uint64_t>(uWait, m_u64TimerDueMs - u64Now));
    }
    if (PopMessage(msg, uWait)) dlg.OnMessage(msg);
  }
  m_pDlg = nullptr;
  if (m_bInteractive && m_bPanelDrawn) {
    std::fputc('\n', m_pOut);
    std::fflush(m_pOut);
  }
  return m_nResult;
}

uintptr_t CTerminalView::StartTimer(uint32_t uMilliseconds) {
  m_bTimerRunning = true;
  m_uTimerPeriodMs = uMilliseconds;
  m_u64TimerDueMs = m_clock.NowMs() + uMilliseconds;
  return sc_uShowTimerId;
}

void CTerminalView::KillTimer(uintptr_t uTimerId) {
  if (uTimerId == sc_uShowTimerId) m_bTimerRunning = false;
}

void CTerminalView::ShowNormal() {
  m_bVisible = true;
  Redraw();
}

// Off the screen is, for a terminal, not at all.
void CTerminalView::ShowOffScreen() {}

void CTerminalView::SetStatusText(const char* pszText) {
  m_sStatus = pszText;
  if (!m_bInteractive) WritePlainLine(m_sStatus);
  Redraw();
}

void CTerminalView::SetBootStrapperVersion(int32_t nVersion) {
  m_nBootStrapperVersion = nVersion;
  if (!m_bInteractive) WritePlainLine("Larch version: " + std::to_string(nVersion));
  Redraw();
}

void CTerminalView::SetClientVersion(int32_t nVersion) {
  m_nClientVersion = nVersion;
  if (!m_bInteractive) WritePlainLine("Game version: " + std::to_string(nVersion));
  Redraw();
}

void CTerminalView::SetProgress(int nPosition) {
  m_nProgress = std::clamp(nPosition, 0, 100);
  Redraw();
}

void CTerminalView::EndDialog(int nResult) {
  m_nResult = nResult;
  m_bEnded = true;
}

void CTerminalView::WritePlainLine(const std::string& sLine) {
  std::fprintf(m_pOut, "%s\n", sLine.c_str());
  std::fflush(m_pOut);
}

// Three lines drawn in place: the versions, the status, the bar.
void CTerminalView::Redraw() {
  if (!m_bInteractive || !m_bVisible) return;
  unsigned uWidth = platform::StderrTerminalWidth();
  std::string sStatus = m_sStatus;
  if (uWidth > 1 && sStatus.size() > uWidth - 1) sStatus.resize(uWidth - 1);
  int nFilled = m_nProgress * sc_nBarWidth / 100;
  std::string sBar = "[" + std::string(static_cast<size_t>(nFilled), '#') +
                     std::string(static_cast<size_t>(sc_nBarWidth - nFilled), '-') + "] " +
                     std::to_string(m_nProgress) + "%";
  if (m_bPanelDrawn) std::fputs("\033[2A\r", m_pOut);
  std::fprintf(m_pOut, "\033[2KLarch version: %d    Game version: %d\n\033[2K%s\n\033[2K%s",
               m_nBootStrapperVersion, m_nClientVersion, sStatus.c_str(), sBar.c_str());
  std::fflush(m_pOut);
  m_bPanelDrawn = true;
}

}  // namespace bootstrapper
