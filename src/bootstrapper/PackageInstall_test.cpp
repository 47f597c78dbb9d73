#include "bootstrapper/PackageInstall.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>

#include "bootstrapper/TestFakes.h"
#include "network/NetTestUtil.h"
#include "package/PkgFile.h"
#include "platform/FaultInjection.h"
#include "support/Assert.h"
#include "support/TestUtil.h"

namespace bootstrapper {
namespace {

using namespace bootstrapper_test;
using larch_test::Bytes;

std::string Bytes32(uint32_t u) {
  return Bytes({static_cast<int>(u >> 24), static_cast<int>((u >> 16) & 0xFF),
                static_cast<int>((u >> 8) & 0xFF), static_cast<int>(u & 0xFF)});
}
using larch_test::ErrorOf;

class PackageInstallTest : public ::testing::Test {
 protected:
  void SetUp() override { m_pCwd = std::make_unique<CCurrentDirectory>(m_dir.Path()); }
  void TearDown() override {
    m_pCwd.reset();
    platform::ClearInjectedFailures();
  }

  larch_test::CScratchDir m_dir;
  std::unique_ptr<CCurrentDirectory> m_pCwd;
};

TEST_F(PackageInstallTest, ManifestRoundTripAndReadingRules) {
  WritePackageManifest({"b.txt", "a\\c.txt", "a.txt"}, "N", 3);
  EXPECT_EQ(ReadFile("N_3.mst"), TextFile("b.txt\na\\c.txt\na.txt\n"));
  EXPECT_EQ(ReadManifest("N_3.mst"), (std::set<std::string>{"a.txt", "a\\c.txt", "b.txt"}));
  // The last line may lack its newline; repeated and empty lines are harmless.
  WriteFile("x.mst", "one\n\ntwo\none\n\ntwo");
  EXPECT_EQ(ReadManifest("x.mst"), (std::set<std::string>{"one", "two"}));
  // The longest name a package holds, and longer lines, are read whole.
  const std::string sLongest(259, 'q');
  WriteFile("long.mst", sLongest + "\n" + std::string(600, 'r') + "\n");
  EXPECT_EQ(ReadManifest("long.mst"), (std::set<std::string>{sLongest, std::string(600, 'r')}));
}

// The staged files reach the disk before the journal may list them: a flush that fails (of
// the whole volume, or of a file where the platform has no volume flush) fails the unpack.
TEST_F(PackageInstallTest, AFailedFlushOfStagedFilesFailsTheUnpack) {
  WriteFile("a.txt", "a");
  common::CPkgFile package(9);
  package.Create("CLIENT_2.pkg", 9);
  package.AddFile("a.txt");
  ASSERT_TRUE(platform::MakeDirectory("stage"));
  std::unique_ptr<IUpdateServices> pServices = MakeRealUpdateServices();
  platform::InjectFailure("SyncFileSystem", 1, 13);
  platform::InjectFailure("Flush", 1, 13);
  EXPECT_EQ(ErrorOf([&] { pServices->UnpackPackage("CLIENT_2.pkg", "stage", ""); }),
            std::string("error writing ") + (platform::CanSyncFileSystem() ? "stage" : "a.txt") +
                " (errno = 13)");
}

TEST_F(PackageInstallTest, ManifestErrors) {
  try {
    ReadManifest("none.mst");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "unable to open none.mst for reading");
  }
  ASSERT_TRUE(platform::MakeDirectory("N_4.mst"));
  try {
    WritePackageManifest({"a"}, "N", 4);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "unable to open N_4.mst for writing");
  }
}

