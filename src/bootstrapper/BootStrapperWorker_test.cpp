#include "bootstrapper/BootStrapperWorker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bootstrapper/ReleaseCheck.h"
#include "bootstrapper/TestFakes.h"
#include "platform/FaultInjection.h"
#include "protocols/DeltaPackage.h"
#include "protocols/GeneralDirectoryServerCommands.h"
#include "security/Sha256.h"
#include "support/ErrorCodeException.h"
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
    context.layout = CInstallLayout("Larch");
    context.fnBeforeSuccessorStart = [this] { ++m_nSuccessorStarts; };
    context.fnEndProcess = [] { FAIL() << "the process would end"; };
    context.fnReleaseKeys = [this] { return m_releaseKeys; };
    context.bOfflineStart = m_bOfflineStart;
    dlg.SetCancelToken(context.pCancel.get());
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
  std::vector<common::PublicKey> m_releaseKeys;  // none: the records are not checked
  bool m_bOfflineStart = false;
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
          "GetClientConfigRecord 10.0.0.3:27038", "DownloadFile 10.0.0.7:27040 CLIENT_5.pkg from 0",
          "UnpackPackage CLIENT_5.pkg Larch.staging", "SetClientVersion Larch.blb 5",
          "StopNetwork"}));
  EXPECT_EQ(ReadFile("CLIENT.dll"), "client v5");
  EXPECT_EQ(ReadFile(std::string("data") + platform::PreferredSeparator() + "readme.txt"), "hello");
  EXPECT_EQ(ReadFile("CLIENT_5.mst"), TextFile("CLIENT.dll\ndata\\readme.txt\n"));
  EXPECT_FALSE(FileExists("CLIENT_5.pkg"));
  EXPECT_FALSE(FileExists("Larch.staging"));
  EXPECT_FALSE(FileExists("Larch.journal"));
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

// Version 5 installed: the files, the manifest and the record.
void InstallVersion5() {
  WriteFile("Larch.blb", "0\n5\n");
  WriteFile("CLIENT.dll", "client v5");
  WriteFile("old.txt", "old");
  WriteFile("CLIENT_5.mst", "CLIENT.dll\nold.txt\n");
}

void ExpectVersion5Intact() {
  EXPECT_EQ(ReadFile("Larch.blb"), "0\n5\n");
  EXPECT_EQ(ReadFile("CLIENT.dll"), "client v5");
  EXPECT_EQ(ReadFile("old.txt"), "old");
  EXPECT_EQ(ReadFile("CLIENT_5.mst"), "CLIENT.dll\nold.txt\n");
}

// Refused before anything installed changed; the package and the staging folder go.
TEST_F(WorkerTest, RefusedOrFailedUnpackKeepsTheInstalledVersion) {
  struct SCase {
    const char* pszPackage;
    uint64_t u64UnpackSpace;
    const char* pszError;
  };
  for (SCase c : {SCase{"not a package", UINT64_MAX,
                        "ERROR: package CLIENT_6.pkg is damaged: bad entry line"},
                  SCase{"", UINT64_MAX, "ERROR: package CLIENT_6.pkg is damaged: holds no files"},
                  SCase{"sub\\CLIENT.dll\tx\nCLIENT.exe\tx\n", UINT64_MAX,
                        "ERROR: package CLIENT_6.pkg is damaged: does not hold CLIENT.dll"},
                  SCase{"CLIENT.dll\tx\nline\rbreak\tx\n", UINT64_MAX,
                        "ERROR: package CLIENT_6.pkg is damaged: unsafe entry name"},
                  SCase{"CLIENT.dll\tx\nLarch.staging\\a\tx\n", UINT64_MAX,
                        "ERROR: package CLIENT_6.pkg is damaged: holds Larch.staging, a name the "
                        "installer keeps"},
                  SCase{"CLIENT.dll\tclient v6\nbig.bin\t0123456789\n", 12,
                        "ERROR: error writing big.bin"}}) {
    InstallVersion5();
    m_services.u32PublishedClient = 6;
    m_services.files["CLIENT_6.pkg"] = c.pszPackage;
    m_services.u64UnpackSpace = c.u64UnpackSpace;
    m_events.clear();
    EXPECT_EQ(Run(), sc_nIdCancel);
    EXPECT_EQ(m_statuses.back(), c.pszError);
    EXPECT_EQ(m_events.back(), "end:2");
    ExpectVersion5Intact();
    for (const char* pszName : {"CLIENT_6.pkg", "CLIENT_6.mst", "Larch.staging", "Larch.journal"}) {
      EXPECT_FALSE(FileExists(pszName)) << pszName;
    }
  }
  EXPECT_EQ(m_clock.Sleeps(), std::vector<uint32_t>(6, 10000));
}

