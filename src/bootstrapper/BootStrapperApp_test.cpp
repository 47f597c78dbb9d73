#include "bootstrapper/BootStrapperApp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bootstrapper/TestFakes.h"
#include "platform/FaultInjection.h"
#include "support/TestUtil.h"
#include "support/Version.h"

namespace bootstrapper {
namespace {

using namespace bootstrapper_test;

// The application in a scratch directory; the test binary's own branding names CLIENT.DLL.
class AppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_sOldCwd = platform::GetWorkingDirectory();
    m_sGuardName = "LarchAppTest" + std::to_string(platform::GetProcessId());
    m_environment.pServices = &m_services;
    m_environment.pClock = &m_clock;
    m_environment.fnMakeView = [this] {
      return std::unique_ptr<IProgressView>(new CRecordingView(m_clock, &m_viewEvents));
    };
    m_environment.fnShowAlreadyRunning = [this] { m_messages.push_back("already running"); };
    m_environment.fnShowError = [this](const std::string& sCaption, const std::string& sText) {
      m_messages.push_back(sCaption + "|" + sText);
    };
    m_environment.fnShowInformation = [this](const std::string& sText) {
      m_messages.push_back("info|" + sText);
    };
    m_environment.fnEndProcess = [] { FAIL() << "the process would end"; };
    WriteFile(m_dir / "Larch.blb", "0\n0\n");
  }
  void TearDown() override {
    platform::SetWorkingDirectory(m_sOldCwd);
    platform::ClearInjectedFailures();
    platform::UnsetEnvVar(sc_pszIconEnvVar);
  }

  // Returns the exit status.
  int Run(const std::string& sArgs) {
    CBootStrapperApp app(m_environment,
                         std::make_unique<common::CLimitSingleAppInstance>(m_sGuardName));
    EXPECT_FALSE(app.InitInstance("\"" + m_sArgv0 + "\"" + sArgs));
    return app.ExitCode();
  }

  larch_test::CScratchDir m_dir;
  std::string m_sOldCwd;
  std::string m_sGuardName;
  std::string m_sArgv0 = m_dir / "Larch.exe";
  CFakeClock m_clock;
  CFakeServices m_services;
  SAppEnvironment m_environment;
  std::vector<std::string> m_viewEvents;
  std::vector<std::string> m_messages;
};

TEST_F(AppTest, SecondInstanceShowsOnlyTheAlreadyRunningDialog) {
  common::CLimitSingleAppInstance first(m_sGuardName);
  std::string sCwd = platform::GetWorkingDirectory();
  EXPECT_EQ(Run(" --version x"), sc_nExitError);  // the client's arguments
  EXPECT_EQ(m_messages, (std::vector<std::string>{"already running"}));
  EXPECT_EQ(platform::GetWorkingDirectory(), sCwd);
  EXPECT_TRUE(m_services.Calls().empty());
}

TEST_F(AppTest, LaunchFailureReachesTheMainHandlerAndTheVariableIsCleared) {
  WriteFile(m_dir / "CLIENT.dll", "not a library");
  platform::SetEnvVar(sc_pszIconEnvVar, "stale");
  EXPECT_EQ(Run(" -a"), sc_nExitError);
  EXPECT_EQ(m_messages,
            (std::vector<std::string>{
                "ERROR|Larch.exe (main exception): Unable to load library CLIENT.dll"}));
  EXPECT_EQ(platform::GetFullPath(platform::GetWorkingDirectory()),
            platform::GetFullPath(m_dir.Path()));
  std::string sValue;
  EXPECT_FALSE(platform::GetEnvVar(sc_pszIconEnvVar, sValue));
}

TEST_F(AppTest, WorkerErrorLaunchesNothing) {
  m_services.serversByType[common::eConfigServer].clear();
  EXPECT_EQ(Run(""), sc_nExitError);
  EXPECT_TRUE(m_messages.empty());
  m_viewEvents.erase(std::remove(m_viewEvents.begin(), m_viewEvents.end(), "shown"),
                     m_viewEvents.end());
  EXPECT_EQ(m_viewEvents.back(), "end:2");
  EXPECT_EQ(m_viewEvents[m_viewEvents.size() - 2], "status:ERROR: No LCSes logged-in.");
}

