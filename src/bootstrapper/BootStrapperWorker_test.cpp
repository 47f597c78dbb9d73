#include "bootstrapper/BootStrapperWorker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "bootstrapper/TestFakes.h"
#include "platform/FaultInjection.h"
#include "support/TestUtil.h"

namespace bootstrapper {
namespace {

using namespace bootstrapper_test;

// One worker cycle in a scratch directory that is current while it runs.
class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override { m_pCwd = std::make_unique<CCurrentDirectory>(m_dir.Path()); }
  void TearDown() override {
    m_pCwd.reset();
    platform::ClearInjectedFailures();
  }

  // Runs the cycle; returns the dialog's result. Visibility events are left out: they depend
  // on the timer, which the dialog's own tests cover.
  int Run() {
    CRecordingView view(m_clock);
    CBootStrapperDlg dlg(view);
    dlg.SetArgs(1, m_apArgv);
    dlg.SetClientApp("CLIENT", "dll");
    SWorkerContext context;
    context.pServices = &m_services;
    context.pClock = &m_clock;
    context.fnBeforeSuccessorStart = [this] { ++m_nSuccessorStarts; };
    context.fnEndProcess = [] { FAIL() << "the process would end"; };
    std::thread worker(BootStrapperWorker, &dlg, context);
    int nResult = dlg.DoModal();
    worker.join();
    for (const std::string& s : view.Events()) {
      if (s != "shown" && s != "offscreen") m_events.push_back(s);
    }
    m_statuses = view.Statuses();
    return nResult;
  }

