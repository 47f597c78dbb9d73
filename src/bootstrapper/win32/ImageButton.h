// An owner-drawn push button that shows a picture: one bitmap while it is up, another while it
// is pressed. The button's own text is drawn centred on the picture in the text colour, so one
// pair of pictures serves buttons of any label.
//
// Bind it to a button of the owner-drawn style; the dialog hands it the drawing requests.
#pragma once

#include "bootstrapper/win32/GuiTypes.h"
#include "bootstrapper/win32/ModalDialog.h"

namespace gui {

class CImageButton : public CWindowRef {
 public:
  CImageButton() = default;
  ~CImageButton();
  CImageButton(const CImageButton&) = delete;
  CImageButton& operator=(const CImageButton&) = delete;

  // Bitmap resources for the normal, pressed, focused and disabled looks; 0 for the last
  // three uses the normal picture. False (and nothing loaded) when the normal or a named
  // picture is missing.
  bool LoadBitmaps(unsigned uNormal, unsigned uPressed, unsigned uFocus, unsigned uDisabled);
  void SetTextColour(Colour colour) { m_textColour = colour; }
  // Draws the button; pDrawItem is the system's owner-draw record.
  void DrawItem(const void* pDrawItem);

 private:
  void FreeBitmaps();

  BitmapHandle m_hNormal = nullptr;
  BitmapHandle m_hPressed = nullptr;
  BitmapHandle m_hFocus = nullptr;
  BitmapHandle m_hDisabled = nullptr;
  Colour m_textColour = MakeColour(0, 0, 0);
};

}  // namespace gui