// The user's Cancel during a download reaches the network call: the worker ends at once,
// without the error's pause, and the cycle ends without a launch.
TEST_F(AppTest, CancelDuringADownloadEndsTheWorkerQuietly) {
  m_services.u32PublishedClient = 5;
  m_services.fnHoldDownload = [] { CTerminalView::CancelActiveDialog(); };
  EXPECT_EQ(Run(""), sc_nExitCancelled);
  EXPECT_TRUE(m_messages.empty());
  // Joined, not left running: its network session is already closed.
  EXPECT_EQ(m_services.Calls().back(), "StopNetwork");
  EXPECT_EQ(m_viewEvents.back(), "end:2");
  for (const std::string& s : m_viewEvents) EXPECT_EQ(s.find("status:ERROR"), std::string::npos);
  for (uint32_t u : m_clock.Sleeps()) EXPECT_NE(u, 10000u);
  EXPECT_FALSE(FileExists(m_dir / "CLIENT_5.pkg"));
  EXPECT_EQ(ReadFile(m_dir / "Larch.blb"), "0\n0\n");
}

// The names and the folder are the running executable's, not those argv[0] gives.
TEST_F(AppTest, LeftoverTemporaryExecutableIsRemovedWithRetries) {
  m_environment.sExecutablePath = m_dir / "Game";
  m_sArgv0 = "/nowhere/Larch.exe";
  WriteFile(m_dir / "GameTmp", "copy");
  WriteFile(m_dir / "LarchTmp.exe", "not ours");
  WriteFile(m_dir / "Game.blb", "0\n0\n");
  m_services.serversByType[common::eConfigServer].clear();
  platform::InjectFailure("Remove", 5);
  Run("");
  EXPECT_FALSE(FileExists(m_dir / "GameTmp"));
  EXPECT_TRUE(FileExists(m_dir / "LarchTmp.exe"));
  EXPECT_NE(std::find(m_viewEvents.begin(), m_viewEvents.end(), "status:Game - ready"),
            m_viewEvents.end());
  std::vector<uint32_t> sleeps = m_clock.Sleeps();
  EXPECT_EQ(std::vector<uint32_t>(sleeps.begin(), sleeps.begin() + 5),
            std::vector<uint32_t>(5, 100));
  EXPECT_TRUE(m_messages.empty());
}

TEST_F(AppTest, LockedTemporaryExecutableIsReported) {
  WriteFile(m_dir / "LarchTmp.exe", "copy");
  platform::InjectFailure("Remove", 100);
  Run("");
  EXPECT_EQ(m_messages,
            (std::vector<std::string>{"ERROR|Larch.exe (main exception): Unable to delete "
                                      "temporary file LarchTmp.exe.  Please check permissions "
                                      "and rerun."}));
  EXPECT_TRUE(m_services.Calls().empty());
  EXPECT_EQ(m_clock.Sleeps(), std::vector<uint32_t>(100, 100));
}

TEST_F(AppTest, SelfUpdateModeOnlyForTheExactWord) {
  EXPECT_EQ(Run(" SelfUpdate \"Larch.exe\" 12a"), sc_nExitError);
  EXPECT_EQ(
      m_messages,
      (std::vector<std::string>{"ERROR|Larch.exe (main exception): illegal version number (12a)"}));
  EXPECT_TRUE(m_services.Calls().empty());
  m_messages.clear();
  m_services.serversByType[common::eConfigServer].clear();
  Run(" selfupdate \"Larch.exe\" 12a");  // normal mode
  EXPECT_TRUE(m_messages.empty());
  EXPECT_FALSE(m_services.Calls().empty());
}

// Answered alone, before the single-instance check, the working folder and the network.
TEST_F(AppTest, HelpAndVersionAreAnsweredAtOnce) {
  common::CLimitSingleAppInstance first(m_sGuardName);
  const std::string sCwd = platform::GetWorkingDirectory();
  EXPECT_EQ(Run(" --version"), sc_nExitOk);
  EXPECT_EQ(Run(" --help"), sc_nExitOk);
  EXPECT_EQ(m_messages, (std::vector<std::string>{
                            std::string("info|Larch ") + common::sc_pszLarchVersion + "\n",
                            std::string("info|") + sc_pszHelpText}));
  EXPECT_EQ(platform::GetWorkingDirectory(), sCwd);
  EXPECT_TRUE(m_services.Calls().empty());
}

}  // namespace
}  // namespace bootstrapper
