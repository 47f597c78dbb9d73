// The Windows dialogs with real windows: what the worker's messages show, when the progress
// dialog becomes visible, how it ends, its colours and menu, the already-running dialog and
// the executable's resources. A stand-in worker thread drives each dialog while the test's
// main thread runs its modal loop.
#include "bootstrapper/win32/BootStrapperDlgWindow.h"

// The system headers need windows.h first.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "bootstrapper/InstallLayout.h"
#include "bootstrapper/win32/OnlyOneAtATimeDlg.h"
#include "bootstrapper/win32/RegisteredMessages.h"
#include "bootstrapper/win32/ResourceIds.h"

namespace gui {
namespace {

using bootstrapper::CBootStrapperDlg;
using bootstrapper::SDialogMessage;
using Clock = std::chrono::steady_clock;

char s_szArg0[] = "Larch.exe";
char* s_apArgv[] = {s_szArg0, nullptr};

SDialogMessage Status(const char* pszText) {
  SDialogMessage msg;
  msg.eKind = bootstrapper::eStatusUpdate;
  msg.pszText = bootstrapper::AllocateStatusText();
  std::strcpy(msg.pszText, pszText);
  msg.uWParam = std::strlen(pszText);
  return msg;
}

SDialogMessage Message(bootstrapper::EDialogMessage eKind, uintptr_t uWParam = 0) {
  SDialogMessage msg;
  msg.eKind = eKind;
  msg.uWParam = uWParam;
  return msg;
}

std::string ItemText(HWND hDlg, int nId) {
  char szText[512] = "";
  ::GetDlgItemTextA(hDlg, nId, szText, sizeof(szText));
  return szText;
}

// Polls until the condition holds (the dialog handles posted messages in its own time).
bool WaitFor(const std::function<bool()>& fnCondition, int nMilliseconds = 5000) {
  auto deadline = Clock::now() + std::chrono::milliseconds(nMilliseconds);
  while (Clock::now() < deadline) {
    if (fnCondition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return fnCondition();
}

// Records how the window looked when it was shown off-screen.
class CTestDlgWindow : public CBootStrapperDlgWindow {
 public:
  void ShowOffScreen() override {
    CBootStrapperDlgWindow::ShowOffScreen();
    m_bShownOffScreen = true;
    ::GetWindowRect(Handle(), &m_offScreenRect);
  }
  bool m_bShownOffScreen = false;
  RECT m_offScreenRect = {};
};

// Runs one progress dialog with the stand-in worker; returns the dialog's result.
int RunProgressDialog(CTestDlgWindow& view, CBootStrapperDlg& dlg,
                      const std::function<void(HWND)>& fnWorker) {
  dlg.SetArgs(1, s_apArgv);
  std::thread worker([&] {
    dlg.WaitUntilReady();
    fnWorker(view.Handle());
  });
  int nResult = dlg.DoModal();
  worker.join();
  return nResult;
}

TEST(BootStrapperDlgWindow, ShowsTheWorkersMessagesAndEndsWithTheLaunchOffScreen) {
  CTestDlgWindow view;
  CBootStrapperDlg dlg(view);
  bool bVisibleBeforeLaunch = true;
  std::string sStatus, sBootStrapper, sClient;
  int nProgress = -1;
  int nResult = RunProgressDialog(view, dlg, [&](HWND hDlg) {
    dlg.Post(Status("Larch.exe - ready"));
    dlg.Post(Status("Attempting to connect to Larch CSs..."));
    dlg.Post(Message(bootstrapper::eVersionNumUpdate, 12));
    // An unsigned number beyond the signed range reads negative.
    dlg.Post(Message(bootstrapper::eClientVersionNumUpdate, 0xFFFFFFFEu));
    dlg.Post(Message(bootstrapper::eFileProgressUpdate, 42));
    WaitFor([&] { return ::SendDlgItemMessageA(hDlg, IDC_PROGRESS, PBM_GETPOS, 0, 0) == 42; });
    sStatus = ItemText(hDlg, IDC_STATUS);
    sBootStrapper = ItemText(hDlg, IDC_BOOTSTRAPPER_VERSION);
    sClient = ItemText(hDlg, IDC_CLIENT_VERSION);
    nProgress = static_cast<int>(::SendDlgItemMessageA(hDlg, IDC_PROGRESS, PBM_GETPOS, 0, 0));
    bVisibleBeforeLaunch = ::IsWindowVisible(hDlg) != FALSE;
    dlg.Post(Message(bootstrapper::eLaunchClientApp));
  });
  EXPECT_EQ(nResult, IDOK);
  EXPECT_TRUE(dlg.EndedByWorker());
  EXPECT_EQ(sStatus, "Attempting to connect to Larch CSs...");
  EXPECT_EQ(sBootStrapper, "12");
  EXPECT_EQ(sClient, "-2");
  EXPECT_EQ(nProgress, 42);
  EXPECT_FALSE(bVisibleBeforeLaunch);
  // Finished within two seconds: shown once, just right of the desktop, never on it.
  ASSERT_TRUE(view.m_bShownOffScreen);
  RECT desktop;
  ::GetClientRect(::GetDesktopWindow(), &desktop);
  EXPECT_EQ(view.m_offScreenRect.left, desktop.right + 10);
  EXPECT_EQ(view.m_offScreenRect.top, 0);
}

TEST(BootStrapperDlgWindow, StaysHiddenForTwoSecondsThenShowsUntilTheQuit) {
  CTestDlgWindow view;
  CBootStrapperDlg dlg(view);
  bool bHiddenAtFirst = false, bHiddenAfterShowRequest = false, bShown = false;
  long long nShownAfterMs = 0;
  int nResult = RunProgressDialog(view, dlg, [&](HWND hDlg) {
    auto ready = Clock::now();
    bHiddenAtFirst = !::IsWindowVisible(hDlg);
    // Nobody else may show it early either.
    ::ShowWindow(hDlg, SW_SHOWNORMAL);
    bHiddenAfterShowRequest = !::IsWindowVisible(hDlg);
    bShown = WaitFor([&] { return ::IsWindowVisible(hDlg) != FALSE; });
    nShownAfterMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - ready).count();
    dlg.Post(Status("ERROR: No LCSes logged-in."));
    dlg.Post(Message(bootstrapper::eQuitWithoutLaunching));
  });
  EXPECT_EQ(nResult, IDCANCEL);
  EXPECT_TRUE(dlg.EndedByWorker());
  EXPECT_TRUE(bHiddenAtFirst);
  EXPECT_TRUE(bHiddenAfterShowRequest);
  EXPECT_TRUE(bShown);
  EXPECT_GE(nShownAfterMs, 1900);
  EXPECT_FALSE(view.m_bShownOffScreen);
}

TEST(BootStrapperDlgWindow, RepeatCycleNeverShowsTheWindow) {
  CTestDlgWindow view;
  CBootStrapperDlg dlg(view);
  dlg.SetNoTimer(true);
  bool bEverVisible = false;
  int nResult = RunProgressDialog(view, dlg, [&](HWND hDlg) {
    auto end = Clock::now() + std::chrono::milliseconds(2300);
    while (Clock::now() < end) {
      bEverVisible = bEverVisible || ::IsWindowVisible(hDlg);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    dlg.Post(Message(bootstrapper::eLaunchClientApp));
  });
  EXPECT_EQ(nResult, IDOK);
  EXPECT_FALSE(bEverVisible);
  EXPECT_FALSE(view.m_bShownOffScreen);
}

// The Cancel button ends the dialog and sets the cycle's cancel token, which the worker's
// network calls read as their abort flag.
TEST(BootStrapperDlgWindow, UsersCancelEndsWithoutTheWorkerAndSetsTheToken) {
  CTestDlgWindow view;
  CBootStrapperDlg dlg(view);
  bootstrapper::CCancelToken cancel;
  dlg.SetCancelToken(&cancel);
  int nResult = RunProgressDialog(
      view, dlg, [&](HWND hDlg) { ::PostMessageA(::GetDlgItem(hDlg, IDCANCEL), BM_CLICK, 0, 0); });
  EXPECT_EQ(nResult, IDCANCEL);
  EXPECT_FALSE(dlg.EndedByWorker());
  EXPECT_TRUE(cancel.IsCancelled());
  // A message the worker still posts finds no window; the view frees its text.
  view.Post(Status("Determining local version numbers..."));
}

std::string SystemMenuText(HWND hDlg, UINT uId) {
  char szText[128] = "";
  ::GetMenuStringA(::GetSystemMenu(hDlg, FALSE), uId, szText, sizeof(szText), MF_BYCOMMAND);
  return szText;
}

TEST(BootStrapperDlgWindow, LooksLightOnDarkOliveWithItsTextsMenuAndIcons) {
  CTestDlgWindow view;
  CBootStrapperDlg dlg(view);
  COLORREF brushColour = 0, bkColour = 0, textColour = 0, barColour = 0, barBackColour = 0;
  std::string sTitle, sAbout, sStatus, sBootStrapper, sClient, sCancel;
  bool bBigIcon = false, bSmallIcon = false, bOwnerDrawn = false;
  LONG_PTR nStyle = 0, nExStyle = 0;
  RunProgressDialog(view, dlg, [&](HWND hDlg) {
    HDC hDC = ::CreateCompatibleDC(nullptr);
    HBRUSH hBrush = reinterpret_cast<HBRUSH>(
        ::SendMessageA(hDlg, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(hDC),
                       reinterpret_cast<LPARAM>(::GetDlgItem(hDlg, IDC_STATUS))));
    LOGBRUSH logBrush = {};
    if (hBrush && ::GetObjectA(hBrush, sizeof(logBrush), &logBrush)) brushColour = logBrush.lbColor;
    bkColour = ::GetBkColor(hDC);
    textColour = ::GetTextColor(hDC);
    ::DeleteDC(hDC);
    barColour =
        static_cast<COLORREF>(::SendDlgItemMessageA(hDlg, IDC_PROGRESS, PBM_GETBARCOLOR, 0, 0));
    barBackColour =
        static_cast<COLORREF>(::SendDlgItemMessageA(hDlg, IDC_PROGRESS, PBM_GETBKCOLOR, 0, 0));
    char szTitle[64] = "";
    ::GetWindowTextA(hDlg, szTitle, sizeof(szTitle));
    sTitle = szTitle;
    sAbout = SystemMenuText(hDlg, IDM_ABOUTBOX);
    sStatus = ItemText(hDlg, IDC_STATUS);
    sBootStrapper = ItemText(hDlg, IDC_BOOTSTRAPPER_VERSION);
    sClient = ItemText(hDlg, IDC_CLIENT_VERSION);
    sCancel = ItemText(hDlg, IDCANCEL);
    bBigIcon = ::SendMessageA(hDlg, WM_GETICON, ICON_BIG, 0) != 0;
    bSmallIcon = ::SendMessageA(hDlg, WM_GETICON, ICON_SMALL, 0) != 0;
    bOwnerDrawn = (::GetWindowLongPtrA(::GetDlgItem(hDlg, IDCANCEL), GWL_STYLE) & BS_TYPEMASK) ==
                  BS_OWNERDRAW;
    nStyle = ::GetWindowLongPtrA(hDlg, GWL_STYLE);
    nExStyle = ::GetWindowLongPtrA(hDlg, GWL_EXSTYLE);
    dlg.Post(Message(bootstrapper::eQuitWithoutLaunching));
  });
  EXPECT_EQ(brushColour, RGB(76, 88, 68));
  EXPECT_EQ(bkColour, RGB(76, 88, 68));
  EXPECT_EQ(textColour, RGB(213, 223, 212));
  EXPECT_EQ(barColour, RGB(153, 153, 51));
  EXPECT_EQ(barBackColour, RGB(62, 70, 55));
  EXPECT_EQ(sTitle, "Larch");
  EXPECT_EQ(sAbout, "&About Larch...");
  EXPECT_EQ(sStatus, "Initializing...");
  EXPECT_EQ(sBootStrapper, "0");
  EXPECT_EQ(sClient, "0");
  EXPECT_EQ(sCancel, "Cancel");
  EXPECT_TRUE(bBigIcon);
  EXPECT_TRUE(bSmallIcon);
  EXPECT_TRUE(bOwnerDrawn);
  EXPECT_EQ(nStyle & (WS_POPUP | WS_BORDER | WS_CAPTION), WS_POPUP | WS_BORDER);
  EXPECT_TRUE(nExStyle & WS_EX_APPWINDOW);
}

// Each label shows its whole text in the dialog's font, whichever font stands in for the one
// the dialog names, and ends before the number it names.
TEST(BootStrapperDlgWindow, LabelsHoldTheirWholeTextBeforeTheirNumbers) {
  CTestDlgWindow view;
  CBootStrapperDlg dlg(view);
  struct {
    const char* pszText;
    int nNumberId;
    LONG nTextWidth, nLabelWidth, nLabelRight, nNumberLeft;
  } labels[] = {{"Larch version:", IDC_BOOTSTRAPPER_VERSION, 0, 0, 0, 0},
                {"Game version:", IDC_CLIENT_VERSION, 0, 0, 0, 0}};
  RunProgressDialog(view, dlg, [&](HWND hDlg) {
    HGDIOBJ hFont = reinterpret_cast<HGDIOBJ>(::SendMessageA(hDlg, WM_GETFONT, 0, 0));
    for (auto& label : labels) {
      HWND hLabel = ::FindWindowExA(hDlg, nullptr, "Static", label.pszText);
      RECT labelRect = {}, numberRect = {};
      ::GetWindowRect(hLabel, &labelRect);
      ::GetWindowRect(::GetDlgItem(hDlg, label.nNumberId), &numberRect);
      HDC hDC = ::GetDC(hLabel);
      HGDIOBJ hOldFont = ::SelectObject(hDC, hFont);
      SIZE size = {};
      ::GetTextExtentPoint32A(hDC, label.pszText, static_cast<int>(std::strlen(label.pszText)),
                              &size);
      ::SelectObject(hDC, hOldFont);
      ::ReleaseDC(hLabel, hDC);
      label.nTextWidth = size.cx;
      label.nLabelWidth = labelRect.right - labelRect.left;
      label.nLabelRight = labelRect.right;
      label.nNumberLeft = numberRect.left;
    }
    dlg.Post(Message(bootstrapper::eQuitWithoutLaunching));
  });
  for (auto& label : labels) {
    EXPECT_GT(label.nTextWidth, 0) << label.pszText;
    EXPECT_LE(label.nTextWidth, label.nLabelWidth) << label.pszText;
    EXPECT_LE(label.nLabelRight, label.nNumberLeft) << label.pszText;
  }
}

TEST(BootStrapperDlgWindow, SystemMenuOpensTheAboutBoxAndDragIconIsTheAppIcon) {
  CTestDlgWindow view;
  CBootStrapperDlg dlg(view);
  std::string sAboutTitle, sAboutText;
  bool bDragIcon = false;
  RunProgressDialog(view, dlg, [&](HWND hDlg) {
    bDragIcon = ::SendMessageA(hDlg, WM_QUERYDRAGICON, 0, 0) != 0;
    ::PostMessageA(hDlg, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    HWND hAbout = nullptr;
    WaitFor([&] { return (hAbout = ::FindWindowA("#32770", "About Larch")) != nullptr; });
    char szTitle[64] = "";
    ::GetWindowTextA(hAbout, szTitle, sizeof(szTitle));
    sAboutTitle = szTitle;
    HWND hText = ::FindWindowExA(hAbout, nullptr, "Static", "Larch Version 1.0");
    if (hText) sAboutText = "Larch Version 1.0";
    ::PostMessageA(hAbout, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    WaitFor([&] { return ::FindWindowA("#32770", "About Larch") == nullptr; });
    dlg.Post(Message(bootstrapper::eQuitWithoutLaunching));
  });
  EXPECT_TRUE(bDragIcon);
  EXPECT_EQ(sAboutTitle, "About Larch");
  EXPECT_EQ(sAboutText, "Larch Version 1.0");
}

// The already-running dialog, with a way to reach its window from another thread.
class CTestOnlyOneDlg : public COnlyOneAtATimeDlg {
 public:
  std::function<void(HWND)> m_fnOnInit;

 protected:
  bool OnInitDialog() override {
    bool bResult = COnlyOneAtATimeDlg::OnInitDialog();
    HWND hDlg = Handle();
    m_thread = std::thread([this, hDlg] { m_fnOnInit(hDlg); });
    return bResult;
  }

 public:
  std::thread m_thread;
};

TEST(OnlyOneAtATimeDlg, TellsThatLarchRunsAndEndsWithItsButton) {
  CTestOnlyOneDlg dlg;
  std::string sTitle, sText, sButton;
  bool bVisible = false;
  dlg.m_fnOnInit = [&](HWND hDlg) {
    WaitFor([&] { return ::IsWindowVisible(hDlg) != FALSE; });
    bVisible = ::IsWindowVisible(hDlg) != FALSE;
    char szTitle[64] = "";
    ::GetWindowTextA(hDlg, szTitle, sizeof(szTitle));
    sTitle = szTitle;
    // The text is the one static control without an id.
    HWND hText = ::FindWindowExA(hDlg, nullptr, "Static", nullptr);
    char szText[256] = "";
    ::GetWindowTextA(hText, szText, sizeof(szText));
    sText = szText;
    sButton = ItemText(hDlg, IDCANCEL);
    ::PostMessageA(::GetDlgItem(hDlg, IDCANCEL), BM_CLICK, 0, 0);
  };
  int nResult = dlg.DoModal();
  dlg.m_thread.join();
  EXPECT_EQ(nResult, IDCANCEL);
  EXPECT_TRUE(bVisible);
  EXPECT_EQ(sTitle, "Larch");
  EXPECT_EQ(sText, "Larch is already running\nYou may only run one copy of Larch at a time.");
  EXPECT_EQ(sButton, "OK");
}

class CThrowingDlg : public CModalDialog {
 public:
  CThrowingDlg() : CModalDialog(IDD_ABOUTBOX) {}

 protected:
  bool OnInitDialog() override { throw std::runtime_error("Unable to load resource"); }
};

TEST(ModalDialog, AnExceptionInAHandlerEndsTheDialogAndComesOutOfDoModal) {
  CThrowingDlg dlg;
  try {
    dlg.DoModal();
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Unable to load resource");
  }
  EXPECT_EQ(dlg.Handle(), nullptr);
}

TEST(ImageButton, LoadsBothPicturesOrNothing) {
  CImageButton button;
  EXPECT_TRUE(button.LoadBitmaps(IDB_BUTTON_NORMAL, IDB_BUTTON_PRESSED, 0, 0));
  EXPECT_FALSE(button.LoadBitmaps(IDB_BUTTON_NORMAL, 999, 0, 0));
  EXPECT_FALSE(button.LoadBitmaps(999, 0, 0, 0));
}

TEST(RegisteredMessages, SixNamesGiveSixNumbersTheSystemKnows) {
  RegisterDialogMessages();
  for (int i = 0; i < bootstrapper::eDialogMessageCount; ++i) {
    auto eKind = static_cast<bootstrapper::EDialogMessage>(i);
    UINT uNumber = DialogMessageNumber(eKind);
    EXPECT_EQ(uNumber, ::RegisterWindowMessageA(bootstrapper::sc_apszDialogMessageNames[i]));
    bootstrapper::EDialogMessage eFound;
    ASSERT_TRUE(FindDialogMessage(uNumber, eFound));
    EXPECT_EQ(eFound, eKind);
    for (int j = 0; j < i; ++j) {
      EXPECT_NE(uNumber, DialogMessageNumber(static_cast<bootstrapper::EDialogMessage>(j)));
    }
  }
  bootstrapper::EDialogMessage eFound;
  EXPECT_FALSE(FindDialogMessage(WM_TIMER, eFound));
  EXPECT_FALSE(FindDialogMessage(::RegisterWindowMessageA("WEFT_UWM_SOMETHING_ELSE"), eFound));
}

std::string ResourceBytes(const char* pszName, const char* pszType, WORD wLanguage) {
  HMODULE hModule = ::GetModuleHandleA(nullptr);
  HRSRC hRes = ::FindResourceExA(hModule, pszType, pszName, wLanguage);
  if (!hRes) return "<missing>";
  const char* p = static_cast<const char*>(::LockResource(::LoadResource(hModule, hRes)));
  return std::string(p, ::SizeofResource(hModule, hRes));
}

TEST(Resources, BrandingStringsPicturesTextsAndManifest) {
  const WORD wEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
  const WORD wNeutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);
  EXPECT_EQ(ResourceBytes("CLIENTAPP_FILENAME", "CONFIGDATA", wEnglishUs),
            std::string("LARCHCLI.DLL", 13));
  EXPECT_EQ(ResourceBytes("GENERALDIRECTORYSERVER_IPADDRPORTS", "CONFIGDATA", wNeutral),
            std::string("198.51.100.123:27030 198.51.100.123:27030", 42));
  EXPECT_EQ(ResourceBytes("GENERALDIRECTORYSERVER_IPADDRPORTS", "CONFIGDATA", wEnglishUs),
            std::string(":27131 :27231", 14));
  EXPECT_EQ(ResourceBytes("OFFLINE_START", "CONFIGDATA", wEnglishUs), std::string("no", 3));

  for (UINT uId : {IDB_BUTTON_NORMAL, IDB_BUTTON_PRESSED}) {
    std::string sBitmap = ResourceBytes(MAKEINTRESOURCEA(uId), RT_BITMAP, wEnglishUs);
    ASSERT_GE(sBitmap.size(), sizeof(BITMAPINFOHEADER));
    BITMAPINFOHEADER header;
    std::memcpy(&header, sBitmap.data(), sizeof(header));
    EXPECT_EQ(header.biWidth, 71);
    EXPECT_EQ(header.biHeight, 29);
    EXPECT_EQ(header.biBitCount, 24);
  }
  EXPECT_NE(ResourceBytes(MAKEINTRESOURCEA(IDR_MAINFRAME), RT_GROUP_ICON, wEnglishUs), "<missing>");
  char szAbout[64] = "";
  ::LoadStringA(::GetModuleHandleA(nullptr), IDS_ABOUTBOX, szAbout, sizeof(szAbout));
  EXPECT_STREQ(szAbout, "&About Larch...");
  std::string sVersion = ResourceBytes(MAKEINTRESOURCEA(1), RT_VERSION, wEnglishUs);
  EXPECT_NE(sVersion, "<missing>");
  std::string sManifest = ResourceBytes(MAKEINTRESOURCEA(1), RT_MANIFEST, wEnglishUs);
  EXPECT_NE(sManifest.find("Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
            std::string::npos);
  EXPECT_NE(sManifest.find(">true</dpiAware>"), std::string::npos);
}

}  // namespace
}  // namespace gui
