#include "support/LimitSingleAppInstance.h"

#include <gtest/gtest.h>

#include "support/FileUtil.h"
#include "support/TestUtil.h"

namespace common {
namespace {

const char* const sc_pszName = "__LarchSingleInstanceTest__";

// Child: exit code 1 when another instance runs. With an argument, it then writes that file as
// its "ready" signal and holds the name for ten seconds.
const bool s_bChild = larch_test::RegisterChild("single-instance", [](const std::string& sReady) {
  CLimitSingleAppInstance guard(sc_pszName);
  int nAnswer = guard.IsAnotherInstanceRunning() ? 1 : 0;
  if (!sReady.empty()) {
    CFileUtil::WriteWholeFile(sReady, "r", 1);
    platform::SleepMilliseconds(10000);
  }
  return nAnswer;
});

uint32_t RunChild(const std::string& sArg = "") {
  platform::CProcess child;
  EXPECT_TRUE(larch_test::StartChild("single-instance", sArg, child));
  uint32_t uExit = 99;
  EXPECT_TRUE(child.Wait(30000, uExit));
  return uExit;
}

TEST(LimitSingleAppInstance, SecondProcessSeesTheFirstUntilItEnds) {
  {
    CLimitSingleAppInstance first(sc_pszName);
    EXPECT_FALSE(first.IsAnotherInstanceRunning());
    EXPECT_FALSE(first.IsAnotherInstanceRunning());  // the answer is fixed
    EXPECT_EQ(1u, RunChild());
  }
  EXPECT_EQ(0u, RunChild());
}

TEST(LimitSingleAppInstance, KilledHolderDoesNotKeepTheName) {
  larch_test::CScratchDir dir;
  platform::CProcess holder;
  ASSERT_TRUE(larch_test::StartChild("single-instance", dir / "ready", holder));
  ASSERT_TRUE(larch_test::WaitForFile(dir / "ready", 30000));
  {
    CLimitSingleAppInstance second(sc_pszName);
    EXPECT_TRUE(second.IsAnotherInstanceRunning());
  }
  ASSERT_TRUE(holder.Kill());
  uint32_t uExit = 0;
  ASSERT_TRUE(holder.Wait(30000, uExit));
  CLimitSingleAppInstance after(sc_pszName);
  EXPECT_FALSE(after.IsAnotherInstanceRunning());
}

}  // namespace
}  // namespace common
