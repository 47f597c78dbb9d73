// The bootstrapper program end to end: `Larch` (installed as Larch.exe) against larch-server on
// loopback, with packages made by `larchtool publish` and the sample client library.
//
// Real processes and real time: a client update pauses 3 s, an error stays 10 s.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Deployment.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "platform/Signals.h"
#include "registry/BlobRegistry.h"
#include "support/TestUtil.h"
#include "support/Version.h"

namespace {

using namespace larch_e2e;

const char sc_szFirstInstall[] =
    "Larch.exe - ready\n"
    "Attempting to connect to Larch CSs...\n"
    "Determining local version numbers...\n"
    "Larch version: 0\n"
    "Game version: 0\n"
    "Determining current published version numbers...\n"
    "Larch.exe is up-to-date at version 0\n"
    "CLIENT.dll: No local copy, updating, please wait...\n"
    "Updating CLIENT.dll to version 1. Unpacking please wait...\n"
    "Game version: 1\n"
    "CLIENT.dll has been updated to version 1\n";

TEST_F(Deployment, InstallUpToDateReinstallAndUpdate) {
  StartServer();
  PublishClient(1, {{"a.txt", "a1"}, {"b.txt", "b1"}, {"sub/c.txt", "c1"}});
  InstallBootstrapper();

  // First install, then the launch with the arguments and the icon variable.
  EXPECT_EQ(RunLarch(" -x y"), sc_szFirstInstall);
  EXPECT_EQ(m_uExit, 0u);
  ASSERT_TRUE(WaitForStarts(1));
  EXPECT_EQ(ReadFile(m_sRecord), "start dll\nargc 3\nargv[0] " + Inst("Larch.exe") +
                                     "\nargv[1] -x\nargv[2] y\ncwd " + m_sInst +
                                     "\nicon 128\nend\n");
  EXPECT_EQ(ReadFile(Inst("a.txt")), "a1");
  EXPECT_EQ(ReadFile(Inst("sub/c.txt")), "c1");
  EXPECT_EQ(ReadFile(Inst("CLIENT_1.mst")), "CLIENT.dll\na.txt\nb.txt\nsub\\c.txt\n");
  EXPECT_FALSE(Exists(Inst("CLIENT_1.pkg")));
  EXPECT_EQ(Version("ClientAppVersionNum"), "1");
  EXPECT_EQ(Version("BootStrapperVersionNum"), "0");

  // Up to date: nothing is downloaded.
  int nRequests = ContentRequests();
  std::string sErr = RunLarch();
  EXPECT_EQ(sErr.substr(sErr.find("Larch.exe is up-to-date")),
            "Larch.exe is up-to-date at version 0\nCLIENT.dll is up-to-date at v1\n");
  ASSERT_TRUE(WaitForStarts(2));
  EXPECT_EQ(ContentRequests(), nRequests);

  // The client file is gone but the versions are equal: the same version again, manifest kept.
  fs::remove(Inst("CLIENT.dll"));
  sErr = RunLarch();
  EXPECT_NE(sErr.find("CLIENT.dll: No local copy, updating, please wait...\n"), std::string::npos);
  ASSERT_TRUE(WaitForStarts(3));
  EXPECT_TRUE(Exists(Inst("CLIENT.dll")));
  EXPECT_EQ(ReadFile(Inst("CLIENT_1.mst")), "CLIENT.dll\na.txt\nb.txt\nsub\\c.txt\n");

  // Version 2: a.txt changed, b.txt (read-only here) and sub/c.txt gone, d.txt new.
  fs::permissions(Inst("b.txt"), fs::perms::owner_read);
  PublishClient(2, {{"a.txt", "a2"}, {"d.txt", "d2"}});
  sErr = RunLarch();
  EXPECT_EQ(sErr.substr(sErr.find("Larch.exe is up-to-date")),
            "Larch.exe is up-to-date at version 0\n"
            "Updating CLIENT.dll to version 2. Please wait...\n"
            "Updating CLIENT.dll to version 2. Unpacking please wait...\n"
            "Game version: 2\n"
            "CLIENT.dll has been updated to version 2\n");
  ASSERT_TRUE(WaitForStarts(4));
  EXPECT_EQ(ReadFile(Inst("a.txt")), "a2");
  EXPECT_EQ(ReadFile(Inst("d.txt")), "d2");
  EXPECT_FALSE(Exists(Inst("b.txt")));
  EXPECT_FALSE(Exists(Inst("sub/c.txt")));
  EXPECT_TRUE(Exists(Inst("sub")));
  EXPECT_FALSE(Exists(Inst("CLIENT_1.mst")));
  EXPECT_EQ(ReadFile(Inst("CLIENT_2.mst")), "CLIENT.dll\na.txt\nd.txt\n");
  EXPECT_EQ(Version("ClientAppVersionNum"), "2");
}

// Under its POSIX name: the names of the installation are made from the executable's own.
TEST_F(Deployment, SelfUpdateRunsThroughThreeProcesses) {
  m_sExe = "Larch";
  StartServer();
  PublishClient(1, {});
  InstallBootstrapper();
  std::string sNew = PublishBootstrapper(1);
  platform::CProcess first;
  StartLarch(first, " --go fast");
  uint32_t uExit = 99;
  first.Wait(0xFFFFFFFFu, uExit);
  EXPECT_EQ(uExit, 0u);  // the self-updater took over
  ASSERT_TRUE(WaitForStarts(1));
  platform::SleepMilliseconds(300);
  // The successors write to the same stderr: the old process, then the new executable.
  std::string sErr = ReadFile(m_sErr);
  EXPECT_EQ(sErr.substr(sErr.find("Determining current")),
            "Determining current published version numbers...\n"
            "Updating Larch to version 1. Please wait...\n"
            "Downloading package Larch_1.pkg, please wait...\n"
            "Larch - ready\n"
            "Attempting to connect to Larch CSs...\n"
            "Determining local version numbers...\n"
            "Larch version: 1\n"
            "Game version: 0\n"
            "Determining current published version numbers...\n"
            "Larch is up-to-date at version 1\n"
            "CLIENT.dll: No local copy, updating, please wait...\n"
            "Updating CLIENT.dll to version 1. Unpacking please wait...\n"
            "Game version: 1\n"
            "CLIENT.dll has been updated to version 1\n");
  std::string sRecord = ReadFile(m_sRecord);
  // The new executable was started by the restart line, with the first process's arguments.
  EXPECT_EQ(sRecord.substr(0, sRecord.find("cwd ")),
            "start dll\nargc 3\nargv[0] Larch\nargv[1] --go\nargv[2] fast\n");
  EXPECT_EQ(ReadFile(Inst("Larch")), ReadFile(sNew));
  EXPECT_TRUE(fs::status(Inst("Larch")).permissions() == fs::status(sNew).permissions());
  EXPECT_FALSE(Exists(Inst("Larch_1.pkg")));
  EXPECT_EQ(ReadFile(Inst("Larch_1.mst")), "LarchNew.exe\n");
  EXPECT_EQ(Version("BootStrapperVersionNum"), "1");
  EXPECT_EQ(Version("ClientAppVersionNum"), "1");
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(m_sInst)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"CLIENT.dll", "CLIENT_1.mst", "Larch", "Larch.blb",
                                             "Larch_1.mst"}));
}

