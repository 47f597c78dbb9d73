#include "bootstrapper/win32/BootStrapperDlgWindow.h"

#include <windows.h>

#include <cstdio>

#include "bootstrapper/win32/AboutDlg.h"
#include "bootstrapper/win32/RegisteredMessages.h"
#include "bootstrapper/win32/ResourceIds.h"
#include "support/Assert.h"

namespace gui {

using bootstrapper::EDialogMessage;
using bootstrapper::SDialogMessage;

CBootStrapperDlgWindow::CBootStrapperDlgWindow() : CColouredDialog(IDD_BOOTSTRAPPER_DIALOG) {
  RegisterDialogMessages();
  m_hIcon = LoadAppIcon(IDR_MAINFRAME, false);
  m_hSmallIcon = LoadAppIcon(IDR_MAINFRAME, true);
}

CBootStrapperDlgWindow::~CBootStrapperDlgWindow() = default;

int CBootStrapperDlgWindow::RunModal(bootstrapper::CBootStrapperDlg& dlg) {
  // However the modal loop ends, the worker's later messages are freed and nothing points at
  // the portable dialog any more.
  struct SEndOfDialog {
    CBootStrapperDlgWindow& view;
    ~SEndOfDialog() {
      view.m_hPostTarget = nullptr;
      view.DiscardUndeliveredMessages(nullptr);
      view.m_pDlg = nullptr;
    }
  } endOfDialog{*this};
  m_pDlg = &dlg;
  return DoModal();
}

void CBootStrapperDlgWindow::Post(const SDialogMessage& msg) {
  HWND hWnd = m_hPostTarget.load();
  if (hWnd && ::PostMessageA(hWnd, DialogMessageNumber(msg.eKind), msg.uWParam,
                             reinterpret_cast<LPARAM>(msg.pszText))) {
    return;  // the text is the window's now
  }
  bootstrapper::FreeStatusText(msg.pszText);
}

void CBootStrapperDlgWindow::DiscardUndeliveredMessages(WindowHandle hWnd) {
  UINT uStatus = DialogMessageNumber(bootstrapper::eStatusUpdate);
  MSG msg;
  while (::PeekMessageA(&msg, hWnd, uStatus, uStatus, PM_REMOVE)) {
    bootstrapper::FreeStatusText(reinterpret_cast<char*>(msg.lParam));
  }
}

void CBootStrapperDlgWindow::DoDataExchange() {
  BindControl(IDC_CLIENT_VERSION, m_ClientVersion);
  BindControl(IDC_BOOTSTRAPPER_VERSION, m_BootStrapperVersion);
  BindControl(IDC_STATUS, m_Status);
  BindControl(IDCANCEL, m_Cancel);
  BindControl(IDC_PROGRESS, m_Progress);
}

bool CBootStrapperDlgWindow::OnInitDialog() {
  CModalDialog::OnInitDialog();
  AddAboutMenuItem();
  ::SendMessageA(Handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  ::SendMessageA(Handle(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hSmallIcon));
  m_Progress.SetBarColour(sc_ProgressBarColour);
  m_Progress.SetBackColour(sc_ProgressBackColour);
  InitLook("Larch");
  // From here on the worker's messages reach the window; the portable dialog then starts the
  // show timer and sets the ready flag the worker waits for.
  m_hPostTarget = Handle();
  m_pDlg->OnInitDialog();
  return true;
}

void CBootStrapperDlgWindow::AddAboutMenuItem() {
  HMENU hSysMenu = ::GetSystemMenu(Handle(), FALSE);
  if (!hSysMenu) return;
  char szAbout[256] = "";
  if (::LoadStringA(::GetModuleHandleA(nullptr), IDS_ABOUTBOX, szAbout, sizeof(szAbout)) <= 0) {
    return;
  }
  ::AppendMenuA(hSysMenu, MF_SEPARATOR, 0, nullptr);
  ::AppendMenuA(hSysMenu, MF_STRING, IDM_ABOUTBOX, szAbout);
}

bool CBootStrapperDlgWindow::OnMessage(unsigned uMsg, MessageWord wParam, MessageLong lParam,
                                       MessageResult& nResult) {
  EDialogMessage eKind;
  if (FindDialogMessage(uMsg, eKind)) {
    SDialogMessage msg;
    msg.eKind = eKind;
    msg.uWParam = wParam;
    msg.pszText = eKind == bootstrapper::eStatusUpdate ? reinterpret_cast<char*>(lParam) : nullptr;
    m_pDlg->OnMessage(msg);
    nResult = 0;
    return true;
  }
  switch (uMsg) {
    case WM_SYSCOMMAND:
      return OnSysCommand(wParam);
    case WM_QUERYDRAGICON:
      nResult = reinterpret_cast<MessageResult>(m_hIcon);
      return true;
    case WM_TIMER:
      m_pDlg->OnTimer();
      return false;  // the system's default handling follows
    case WM_WINDOWPOSCHANGING:
      OnWindowPosChanging(lParam);
      return false;
    case WM_DESTROY:
      // Messages the worker posts from now on are freed by Post.
      m_hPostTarget = nullptr;
      DiscardUndeliveredMessages(Handle());
      return false;
    default:
      return CColouredDialog::OnMessage(uMsg, wParam, lParam, nResult);
  }
}

void CBootStrapperDlgWindow::OnCancel() {
  m_pDlg->OnCancel();
}

bool CBootStrapperDlgWindow::OnSysCommand(MessageWord wParam) {
  if ((wParam & 0xFFF0) != IDM_ABOUTBOX) return false;
  CAboutDlg about;
  about.DoModal();
  return true;
}

void CBootStrapperDlgWindow::OnWindowPosChanging(MessageLong lParam) {
  WINDOWPOS* lpwndpos = reinterpret_cast<WINDOWPOS*>(lParam);
  LARCH_DEBUG_ASSERT(lpwndpos);
  // Until the dialog may be seen, no position change may show it (the modal loop tries).
  if (lpwndpos && !m_pDlg->IsShown()) lpwndpos->flags &= ~SWP_SHOWWINDOW;
}

uintptr_t CBootStrapperDlgWindow::StartTimer(uint32_t uMilliseconds) {
  return ::SetTimer(Handle(), 1, uMilliseconds, nullptr);
}

void CBootStrapperDlgWindow::KillTimer(uintptr_t uTimerId) {
  ::KillTimer(Handle(), uTimerId);
}

void CBootStrapperDlgWindow::ShowNormal() {
  ::ShowWindow(Handle(), SW_SHOWNORMAL);
}

void CBootStrapperDlgWindow::ShowOffScreen() {
  RECT desktop;
  ::GetClientRect(::GetDesktopWindow(), &desktop);
  ::SetWindowPos(Handle(), nullptr, desktop.right + 10, 0, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOREDRAW);
  ::ShowWindow(Handle(), SW_SHOW);
}

void CBootStrapperDlgWindow::SetStatusText(const char* pszText) {
  m_Status.SetText(pszText);
}

void CBootStrapperDlgWindow::SetBootStrapperVersion(int32_t nVersion) {
  char szNumber[16];
  std::snprintf(szNumber, sizeof(szNumber), "%d", static_cast<int>(nVersion));
  m_BootStrapperVersion.SetText(szNumber);
}

void CBootStrapperDlgWindow::SetClientVersion(int32_t nVersion) {
  char szNumber[16];
  std::snprintf(szNumber, sizeof(szNumber), "%d", static_cast<int>(nVersion));
  m_ClientVersion.SetText(szNumber);
}

void CBootStrapperDlgWindow::SetProgress(int nPosition) {
  m_Progress.SetPos(nPosition);
}

void CBootStrapperDlgWindow::EndDialog(int nResult) {
  CModalDialog::EndDialog(nResult);
}

}  // namespace gui
