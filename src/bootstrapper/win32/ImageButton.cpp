#include "bootstrapper/win32/ImageButton.h"

#include <windows.h>

namespace gui {

namespace {

HBITMAP LoadBitmapResource(unsigned uId) {
  return static_cast<HBITMAP>(::LoadImageA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(uId),
                                           IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
}

void DrawPicture(HDC hDC, HBITMAP hBitmap, const RECT& rect) {
  BITMAP info = {};
  if (!::GetObjectA(hBitmap, sizeof(info), &info)) return;
  HDC hMemDC = ::CreateCompatibleDC(hDC);
  if (!hMemDC) return;
  HGDIOBJ hOld = ::SelectObject(hMemDC, hBitmap);
  // The picture fills the button, whatever size the dialog units gave it.
  ::SetStretchBltMode(hDC, COLORONCOLOR);
  ::StretchBlt(hDC, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, hMemDC, 0,
               0, info.bmWidth, info.bmHeight, SRCCOPY);
  ::SelectObject(hMemDC, hOld);
  ::DeleteDC(hMemDC);
}

}  // namespace

CImageButton::~CImageButton() {
  FreeBitmaps();
}

void CImageButton::FreeBitmaps() {
  for (BitmapHandle* ph : {&m_hNormal, &m_hPressed, &m_hFocus, &m_hDisabled}) {
    if (*ph) ::DeleteObject(*ph);
    *ph = nullptr;
  }
}

bool CImageButton::LoadBitmaps(unsigned uNormal, unsigned uPressed, unsigned uFocus,
                               unsigned uDisabled) {
  FreeBitmaps();
  m_hNormal = LoadBitmapResource(uNormal);
  if (uPressed) m_hPressed = LoadBitmapResource(uPressed);
  if (uFocus) m_hFocus = LoadBitmapResource(uFocus);
  if (uDisabled) m_hDisabled = LoadBitmapResource(uDisabled);
  bool bComplete = m_hNormal && (!uPressed || m_hPressed) && (!uFocus || m_hFocus) &&
                   (!uDisabled || m_hDisabled);
  if (!bComplete) FreeBitmaps();
  return bComplete;
}

void CImageButton::DrawItem(const void* pDrawItem) {
  const DRAWITEMSTRUCT& draw = *static_cast<const DRAWITEMSTRUCT*>(pDrawItem);
  bool bPressed = (draw.itemState & ODS_SELECTED) != 0;
  HBITMAP hBitmap = m_hNormal;
  if (bPressed && m_hPressed) {
    hBitmap = m_hPressed;
  } else if ((draw.itemState & ODS_DISABLED) && m_hDisabled) {
    hBitmap = m_hDisabled;
  } else if ((draw.itemState & ODS_FOCUS) && m_hFocus) {
    hBitmap = m_hFocus;
  }
  if (hBitmap) DrawPicture(draw.hDC, hBitmap, draw.rcItem);

  char szText[64] = "";
  ::GetWindowTextA(draw.hwndItem, szText, sizeof(szText));
  RECT textRect = draw.rcItem;
  if (bPressed) ::OffsetRect(&textRect, 1, 1);  // the label sinks with the picture
  HGDIOBJ hFont = reinterpret_cast<HGDIOBJ>(::SendMessageA(draw.hwndItem, WM_GETFONT, 0, 0));
  HGDIOBJ hOldFont = hFont ? ::SelectObject(draw.hDC, hFont) : nullptr;
  int nOldMode = ::SetBkMode(draw.hDC, TRANSPARENT);
  COLORREF oldColour = ::SetTextColor(draw.hDC, static_cast<COLORREF>(m_textColour));
  ::DrawTextA(draw.hDC, szText, -1, &textRect, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  ::SetTextColor(draw.hDC, oldColour);
  ::SetBkMode(draw.hDC, nOldMode);
  if (hOldFont) ::SelectObject(draw.hDC, hOldFont);

  if ((draw.itemState & ODS_FOCUS) && !m_hFocus) {
    RECT focusRect = draw.rcItem;
    ::InflateRect(&focusRect, -3, -3);
    ::DrawFocusRect(draw.hDC, &focusRect);
  }
}

}  // namespace gui
