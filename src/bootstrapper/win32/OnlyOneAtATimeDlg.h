// Tells a second instance that the bootstrapper already runs; its button ends it.
#pragma once

#include "bootstrapper/win32/ColouredDialog.h"

namespace gui {

class COnlyOneAtATimeDlg : public CColouredDialog {
 public:
  COnlyOneAtATimeDlg();

 protected:
  bool OnInitDialog() override;
};

}  // namespace gui