// Every other manifest of the component counts as an old one: also those that an interrupted
// install left, and those of a version recorded as 0 to be installed again.
TEST_F(PackageInstallTest, StaleFilesAreThoseOtherManifestsListAndTheNewOneDoesNot) {
  WriteFile("N_1.mst", "a.txt\nb.txt\nsub\\c.txt\nmissing.txt\n");
  WriteFile("N_0.mst", "zero.txt\n");
  WriteFile("NX_1.mst", "x.txt\n");
  WriteFile("N_2.mst", "a.txt\n");
  for (const char* pszName : {"a.txt", "b.txt", "zero.txt", "x.txt"}) WriteFile(pszName, "old");
  ASSERT_TRUE(platform::SetReadOnly("b.txt", true));
  ASSERT_TRUE(platform::MakeDirectory("sub"));
  std::string sC = std::string("sub") + platform::PreferredSeparator() + "c.txt";
  WriteFile(sC, "c");
  DeleteStaleFiles("N", 2, false);
  EXPECT_TRUE(FileExists("a.txt"));
  EXPECT_FALSE(FileExists("b.txt"));
  EXPECT_FALSE(FileExists(sC));
  EXPECT_FALSE(FileExists("zero.txt"));
  EXPECT_TRUE(FileExists("sub"));  // directories stay
  EXPECT_FALSE(FileExists("N_1.mst"));
  EXPECT_FALSE(FileExists("N_0.mst"));
  EXPECT_TRUE(FileExists("N_2.mst"));
  EXPECT_TRUE(FileExists("NX_1.mst"));  // another component's
  EXPECT_TRUE(FileExists("x.txt"));
  // A reinstall of the same version keeps its manifest and its files.
  DeleteStaleFiles("N", 2, false);
  EXPECT_TRUE(FileExists("N_2.mst"));
  EXPECT_TRUE(FileExists("a.txt"));
}

// Where names ignore letter case, a file whose name changed only in case is the new file.
TEST_F(PackageInstallTest, StaleNamesCompareIgnoringCaseWhereTheFileSystemDoes) {
  WriteFile("N_1.mst", "readme.TXT\ndocs/Guide.txt\n");
  WriteFile("N_2.mst", "README.txt\nDOCS\\guide.txt\n");
  WriteFile("readme.TXT", "old");
  DeleteStaleFiles("N", 2, true);
  EXPECT_EQ(ReadFile("readme.TXT"), "old");
  WriteFile("N_1.mst", "readme.TXT\n");
  DeleteStaleFiles("N", 2, false);
  EXPECT_FALSE(FileExists("readme.TXT"));
}

TEST_F(PackageInstallTest, NamesOutsideTheDirectoryAreNeverDeleted) {
  larch_test::CScratchDir outside;
  WriteFile(outside / "victim.txt", "keep me");
  std::string sSep(1, platform::PreferredSeparator());
  ASSERT_TRUE(platform::MakeDirectory("inner"));
  WriteFile("N_1.mst", outside / "victim.txt" + "\n..\\victim.txt\ninner" + sSep + ".." + sSep +
                           "x.txt\nC:\\victim.txt\n");
  WriteFile("N_2.mst", "a\n");
  WriteFile("x.txt", "x");
  DeleteStaleFiles("N", 2, false);
  EXPECT_EQ(ReadFile(outside / "victim.txt"), "keep me");
  EXPECT_TRUE(FileExists("x.txt"));
  EXPECT_FALSE(IsNameInsideDirectory("/etc/passwd"));
  EXPECT_FALSE(IsNameInsideDirectory("\\\\server\\share\\f"));
  EXPECT_FALSE(IsNameInsideDirectory("a/../../f"));
  EXPECT_FALSE(IsNameInsideDirectory(""));
  EXPECT_TRUE(IsNameInsideDirectory("a..b/c..\\..d"));
}

TEST_F(PackageInstallTest, DeleteErrors) {
  EXPECT_EQ(ErrorOf([] { DeleteStaleFiles("N", 2, false); }),
            "Manifest file N_2.mst does not exist");
  WriteFile("N_1.mst", "a.txt\n");
  WriteFile("N_2.mst", "b.txt\n");
  WriteFile("a.txt", "a");
  platform::InjectFailure("Remove", 1, 13);
  EXPECT_EQ(ErrorOf([] { DeleteStaleFiles("N", 2, false); }),
            "Unable to delete a.txt (errno = 13)");
  platform::InjectFailure("SetReadOnly", 1, 1);
  EXPECT_EQ(ErrorOf([] { DeleteStaleFiles("N", 2, false); }), "Unable to delete a.txt (errno = 1)");
  // Nothing is stale; the old manifest cannot be deleted.
  platform::InjectFailure("Remove", 1, 5);
  WriteFile("N_1.mst", "b.txt\n");
  EXPECT_EQ(ErrorOf([] { DeleteStaleFiles("N", 2, false); }),
            "Unable to delete N_1.mst (errno = 5)");
}