// Version 6 of the files of InstallVersion5: CLIENT.dll changed, old.txt the same.
const char sc_szFullPackage6[] = "CLIENT.dll\tclient v6\nold.txt\told\n";

common::SDeltaListedFile Listed(const std::string& sName, const std::string& sContent,
                                bool bFromInstallation = false) {
  return {sName, sContent.size(), common::CSha256::Digest(sContent.data(), sContent.size()),
          bFromInstallation};
}

// A delta package of the fakes: the list's line ends as "\n" escapes, then the carried files.
std::string FakeDelta(uint32_t u32From, const std::vector<common::SDeltaListedFile>& listed,
                      const std::string& sCarried) {
  common::SDeltaFileList list{u32From, 6, listed};
  common::SetInstalledFilesHash(list);
  std::string sList;
  for (char c : common::FormatDeltaFileList(list)) {
    sList += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return std::string(common::sc_szDeltaFileListEntry) + "\t" + sList + "\n" + sCarried;
}

std::string GoodDelta() {
  return FakeDelta(5, {Listed("CLIENT.dll", "client v6"), Listed("old.txt", "old", true)},
                   "CLIENT.dll\tclient v6\n");
}

SPackageDigest DigestOf(const std::string& sBytes) {
  return {sBytes.size(), common::CSha256::Digest(sBytes.data(), sBytes.size())};
}

// Version 5 installed, version 6 published in full and as the delta given, which the record
// offers with the digest of sVouched (the delta itself unless given).
void PublishDeltaTo6(CFakeServices& services, const std::string& sDelta,
                     const std::string& sVouched = "") {
  InstallVersion5();
  services.u32PublishedClient = 6;
  services.files["CLIENT_6.pkg"] = sc_szFullPackage6;
  services.files["CLIENT_5-6.pkg"] = sDelta;
  const SPackageDigest delta = DigestOf(sVouched.empty() ? sDelta : sVouched);
  services.fnCompleteRecord = [delta](Weft::CClientConfigRecord& record) {
    record.SetPackageDigest(false, DigestOf(sc_szFullPackage6));
    record.SetClientAppDeltas({{4, DigestOf("another")}, {5, delta}});
  };
}

void ExpectVersion6Installed() {
  EXPECT_EQ(ReadFile("Larch.blb"), "0\n6\n");
  EXPECT_EQ(ReadFile("CLIENT.dll"), "client v6");
  EXPECT_EQ(ReadFile("old.txt"), "old");
  EXPECT_EQ(ReadFile("CLIENT_6.mst"), TextFile("CLIENT.dll\nold.txt\n"));
  for (const char* pszName : {"CLIENT_5.mst", "CLIENT_6.pkg", "CLIENT_5-6.pkg",
                              "CLIENT_5-6.pkg.part", "Larch.staging", "Larch.journal"}) {
    EXPECT_FALSE(FileExists(pszName)) << pszName;
  }
}

// Only the changed file is downloaded; the unchanged one stays where it is.
TEST_F(WorkerTest, ADeltaUpdatesFromTheInstalledVersion) {
  PublishDeltaTo6(m_services, GoodDelta());
  WriteFile("CLIENT_3-4.pkg.part", "stale");
  EXPECT_EQ(Run(), sc_nIdOk);
  EXPECT_EQ(std::vector<std::string>(m_statuses.begin() + 4, m_statuses.end()),
            (std::vector<std::string>{
                "Larch.exe is up-to-date at version 0",
                "Updating CLIENT.dll to version 6 (delta from 5, 1 KB). Please wait...",
                "CLIENT.dll has been updated to version 6"}));
  const std::vector<std::string> calls = m_services.Calls();
  EXPECT_EQ(
      std::vector<std::string>(calls.begin() + 9, calls.end()),
      (std::vector<std::string>{"DownloadFile 10.0.0.7:27040 CLIENT_5-6.pkg from 0",
                                "ReadPackageEntry CLIENT_5-6.pkg |delta-files|",
                                "UnpackPackage CLIENT_5-6.pkg Larch.staging but |delta-files|",
                                "SetClientVersion Larch.blb 6", "StopNetwork"}));
  ExpectVersion6Installed();
  EXPECT_FALSE(FileExists("CLIENT_3-4.pkg.part"));
}

// Whatever makes the delta unusable, nothing installed changed by it and the full package
// follows in the same run.
TEST_F(WorkerTest, AnUnusableDeltaFallsBackToTheFullPackage) {
  const std::string sGood = GoodDelta();
  std::string sFlipped = sGood;
  sFlipped[sFlipped.size() - 3] ^= 0x01;
  const std::vector<common::SDeltaListedFile> list6 = {Listed("CLIENT.dll", "client v6"),
                                                       Listed("old.txt", "old")};
  struct SCase {
    std::string sDelta;
    std::string sVouched;  // the delta the record vouches for, when not the one served
    std::function<void()> fnSpoil;
    std::string sReason;
  };
  const std::vector<SCase> cases = {
      {sGood, "", [] { WriteFile("old.txt", "new"); },
       "the installed files do not match the file list of CLIENT_5-6.pkg"},
      {sGood, "", [] { WriteFile("old.txt", "older"); },
       "the installed file old.txt does not match the file list of CLIENT_5-6.pkg"},
      {FakeDelta(5, list6, "CLIENT.dll\tclient v6\n"), "", [] { WriteFile("old.txt", "new"); },
       "the installed file old.txt does not match the file list of CLIENT_5-6.pkg"},
      {sGood, "", [] { std::remove("old.txt"); }, "the installed file old.txt is missing"},
      {sFlipped, sGood, nullptr, "package CLIENT_5-6.pkg does not match its published hash"},
      {"CLIENT.dll\tclient v6\n", "", nullptr, "CLIENT_5-6.pkg holds no delta file list"},
      {FakeDelta(4, list6, "CLIENT.dll\tclient v6\n"), "", nullptr,
       "the file list of CLIENT_5-6.pkg leads from version 4 to 6"},
      {std::string(common::sc_szDeltaFileListEntry) + "\tlarch delta file list 1\\nend\n", "",
       nullptr, "delta file list is damaged: the last line is cut"},
      {sGood + "extra.txt\tx\n", "", nullptr,
       "package CLIENT_5-6.pkg is damaged: holds extra.txt, which its file list does not name"},
      {FakeDelta(5, list6, "CLIENT.dll\tclient v7\n"), "", nullptr,
       "the file CLIENT.dll of CLIENT_5-6.pkg does not match the file list of CLIENT_5-6.pkg"},
      {FakeDelta(5, {Listed("old.txt", "old")}, ""), "", nullptr,
       "package CLIENT_5-6.pkg is damaged: does not hold CLIENT.dll"},
      {sGood, "", [this] { m_services.files.erase("CLIENT_5-6.pkg"); },
       "no such file CLIENT_5-6.pkg"},
  };
  for (const SCase& c : cases) {
    PublishDeltaTo6(m_services, c.sDelta, c.sVouched);
    if (c.fnSpoil) c.fnSpoil();
    EXPECT_EQ(Run(), sc_nIdOk) << c.sReason;
    const auto itFailed = std::find(
        m_statuses.begin(), m_statuses.end(),
        "Delta update failed (" + c.sReason + "); downloading the full package instead...");
    ASSERT_NE(itFailed, m_statuses.end()) << c.sReason;
    EXPECT_EQ(
        std::vector<std::string>(itFailed + 1, m_statuses.end()),
        (std::vector<std::string>{"Updating CLIENT.dll to version 6. Please wait...",
                                  "Updating CLIENT.dll to version 6. Unpacking please wait...",
                                  "CLIENT.dll has been updated to version 6"}));
    EXPECT_EQ(m_services.Calls().rbegin()[3], "DownloadFile 10.0.0.7:27040 CLIENT_6.pkg from 0");
    ExpectVersion6Installed();
  }
}

// A full disk fails the delta and then the full package: the installed version stays whole.
TEST_F(WorkerTest, AFullDiskFailsTheDeltaAndThenTheFullPackageChangingNothing) {
  PublishDeltaTo6(m_services, GoodDelta());
  m_services.u64UnpackSpace = 3;
  EXPECT_EQ(Run(), sc_nIdCancel);
  EXPECT_NE(std::find(m_statuses.begin(), m_statuses.end(),
                      "Delta update failed (error writing CLIENT.dll); downloading the full "
                      "package instead..."),
            m_statuses.end());
  EXPECT_EQ(m_statuses.back(), "ERROR: error writing CLIENT.dll");
  ExpectVersion5Intact();
  for (const char* pszName :
       {"CLIENT_5-6.pkg", "CLIENT_6.pkg", "CLIENT_6.mst", "Larch.staging", "Larch.journal"}) {
    EXPECT_FALSE(FileExists(pszName)) << pszName;
  }
}

// A Cancel during the delta's download ends the cycle: it is not taken for a failed delta.
TEST_F(WorkerTest, ACancelDuringADeltaIsNotFallenBack) {
  PublishDeltaTo6(m_services, GoodDelta());
  m_services.fnHoldDownload = [] { CTerminalView::CancelActiveDialog(); };
  EXPECT_EQ(Run(), sc_nIdCancel);
  for (const std::string& sStatus : m_statuses) {
    EXPECT_EQ(sStatus.find("Delta update failed"), std::string::npos) << sStatus;
  }
  EXPECT_EQ(m_services.Calls().rbegin()[1], "DownloadFile 10.0.0.7:27040 CLIENT_5-6.pkg from 0");
  ExpectVersion5Intact();
  EXPECT_FALSE(FileExists("CLIENT_5-6.pkg.part"));
}

common::CSigningKey ReleaseKey() {
  common::KeySeed seed{};
  seed.fill(7);
  return common::CSigningKey::FromSeed(seed);
}

// A record for version 6 of the client, signed with the release key.
std::function<void(Weft::CClientConfigRecord&)> SignedRecord(uint64_t u64Sequence,
                                                             uint64_t u64Expiry = 1900000000) {
  return [=](Weft::CClientConfigRecord& record) {
    record.SetSequenceNum(u64Sequence);
    record.SetExpiryTime(u64Expiry);
    record.Sign(ReleaseKey());
  };
}

// Refused before any download: nothing installed changes, nor the sequence number kept.
TEST_F(WorkerTest, ARefusedReleaseRecordChangesNothing) {
  m_releaseKeys = {ReleaseKey().Public()};
  struct SCase {
    std::function<void(Weft::CClientConfigRecord&)> fnRecord;
    const char* pszError;
  };
  const SCase aCases[] = {
      {nullptr, "ERROR: release record is not signed"},
      {SignedRecord(8), "ERROR: release record is older than one already seen (8 < 9)"},
      {SignedRecord(10, 1800000000), "ERROR: release record expired on 2027-01-15"},
  };
  for (const SCase& c : aCases) {
    InstallVersion5();
    WriteFile("Larch.blb", "0\n5\n9\n");
    m_services.u32PublishedClient = 6;
    m_services.files["CLIENT_6.pkg"] = "CLIENT.dll\tclient v6\n";
    m_services.fnCompleteRecord = c.fnRecord;
    const size_t uCalls = m_services.Calls().size();
    EXPECT_EQ(Run(), sc_nIdCancel);
    EXPECT_EQ(m_statuses.back(), c.pszError);
    const std::vector<std::string> calls = m_services.Calls();
    EXPECT_EQ(
        std::vector<std::string>(calls.begin() + uCalls + 4, calls.end()),
        (std::vector<std::string>{"ReadVersionFile Larch.blb", "ReadReleaseSequenceNum Larch.blb",
                                  "ParseDirectoryServers 127.0.0.1:27030", "GetServers 3 blocking",
                                  "GetClientConfigRecord 10.0.0.3:27038", "StopNetwork"}));
    EXPECT_EQ(ReadFile("Larch.blb"), "0\n5\n9\n");
    EXPECT_EQ(ReadFile("CLIENT.dll"), "client v5");
  }
}

// An accepted record's sequence number is kept before the download; the published package's
// part file of an earlier run is resumed, others are deleted. Without a key nothing is kept.
TEST_F(WorkerTest, AnAcceptedRecordKeepsItsSequenceAndItsPartFileIsResumed) {
  const std::string sPackage = "CLIENT.dll\tclient v6\n";
  for (bool bKey : {true, false}) {
    m_releaseKeys.clear();
    if (bKey) m_releaseKeys.push_back(ReleaseKey().Public());
    InstallVersion5();
    WriteFile("Larch.blb", "0\n5\n9\n");
    WriteFile("CLIENT_6.pkg.part", sPackage.substr(0, 10));
    WriteFile("CLIENT_5.pkg.part", "older");
    m_services.u32PublishedClient = 6;
    m_services.files["CLIENT_6.pkg"] = sPackage;
    m_services.fnCompleteRecord = [&](Weft::CClientConfigRecord& record) {
      record.SetPackageDigest(
          false, {sPackage.size(), common::CSha256::Digest(sPackage.data(), sPackage.size())});
      SignedRecord(12)(record);
    };
    const size_t uCalls = m_services.Calls().size();
    EXPECT_EQ(Run(), sc_nIdOk);
    const std::vector<std::string> calls = m_services.Calls();
    std::vector<std::string> expected = {"GetClientConfigRecord 10.0.0.3:27038",
                                         "SetReleaseSequenceNum Larch.blb 12",
                                         "DownloadFile 10.0.0.7:27040 CLIENT_6.pkg from 10"};
    if (!bKey) expected.erase(expected.begin() + 1);
    EXPECT_EQ(std::vector<std::string>(calls.begin() + uCalls + 8,
                                       calls.begin() + uCalls + 8 + expected.size()),
              expected);
    EXPECT_EQ(ReadFile("Larch.blb"), bKey ? "0\n6\n12\n" : "0\n6\n9\n");
    EXPECT_EQ(ReadFile("CLIENT.dll"), "client v6");
    EXPECT_FALSE(FileExists("CLIENT_5.pkg.part"));
  }
}

// The package's published hash counts with or without a key: a package with one byte changed
// is refused before it is unpacked, and deleted.
TEST_F(WorkerTest, APackageThatDoesNotMatchItsHashChangesNothing) {
  WriteFile("Larch.exe", "old executable");
  for (bool bBootStrapper : {false, true}) {
    InstallVersion5();
    const std::string sPackage =
        bBootStrapper ? "LarchNew.exe\tnew executable\n" : "CLIENT.dll\tclient v6\n";
    const std::string sName = bBootStrapper ? "Larch_12.pkg" : "CLIENT_6.pkg";
    m_services.u32PublishedBoot = bBootStrapper ? 12 : 0;
    m_services.u32PublishedClient = 6;
    std::string sFlipped = sPackage;
    sFlipped[15] ^= 0x20;
    m_services.files[sName] = sFlipped;
    m_services.fnCompleteRecord = [&](Weft::CClientConfigRecord& record) {
      record.SetPackageDigest(
          bBootStrapper,
          {sPackage.size(), common::CSha256::Digest(sPackage.data(), sPackage.size())});
    };
    EXPECT_EQ(Run(), sc_nIdCancel);
    EXPECT_EQ(m_statuses.back(), "ERROR: package " + sName + " does not match its published hash");
    for (const std::string& sCall : m_services.Calls()) {
      EXPECT_EQ(sCall.find("UnpackPackage"), std::string::npos);
    }
    ExpectVersion5Intact();
    EXPECT_EQ(ReadFile("Larch.exe"), "old executable");
    EXPECT_FALSE(FileExists(sName));
    EXPECT_FALSE(FileExists(sName + ".part"));
  }
  EXPECT_EQ(m_nSuccessorStarts, 0);
}

TEST_F(WorkerTest, BootStrapperPackageWithoutTheNewExecutableIsRefused) {
  WriteFile("Larch.exe", "old executable");
  m_services.u32PublishedBoot = 12;
  m_services.files["Larch_12.pkg"] = "Larch.exe\tnew executable\n";
  EXPECT_EQ(Run(), sc_nIdCancel);
  EXPECT_EQ(m_statuses.back(),
            "ERROR: package Larch_12.pkg is damaged: does not hold LarchNew.exe");
  EXPECT_EQ(ReadFile("Larch.exe"), "old executable");
  EXPECT_FALSE(FileExists("Larch_12.pkg"));
  EXPECT_FALSE(FileExists("Larch_12.mst"));
  EXPECT_EQ(m_nSuccessorStarts, 0);
}

// An install interrupted once its journal is written (here: a stale file that cannot be
// deleted, or the version that cannot be recorded) is finished by the next run without a
// download, and ends as an uninterrupted one.
TEST_F(WorkerTest, AnInterruptedInstallIsFinishedByTheNextRun) {
  for (int nCase = 0; nCase < 2; ++nCase) {
    InstallVersion5();
    m_services.u32PublishedClient = 6;
    m_services.files["CLIENT_6.pkg"] = "CLIENT.dll\tclient v6\nsub\\new.txt\tnew\n";
    if (nCase == 0) {
      platform::InjectFailure("Remove", 1, 5);
    } else {
      m_services.failures["SetClientVersion"] = "version file locked";
    }
    EXPECT_EQ(Run(), sc_nIdCancel);
    EXPECT_EQ(m_statuses.back(), nCase == 0 ? "ERROR: Unable to delete old.txt (errno = 5)"
                                            : "ERROR: version file locked");
    EXPECT_EQ(ReadFile("Larch.blb"), "0\n5\n");
    EXPECT_TRUE(FileExists("Larch.journal"));
    m_services.failures.clear();
    const size_t uCalls = m_services.Calls().size();
    EXPECT_EQ(Run(), sc_nIdOk);
    EXPECT_EQ(std::vector<std::string>(m_statuses.begin() + 1, m_statuses.end()),
              (std::vector<std::string>{
                  "Finishing the interrupted install of CLIENT version 6...",
                  "Attempting to connect to Larch CSs...", "Determining local version numbers...",
                  "Determining current published version numbers...",
                  "Larch.exe is up-to-date at version 0", "CLIENT.dll is up-to-date at v6"}));
    EXPECT_EQ(m_services.Calls()[uCalls], "SetClientVersion Larch.blb 6");
    EXPECT_EQ(ReadFile("CLIENT.dll"), "client v6");
    EXPECT_EQ(ReadFile(std::string("sub") + platform::PreferredSeparator() + "new.txt"), "new");
    EXPECT_FALSE(FileExists("old.txt"));
    EXPECT_FALSE(FileExists("CLIENT_5.mst"));
    EXPECT_EQ(ReadFile("CLIENT_6.mst"), TextFile("CLIENT.dll\nsub\\new.txt\n"));
    EXPECT_EQ(ReadFile("Larch.blb"), "0\n6\n");
    for (const char* pszName : {"CLIENT_6.pkg", "Larch.staging", "Larch.journal"}) {
      EXPECT_FALSE(FileExists(pszName)) << pszName;
    }
  }
}

// A journal whose files are not all there, or that cannot be read, is not finished: the
// published version is installed again even though the recorded one equals it.
TEST_F(WorkerTest, AnInterruptedInstallThatCannotBeFinishedIsInstalledAgain) {
  for (const char* pszJournal :
       {"installing CLIENT version 5\n9 CLIENT.dll\n3 new.txt\nend\n", "installing CLIENT"}) {
    InstallVersion5();
    WriteFile("Larch.journal", pszJournal);
    ASSERT_TRUE(platform::MakeDirectory("Larch.staging"));
    m_services.u32PublishedClient = 5;
    m_services.files["CLIENT_5.pkg"] = "CLIENT.dll\tclient v5\nnew.txt\tnew\n";
    EXPECT_EQ(Run(), sc_nIdOk);
    EXPECT_EQ(m_statuses[1],
              "The interrupted install cannot be finished; CLIENT.dll is installed again");
    EXPECT_EQ(m_statuses[6], "Updating CLIENT.dll to version 5. Please wait...");
    EXPECT_EQ(ReadFile("new.txt"), "new");
    EXPECT_EQ(ReadFile("CLIENT_5.mst"), TextFile("CLIENT.dll\nnew.txt\n"));
    EXPECT_EQ(ReadFile("Larch.blb"), "0\n5\n");
    EXPECT_FALSE(FileExists("Larch.journal"));
    EXPECT_FALSE(FileExists("Larch.staging"));
  }
}

std::string TextOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  }
}

