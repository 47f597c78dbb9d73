#include "bootstrapper/win32/ColouredDialog.h"

#include <windows.h>

#include "bootstrapper/win32/ResourceIds.h"
#include "support/Assert.h"

namespace gui {

void CColouredDialog::DoDataExchange() {
  BindControl(IDCANCEL, m_Cancel);
}

void CColouredDialog::InitLook(const char* pszTitle) {
  m_bkgndcolor = sc_BackgroundColour;
  m_textcolor = sc_TextColour;
  LARCH_DEBUG_ASSERT((m_bkgndbrush.CreateSolidBrush(m_bkgndcolor)) != 0);
  LARCH_DEBUG_ASSERT((m_Cancel.LoadBitmaps(133, 134, 0, 0)) != 0);
  m_Cancel.SetTextColour(m_textcolor);
  ::SetWindowTextA(Handle(), pszTitle);
}

bool CColouredDialog::OnMessage(unsigned uMsg, MessageWord wParam, MessageLong lParam,
                                MessageResult& nResult) {
  if (uMsg == WM_PAINT) return OnPaint();
  return false;
}

bool CColouredDialog::OnPaint() {
  HWND hWnd = Handle();
  if (!::IsIconic(hWnd)) return false;  // the system paints the dialog
  PAINTSTRUCT paint;
  HDC hDC = ::BeginPaint(hWnd, &paint);
  ::SendMessageA(hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(hDC), 0);
  int cxIcon = ::GetSystemMetrics(SM_CXICON);
  int cyIcon = ::GetSystemMetrics(SM_CYICON);
  RECT rect;
  ::GetClientRect(hWnd, &rect);
  int x = (rect.right - rect.left - cxIcon + 1) / 2;
  int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
  if (m_hIcon) ::DrawIcon(hDC, x, y, m_hIcon);
  ::EndPaint(hWnd, &paint);
  return true;
}

BrushHandle CColouredDialog::OnCtlColor(DeviceContextHandle hDC, WindowHandle hControl) {
  LARCH_PRECONDITION("NonNullPtr", hDC);
  ::SetBkColor(hDC, static_cast<COLORREF>(m_bkgndcolor));
  ::SetTextColor(hDC, static_cast<COLORREF>(m_textcolor));
  return m_bkgndbrush.Handle();
}

}  // namespace gui
