// Modal dialogs from dialog templates in the program's resources, and the plain controls they
// hold.
//
// A dialog object lives on the stack of the thread that calls DoModal; the window exists only
// while DoModal runs, and every handler runs on that thread. An exception that escapes a handler
// ends the dialog and is thrown again from DoModal, so that it never crosses the window system.
#pragma once

#include <exception>
#include <string>
#include <vector>

#include "bootstrapper/win32/GuiTypes.h"

namespace gui {

class CImageButton;

// A window the dialog does not own: a control bound by id, or the dialog itself.
class CWindowRef {
 public:
  WindowHandle Handle() const { return m_hWnd; }
  void Attach(WindowHandle hWnd) { m_hWnd = hWnd; }
  void SetText(const char* pszText);
  std::string GetText() const;

 protected:
  WindowHandle m_hWnd = nullptr;
};

// A progress bar with the range 0 to 100.
class CProgressBar : public CWindowRef {
 public:
  void SetPos(int nPosition);
  int GetPos() const;
  // The bar's colours; the control is drawn without the visual theme so that they show.
  void SetBarColour(Colour colour);
  void SetBackColour(Colour colour);
};

class CModalDialog {
 public:
  // The framework's result when the dialog could not be created.
  static constexpr int sc_nFailed = -1;

  explicit CModalDialog(unsigned uTemplateId);
  virtual ~CModalDialog();
  CModalDialog(const CModalDialog&) = delete;
  CModalDialog& operator=(const CModalDialog&) = delete;

  // Creates the dialog, runs its modal loop and returns the result given to EndDialog.
  int DoModal();
  void EndDialog(int nResult);
  WindowHandle Handle() const { return m_hWnd; }

 protected:
  // Binds the controls (DoDataExchange); true gives the focus to the first control.
  virtual bool OnInitDialog();
  // Binds each member control to its id in the template.
  virtual void DoDataExchange() {}
  void BindControl(int nId, CWindowRef& control);
  void BindControl(int nId, CImageButton& button);

  // The dialog's message map: return true when handled, with the result in nResult. Messages
  // left unhandled get the system's default dialog behaviour.
  virtual bool OnMessage(unsigned uMsg, MessageWord wParam, MessageLong lParam,
                         MessageResult& nResult);
  // The OK (1) and Cancel (2) commands, from buttons or the Enter and Escape keys.
  virtual void OnOK();
  virtual void OnCancel();
  // Control colours of the dialog and every control; null leaves the system's colours.
  virtual BrushHandle OnCtlColor(DeviceContextHandle hDC, WindowHandle hControl) { return nullptr; }

 private:
  friend struct CDialogProcAccess;  // the window procedure
  intptr_t Dispatch(unsigned uMsg, MessageWord wParam, MessageLong lParam);
  bool DrawImageButton(MessageWord wParam, MessageLong lParam);

  unsigned m_uTemplateId;
  WindowHandle m_hWnd = nullptr;
  std::vector<CImageButton*> m_imageButtons;
  std::exception_ptr m_pEscaped;
};

// The application icon of the program's resources at the system's large or small size. The
// system keeps it for the life of the process; it is never destroyed.
IconHandle LoadAppIcon(unsigned uId, bool bSmall);

}  // namespace gui