TEST_F(PackageInstallTest, DownloadReplacesAStalePartFileAndStoresTheFileUnderItsName) {
  CFakeServices services;
  services.files["P_1.pkg"] = "bytes";
  WriteFile("P_1.pkg.part", "stale bytes of an earlier run");
  CPackageInstaller installer(services, {Address("1.2.3.4:5")}, nullptr);
  installer.DownloadPackage("P_1.pkg");
  EXPECT_EQ(ReadFile("P_1.pkg"), "bytes");
  EXPECT_FALSE(FileExists("P_1.pkg.part"));
  EXPECT_EQ(services.Calls(), (std::vector<std::string>{"DownloadFile 1.2.3.4:5 P_1.pkg from 0"}));
}

// Every attempt is cut 10 bytes further on: each server gets a second attempt at once, then the
// next one its turn, and the round goes on until each had three.
TEST_F(PackageInstallTest, LostConnectionsAreResumedUntilEveryServerHadThreeAttempts) {
  CFakeServices services;
  services.files["P_1.pkg"] = std::string(100, 'p');
  services.cutsAt = {10, 20, 30, 40, 50, 60, 70, 80, 90};
  std::vector<std::string> statuses;
  CPackageInstaller installer(services,
                              {Address("1.1.1.1:1"), Address("2.2.2.2:2"), Address("3.3.3.3:3")},
                              nullptr, [&](const std::string& s) { statuses.push_back(s); });
  EXPECT_EQ(
      ErrorOf([&] { installer.DownloadPackage("P_1.pkg"); }).find("Connection Closed by Peer"), 0u);
  EXPECT_EQ(services.Calls(),
            (std::vector<std::string>{
                "DownloadFile 1.1.1.1:1 P_1.pkg from 0", "DownloadFile 1.1.1.1:1 P_1.pkg from 10",
                "DownloadFile 2.2.2.2:2 P_1.pkg from 20", "DownloadFile 2.2.2.2:2 P_1.pkg from 30",
                "DownloadFile 3.3.3.3:3 P_1.pkg from 40", "DownloadFile 3.3.3.3:3 P_1.pkg from 50",
                "DownloadFile 1.1.1.1:1 P_1.pkg from 60", "DownloadFile 2.2.2.2:2 P_1.pkg from 70",
                "DownloadFile 3.3.3.3:3 P_1.pkg from 80"}));
  ASSERT_EQ(statuses.size(), 8u);
  EXPECT_EQ(statuses[0], "Connection lost, resuming download of P_1.pkg at 10%...");
  EXPECT_EQ(statuses[7], "Connection lost, resuming download of P_1.pkg at 80%...");
  EXPECT_FALSE(FileExists("P_1.pkg.part"));
  EXPECT_FALSE(FileExists("P_1.pkg"));
}

// Local refusals end the download at once: nothing is retried and nothing is left.
TEST_F(PackageInstallTest, TooLittleDiskSpaceOrAFailedWriteIsNotRetried) {
  CFakeServices services;
  services.files["P_1.pkg"] = std::string(5000, 'p');
  CPackageInstaller installer(services, {Address("1.1.1.1:1"), Address("2.2.2.2:2")}, nullptr);
  services.u64FreeDiskSpace = 4999;
  EXPECT_EQ(ErrorOf([&] { installer.DownloadPackage("P_1.pkg"); }),
            "not enough disk space for P_1.pkg: 5000 bytes needed, 4999 free");
  services.u64FreeDiskSpace = 5000;
  platform::InjectFailure("Write", 1);
  EXPECT_EQ(ErrorOf([&] { installer.DownloadPackage("P_1.pkg"); }), "write failed");
  EXPECT_EQ(services.Calls(), (std::vector<std::string>{"DownloadFile 1.1.1.1:1 P_1.pkg from 0",
                                                        "DownloadFile 1.1.1.1:1 P_1.pkg from 0"}));
  EXPECT_FALSE(FileExists("P_1.pkg.part"));
  EXPECT_FALSE(FileExists("P_1.pkg"));
}