TEST_F(Deployment, LibraryAsksForASecondCycle) {
  StartServer();
  PublishClient(1, {});
  InstallBootstrapper();
  platform::SetEnvVar("LARCH_SAMPLE_CLIENT_RESULTS", "1,0");
  std::string sErr = RunLarch();
  EXPECT_EQ(Count(sErr, "Larch.exe - ready\n"), 2);
  EXPECT_EQ(sErr.substr(sErr.rfind("Larch.exe - ready")),
            "Larch.exe - ready\n"
            "Attempting to connect to Larch CSs...\n"
            "Determining local version numbers...\n"
            "Larch version: 0\n"
            "Game version: 1\n"
            "Determining current published version numbers...\n"
            "Larch.exe is up-to-date at version 0\n"
            "CLIENT.dll is up-to-date at v1\n");
  EXPECT_EQ(Count(ReadFile(m_sRecord), "start dll"), 2);
}

TEST_F(Deployment, NoConfigurationServerShowsTheErrorForTenSecondsAndBlocksASecondInstance) {
  StartServer(false);
  PublishClient(1, {});
  InstallBootstrapper();
  platform::CProcess first;
  StartLarch(first);
  std::string sFirstErr = m_sErr;
  for (int i = 0; i < 200 && ReadFile(sFirstErr).find("ERROR") == std::string::npos; ++i) {
    platform::SleepMilliseconds(50);
  }
  std::string sSecond = RunLarch(" again");
  EXPECT_EQ(sSecond, "Larch is already running\nYou may only run one copy of Larch at a time.\n");
  EXPECT_EQ(m_uExit, 1u);
  // Still showing the error (for ten seconds: the dialog's and the worker's tests time it).
  uint32_t uExit = 0;
  EXPECT_FALSE(first.Wait(0, uExit));
  first.Wait(0xFFFFFFFFu, uExit);
  EXPECT_EQ(uExit, 1u);
  std::string sErr = ReadFile(sFirstErr);
  EXPECT_EQ(sErr.substr(sErr.find("Determining current")),
            "Determining current published version numbers...\nERROR: No LCSes logged-in.\n");
  EXPECT_FALSE(Exists(m_sRecord));
  EXPECT_FALSE(Exists(Inst("CLIENT.dll")));
}

