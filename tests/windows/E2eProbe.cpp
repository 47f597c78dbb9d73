// larch_e2e_tool.exe: what the Windows end-to-end script (tests/windows/e2e-larch-exe) needs
// from inside Wine.
//
//   larch_e2e_tool probe
//       describes the visible progress dialog of a running Larch.exe, one "name value" per
//       line: rect (left top right bottom), status, larch, client and progress; exit code 1
//       when no such window is on screen
//   larch_e2e_tool cancel
//       presses the Cancel button of the visible progress dialog, as the user does; exit code 1
//       when there is none
//   larch_e2e_tool message-box CAPTION [--press]
//       prints the text of the visible message box with that caption ("text ..."), and with
//       --press presses its OK button; exit code 1 when there is none
//   larch_e2e_tool only-one [--press]
//       prints the text of the visible already-running dialog ("text ..." with the line break
//       as \n), and with --press presses its button; exit code 1 when there is none
//   larch_e2e_tool hold-registry FILE UNTIL_FILE
//       holds the blob registry FILE open with a live key handle, as a running client
//       application would, prints "held", and lets go once UNTIL_FILE exists (at most a minute)
// The system headers need windows.h first.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <cstdio>
#include <exception>
#include <string>

#include "bootstrapper/win32/ResourceIds.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "registry/BlobRegistry.h"

namespace {

std::string ItemText(HWND hDlg, int nId) {
  char szText[512] = "";
  ::GetDlgItemTextA(hDlg, nId, szText, sizeof(szText));
  return szText;
}

struct SSearch {
  int nControlId;  // the dialog holds this control
  HWND hFound;
};

BOOL CALLBACK MatchLarchDialog(HWND hWnd, LPARAM lParam) {
  SSearch* pSearch = reinterpret_cast<SSearch*>(lParam);
  char szClass[32] = "", szTitle[32] = "";
  ::GetClassNameA(hWnd, szClass, sizeof(szClass));
  ::GetWindowTextA(hWnd, szTitle, sizeof(szTitle));
  if (std::string(szClass) == "#32770" && std::string(szTitle) == "Larch" &&
      ::IsWindowVisible(hWnd) && ::GetDlgItem(hWnd, pSearch->nControlId)) {
    pSearch->hFound = hWnd;
    return FALSE;
  }
  return TRUE;
}

// A visible dialog titled "Larch" that holds the control.
HWND FindLarchDialog(int nControlId) {
  SSearch search = {nControlId, nullptr};
  ::EnumWindows(MatchLarchDialog, reinterpret_cast<LPARAM>(&search));
  return search.hFound;
}

int Probe() {
  HWND hDlg = FindLarchDialog(IDC_STATUS);
  if (!hDlg) return 1;
  RECT rect;
  ::GetWindowRect(hDlg, &rect);
  std::printf("rect %ld %ld %ld %ld\n", rect.left, rect.top, rect.right, rect.bottom);
  std::printf("status %s\n", ItemText(hDlg, IDC_STATUS).c_str());
  std::printf("larch %s\n", ItemText(hDlg, IDC_BOOTSTRAPPER_VERSION).c_str());
  std::printf("client %s\n", ItemText(hDlg, IDC_CLIENT_VERSION).c_str());
  std::printf("progress %d\n",
              static_cast<int>(::SendDlgItemMessageA(hDlg, IDC_PROGRESS, PBM_GETPOS, 0, 0)));
  return 0;
}

int PressCancel() {
  HWND hDlg = FindLarchDialog(IDC_STATUS);
  if (!hDlg) return 1;
  ::PostMessageA(::GetDlgItem(hDlg, IDCANCEL), BM_CLICK, 0, 0);
  return 0;
}

int OnlyOne(bool bPress) {
  // The already-running dialog: a hidden OK button (1) beside the picture button (2), no
  // status line.
  HWND hDlg = FindLarchDialog(IDOK);
  if (!hDlg || ::GetDlgItem(hDlg, IDC_STATUS)) return 1;
  HWND hText = ::FindWindowExA(hDlg, nullptr, "Static", nullptr);
  char szText[256] = "";
  ::GetWindowTextA(hText, szText, sizeof(szText));
  std::string sText;
  for (const char* p = szText; *p; ++p)
    sText += *p == '\n' ? std::string("\\n") : std::string(1, *p);
  std::printf("text %s\n", sText.c_str());
  if (bPress) ::PostMessageA(::GetDlgItem(hDlg, IDCANCEL), BM_CLICK, 0, 0);
  return 0;
}

BOOL CALLBACK FindBoxText(HWND hChild, LPARAM lParam) {
  char szClass[32] = "", szText[512] = "";
  ::GetClassNameA(hChild, szClass, sizeof(szClass));
  ::GetWindowTextA(hChild, szText, sizeof(szText));
  if (std::string(szClass) == "Static" && szText[0]) {
    *reinterpret_cast<std::string*>(lParam) = szText;
    return FALSE;
  }
  return TRUE;
}

int MessageBoxText(const char* pszCaption, bool bPress) {
  HWND hBox = ::FindWindowA("#32770", pszCaption);
  if (!hBox || !::IsWindowVisible(hBox)) return 1;
  std::string sText;
  ::EnumChildWindows(hBox, FindBoxText, reinterpret_cast<LPARAM>(&sText));
  std::printf("text %s\n", sText.c_str());
  if (bPress) ::PostMessageA(hBox, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  return 0;
}

bool Exists(const std::string& sPath) {
  platform::SFileStatus status;
  return platform::GetFileStatus(sPath, status) && status.bExists;
}

int HoldRegistry(const std::string& sFile, const std::string& sUntil) {
  common::CBlobRegistry registry(sFile, true, 1000);
  // A live key handle keeps the file open and its lock taken.
  auto pKey = registry.OpenKey("");
  std::printf("held\n");
  std::fflush(stdout);
  for (int i = 0; i < 600 && !Exists(sUntil); ++i) platform::SleepMilliseconds(100);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    std::string sCommand = argc > 1 ? argv[1] : "";
    if (sCommand == "probe") return Probe();
    if (sCommand == "cancel") return PressCancel();
    if (sCommand == "message-box" && argc > 2) {
      return MessageBoxText(argv[2], argc > 3 && std::string(argv[3]) == "--press");
    }
    if (sCommand == "hold-registry" && argc > 3) return HoldRegistry(argv[2], argv[3]);
    if (sCommand == "only-one") {
      return OnlyOne(argc > 2 && std::string(argv[2]) == "--press");
    }
    std::fprintf(stderr,
                 "usage: larch_e2e_tool probe | cancel | message-box CAPTION "
                 "[--press] | only-one [--press] | hold-registry FILE UNTIL_FILE\n");
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