SPackageDigest DigestOf(const std::string& sBytes) {
  SPackageDigest digest;
  digest.u64Size = sBytes.size();
  digest.hash = common::CSha256::Digest(sBytes.data(), sBytes.size());
  return digest;
}

// With the published size and hash: an earlier run's part file is resumed (read back once), a
// complete one needs no request, and any mismatch is refused without a retry, leaving nothing.
TEST_F(PackageInstallTest, APublishedHashDecidesResumeAndAcceptance) {
  const std::string sPackage = std::string(60, 'p') + std::string(40, 'q');
  std::string sFlipped = sPackage;
  sFlipped[70] ^= 0x10;
  struct SCase {
    std::string sPart;  // empty: none
    std::string sServed;
    uint64_t u64PublishedSize;
    const char* pszCall;  // the one download request, from the offset; null: none
    bool bAccepted;
  };
  const SCase aCases[] = {
      {sPackage.substr(0, 60), sPackage, 100, "DownloadFile 1.1.1.1:1 P_1.pkg from 60", true},
      {sPackage, "", 100, nullptr, true},
      {sPackage + "x", sPackage, 100, "DownloadFile 1.1.1.1:1 P_1.pkg from 0", true},
      {"not the package's first bytes", sPackage, 100, "DownloadFile 1.1.1.1:1 P_1.pkg from 29",
       false},
      {"", sFlipped, 100, "DownloadFile 1.1.1.1:1 P_1.pkg from 0", false},
      {"", sPackage, 101, "DownloadFile 1.1.1.1:1 P_1.pkg from 0", false},  // the lying length
  };
  for (const SCase& c : aCases) {
    CFakeServices services;
    services.files["P_1.pkg"] = c.sServed;
    if (!c.sPart.empty()) WriteFile("P_1.pkg.part", c.sPart);
    SPackageDigest digest = DigestOf(sPackage);
    digest.u64Size = c.u64PublishedSize;
    CPackageInstaller installer(services, {Address("1.1.1.1:1"), Address("2.2.2.2:2")}, nullptr);
    EXPECT_EQ(ErrorOf([&] { installer.DownloadPackage("P_1.pkg", &digest); }),
              c.bAccepted ? "(no exception)" : "package P_1.pkg does not match its published hash");
    EXPECT_EQ(services.Calls(),
              c.pszCall ? std::vector<std::string>{c.pszCall} : std::vector<std::string>{});
    EXPECT_EQ(ReadFile("P_1.pkg"), c.bAccepted ? sPackage : "");
    EXPECT_FALSE(FileExists("P_1.pkg.part"));
    std::remove("P_1.pkg");
  }
}

// A content server's side of one download of a 12-character name: keeps the requested offset,
// answers the file's information and its bytes from the offset up to u32SendTo, then closes.
// A server that refuses answers the handshake with 0.
larch_test::CScriptedServer::Script ContentServer(const std::string& sFile, uint32_t u32SendTo,
                                                  std::vector<uint32_t>* pOffsets,
                                                  bool bAccept = true) {
  return [=](larch_test::CServerConnection& c) {
    c.Read(4);
    c.Write(larch_test::Bytes({bAccept ? 1 : 0}));
    if (!bAccept) return;
    std::string sRequest = c.Read(25);
    uint32_t u32Offset = 0;
    for (size_t i = 5; i < 9 && i < sRequest.size(); ++i) {
      u32Offset = (u32Offset << 8) | static_cast<uint8_t>(sRequest[i]);
    }
    pOffsets->push_back(u32Offset);
    const uint32_t u32Size = static_cast<uint32_t>(sFile.size());
    c.Write(Bytes32(u32Size) + Bytes32(u32Size - u32Offset) +
            sFile.substr(u32Offset, u32SendTo - u32Offset));
    if (u32SendTo == u32Size) c.ReadUntilClosed();
  };
}

