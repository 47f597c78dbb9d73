#include "bootstrapper/TerminalView.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "bootstrapper/TestFakes.h"
#include "platform/Process.h"

namespace bootstrapper {
namespace {

char s_szArg0[] = "Larch";
char* s_apArgv[] = {s_szArg0, nullptr};

// Ctrl+C on the terminal ends the running dialog as its Cancel button does, and sets the cycle's
// cancel token; without a running dialog there is nothing to cancel.
TEST(TerminalView, CancelEndsTheRunningDialogWithCancel) {
  EXPECT_FALSE(CTerminalView::CancelActiveDialog());
  bootstrapper_test::CFakeClock clock;
  FILE* pOut = std::tmpfile();
  ASSERT_TRUE(pOut);
  {
    CTerminalView view(pOut, false, clock);
    CBootStrapperDlg dlg(view);
    dlg.SetArgs(1, s_apArgv);
    CCancelToken cancel;
    dlg.SetCancelToken(&cancel);
    std::atomic<bool> bEnded{false}, bCancelled{false};
    std::thread user([&] {
      dlg.WaitUntilReady();
      bCancelled = CTerminalView::CancelActiveDialog();
      // Should the cancel be lost, the dialog ends with OK after a while instead of hanging.
      for (int i = 0; i < 5000 && !bEnded; ++i) platform::SleepMilliseconds(1);
      if (!bEnded) view.Post(SDialogMessage{eLaunchClientApp, 0, nullptr});
    });
    int nResult = dlg.DoModal();
    bEnded = true;
    user.join();
    EXPECT_TRUE(bCancelled);
    EXPECT_EQ(sc_nIdCancel, nResult);
    EXPECT_FALSE(dlg.EndedByWorker());
    EXPECT_TRUE(cancel.IsCancelled());
  }
  std::fclose(pOut);
  EXPECT_FALSE(CTerminalView::CancelActiveDialog());
}

}  // namespace
}  // namespace bootstrapper