// The servers down: a program branded for the offline start runs the installed client as an
// up-to-date run would (arguments, folder, exit status); branded without it, the error stays.
TEST_F(Deployment, UnreachableServersStartTheInstalledClientOnlyWhenBrandedTo) {
  StartServer();
  PublishClient(1, {{"a.txt", "a1"}});
  InstallBootstrapper(" --offline-start yes");
  EXPECT_EQ(RunLarch(), sc_szFirstInstall);
  ASSERT_TRUE(WaitForStarts(1));
  const std::map<std::string, std::string> installed = Snapshot();
  StopServer();

  EXPECT_EQ(RunLarch(" -x y"),
            "Larch.exe - ready\n"
            "Attempting to connect to Larch CSs...\n"
            "Larch version: 0\n"
            "Game version: 1\n"
            "Servers unreachable; starting the installed version 1\n");
  EXPECT_EQ(m_uExit, 0u);
  ASSERT_TRUE(WaitForStarts(2));
  const std::string sRecord = ReadFile(m_sRecord);
  EXPECT_EQ(sRecord.substr(sRecord.rfind("start ")),
            "start dll\nargc 3\nargv[0] " + Inst("Larch.exe") + "\nargv[1] -x\nargv[2] y\ncwd " +
                m_sInst + "\nicon 128\nend\n");
  EXPECT_EQ(Difference(installed, Snapshot()), "");

  Tool("brand " + Quote(Inst("Larch.exe")) + " --offline-start no");
  EXPECT_EQ(RunUntilError(), "ERROR: Failed to connect to any GeneralDirectoryServer");
  EXPECT_EQ(m_uExit, 1u);
  EXPECT_EQ(Count(ReadFile(m_sRecord), "start dll"), 2);
}

