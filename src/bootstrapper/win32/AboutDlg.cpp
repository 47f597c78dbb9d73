#include "bootstrapper/win32/AboutDlg.h"

#include "bootstrapper/win32/ResourceIds.h"

namespace gui {

CAboutDlg::CAboutDlg() : CModalDialog(IDD_ABOUTBOX) {}

}  // namespace gui