// The servers of each step down: the installed client starts when the operator allows it,
// its notice on screen for two seconds (the window shows two seconds after the dialog is ready);
// otherwise the error stays. Nothing installed changes either way.
TEST_F(WorkerTest, UnreachableServersStartTheInstalledClientOnlyWhenAllowed) {
  struct SCase {
    const char* pszCall;
    std::exception_ptr error;
    bool bSlow;  // fails after a 30 s time-out, once the window is up
    size_t uStatusesBefore;
  };
  const SCase aCases[] = {
      {"GetServers", std::make_exception_ptr(common::CNoGeneralDirectoryServerReachedException()),
       false, 2},
      {"GetContentServers", std::make_exception_ptr(common::CConnectException("10.0.0.6:27037")),
       false, 2},
      {"GetClientConfigRecord",
       std::make_exception_ptr(common::CTimeoutException(30000, "waiting for 10.0.0.3:27038")),
       true, 4},
  };
  for (const SCase& c : aCases) {
    for (bool bAllowed : {true, false}) {
      InstallVersion5();
      m_bOfflineStart = bAllowed;
      m_services.throwers[c.pszCall] = [&] {
        if (c.bSlow) m_clock.SleepMs(30000);
        std::rethrow_exception(c.error);
      };
      m_events.clear();
      const size_t uSleeps = m_clock.Sleeps().size();
      EXPECT_EQ(Run(), bAllowed ? sc_nIdOk : sc_nIdCancel) << c.pszCall;
      std::vector<uint32_t> sleeps = m_clock.Sleeps();
      sleeps.erase(sleeps.begin(), sleeps.begin() + uSleeps);
      if (bAllowed) {
        EXPECT_EQ(m_statuses.size(), c.uStatusesBefore + 1);
        EXPECT_EQ(m_statuses.back(), "Servers unreachable; starting the installed version 5");
        EXPECT_EQ(std::count(m_events.begin(), m_events.end(), "client:5"), 1);
        EXPECT_EQ(m_events.back(), "end:1");
        EXPECT_EQ(sleeps,
                  c.bSlow ? (std::vector<uint32_t>{30000, 2000}) : (std::vector<uint32_t>{4000}));
      } else {
        EXPECT_EQ(m_statuses.back(), "ERROR: " + TextOf(c.error));
        EXPECT_EQ(m_events.back(), "end:2");
      }
      ExpectVersion5Intact();
      m_services.throwers.clear();
    }
  }
}

