// The launcher with the sample clients: an executable started as a process, a library loaded
// with its entry point called, and the errors of both.
#include "bootstrapper/ClientLaunch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "platform/File.h"
#include "platform/Process.h"
#include "support/TestUtil.h"

namespace {

using namespace bootstrapper;

std::string ReadFile(const std::string& sName) {
  std::ifstream in(sName, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class ClientLaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_sOldCwd = platform::GetWorkingDirectory();
    ASSERT_TRUE(platform::SetWorkingDirectory(m_dir.Path()));
    m_sRecord = m_dir / "record.txt";
    platform::SetEnvVar("LARCH_SAMPLE_CLIENT_RECORD", m_sRecord);
    platform::SetEnvVar("__LARCH_BOOTSTRAPPER_ICON_ID__", "128");
  }
  void TearDown() override {
    platform::SetWorkingDirectory(m_sOldCwd);
    platform::UnsetEnvVar("LARCH_SAMPLE_CLIENT_RECORD");
    platform::UnsetEnvVar("LARCH_SAMPLE_CLIENT_RESULTS");
    platform::UnsetEnvVar("__LARCH_BOOTSTRAPPER_ICON_ID__");
  }
  // Copied the way a package delivers it: a plain file without permission bits.
  void Install(const char* pszFrom, const std::string& sName) {
    std::filesystem::copy_file(pszFrom, m_dir / sName);
    std::filesystem::permissions(
        m_dir / sName, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  }
  std::string Expected(const char* pszKind, const std::vector<std::string>& args) {
    std::string s =
        std::string("start ") + pszKind + "\nargc " + std::to_string(args.size()) + "\n";
    for (size_t i = 0; i < args.size(); ++i) {
      s += "argv[" + std::to_string(i) + "] " + args[i] + "\n";
    }
    return s + "cwd " + std::filesystem::current_path().string() + "\nicon 128\nend\n";
  }

  larch_test::CScratchDir m_dir;
  std::string m_sOldCwd;
  std::string m_sRecord;
  char m_sz0[16] = "B.exe", m_sz1[8] = "-a", m_sz2[8] = "xyz";
  char* m_apArgv[4] = {m_sz0, m_sz1, m_sz2, nullptr};
};

TEST_F(ClientLaunchTest, ExecutableGetsTheArgumentsInOrderAndTheIconVariable) {
  Install(LARCH_SAMPLE_CLIENT_EXE, "CLIENT.exe");
  EXPECT_EQ(LaunchClientAppExe("CLIENT.exe", 3, m_apArgv), 0);
  ASSERT_TRUE(larch_test::WaitForFile(m_sRecord, 20000));
  for (int i = 0; i < 100 && ReadFile(m_sRecord).find("end\n") == std::string::npos; ++i) {
    platform::SleepMilliseconds(50);
  }
  EXPECT_EQ(ReadFile(m_sRecord), Expected("exe", {"CLIENT.exe", "-a", "xyz"}));
  EXPECT_EQ(BuildClientCommandLine("CLIENT.exe", 3, m_apArgv), "CLIENT.exe -a xyz");
}

TEST_F(ClientLaunchTest, LibraryIsCalledOnThisThreadAndItsResultReturned) {
  Install(LARCH_SAMPLE_CLIENT_DLL, "CLIENT.dll");
  platform::SetEnvVar("LARCH_SAMPLE_CLIENT_RESULTS", "1,0");
  EXPECT_EQ(LaunchClientAppDll("CLIENT.dll", 3, m_apArgv), 1);
  // Unloaded and loaded again, as in a second cycle.
  EXPECT_EQ(LaunchClientAppDll("CLIENT.dll", 3, m_apArgv), 0);
  std::string sOne = Expected("dll", {"B.exe", "-a", "xyz"});
  EXPECT_EQ(ReadFile(m_sRecord), sOne + sOne);
}

TEST_F(ClientLaunchTest, Errors) {
  auto errorOf = [this](int (*pfn)(const std::string&, int, char**), const std::string& sFile) {
    try {
      pfn(sFile, 3, m_apArgv);
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(errorOf(LaunchClientAppDll, "CLIENT.dll"), "Unable to load library CLIENT.dll");
  Install(LARCH_NOENTRY_DLL, "NOENTRY.dll");
  EXPECT_EQ(errorOf(LaunchClientAppDll, "NOENTRY.dll"),
            "Unable to find NOENTRY.dll entry point LarchDllMain");
  std::string sError = errorOf(LaunchClientAppExe, "CLIENT.exe");
  EXPECT_EQ(sError.substr(0, 27), "Could not spawn CLIENT.exe ");
}

}  // namespace
