#include "bootstrapper/SelfUpdate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "bootstrapper/TestFakes.h"
#include "platform/FaultInjection.h"
#include "support/TestUtil.h"

namespace bootstrapper {
namespace {

using namespace bootstrapper_test;

// The restarted executable (a copy of this test binary) records its command line and its
// working directory.
const bool s_bRestarted = larch_test::RegisterChild("restarted", [](const std::string& sOut) {
  WriteFile(sOut, platform::GetProcessCommandLine() + "\n" + platform::GetWorkingDirectory());
  return 0;
});

class SelfUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_pCwd = std::make_unique<CCurrentDirectory>(m_dir.Path());
    m_context.pServices = &m_services;
    m_context.pClock = &m_clock;
    m_context.fnBeforeSuccessorStart = [this] { ++m_nSuccessorStarts; };
    WriteFile("B.exe", "old");
    WriteFile("BNew.exe", "new");
    WriteFile("B_5.pkg", "package");
    WriteFile("B.blb", "0\n3\n");
  }
  void TearDown() override {
    m_pCwd.reset();
    platform::ClearInjectedFailures();
  }

  static std::vector<std::string> Names() {
    std::vector<std::string> names;
    platform::ListDirectory(".", names);
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string Run(std::vector<std::string> args) {
    std::vector<std::vector<char>> storage;
    std::vector<char*> argv;
    for (const std::string& s : args) storage.emplace_back(s.begin(), s.end() + 0);
    for (auto& v : storage) {
      v.push_back('\0');
      argv.push_back(v.data());
    }
    argv.push_back(nullptr);
    try {
      RunSelfUpdate(static_cast<int>(args.size()), argv.data(), m_context);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "ok";
  }

  larch_test::CScratchDir m_dir;
  std::unique_ptr<CCurrentDirectory> m_pCwd;
  CFakeClock m_clock;
  CFakeServices m_services;
  SWorkerContext m_context;
  int m_nSuccessorStarts = 0;
};

TEST_F(SelfUpdateTest, SwapsRecordsAndRestartsWithTheOldArguments) {
  std::string sSelf;
  ASSERT_TRUE(platform::GetExecutablePath(sSelf));
  std::filesystem::copy_file(sSelf, "BNew.exe", std::filesystem::copy_options::overwrite_existing);
  std::string sOut = m_dir / "restarted.txt";
  platform::SetEnvVar("LARCH_TEST_CHILD", "restarted");
  platform::SetEnvVar("LARCH_TEST_CHILD_ARG", sOut);
  std::string sResult = Run({"BTmp.exe", "SelfUpdate", m_dir / "B.exe", "5", "-x", "y z"});
  platform::UnsetEnvVar("LARCH_TEST_CHILD");
  platform::UnsetEnvVar("LARCH_TEST_CHILD_ARG");
  ASSERT_EQ(sResult, "ok");
  ASSERT_TRUE(larch_test::WaitForFile(sOut, 20000));
  platform::SleepMilliseconds(200);
  // Arguments go on without added quotes: "y z" arrives as two.
  EXPECT_EQ(ReadFile(sOut), "B.exe -x y z\n" + platform::GetFullPath(m_dir.Path()));
  EXPECT_EQ(ReadFile("B.exe"), ReadFile(sSelf));
  EXPECT_FALSE(FileExists("BNew.exe"));
  EXPECT_FALSE(FileExists("B_5.pkg"));
  EXPECT_EQ(ReadFile("B.blb"), "5\n3\n");
  EXPECT_EQ(Names(), (std::vector<std::string>{"B.blb", "B.exe", "restarted.txt"}));
  EXPECT_EQ(m_nSuccessorStarts, 1);
}

TEST_F(SelfUpdateTest, RefusesBadCommandLines) {
  for (const char* psz : {"12a", "-3", "+4", " 1", "1 "}) {
    EXPECT_EQ(Run({"BTmp.exe", "SelfUpdate", "B.exe", psz}),
              std::string("illegal version number (") + psz + ")");
  }
  EXPECT_EQ(Run({"BTmp.exe", "SelfUpdate", "B.exe"}),
            "Unable to update: the self-update command line has 3 arguments, 4 are needed");
  std::vector<std::string> args = {"BTmp.exe", "SelfUpdate", "B.exe", "5"};
  for (int i = 0; i < 5; ++i) args.push_back(std::string(250, 'a'));
  EXPECT_EQ(Run(args),
            "Unable to update: the command line for B.exe is longer than 1023 characters");
  // Nothing was touched.
  EXPECT_EQ(ReadFile("B.exe"), "old");
  EXPECT_EQ(ReadFile("BNew.exe"), "new");
  EXPECT_EQ(ReadFile("B.blb"), "0\n3\n");
  EXPECT_TRUE(IsValidVersionText(""));
  EXPECT_TRUE(IsValidVersionText("0012"));
}

TEST_F(SelfUpdateTest, HeldExecutableIsRetriedThenReported) {
  platform::RemoveFile("B_5.pkg");  // removed already: nothing to do
  platform::InjectFailure("StartProcess", 1, 2);
  platform::InjectFailure("Rename", 99);
  EXPECT_EQ(Run({"BTmp.exe", "SelfUpdate", "B.exe", "5"}),
            "Could not spawn new executable B.exe (errno=2)");
  EXPECT_EQ(m_clock.Sleeps(), std::vector<uint32_t>(99, 100));
  EXPECT_EQ(ReadFile("B.exe"), "new");
  EXPECT_EQ(ReadFile("B.blb"), "5\n3\n");  // recorded before the start
  EXPECT_EQ(Names(), (std::vector<std::string>{"B.blb", "B.exe"}));

  WriteFile("BNew.exe", "newer");
  WriteFile("B_6.pkg", "package");
  platform::InjectFailure("Rename", 100, 13);
  EXPECT_EQ(Run({"BTmp.exe", "SelfUpdate", "B.exe", "6"}),
            "Unable to update: rename BNew.exe to B.exe (errno=13)");
  EXPECT_EQ(ReadFile("B.exe"), "new");
  EXPECT_EQ(ReadFile("B.blb"), "5\n3\n");
  EXPECT_EQ(Names(), (std::vector<std::string>{"B.blb", "B.exe", "BNew.exe", "B_6.pkg"}));
}

TEST_F(SelfUpdateTest, MissingNewExecutableIsReportedAtOnce) {
  platform::RemoveFile("BNew.exe");
  ASSERT_TRUE(platform::SetReadOnly("B.exe", true));
  EXPECT_EQ(Run({"BTmp.exe", "SelfUpdate", "B.exe", "5"}),
            "Unable to update: rename BNew.exe to B.exe (errno=2)");
  EXPECT_EQ(ReadFile("B.exe"), "old");
  EXPECT_EQ(Names(), (std::vector<std::string>{"B.blb", "B.exe", "B_5.pkg"}));
  EXPECT_TRUE(m_clock.Sleeps().empty());
}

// Whichever step fails, B.exe is whole (old or new bytes) and no old copy is left behind.
TEST_F(SelfUpdateTest, EveryFailedStepLeavesACompleteExecutable) {
  struct SCase {
    const char* pszCall;  // injected platform failure, else a failing service
    uint32_t uCount;
    const char* pszError;
    const char* pszExe;
  };
  const std::string sCopyError = "Unable to update: unable to write BOld" +
                                 std::to_string(platform::GetProcessId()) +
                                 "_0.tmp while self updating";
  for (const SCase& c :
       {SCase{"Write", 1, sCopyError.c_str(), "old"},
        SCase{"Rename", 100, "Unable to update: rename BNew.exe to B.exe (errno=28)", "old"},
        SCase{"Remove", 1, "Unable to update: remove B_5.pkg (errno=28)", "new"},
        SCase{nullptr, 0, "disk full", "new"}}) {
    WriteFile("B.exe", "old");
    WriteFile("BNew.exe", "new");
    WriteFile("B_5.pkg", "package");
    platform::ClearInjectedFailures();
    m_services.failures.clear();
    if (c.pszCall) {
      platform::InjectFailure(c.pszCall, c.uCount, 28);
    } else {
      m_services.failures["SetBootStrapperVersion"] = "disk full";
    }
    EXPECT_EQ(Run({"BTmp.exe", "SelfUpdate", "B.exe", "5"}), c.pszError);
    platform::ClearInjectedFailures();
    EXPECT_EQ(ReadFile("B.exe"), c.pszExe) << c.pszError;
    EXPECT_EQ(ReadFile("B.blb"), "0\n3\n");
    for (const std::string& sName : Names()) EXPECT_NE(sName.find("BOld"), 0u) << sName;
  }
  EXPECT_EQ(m_nSuccessorStarts, 0);
}

TEST_F(SelfUpdateTest, RepairRemovesOldCopiesAndRestoresAMissingExecutable) {
  WriteFile("BOld12_0.tmp", "old");
  WriteFile("BOld7_3.tmp", "older");
  WriteFile("XOld1_0.tmp", "other");
  WriteFile("BOld.txt", "other");
  RepairExecutable(CInstallLayout("B"));
  EXPECT_EQ(Names(), (std::vector<std::string>{"B.blb", "B.exe", "BNew.exe", "BOld.txt", "B_5.pkg",
                                               "XOld1_0.tmp"}));
  EXPECT_EQ(ReadFile("B.exe"), "old");

  // The new executable first: it is complete once it has its name.
  platform::RemoveFile("B.exe");
  WriteFile("BOld12_0.tmp", "old");
  RepairExecutable(CInstallLayout("B"));
  EXPECT_EQ(ReadFile("B.exe"), "new");
  EXPECT_FALSE(FileExists("BNew.exe"));
  EXPECT_FALSE(FileExists("BOld12_0.tmp"));

  // Else the newest old copy; one that cannot be removed stays, quietly.
  platform::RemoveFile("B.exe");
  WriteFile("BOld12_0.tmp", "older");
  WriteFile("BOld7_3.tmp", "newest");
  std::filesystem::last_write_time(
      "BOld12_0.tmp", std::filesystem::last_write_time("BOld7_3.tmp") - std::chrono::hours(2));
  platform::InjectFailure("Remove", 1);
  RepairExecutable(CInstallLayout("B"));
  EXPECT_EQ(ReadFile("B.exe"), "newest");
  EXPECT_EQ(Names(), (std::vector<std::string>{"B.blb", "B.exe", "BOld.txt", "BOld12_0.tmp",
                                               "B_5.pkg", "XOld1_0.tmp"}));
}

TEST_F(SelfUpdateTest, SelfUpdateCommandLine) {
  char sz0[] = "C:\\Games\\B.exe", sz1[] = "-a", sz2[] = "b";
  char* argv[] = {sz0, sz1, sz2, nullptr};
  EXPECT_EQ(BuildSelfUpdateCommandLine("BTmp.exe", sz0, 7, 3, argv),
            "BTmp.exe SelfUpdate \"C:\\Games\\B.exe\" 7 -a b");
  EXPECT_EQ(BuildSelfUpdateCommandLine("My BTmp.exe", sz0, 7, 1, argv),
            "\"My BTmp.exe\" SelfUpdate \"C:\\Games\\B.exe\" 7");
  std::string sLong(1000, 'x');
  char* argvLong[] = {sz0, &sLong[0], nullptr};
  EXPECT_THROW(BuildSelfUpdateCommandLine("BTmp.exe", sz0, 7, 2, argvLong), std::runtime_error);
}

TEST_F(SelfUpdateTest, SpawnCopiesTheRunningExecutable) {
  char sz0[] = "B.exe";
  char* argv[] = {sz0, nullptr};
  platform::InjectFailure("StartProcess", 1, 8);
  try {
    SpawnSelfUpdater(CInstallLayout("B"), 5, 1, argv, m_context);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Could not spawn self-updater BTmp.exe (errno=8)");
  }
  EXPECT_EQ(ReadFile("BTmp.exe"), "old");
  // An executable without extension, started under another name: its own file is copied.
  WriteFile("B", "bare");
  platform::InjectFailure("StartProcess", 1, 8);
  char szOther[] = "/usr/bin/launcher";
  char* argvOther[] = {szOther, nullptr};
  try {
    SpawnSelfUpdater(CInstallLayout("B", ""), 5, 1, argvOther, m_context);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Could not spawn self-updater BTmp (errno=8)");
  }
  EXPECT_EQ(ReadFile("BTmp"), "bare");
  platform::RemoveFile("B.exe");
  try {
    SpawnSelfUpdater(CInstallLayout("B"), 5, 1, argv, m_context);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "unable to open B.exe for reading (copying)");
  }
}

}  // namespace
}  // namespace bootstrapper
