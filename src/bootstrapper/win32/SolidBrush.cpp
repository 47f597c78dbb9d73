#include "bootstrapper/win32/SolidBrush.h"

#include <windows.h>

namespace gui {

CSolidBrush::~CSolidBrush() {
  if (m_hBrush) ::DeleteObject(m_hBrush);
}

bool CSolidBrush::CreateSolidBrush(Colour colour) {
  if (m_hBrush) {
    ::DeleteObject(m_hBrush);
    m_hBrush = nullptr;
  }
  m_hBrush = ::CreateSolidBrush(static_cast<COLORREF>(colour));
  return m_hBrush != nullptr;
}

}  // namespace gui
