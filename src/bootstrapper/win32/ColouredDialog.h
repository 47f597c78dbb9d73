// What the bootstrapper's own dialogs share: light text on a dark olive background for the
// dialog and every control, a picture button on the Cancel command (2), and the application
// icon drawn in the middle of the minimised window.
#pragma once

#include "bootstrapper/win32/ImageButton.h"
#include "bootstrapper/win32/ModalDialog.h"
#include "bootstrapper/win32/SolidBrush.h"

namespace gui {

class CColouredDialog : public CModalDialog {
 public:
  static constexpr Colour sc_BackgroundColour = MakeColour(76, 88, 68);
  static constexpr Colour sc_TextColour = MakeColour(213, 223, 212);

  explicit CColouredDialog(unsigned uTemplateId) : CModalDialog(uTemplateId) {}

 protected:
  void DoDataExchange() override;
  // Colours, brush and the button's pictures; the dialog's title.
  void InitLook(const char* pszTitle);
  bool OnMessage(unsigned uMsg, MessageWord wParam, MessageLong lParam,
                 MessageResult& nResult) override;
  BrushHandle OnCtlColor(DeviceContextHandle hDC, WindowHandle hControl) override;

  CImageButton m_Cancel;
  IconHandle m_hIcon = nullptr;
  CSolidBrush m_bkgndbrush;
  Colour m_bkgndcolor = 0;
  Colour m_textcolor = 0;

 private:
  bool OnPaint();
};

}  // namespace gui