// Ctrl+C or SIGTERM is the terminal's Cancel: the dialog ends at once, the process with it.
TEST_F(Deployment, TerminationRequestCancelsTheDialog) {
  StartServer();
  PublishClient(1, {});
  InstallBootstrapper();
  // Cancelled in the pause after the install: nothing launched, the status is SIGTERM's.
  platform::CProcess larch;
  StartLarch(larch);
  for (int i = 0; i < 200 && ReadFile(m_sErr).find("has been updated") == std::string::npos; ++i) {
    platform::SleepMilliseconds(50);
  }
  ASSERT_TRUE(platform::RequestProcessTermination(larch.Id()));
  uint32_t uExit = 99;
  larch.Wait(0xFFFFFFFFu, uExit);
  EXPECT_EQ(uExit, 143u);
  EXPECT_FALSE(Exists(m_sRecord));  // without the Cancel the client would start after the pause

  // Cancelled while an error is shown: the error's status.
  StopServer();
  StartServer(false);
  EXPECT_EQ(RunUntilError(), "ERROR: No LCSes logged-in.");
  EXPECT_EQ(m_uExit, 1u);
  EXPECT_FALSE(Exists(m_sRecord));
}

// Answered without a server, a branding or a second look at the installation.
TEST_F(Deployment, HelpAndVersionAnswerAtOnce) {
  m_sExe = "Larch";
  fs::copy_file(LARCH_BOOTSTRAPPER, Inst(m_sExe));
  const auto before = Snapshot();
  EXPECT_EQ(RunLarch(" --version"), "");
  EXPECT_EQ(m_uExit, 0u);
  EXPECT_EQ(ReadFile(m_sErr + ".out"), std::string("Larch ") + common::sc_pszLarchVersion + "\n");
  EXPECT_EQ(RunLarch(" --help"), "");
  EXPECT_EQ(m_uExit, 0u);
  EXPECT_EQ(ReadFile(m_sErr + ".out"),
            "usage: Larch [ARGUMENT...]\n"
            "       Larch --help | --version\n"
            "\n"
            "Keeps the client application up to date and starts it: Larch asks the operator's\n"
            "servers for the published versions of itself and of the client application,\n"
            "installs what changed into the folder it lies in, then starts the client\n"
            "application there. Every argument is passed on to the client application;\n"
            "--help and --version are answered, without a network, only when they are the\n"
            "only argument.\n"
            "\n"
            "Exit status:\n"
            "  0    the client application was started (a library client: its entry point\n"
            "       has returned), or the new version of Larch was started to take over\n"
            "  1    an error was shown (\"ERROR: ...\"), or another copy of Larch is running\n"
            "  130  cancelled (the Cancel button, Ctrl+C)\n"
            "  143  ended by a termination request (SIGTERM)\n");
  EXPECT_EQ(Snapshot(), before);
}

TEST_F(Deployment, ClientRegistryIsRefreshedOrRemovedWhenDamaged) {
  StartServer();
  PublishClient(1, {});
  InstallBootstrapper();
  const char* pszValue = "MasterAuthenticationServerIPAddrPort";
  {
    common::CBlobRegistry registry(Inst("ClientRegistry.blob"), false, 1000);
    registry.SetStringValue("", pszValue, "127.0.0.1:27039");
  }
  // The same address: the stored bytes stay as they are.
  std::string sBefore = ReadFile(Inst("ClientRegistry.blob"));
  RunLarch();
  ASSERT_TRUE(WaitForStarts(1));
  EXPECT_EQ(ReadFile(Inst("ClientRegistry.blob")), sBefore);

  {
    common::CBlobRegistry registry(Inst("ClientRegistry.blob"), true, 1000);
    registry.SetStringValue("", pszValue, "10.1.2.3:4");
  }
  RunLarch();
  ASSERT_TRUE(WaitForStarts(2));
  {
    common::CBlobRegistry registry(Inst("ClientRegistry.blob"), true, 1000);
    std::string sValue;
    registry.GetStringValue("", pszValue, sValue);
    EXPECT_EQ(sValue, "127.0.0.1:27039");
  }

  WriteFile(Inst("ClientRegistry.blob"), "this is not a blob");
  fs::permissions(Inst("ClientRegistry.blob"), fs::perms::owner_read);
  std::string sErr = RunLarch();
  ASSERT_TRUE(WaitForStarts(3));
  EXPECT_FALSE(Exists(Inst("ClientRegistry.blob")));
  EXPECT_EQ(sErr.find("ERROR"), std::string::npos);
}

