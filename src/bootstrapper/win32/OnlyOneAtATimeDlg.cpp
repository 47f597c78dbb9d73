#include "bootstrapper/win32/OnlyOneAtATimeDlg.h"

#include "bootstrapper/win32/ResourceIds.h"

namespace gui {

// The icon stays unloaded: the dialog shows none.
COnlyOneAtATimeDlg::COnlyOneAtATimeDlg() : CColouredDialog(IDD_ONLYONEATATIME_DIALOG) {}

bool COnlyOneAtATimeDlg::OnInitDialog() {
  CColouredDialog::OnInitDialog();
  InitLook("Larch");
  return true;
}

}  // namespace gui
