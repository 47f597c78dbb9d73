#include "bootstrapper/win32/ModalDialog.h"

// The system headers need windows.h first.
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <uxtheme.h>
// clang-format on

#include "bootstrapper/win32/ImageButton.h"

namespace gui {

void CWindowRef::SetText(const char* pszText) {
  ::SetWindowTextA(m_hWnd, pszText);
}

std::string CWindowRef::GetText() const {
  int nLength = ::GetWindowTextLengthA(m_hWnd);
  if (nLength <= 0) return std::string();
  std::string sText(static_cast<size_t>(nLength) + 1, '\0');
  int nCopied = ::GetWindowTextA(m_hWnd, &sText[0], nLength + 1);
  sText.resize(nCopied > 0 ? static_cast<size_t>(nCopied) : 0);
  return sText;
}

void CProgressBar::SetPos(int nPosition) {
  ::SendMessageA(m_hWnd, PBM_SETPOS, nPosition, 0);
}

int CProgressBar::GetPos() const {
  return static_cast<int>(::SendMessageA(m_hWnd, PBM_GETPOS, 0, 0));
}

// A themed bar ignores the colours it is given. A class list that names no class turns the
// theme off (an empty one is not stored by every implementation).
static void TurnOffTheme(HWND hWnd) {
  ::SetWindowTheme(hWnd, L" ", L" ");
}

void CProgressBar::SetBarColour(Colour colour) {
  TurnOffTheme(m_hWnd);
  ::SendMessageA(m_hWnd, PBM_SETBARCOLOR, 0, static_cast<LPARAM>(colour));
}

void CProgressBar::SetBackColour(Colour colour) {
  TurnOffTheme(m_hWnd);
  ::SendMessageA(m_hWnd, PBM_SETBKCOLOR, 0, static_cast<LPARAM>(colour));
}

// The window procedure's way into the dialog object.
struct CDialogProcAccess {
  static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    CModalDialog* pDlg;
    if (uMsg == WM_INITDIALOG) {
      pDlg = reinterpret_cast<CModalDialog*>(lParam);
      ::SetWindowLongPtrA(hWnd, DWLP_USER, reinterpret_cast<LONG_PTR>(pDlg));
      pDlg->m_hWnd = hWnd;
    } else {
      pDlg = reinterpret_cast<CModalDialog*>(::GetWindowLongPtrA(hWnd, DWLP_USER));
      if (!pDlg) return FALSE;
    }
    // Nothing may unwind through the window system: the exception ends the dialog and DoModal
    // throws it again.
    try {
      return pDlg->Dispatch(uMsg, wParam, lParam);
    } catch (...) {
      if (!pDlg->m_pEscaped) pDlg->m_pEscaped = std::current_exception();
      ::EndDialog(hWnd, CModalDialog::sc_nFailed);
      return TRUE;
    }
  }
};

CModalDialog::CModalDialog(unsigned uTemplateId) : m_uTemplateId(uTemplateId) {}

CModalDialog::~CModalDialog() = default;

int CModalDialog::DoModal() {
  m_pEscaped = nullptr;
  INT_PTR nResult =
      ::DialogBoxParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(m_uTemplateId), nullptr,
                        &CDialogProcAccess::DialogProc, reinterpret_cast<LPARAM>(this));
  m_hWnd = nullptr;
  for (CImageButton* pButton : m_imageButtons) pButton->Attach(nullptr);
  m_imageButtons.clear();
  if (m_pEscaped) std::rethrow_exception(m_pEscaped);
  return static_cast<int>(nResult);
}

void CModalDialog::EndDialog(int nResult) {
  if (m_hWnd) ::EndDialog(m_hWnd, nResult);
}

bool CModalDialog::OnInitDialog() {
  DoDataExchange();
  return true;
}

void CModalDialog::BindControl(int nId, CWindowRef& control) {
  control.Attach(::GetDlgItem(m_hWnd, nId));
}

void CModalDialog::BindControl(int nId, CImageButton& button) {
  button.Attach(::GetDlgItem(m_hWnd, nId));
  m_imageButtons.push_back(&button);
}

bool CModalDialog::OnMessage(unsigned, MessageWord, MessageLong, MessageResult&) {
  return false;
}

void CModalDialog::OnOK() {
  EndDialog(IDOK);
}

void CModalDialog::OnCancel() {
  EndDialog(IDCANCEL);
}

bool CModalDialog::DrawImageButton(MessageWord wParam, MessageLong lParam) {
  const DRAWITEMSTRUCT* pDraw = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
  for (CImageButton* pButton : m_imageButtons) {
    if (pButton->Handle() && pButton->Handle() == pDraw->hwndItem) {
      pButton->DrawItem(pDraw);
      return true;
    }
  }
  return false;
}

// The colour messages of the dialog and its controls, answered with a brush.
static bool IsCtlColorMessage(unsigned uMsg) {
  switch (uMsg) {
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORMSGBOX:
      return true;
    default:
      return false;
  }
}

// These messages return their result directly instead of through the message result.
static bool ReturnsResultDirectly(unsigned uMsg) {
  return IsCtlColorMessage(uMsg) || uMsg == WM_COMPAREITEM || uMsg == WM_VKEYTOITEM ||
         uMsg == WM_CHARTOITEM || uMsg == WM_QUERYDRAGICON;
}

intptr_t CModalDialog::Dispatch(unsigned uMsg, MessageWord wParam, MessageLong lParam) {
  if (uMsg == WM_INITDIALOG) return OnInitDialog() ? TRUE : FALSE;

  MessageResult nResult = 0;
  bool bHandled = OnMessage(uMsg, wParam, lParam, nResult);
  if (!bHandled && uMsg == WM_COMMAND) {
    if (LOWORD(wParam) == IDOK) {
      OnOK();
      bHandled = true;
    } else if (LOWORD(wParam) == IDCANCEL) {
      OnCancel();
      bHandled = true;
    }
  } else if (!bHandled && uMsg == WM_DRAWITEM) {
    bHandled = DrawImageButton(wParam, lParam);
    nResult = TRUE;
  } else if (!bHandled && IsCtlColorMessage(uMsg)) {
    BrushHandle hBrush = OnCtlColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    bHandled = hBrush != nullptr;
    nResult = reinterpret_cast<MessageResult>(hBrush);
  }
  if (!bHandled) return FALSE;
  if (ReturnsResultDirectly(uMsg)) return nResult;
  ::SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, nResult);
  return TRUE;
}

IconHandle LoadAppIcon(unsigned uId, bool bSmall) {
  int nWidth = ::GetSystemMetrics(bSmall ? SM_CXSMICON : SM_CXICON);
  int nHeight = ::GetSystemMetrics(bSmall ? SM_CYSMICON : SM_CYICON);
  return static_cast<HICON>(::LoadImageA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(uId),
                                         IMAGE_ICON, nWidth, nHeight, LR_DEFAULTCOLOR | LR_SHARED));
}

}  // namespace gui