TEST_F(Deployment, ClientRegistryHeldByTheClientIsLeftAlone) {
  StartServer();
  PublishClient(1, {});
  InstallBootstrapper();
  const char* pszValue = "MasterAuthenticationServerIPAddrPort";
  common::CBlobRegistry registry(Inst("ClientRegistry.blob"), false, 1000);
  registry.SetStringValue("", pszValue, "10.1.2.3:4");
  std::string sBefore = ReadFile(Inst("ClientRegistry.blob"));
  {
    // A live key handle keeps the file open and its lock taken, as a running client would.
    auto pKey = registry.OpenKey("");
    std::string sErr = RunLarch();
    ASSERT_TRUE(WaitForStarts(1));
    EXPECT_EQ(sErr.find("ERROR"), std::string::npos);
    EXPECT_TRUE(Exists(Inst("ClientRegistry.blob")));
  }
  std::string sValue;
  registry.GetStringValue("", pszValue, sValue);
  EXPECT_EQ(sValue, "10.1.2.3:4");
}

TEST_F(Deployment, RunKilledWhileUnpackingCompletesNextTime) {
  StartServer();
  // Incompressible data, so that unpacking takes a while.
  std::string sBig(48 << 20, '\0');
  uint32_t u = 12345;
  for (char& c : sBig) {
    u ^= u << 13;
    u ^= u >> 17;
    u ^= u << 5;
    c = static_cast<char>(u);
  }
  PublishClient(1, {{"big.bin", sBig}, {"small.txt", "s1"}});
  InstallBootstrapper();
  platform::CProcess first;
  StartLarch(first);
  for (int i = 0; i < 2000 && ReadFile(m_sErr).find("Unpacking") == std::string::npos; ++i) {
    platform::SleepMilliseconds(5);
  }
  ASSERT_TRUE(first.Kill());
  uint32_t uExit = 0;
  first.Wait(0xFFFFFFFFu, uExit);
  EXPECT_EQ(uExit, 137u);
  EXPECT_EQ(Version("ClientAppVersionNum"), "0");

  std::string sErr = RunLarch();
  ASSERT_TRUE(WaitForStarts(1));
  // Killed while unpacking into the staging folder, nothing was installed; killed once the
  // journal was written, the install is finished first.
  std::string sTail = sErr.substr(sErr.find("Larch.exe is up-to-date"));
  EXPECT_TRUE(sTail ==
                  "Larch.exe is up-to-date at version 0\n"
                  "CLIENT.dll: No local copy, updating, please wait...\n"
                  "Updating CLIENT.dll to version 1. Unpacking please wait...\n"
                  "Game version: 1\n"
                  "CLIENT.dll has been updated to version 1\n" ||
              (sErr.find("Finishing the interrupted install of CLIENT version 1...\n") !=
                   std::string::npos &&
               sTail == "Larch.exe is up-to-date at version 0\n"
                        "CLIENT.dll is up-to-date at v1\n"))
      << sErr;
  EXPECT_TRUE(ReadFile(Inst("big.bin")) == sBig);
  EXPECT_EQ(ReadFile(Inst("small.txt")), "s1");
  EXPECT_EQ(Version("ClientAppVersionNum"), "1");
  EXPECT_FALSE(Exists(Inst("CLIENT_1.pkg")));
}