  larch_test::CScratchDir m_dir;
  std::unique_ptr<CCurrentDirectory> m_pCwd;
  CFakeClock m_clock;
  CFakeServices m_services;
  char m_szArg0[16] = "./Larch.exe";
  char* m_apArgv[2] = {m_szArg0, nullptr};
  int m_nSuccessorStarts = 0;
  std::vector<std::string> m_events;
  std::vector<std::string> m_statuses;
};

TEST_F(WorkerTest, FirstInstallCreatesTheVersionFileInstallsAndLaunches) {
  m_services.u32PublishedClient = 5;
  m_services.files["CLIENT_5.pkg"] = "CLIENT.dll\tclient v5\ndata\\readme.txt\thello\n";
  EXPECT_EQ(Run(), sc_nIdOk);
  EXPECT_EQ(
      m_events,
      (std::vector<std::string>{
          "status:Larch.exe - ready", "status:Attempting to connect to Larch CSs...",
          "status:Determining local version numbers...", "boot:0", "client:0",
          "status:Determining current published version numbers...",
          "status:Larch.exe is up-to-date at version 0", "progress:0",
          "status:CLIENT.dll: No local copy, updating, please wait...", "progress:0", "progress:50",
          "status:Updating CLIENT.dll to version 5. Unpacking please wait...", "client:5",
          "status:CLIENT.dll has been updated to version 5", "progress:0", "end:1"}));
  EXPECT_EQ(
      m_services.Calls(),
      (std::vector<std::string>{
          "StartNetwork", "ParseDirectoryServers 127.0.0.1:27030", "GetServers 6 polling",
          "GetContentServers 10.0.0.6:27037 3 0", "CreateVersionFile Larch.blb",
          "ParseDirectoryServers 127.0.0.1:27030", "GetServers 3 blocking",
          "GetPublishedVersions 10.0.0.3:27038", "DownloadFile 10.0.0.7:27040 CLIENT_5.pkg from 0",
          "UnpackPackage CLIENT_5.pkg", "SetClientVersion Larch.blb 5", "StopNetwork"}));
  EXPECT_EQ(ReadFile("CLIENT.dll"), "client v5");
  EXPECT_EQ(ReadFile(std::string("data") + platform::PreferredSeparator() + "readme.txt"), "hello");
  EXPECT_EQ(ReadFile("CLIENT_5.mst"), TextFile("CLIENT.dll\ndata\\readme.txt\n"));
  EXPECT_FALSE(FileExists("CLIENT_5.pkg"));
  EXPECT_EQ(ReadFile("Larch.blb"), "0\n5\n");
  EXPECT_EQ(m_clock.Sleeps(), (std::vector<uint32_t>{3000}));
}

TEST_F(WorkerTest, ALostConnectionIsShownAndTheDownloadResumes) {
  m_services.u32PublishedClient = 5;
  const std::string sPackage = "CLIENT.dll\t" + std::string(88, 'c') + "\n";  // 100 bytes
  m_services.files["CLIENT_5.pkg"] = sPackage;
  m_services.contentServers.push_back(Address("10.0.0.8:27040"));
  m_services.cutsAt = {41, 60};
  EXPECT_EQ(Run(), sc_nIdOk);
  EXPECT_EQ(
      std::vector<std::string>(m_events.begin() + 8, m_events.end() - 4),
      (std::vector<std::string>{
          "status:CLIENT.dll: No local copy, updating, please wait...", "progress:0", "progress:50",
          "status:Connection lost, resuming download of CLIENT_5.pkg at 41%...", "progress:41",
          "progress:70", "status:Connection lost, resuming download of CLIENT_5.pkg at 60%...",
          "progress:60", "progress:80",
          "status:Updating CLIENT.dll to version 5. Unpacking please wait..."}));
  auto calls = m_services.Calls();
  EXPECT_EQ(std::vector<std::string>(calls.begin() + 8, calls.begin() + 11),
            (std::vector<std::string>{"DownloadFile 10.0.0.7:27040 CLIENT_5.pkg from 0",
                                      "DownloadFile 10.0.0.7:27040 CLIENT_5.pkg from 41",
                                      "DownloadFile 10.0.0.8:27040 CLIENT_5.pkg from 60"}));
  EXPECT_EQ(ReadFile("CLIENT.dll"), std::string(88, 'c'));
  EXPECT_FALSE(FileExists("CLIENT_5.pkg.part"));
}

TEST_F(WorkerTest, UpToDateRunDownloadsNothingAndRemovesStalePartFiles) {
  WriteFile("Larch.blb", "4\n5\n");
  WriteFile("CLIENT.dll", "client v5");
  for (const char* pszName : {"CLIENT_3.pkg.part", "Larch_7.pkg.part", "CLIENT_x.pkg.part",
                              "OTHER_3.pkg.part", "CLIENT_3.pkg"}) {
    WriteFile(pszName, "kept unless stale");
  }
  m_services.u32PublishedBoot = 4;
  m_services.u32PublishedClient = 5;
  EXPECT_EQ(Run(), sc_nIdOk);
  EXPECT_EQ(m_statuses,
            (std::vector<std::string>{"Larch.exe - ready", "Attempting to connect to Larch CSs...",
                                      "Determining local version numbers...",
                                      "Determining current published version numbers...",
                                      "Larch.exe is up-to-date at version 4",
                                      "CLIENT.dll is up-to-date at v5"}));
  for (const std::string& sCall : m_services.Calls()) {
    EXPECT_EQ(sCall.find("DownloadFile"), std::string::npos) << sCall;
    EXPECT_NE(sCall.compare(0, 3, "Set"), 0) << sCall;
  }
  EXPECT_TRUE(m_clock.Sleeps().empty());
  EXPECT_FALSE(FileExists("CLIENT_3.pkg.part"));
  EXPECT_FALSE(FileExists("Larch_7.pkg.part"));
  EXPECT_TRUE(FileExists("CLIENT_x.pkg.part"));
  EXPECT_TRUE(FileExists("OTHER_3.pkg.part"));
  EXPECT_TRUE(FileExists("CLIENT_3.pkg"));
}

TEST_F(WorkerTest, MissingClientWithEqualVersionsIsReinstalledAndKeepsItsManifest) {
  WriteFile("Larch.blb", "0\n5\n");
  WriteFile("CLIENT_5.mst", "CLIENT.dll\n");
  m_services.u32PublishedClient = 5;
  m_services.files["CLIENT_5.pkg"] = "CLIENT.dll\tclient v5\n";
  EXPECT_EQ(Run(), sc_nIdOk);
  EXPECT_EQ(m_statuses[5], "CLIENT.dll: No local copy, updating, please wait...");
  EXPECT_EQ(ReadFile("CLIENT.dll"), "client v5");
  EXPECT_EQ(ReadFile("CLIENT_5.mst"), TextFile("CLIENT.dll\n"));
}

TEST_F(WorkerTest, ClientUpdateDeletesStaleFilesAndRecordsTheVersionLast) {
  WriteFile("Larch.blb", "0\n5\n");
  WriteFile("CLIENT.dll", "client v5");
  WriteFile("old.txt", "old");
  WriteFile("locked.txt", "read-only");
  ASSERT_TRUE(platform::SetReadOnly("locked.txt", true));
  WriteFile("kept.txt", "v5");
  WriteFile("CLIENT_5.mst", "CLIENT.dll\nold.txt\nlocked.txt\nkept.txt\ngone.txt\n");
  m_services.u32PublishedClient = 6;
  m_services.files["CLIENT_6.pkg"] = "CLIENT.dll\tclient v6\nkept.txt\tv6\nnew.txt\tnew\n";
  EXPECT_EQ(Run(), sc_nIdOk);
  EXPECT_EQ(m_statuses[5], "Updating CLIENT.dll to version 6. Please wait...");
  EXPECT_EQ(m_statuses[6], "Updating CLIENT.dll to version 6. Unpacking please wait...");
  EXPECT_EQ(m_statuses[7], "CLIENT.dll has been updated to version 6");
  EXPECT_FALSE(FileExists("old.txt"));
  EXPECT_FALSE(FileExists("locked.txt"));
  EXPECT_FALSE(FileExists("CLIENT_5.mst"));
  EXPECT_EQ(ReadFile("kept.txt"), "v6");
  EXPECT_EQ(ReadFile("new.txt"), "new");
  EXPECT_EQ(ReadFile("CLIENT_6.mst"), TextFile("CLIENT.dll\nkept.txt\nnew.txt\n"));
  EXPECT_EQ(ReadFile("Larch.blb"), "0\n6\n");
  auto calls = m_services.Calls();
  EXPECT_EQ(calls[calls.size() - 2], "SetClientVersion Larch.blb 6");
}

TEST_F(WorkerTest, FailedUnpackKeepsTheOldVersionAndShowsTheErrorForTenSeconds) {
  WriteFile("Larch.blb", "0\n5\n");
  WriteFile("CLIENT.dll", "client v5");
  m_services.u32PublishedClient = 6;
  m_services.files["CLIENT_6.pkg"] = "not a package";
  EXPECT_EQ(Run(), sc_nIdCancel);
  EXPECT_EQ(m_statuses.back(), "ERROR: bad package CLIENT_6.pkg");
  EXPECT_EQ(m_events.back(), "end:2");
  EXPECT_EQ(ReadFile("Larch.blb"), "0\n5\n");
  EXPECT_EQ(m_clock.Sleeps(), (std::vector<uint32_t>{10000}));
  EXPECT_EQ(m_services.Calls().back(), "StopNetwork");
}

TEST_F(WorkerTest, EmptyServerAnswersAreErrors) {
  struct SCase {
    common::EServerType eType;
    const char* pszText;
  };
  const CFakeServices scripted;
  for (SCase c : {SCase{common::eConfigServer, "ERROR: No LCSes logged-in."},
                  SCase{common::eContentServerDirectoryServer, "ERROR: No CSDSes logged-in."},
                  SCase{common::eMasterAuthenticationServer, "ERROR: No public CSes logged-in."}}) {
    m_events.clear();
    m_services.serversByType = scripted.serversByType;
    m_services.contentServers = scripted.contentServers;
    // The master's type stands for the content servers, which are not found by type.
    if (c.eType == common::eMasterAuthenticationServer) {
      m_services.contentServers.clear();
    } else {
      m_services.serversByType[c.eType].clear();
    }
    EXPECT_EQ(Run(), sc_nIdCancel);
    EXPECT_EQ(m_statuses.back(), c.pszText);
    EXPECT_EQ(m_events.back(), "end:2");
    for (const std::string& s : m_events) EXPECT_NE(s, "end:1");
  }
}

TEST_F(WorkerTest, NoDirectoryServersIsAnError) {
  m_services.directoryServers.clear();
  EXPECT_EQ(Run(), sc_nIdCancel);
  EXPECT_EQ(m_statuses.back(), "ERROR: No IP:ports provided for GeneralDirectoryServers");
}

TEST_F(WorkerTest, ClientRegistryAbsentMeansNoMasterQuery) {
  Run();
  for (const std::string& s : m_services.Calls()) {
    EXPECT_EQ(s.find("Master"), std::string::npos) << s;
  }
}

TEST_F(WorkerTest, MasterAddressIsWrittenOnlyWhenItDiffers) {
  WriteFile("CLIENT.dll", "client v0");
  WriteFile(sc_pszClientRegistryFile, "MASTER=10.0.0.9:27039");
  EXPECT_EQ(Run(), sc_nIdOk);
  EXPECT_EQ(m_services.nRegistryWrites, 0);
  WriteFile(sc_pszClientRegistryFile, "MASTER=10.0.0.8:1");
  EXPECT_EQ(Run(), sc_nIdOk);
  EXPECT_EQ(m_services.nRegistryWrites, 1);
  EXPECT_EQ(ReadFile(sc_pszClientRegistryFile), "MASTER=10.0.0.9:27039");
}

TEST_F(WorkerTest, DamagedClientRegistryIsRemovedAndTheRunGoesOn) {
  WriteFile("CLIENT.dll", "client v0");
  WriteFile(sc_pszClientRegistryFile, "garbage");
  ASSERT_TRUE(platform::SetReadOnly(sc_pszClientRegistryFile, true));
  EXPECT_EQ(Run(), sc_nIdOk);
  EXPECT_FALSE(FileExists(sc_pszClientRegistryFile));
}

TEST_F(WorkerTest, ClientRegistryHeldByAnotherProcessIsLeftAlone) {
  WriteFile("CLIENT.dll", "client v0");
  WriteFile(sc_pszClientRegistryFile, "LOCKED");
  EXPECT_EQ(Run(), sc_nIdOk);
  EXPECT_EQ(ReadFile(sc_pszClientRegistryFile), "LOCKED");
}

// A lock that cannot be made says nothing about the file: it is kept, and the run goes on.
TEST_F(WorkerTest, ClientRegistryWhoseLockFailsIsKept) {
  WriteFile("CLIENT.dll", "client v0");
  WriteFile(sc_pszClientRegistryFile, "NOLOCK");
  EXPECT_EQ(Run(), sc_nIdOk);
  EXPECT_EQ(ReadFile(sc_pszClientRegistryFile), "NOLOCK");
  EXPECT_EQ(m_statuses[2],
            "ClientRegistry.blob was not updated: its lock could not be had (Failed to create file "
            "access mutex)");
}

TEST_F(WorkerTest, DamagedVersionFileIsMovedAsideAndEverythingReinstalled) {
  WriteFile("CLIENT.dll", "client v3");
  WriteFile("Larch.blb", "3\n3\n");
  WriteFile("Larch.blb.damaged", "older");
  ASSERT_TRUE(platform::SetReadOnly("Larch.blb.damaged", true));
  m_services.u32PublishedClient = 3;
  m_services.files["CLIENT_3.pkg"] = "CLIENT.dll\tclient v3 again\n";
  m_services.failures["ReadVersionFile"] = "Cannot open blob archive file Larch.blb";
  EXPECT_EQ(Run(), sc_nIdOk);
  EXPECT_EQ(std::vector<std::string>(m_events.begin() + 2, m_events.begin() + 7),
            (std::vector<std::string>{
                "status:Determining local version numbers...",
                "status:Larch.blb is damaged; it was moved aside to Larch.blb.damaged and "
                "everything is reinstalled",
                "boot:0", "client:0", "status:Determining current published version numbers..."}));
  EXPECT_EQ(ReadFile("Larch.blb.damaged"), "3\n3\n");
  EXPECT_EQ(ReadFile("CLIENT.dll"), "client v3 again");
  EXPECT_EQ(ReadFile("Larch.blb"), "0\n3\n");
}

TEST_F(WorkerTest, VersionFileHeldByAnotherProcessIsAnErrorNotDamage) {
  WriteFile("Larch.blb", "LOCKED");
  EXPECT_EQ(Run(), sc_nIdCancel);
  EXPECT_EQ(m_statuses.back(), "ERROR: in use");
  EXPECT_EQ(ReadFile("Larch.blb"), "LOCKED");
  EXPECT_FALSE(FileExists("Larch.blb.damaged"));
}

TEST_F(WorkerTest, ClientRegistryThatCannotBeDeletedIsAnError) {
  WriteFile(sc_pszClientRegistryFile, "garbage");
  platform::InjectFailure("Remove", 1);
  EXPECT_EQ(Run(), sc_nIdCancel);
  EXPECT_EQ(m_statuses.back(), "ERROR: Failed to delete client registry blob");
}

TEST_F(WorkerTest, MasterLookupFailureIsAnOrdinaryError) {
  WriteFile(sc_pszClientRegistryFile, "MASTER=1.2.3.4:5");
  m_services.failures["GetMasterAuthenticationServer"] =
      "Failed to find Master AuthenticationServer";
  EXPECT_EQ(Run(), sc_nIdCancel);
  EXPECT_EQ(m_statuses.back(), "ERROR: Failed to find Master AuthenticationServer");
}

TEST_F(WorkerTest, BootStrapperUpdateUnpacksAndSpawnsTheSelfUpdater) {
  WriteFile("Larch.exe", "old executable");
  m_services.u32PublishedBoot = 12;
  m_services.files["Larch_12.pkg"] = "LarchNew.exe\tnew executable\n";
  platform::InjectFailure("StartProcess", 1, 2);
  EXPECT_EQ(Run(), sc_nIdCancel);
  EXPECT_EQ(
      std::vector<std::string>(m_statuses.begin() + 4, m_statuses.end()),
      (std::vector<std::string>{"Updating Larch.exe to version 12. Please wait...",
                                "Downloading package Larch_12.pkg, please wait...",
                                "ERROR: Could not spawn self-updater LarchTmp.exe (errno=2)"}));
  EXPECT_EQ(ReadFile("LarchTmp.exe"), "old executable");
  EXPECT_EQ(ReadFile("LarchNew.exe"), "new executable");
  EXPECT_EQ(ReadFile("Larch_12.mst"), TextFile("LarchNew.exe\n"));
  EXPECT_TRUE(FileExists("Larch_12.pkg"));  // the self-update mode removes it
  EXPECT_EQ(ReadFile("Larch.blb"), "0\n0\n");
  EXPECT_EQ(m_nSuccessorStarts, 1);
  EXPECT_EQ(m_clock.Sleeps(), (std::vector<uint32_t>{3000, 10000}));
}

TEST_F(WorkerTest, LowerPublishedBootStrapperVersionIsARollback) {
  WriteFile("Larch.blb", "7\n0\n");
  m_services.u32PublishedBoot = 6;
  EXPECT_EQ(Run(), sc_nIdCancel);  // no package on the server
  EXPECT_EQ(m_statuses[4], "Updating Larch.exe to version 6. Please wait...");
}

TEST_F(WorkerTest, LongStatusTextsAreCut) {
  m_services.failures["StartNetwork"] = std::string(400, 'x');
  EXPECT_EQ(Run(), sc_nIdCancel);
  EXPECT_EQ(m_statuses.back(), "ERROR: " + std::string(248, 'x'));
}

}  // namespace
}  // namespace bootstrapper
