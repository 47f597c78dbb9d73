// Several processes on one registry file.
#include <gtest/gtest.h>

#include <string>

#include "platform/Process.h"
#include "registry/BlobRegistry.h"
#include "registry/RegistryTestSupport.h"
#include "support/FileUtil.h"
#include "support/TestUtil.h"

namespace common {
namespace {

using registry_test::MessageOf;

const uint32_t sc_uChildWaitMs = 120000;

// Child: holds a handle on the top key of DIR/reg.blob, writes DIR/ready, and keeps the handle
// until DIR/release appears.
const bool s_bHold = larch_test::RegisterChild("reg-hold", [](const std::string& sDir) {
  CBlobRegistry registry(sDir + "/reg.blob", false, 10000);
  KeyPtr_t pTop = registry.OpenKey("");
  pTop->SetUnsignedNumberValue("held", 1);
  CFileUtil::WriteWholeFile(sDir + "/ready", "r", 1);
  bool bReleased = larch_test::WaitForFile(sDir + "/release", 60000);
  return bReleased ? 0 : 3;
});

// Child: 1,000 read-increment-write cycles on the number "count" of the file, each under one
// handle so that no other process comes in between.
const bool s_bIncrement = larch_test::RegisterChild("reg-increment", [](const std::string& sFile) {
  CBlobRegistry registry(sFile, true, 60000);
  for (int i = 0; i < 1000; ++i) {
    KeyPtr_t pTop = registry.OpenKey("");
    uint32_t uCount = 0;
    pTop->GetUnsignedNumberValue("count", &uCount);
    pTop->SetUnsignedNumberValue("count", uCount + 1);
  }
  return 0;
});

uint32_t WaitForExit(platform::CProcess& child) {
  uint32_t uExit = 99;
  EXPECT_TRUE(child.Wait(sc_uChildWaitMs, uExit));
  return uExit;
}

TEST(BlobRegistryProcesses, HeldHandleMakesOtherProcessesTimeOutUntilReleased) {
  larch_test::CScratchDir dir;
  CBlobRegistry registry(dir / "reg.blob", false, 300);
  platform::CProcess holder;
  ASSERT_TRUE(larch_test::StartChild("reg-hold", dir.Path(), holder));
  ASSERT_TRUE(larch_test::WaitForFile(dir / "ready", 30000));
  EXPECT_EQ("The registry is in use by another process, timeout expired",
            MessageOf<CInUseException>([&] { registry.SetStringValue("", "v", "x"); }));
  EXPECT_EQ("The registry is in use by another process, timeout expired",
            MessageOf<CInUseException>([&] { CBlobRegistry(dir / "reg.blob", true, 50); }));
  CFileUtil::WriteWholeFile(dir / "release", "r", 1);
  EXPECT_EQ(0u, WaitForExit(holder));
  registry.SetStringValue("", "v", "x");
  uint32_t uHeld = 0;
  registry.GetUnsignedNumberValue("", "held", &uHeld);
  EXPECT_EQ(1u, uHeld);
}

TEST(BlobRegistryProcesses, ConcurrentIncrementsAreNotLost) {
  larch_test::CScratchDir dir;
  std::string sFile = dir / "reg.blob";
  {
    CBlobRegistry registry(sFile, false, 1000);
    registry.SetUnsignedNumberValue("", "count", 0);
  }
  platform::CProcess first, second;
  ASSERT_TRUE(larch_test::StartChild("reg-increment", sFile, first));
  ASSERT_TRUE(larch_test::StartChild("reg-increment", sFile, second));
  EXPECT_EQ(0u, WaitForExit(first));
  EXPECT_EQ(0u, WaitForExit(second));
  CBlobRegistry registry(sFile, true, 1000);
  uint32_t uCount = 0;
  registry.GetUnsignedNumberValue("", "count", &uCount);
  EXPECT_EQ(2000u, uCount);
}

// The next process gets in once a killed holder is gone: the system drops the lock with its
// last holder.
TEST(BlobRegistryProcesses, KilledHolderDoesNotBlockTheNextProcess) {
  larch_test::CScratchDir dir;
  platform::CProcess holder;
  ASSERT_TRUE(larch_test::StartChild("reg-hold", dir.Path(), holder));
  ASSERT_TRUE(larch_test::WaitForFile(dir / "ready", 30000));
  ASSERT_TRUE(holder.Kill());
  WaitForExit(holder);
  CBlobRegistry registry(dir / "reg.blob", true, 5000);
  uint32_t uHeld = 0;
  registry.GetUnsignedNumberValue("", "held", &uHeld);
  EXPECT_EQ(1u, uHeld);
  registry.SetStringValue("", "after", "kill");
}

}  // namespace
}  // namespace common
