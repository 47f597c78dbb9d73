#include "bootstrapper/BootStrapperDlg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bootstrapper/TerminalView.h"
#include "bootstrapper/TestFakes.h"

namespace bootstrapper {
namespace {

using bootstrapper_test::CFakeClock;
using bootstrapper_test::CRecordingView;

SDialogMessage Status(const char* pszText) {
  SDialogMessage msg;
  msg.eKind = eStatusUpdate;
  msg.pszText = AllocateStatusText();
  std::strcpy(msg.pszText, pszText);
  msg.uWParam = std::strlen(pszText);
  return msg;
}

SDialogMessage Message(EDialogMessage eKind, uintptr_t uWParam = 0) {
  SDialogMessage msg;
  msg.eKind = eKind;
  msg.uWParam = uWParam;
  return msg;
}

char s_szArg0[] = "Larch.exe";
char* s_apArgv[] = {s_szArg0, nullptr};

// A worker stand-in: posts the messages, sleeping on the clock where asked (a delay of
// 0 means no sleep).
void PostAll(CBootStrapperDlg& dlg, IClock& clock,
             const std::vector<std::pair<uint32_t, SDialogMessage>>& script) {
  dlg.WaitUntilReady();
  for (const auto& step : script) {
    if (step.first) clock.SleepMs(step.first);
    dlg.Post(step.second);
  }
}

std::vector<std::string> RunDialog(bool bNoTimer,
                                   const std::vector<std::pair<uint32_t, SDialogMessage>>& script,
                                   int& nResult) {
  CFakeClock clock;
  clock.SyncWithLoop();
  CRecordingView view(clock);
  CBootStrapperDlg dlg(view);
  dlg.SetArgs(1, s_apArgv);
  dlg.SetNoTimer(bNoTimer);
  std::thread worker(PostAll, std::ref(dlg), std::ref(clock), script);
  nResult = dlg.DoModal();
  worker.join();
  EXPECT_TRUE(dlg.EndedByWorker());
  return view.Events();
}

// The timer may fire just before or just after a message posted right before a sleep, as with a
// real window: takes "shown" out and tells whether it was there.
bool TakeShown(std::vector<std::string>& events) {
  auto it = std::find(events.begin(), events.end(), "shown");
  if (it == events.end()) return false;
  events.erase(it);
  return true;
}

TEST(BootStrapperDlg, FastRunIsShownOffScreenOnlyAndEndsWithOk) {
  int nResult = 0;
  auto events = RunDialog(false,
                          {{0, Status("Larch.exe - ready")},
                           {0, Message(eVersionNumUpdate, 3)},
                           {0, Message(eClientVersionNumUpdate, 0xFFFFFFFEu)},
                           {0, Message(eFileProgressUpdate, 42)},
                           {0, Message(eLaunchClientApp)}},
                          nResult);
  EXPECT_EQ(nResult, sc_nIdOk);
  // A number posted as a large unsigned value reads negative.
  EXPECT_EQ(events, (std::vector<std::string>{"status:Larch.exe - ready", "boot:3", "client:-2",
                                              "progress:42", "offscreen", "end:1"}));
}

TEST(BootStrapperDlg, SlowRunBecomesVisibleAfterTwoSeconds) {
  int nResult = 0;
  auto events =
      RunDialog(false, {{0, Status("Updating")}, {3000, Message(eLaunchClientApp)}}, nResult);
  EXPECT_EQ(nResult, sc_nIdOk);
  EXPECT_TRUE(TakeShown(events));
  EXPECT_EQ(events, (std::vector<std::string>{"status:Updating", "end:1"}));
}

TEST(BootStrapperDlg, ErrorShowsThenQuitsWithCancel) {
  int nResult = 0;
  auto events = RunDialog(
      false, {{0, Status("ERROR: No LCSes logged-in.")}, {10000, Message(eQuitWithoutLaunching)}},
      nResult);
  EXPECT_EQ(nResult, sc_nIdCancel);
  EXPECT_TRUE(TakeShown(events));
  EXPECT_EQ(events, (std::vector<std::string>{"status:ERROR: No LCSes logged-in.", "end:2"}));
}

TEST(BootStrapperDlg, RepeatCycleIsNeverShown) {
  int nResult = 0;
  auto events =
      RunDialog(true, {{0, Status("ERROR: x")}, {10000, Message(eQuitWithoutLaunching)}}, nResult);
  EXPECT_EQ(nResult, sc_nIdCancel);
  EXPECT_EQ(events, (std::vector<std::string>{"status:ERROR: x", "end:2"}));
  auto launched = RunDialog(true, {{5000, Message(eLaunchClientApp)}}, nResult);
  EXPECT_EQ(nResult, sc_nIdOk);
  EXPECT_EQ(launched, (std::vector<std::string>{"end:1"}));
}

TEST(BootStrapperDlg, ReadyOnlyAfterInitialisation) {
  CFakeClock clock;
  CRecordingView view(clock);
  CBootStrapperDlg dlg(view);
  EXPECT_FALSE(dlg.IsReady());
  dlg.OnInitDialog();
  EXPECT_TRUE(dlg.IsReady());
  EXPECT_FALSE(dlg.IsShown());
  dlg.OnTimer();
  EXPECT_TRUE(dlg.IsShown());
}

TEST(TerminalView, PlainModeWritesOneLinePerStatusAndVersion) {
  CFakeClock clock;
  FILE* pOut = std::tmpfile();
  ASSERT_TRUE(pOut);
  {
    CTerminalView view(pOut, false, clock);
    CBootStrapperDlg dlg(view);
    dlg.SetArgs(1, s_apArgv);
    std::thread worker(PostAll, std::ref(dlg), std::ref(clock),
                       std::vector<std::pair<uint32_t, SDialogMessage>>{
                           {0, Status("Determining local version numbers...")},
                           {0, Message(eVersionNumUpdate, 2)},
                           {0, Message(eClientVersionNumUpdate, 7)},
                           {0, Message(eFileProgressUpdate, 50)},
                           {0, Message(eLaunchClientApp)},
                           // Never delivered: the view frees it.
                           {0, Status("late")}});
    EXPECT_EQ(dlg.DoModal(), sc_nIdOk);
    worker.join();
  }
  std::rewind(pOut);
  char szBuf[512] = {};
  size_t uRead = std::fread(szBuf, 1, sizeof(szBuf) - 1, pOut);
  std::fclose(pOut);
  EXPECT_EQ(std::string(szBuf, uRead),
            "Determining local version numbers...\nLarch version: 2\nGame version: 7\n");
}

TEST(TerminalView, InteractiveModeDrawsThePanelOnceShown) {
  CFakeClock clock;
  FILE* pOut = std::tmpfile();
  ASSERT_TRUE(pOut);
  {
    clock.SyncWithLoop();
    CTerminalView view(pOut, true, clock);
    CBootStrapperDlg dlg(view);
    dlg.SetArgs(1, s_apArgv);
    std::thread worker(
        PostAll, std::ref(dlg), std::ref(clock),
        std::vector<std::pair<uint32_t, SDialogMessage>>{{0, Status("hidden text")},
                                                         {2500, Message(eFileProgressUpdate, 50)},
                                                         {0, Message(eLaunchClientApp)}});
    EXPECT_EQ(dlg.DoModal(), sc_nIdOk);
    worker.join();
  }
  std::rewind(pOut);
  char szBuf[2048] = {};
  size_t uRead = std::fread(szBuf, 1, sizeof(szBuf) - 1, pOut);
  std::fclose(pOut);
  std::string sOut(szBuf, uRead);
  std::string sBar50 = "[" + std::string(20, '#') + std::string(20, '-') + "] 50%";
  EXPECT_EQ(sOut,
            "\033[2KLarch version: 0    Game version: 0\n\033[2Khidden text\n\033[2K[" +
                std::string(40, '-') + "] 0%" +
                "\033[2A\r\033[2KLarch version: 0    Game version: 0\n\033[2Khidden text\n\033[2K" +
                sBar50 + "\n");
}

}  // namespace
}  // namespace bootstrapper