// Allowed, but no complete installation, or a server that answered: the error stays.
TEST_F(WorkerTest, NoOfflineStartWithoutACompleteInstallOrFromAnAnswer) {
  m_bOfflineStart = true;
  auto Unreachable = [] { throw common::CNoGeneralDirectoryServerReachedException(); };
  // Nothing installed yet.
  m_services.throwers["GetServers"] = Unreachable;
  EXPECT_EQ(Run(), sc_nIdCancel);
  EXPECT_EQ(m_statuses.back(), "ERROR: Failed to connect to any GeneralDirectoryServer");
  // Version 6's install is pending: its journal stays while its version cannot be recorded.
  m_services.throwers.clear();
  InstallVersion5();
  m_services.u32PublishedClient = 6;
  m_services.files["CLIENT_6.pkg"] = "CLIENT.dll\tclient v6\n";
  m_services.failures["SetClientVersion"] = "version file locked";
  EXPECT_EQ(Run(), sc_nIdCancel);
  m_services.throwers["GetServers"] = Unreachable;
  EXPECT_EQ(Run(), sc_nIdCancel);
  EXPECT_EQ(m_statuses.back(), "ERROR: Failed to connect to any GeneralDirectoryServer");
  EXPECT_TRUE(FileExists("Larch.journal"));
  EXPECT_EQ(ReadFile("Larch.blb"), "0\n5\n");
  m_services.failures.clear();
  m_services.throwers.clear();
  // A record refused by its signature, and a server that answers garbage.
  std::filesystem::remove("Larch.journal");
  InstallVersion5();
  m_releaseKeys = {ReleaseKey().Public()};
  EXPECT_EQ(Run(), sc_nIdCancel);
  EXPECT_EQ(m_statuses.back(), "ERROR: release record is not signed");
  m_releaseKeys.clear();
  m_services.failures["GetContentServers"] = "ProtocolError - Bad message LengthPrefix";
  EXPECT_EQ(Run(), sc_nIdCancel);
  EXPECT_EQ(m_statuses.back(), "ERROR: ProtocolError - Bad message LengthPrefix");
  ExpectVersion5Intact();
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

// A sequence number that is not a number is damage too: the renewed file starts from none.
TEST_F(WorkerTest, ADamagedSequenceNumberIsADamagedVersionFile) {
  m_releaseKeys = {ReleaseKey().Public()};
  WriteFile("CLIENT.dll", "client v3");
  WriteFile("Larch.blb", "0\n3\n9x\n");
  m_services.u32PublishedClient = 3;
  m_services.files["CLIENT_3.pkg"] = "CLIENT.dll\tclient v3 again\n";
  m_services.fnCompleteRecord = SignedRecord(2);
  EXPECT_EQ(Run(), sc_nIdOk);
  EXPECT_EQ(ReadFile("Larch.blb.damaged"), "0\n3\n9x\n");
  EXPECT_EQ(ReadFile("Larch.blb"), "0\n3\n2\n");
  EXPECT_EQ(ReadFile("CLIENT.dll"), "client v3 again");
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
