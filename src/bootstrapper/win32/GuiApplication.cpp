#include "bootstrapper/win32/GuiApplication.h"

// The system headers need windows.h first.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include "support/Assert.h"

namespace gui {

CGuiApplication* CGuiApplication::s_pTheApp = nullptr;

CGuiApplication::CGuiApplication() {
  LARCH_PRECONDITION("OneApplicationObject", s_pTheApp == nullptr);
  s_pTheApp = this;
}

CGuiApplication::~CGuiApplication() {
  if (s_pTheApp == this) s_pTheApp = nullptr;
}

int CGuiApplication::Run() {
  if (!s_pTheApp) return 1;
  if (!s_pTheApp->InitInstance()) return s_pTheApp->ExitCode();
  MSG msg;
  while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
  }
  return static_cast<int>(msg.wParam);
}

void EnableControlContainer() {
  INITCOMMONCONTROLSEX init = {};
  init.dwSize = sizeof(init);
  init.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
  ::InitCommonControlsEx(&init);
}

}  // namespace gui

// The entry point of the GUI subsystem: the command line is read by the application itself.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  return gui::CGuiApplication::Run();
}
