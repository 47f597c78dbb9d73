// The about box, opened from the progress dialog's system menu.
#pragma once

#include "bootstrapper/win32/ModalDialog.h"

namespace gui {

class CAboutDlg : public CModalDialog {
 public:
  CAboutDlg();
};

}  // namespace gui