std::string PackageBytes(size_t uSize) {
  std::string s(uSize, '\0');
  for (size_t i = 0; i < uSize; ++i) s[i] = static_cast<char>((i * 13 + i / 509) & 0xFF);
  return s;
}

// Downloads with the real services from scripted content servers.
class RealDownloadTest : public PackageInstallTest {
 protected:
  void SetUp() override {
    PackageInstallTest::SetUp();
    m_pServices->StartNetwork(m_cancel);
  }
  void TearDown() override {
    m_pServices->StopNetwork();
    PackageInstallTest::TearDown();
  }
  std::string Download(const ServerList& servers, const SPackageDigest* pDigest = nullptr) {
    CPackageInstaller installer(
        *m_pServices, servers, nullptr, [this](const std::string& s) { m_statuses.push_back(s); },
        &m_cancel);
    return ErrorOf([&] { installer.DownloadPackage("CLIENT_2.pkg", pDigest); });
  }

  std::unique_ptr<IUpdateServices> m_pServices = MakeRealUpdateServices();
  CCancelToken m_cancel;
  std::vector<std::string> m_statuses;
  std::vector<uint32_t> m_offsets;  // requested, in order
  const std::string m_sFile = PackageBytes(100000);
};

// Cut at half the file, the download resumes after the last whole chunk on disk.
TEST_F(RealDownloadTest, ACutDownloadResumesFromTheBytesOnDisk) {
  larch_test::CScriptedServer server(
      {ContentServer(m_sFile, 50000, &m_offsets), ContentServer(m_sFile, 100000, &m_offsets)});
  EXPECT_EQ(Download({server.Address()}), "(no exception)");
  server.Join();
  EXPECT_EQ(m_offsets, (std::vector<uint32_t>{0, 32768}));
  EXPECT_EQ(
      m_statuses,
      (std::vector<std::string>{"Connection lost, resuming download of CLIENT_2.pkg at 32%..."}));
  EXPECT_TRUE(ReadFile("CLIENT_2.pkg") == m_sFile);
  EXPECT_FALSE(FileExists("CLIENT_2.pkg.part"));
}

// The bytes are hashed as they arrive, over both attempts; one flipped byte is refused.
TEST_F(RealDownloadTest, ACutDownloadIsHashedAcrossAttempts) {
  const SPackageDigest digest = DigestOf(m_sFile);
  std::string sFlipped = m_sFile;
  sFlipped[70000] ^= 0x01;
  larch_test::CScriptedServer server(
      {ContentServer(m_sFile, 50000, &m_offsets), ContentServer(m_sFile, 100000, &m_offsets),
       ContentServer(m_sFile, 50000, &m_offsets), ContentServer(sFlipped, 100000, &m_offsets)});
  EXPECT_EQ(Download({server.Address()}, &digest), "(no exception)");
  EXPECT_TRUE(ReadFile("CLIENT_2.pkg") == m_sFile);
  std::remove("CLIENT_2.pkg");
  EXPECT_EQ(Download({server.Address()}, &digest),
            "package CLIENT_2.pkg does not match its published hash");
  server.Join();
  EXPECT_EQ(m_offsets, (std::vector<uint32_t>{0, 32768, 0, 32768}));
  EXPECT_FALSE(FileExists("CLIENT_2.pkg"));
  EXPECT_FALSE(FileExists("CLIENT_2.pkg.part"));
}

TEST_F(RealDownloadTest, AServerThatAlwaysCutsFailsTheDownloadAfterThreeAttempts) {
  larch_test::CScriptedServer server(
      {ContentServer(m_sFile, 40000, &m_offsets), ContentServer(m_sFile, 72768, &m_offsets),
       ContentServer(m_sFile, 98304, &m_offsets), ContentServer(m_sFile, 100000, &m_offsets)});
  EXPECT_EQ(Download({server.Address()}),
            "Connection Closed by Peer, WinSock Error 0 \"No error\"");
  EXPECT_EQ(m_offsets, (std::vector<uint32_t>{0, 32768, 65536}));
  EXPECT_EQ(m_statuses.size(), 2u);
  EXPECT_FALSE(FileExists("CLIENT_2.pkg.part"));
  EXPECT_FALSE(FileExists("CLIENT_2.pkg"));
}