TEST_F(Deployment, ExecutableClientIsMadeExecutableAndStarted) {
  StartServer();
  std::string sSrc = m_dir / "exe-client";
  fs::create_directories(sSrc);
  fs::copy_file(LARCH_SAMPLE_CLIENT_EXE, sSrc + "/GAME.exe");
  fs::permissions(sSrc + "/GAME.exe", fs::perms::owner_read | fs::perms::owner_write);
  Tool("publish --dir " + Quote(m_sPub) + " --component GAME --version 3 " +
       Quote(sSrc + "/GAME.exe"));
  std::string sCopy = m_dir / "Larch-exe";
  fs::copy_file(LARCH_BOOTSTRAPPER, sCopy);
  Tool("brand " + Quote(sCopy) + " --client-file GAME.EXE --directory-servers " +
       Quote(Address(0)));
  fs::copy_file(sCopy, Inst("Larch.exe"));
  std::string sErr = RunLarch(" one two");
  ASSERT_TRUE(WaitForStarts(1));
  EXPECT_EQ(sErr.substr(sErr.find("Larch.exe is up-to-date")),
            "Larch.exe is up-to-date at version 0\n"
            "GAME.exe: No local copy, updating, please wait...\n"
            "Updating GAME.exe to version 3. Unpacking please wait...\n"
            "Game version: 3\n"
            "GAME.exe has been updated to version 3\n");
  EXPECT_EQ(ReadFile(m_sRecord),
            "start exe\nargc 3\nargv[0] GAME.exe\nargv[1] one\nargv[2] two\ncwd " + m_sInst +
                "\nicon 128\nend\n");
  EXPECT_EQ(ReadFile(Inst("GAME_3.mst")), "GAME.exe\n");
}

// A publish killed while it writes its package neither blocks the next publish nor leaves its
// temporary file in the directory that larch-server serves.
TEST_F(Deployment, KilledPublishLeavesNothingInTheWay) {
  std::string sSrc = m_dir / "big";
  fs::create_directories(sSrc);
  std::string sNoise(64u << 20, '\0');
  uint32_t u = 2463534242u;
  for (char& c : sNoise) {
    u ^= u << 13, u ^= u >> 17, u ^= u << 5;  // incompressible, so the write takes a while
    c = char(u);
  }
  WriteFile(sSrc + "/noise.bin", sNoise);
  platform::CProcess publish;
  ASSERT_TRUE(publish.Start(std::string(LARCH_TOOL) + " publish --dir \"" + m_sPub +
                            "\" --component CLIENT --version 1 \"" + sSrc + "\""));
  auto names = [&] {
    std::vector<std::string> v;
    platform::ListDirectory(m_sPub, v);
    std::sort(v.begin(), v.end());
    return v;
  };
  bool bWriting = false;
  for (int i = 0; i < 2000 && !bWriting; ++i) {
    for (const std::string& sName : names()) bWriting |= sName.find(".tmp") != std::string::npos;
    if (!bWriting) platform::SleepMilliseconds(5);
  }
  ASSERT_TRUE(bWriting) << "the publish wrote no temporary package";
  ASSERT_TRUE(publish.Kill());
  uint32_t uExit = 0;
  publish.Wait(0xFFFFFFFFu, uExit);

  PublishClient(2, {{"data.txt", "two"}});
  EXPECT_EQ((std::vector<std::string>{"CLIENT_2.pkg", "ClientConfigRecord.blob"}), names());
}

// The program as built carries the values every build ships with, the same on both platforms.
TEST_F(Deployment, TheBuiltProgramShowsAsUnbranded) {
  std::string sLog = m_dir / "brand.log";
  EXPECT_EQ(RunShell(Quote(LARCH_TOOL) + " brand " + Quote(LARCH_BOOTSTRAPPER) + " --show > " +
                     Quote(sLog)),
            0);
  EXPECT_EQ(
      ReadFile(sLog),
      "CLIENTAPP_FILENAME: LARCHCLI.DLL\nGENERALDIRECTORYSERVER_IPADDRPORTS: 127.0.0.1:27030\n"
      "RELEASE_PUBLIC_KEY_1: \nRELEASE_PUBLIC_KEY_2: \nOFFLINE_START: no\n(unbranded: still "
      "carries the values "
      "the build ships with; brand it with --client-file and --directory-servers before "
      "publishing it)\n");
}

}  // namespace
