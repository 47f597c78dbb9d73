// The installation's own state end to end: a damaged version file, a client registry whose lock
// cannot be had, a branded client name with a path, and what a killed self-update leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "Deployment.h"
#include "registry/BlobRegistry.h"

namespace {

using namespace larch_e2e;

const char sc_szReinstall[] =
    "Determining local version numbers...\n"
    "Larch.blb is damaged; it was moved aside to Larch.blb.damaged and everything is reinstalled\n"
    "Larch version: 0\n"
    "Game version: 0\n"
    "Determining current published version numbers...\n"
    "Larch.exe is up-to-date at version 0\n"
    "Updating CLIENT.dll to version 1. Please wait...\n"
    "Updating CLIENT.dll to version 1. Unpacking please wait...\n"
    "Game version: 1\n"
    "CLIENT.dll has been updated to version 1\n";

std::vector<std::string> Names(const std::string& sDir) {
  std::vector<std::string> names;
  platform::ListDirectory(sDir, names);
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(Deployment, DamagedVersionFileIsMovedAsideAndTheRunReinstalls) {
  StartServer();
  PublishClient(1, {{"a.txt", "a1"}});
  InstallBootstrapper();
  RunLarch();
  ASSERT_TRUE(WaitForStarts(1));
  const std::string sGood = ReadFile(Inst("Larch.blb"));
  std::string sFlipped = sGood;
  sFlipped[4] ^= 0x10;  // in the root blob's header
  // A sound file whose release record sequence number is not a number.
  const std::string sBadSequence = m_dir / "bad-sequence.blb";
  WriteFile(sBadSequence, sGood);
  {
    common::CBlobRegistry registry(sBadSequence, true, 5000);
    registry.CreateKey("ReleaseRecordSequenceNum", true);
    registry.SetStringValue("ReleaseRecordSequenceNum", "ReleaseRecordSequenceNum", "12x");
  }
  const std::vector<std::string> damaged = {"", sGood.substr(0, sGood.size() / 2), sFlipped,
                                            ReadFile(sBadSequence)};
  int nStarts = 1;
  for (const std::string& sDamaged : damaged) {
    WriteFile(Inst("Larch.blb"), sDamaged);
    WriteFile(Inst("a.txt"), "changed");
    std::string sErr = RunLarch();
    ASSERT_TRUE(WaitForStarts(++nStarts));
    EXPECT_EQ(sErr.substr(sErr.find("Determining local")), sc_szReinstall);
    EXPECT_TRUE(ReadFile(Inst("Larch.blb.damaged")) == sDamaged);
    EXPECT_EQ(ReadFile(Inst("a.txt")), "a1");
    EXPECT_EQ(Version("ClientAppVersionNum"), "1");
    EXPECT_EQ(Version("BootStrapperVersionNum"), "0");
  }
}

TEST_F(Deployment, ClientRegistryWhoseLockCannotBeMadeIsKept) {
  StartServer();
  PublishClient(1, {});
  InstallBootstrapper();
  {
    common::CBlobRegistry registry(Inst("ClientRegistry.blob"), false, 1000);
    registry.SetStringValue("", "MasterAuthenticationServerIPAddrPort", "10.1.2.3:4");
  }
  const std::string sBefore = ReadFile(Inst("ClientRegistry.blob"));
  // A folder where the lock's file belongs: the lock cannot be made, the file is sound.
  const std::string sFullPath = fs::canonical(m_sInst).string() + "/ClientRegistry.blob";
  const std::string sLock =
      m_dir / ("run/larch/" + common::CBlobRegistry::LockNameForFile(sFullPath) + ".lock");
  fs::remove(sLock);
  fs::create_directories(sLock);
  std::string sErr = RunLarch();
  ASSERT_TRUE(WaitForStarts(1));
  EXPECT_EQ(sErr.substr(0, sErr.find("Determining local")),
            "Larch.exe - ready\n"
            "Attempting to connect to Larch CSs...\n"
            "ClientRegistry.blob was not updated: its lock could not be had (Failed to create "
            "file access mutex)\n");
  EXPECT_TRUE(ReadFile(Inst("ClientRegistry.blob")) == sBefore);
}

TEST_F(Deployment, BrandedClientNameWithAPathIsRefused) {
  const std::string sText =
      "BRANDING ERROR: Client application file name must not name a folder or a drive (";
  // larchtool brand refuses such a name (its own tests); one written into the executable by
  // other means is refused at start.
  std::string sBranded = BrandedCopy("Larch-branded", "127.0.0.1:27030");
  Tool("brand " + Quote(sBranded) + " --client-file QQQQQQQQQQ.dll");
  std::string sBytes = ReadFile(sBranded);
  size_t uAt = sBytes.find("QQQQQQQQQQ.dll");
  ASSERT_NE(uAt, std::string::npos);
  sBytes.replace(uAt, 14, "../QQQQQQQ.dll");
  WriteFile(Inst("Larch.exe"), sBytes);
  fs::permissions(Inst("Larch.exe"), fs::perms::owner_all);
  EXPECT_EQ(RunLarch(), "ERROR: Larch.exe (main exception): " + sText + "../QQQQQQQ.dll)\n");
  EXPECT_EQ(Names(m_sInst), (std::vector<std::string>{"Larch.exe"}));
}

// A self-updater killed after keeping its old copy leaves a whole Larch.exe: the next run
// removes what it left and updates again.
TEST_F(Deployment, SelfUpdateKilledAfterItsCopyIsFinishedByTheNextRun) {
  StartServer();
  PublishClient(1, {});
  InstallBootstrapper();
  std::string sNew = PublishBootstrapper(1);
  const std::string sOld = ReadFile(Inst("Larch.exe"));
  WriteFile(Inst("LarchOld4242_0.tmp"), sOld);
  WriteFile(Inst("LarchTmp.exe"), sOld);
  WriteFile(Inst("LarchNew.exe"), ReadFile(sNew));
  RunLarch();
  ASSERT_TRUE(WaitForStarts(1));
  platform::SleepMilliseconds(300);
  EXPECT_TRUE(ReadFile(Inst("Larch.exe")) == ReadFile(sNew));
  EXPECT_EQ(Version("BootStrapperVersionNum"), "1");
  EXPECT_EQ(Names(m_sInst), (std::vector<std::string>{"CLIENT.dll", "CLIENT_1.mst", "Larch.blb",
                                                      "Larch.exe", "Larch_1.mst"}));
}

// Under the POSIX name the installation's names carry no extension: a self-updater killed after
// keeping its old copy leaves LarchTmp and LarchOld*.tmp, which the next run removes; the
// executable it was started as stays and launches.
TEST_F(Deployment, KilledSelfUpdaterLeftoversGoUnderThePosixName) {
  m_sExe = "Larch";
  StartServer();
  PublishClient(1, {});
  InstallBootstrapper();
  const std::string sInstalled = ReadFile(Inst("Larch"));
  WriteFile(Inst("LarchOld4242_0.tmp"), sInstalled);
  WriteFile(Inst("LarchTmp"), sInstalled);
  std::string sErr = RunLarch();
  EXPECT_EQ(m_uExit, 0u);
  ASSERT_TRUE(WaitForStarts(1));
  EXPECT_EQ(sErr.substr(0, sErr.find('\n')), "Larch - ready");
  EXPECT_TRUE(ReadFile(Inst("Larch")) == sInstalled);
  EXPECT_EQ(Names(m_sInst),
            (std::vector<std::string>{"CLIENT.dll", "CLIENT_1.mst", "Larch", "Larch.blb"}));
}

}  // namespace