TEST_F(RealDownloadTest, AServerThatRefusesIsFollowedByTheNextOne) {
  larch_test::CScriptedServer refusing({ContentServer(m_sFile, 0, &m_offsets, false)});
  larch_test::CScriptedServer serving({ContentServer(m_sFile, 100000, &m_offsets)});
  EXPECT_EQ(Download({refusing.Address(), serving.Address()}), "(no exception)");
  refusing.Join();
  serving.Join();
  EXPECT_EQ(refusing.ConnectionsServed(), 1u);
  EXPECT_EQ(m_offsets, (std::vector<uint32_t>{0}));
  EXPECT_EQ(
      m_statuses,
      (std::vector<std::string>{"Connection lost, resuming download of CLIENT_2.pkg at 0%..."}));
  EXPECT_TRUE(ReadFile("CLIENT_2.pkg") == m_sFile);
}

// A server that announces another length than the one on disk is not used to go on with it.
TEST_F(RealDownloadTest, AServerWithAnotherLengthIsNotUsedToResume) {
  larch_test::CScriptedServer first({ContentServer(m_sFile, 50000, &m_offsets),
                                     ContentServer(m_sFile, 80000, &m_offsets),
                                     ContentServer(m_sFile, 100000, &m_offsets)});
  larch_test::CScriptedServer other({ContentServer(PackageBytes(90000), 90000, &m_offsets)});
  EXPECT_EQ(Download({first.Address(), other.Address()}), "(no exception)");
  first.Join();
  other.Join();
  EXPECT_EQ(m_offsets, (std::vector<uint32_t>{0, 32768, 65536, 65536}));
  EXPECT_EQ(other.ConnectionsServed(), 1u);
  EXPECT_TRUE(ReadFile("CLIENT_2.pkg") == m_sFile);
}

std::atomic<int> s_nProgressReports{0};
void CountProgress(int) {
  ++s_nProgressReports;
}

// The content server sends the first 40,000 bytes of a 1,000,000-byte package and then holds
// until the client goes; the user's Cancel ends the download at its next poll.
TEST_F(PackageInstallTest, CancelEndsAHeldDownloadWithTheAbortErrorAndNoFile) {
  const std::string sSize = larch_test::Bytes({0x00, 0x0F, 0x42, 0x40});  // 1,000,000
  larch_test::CScriptedServer server({[&](larch_test::CServerConnection& c) {
    c.Read(4);
    c.Write(larch_test::Bytes({1}));
    c.Read(13 + 12);
    c.Write(sSize + sSize + std::string(40000, 'x'));
    c.ReadUntilClosed();
  }});
  std::unique_ptr<IUpdateServices> pServices = MakeRealUpdateServices();
  CCancelToken cancel;
  pServices->StartNetwork(cancel);
  std::string sError = "no error";
  std::thread download([&] {
    try {
      CPackageInstaller(*pServices, {server.Address()}, &CountProgress)
          .DownloadPackage("CLIENT_5.pkg");
    } catch (const std::runtime_error& e) {
      sError = e.what();
    }
  });
  // The first chunk is in; the second waits for bytes that do not come.
  for (int i = 0; i < 500 && s_nProgressReports.load() < 2; ++i) {
    platform::SleepMilliseconds(10);
  }
  EXPECT_EQ(s_nProgressReports.load(), 2);
  cancel.Cancel();
  download.join();
  server.Join();
  pServices->StopNetwork();
  EXPECT_EQ(sError, "network receive aborted by caller");
  EXPECT_EQ(server.ConnectionsServed(), 1u);
  EXPECT_FALSE(FileExists("CLIENT_5.pkg"));
  EXPECT_FALSE(FileExists("CLIENT_5.pkg.part"));
}

}  // namespace
}  // namespace bootstrapper
