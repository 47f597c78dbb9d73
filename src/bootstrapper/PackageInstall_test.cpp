#include "bootstrapper/PackageInstall.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>

#include "bootstrapper/TestFakes.h"
#include "network/NetTestUtil.h"
#include "platform/FaultInjection.h"
#include "support/Assert.h"
#include "support/TestUtil.h"

namespace bootstrapper {
namespace {

using namespace bootstrapper_test;

class PackageInstallTest : public ::testing::Test {
 protected:
  void SetUp() override { m_pCwd = std::make_unique<CCurrentDirectory>(m_dir.Path()); }
  void TearDown() override {
    m_pCwd.reset();
    platform::ClearInjectedFailures();
  }

  std::string ErrorOf(void (*pfn)()) {
    try {
      pfn();
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "no error";
  }

  larch_test::CScratchDir m_dir;
  std::unique_ptr<CCurrentDirectory> m_pCwd;
};

TEST_F(PackageInstallTest, ManifestRoundTripAndReadingRules) {
  WritePackageManifest({"b.txt", "a\\c.txt", "a.txt"}, "N", 3);
  EXPECT_EQ(ReadFile("N_3.mst"), TextFile("b.txt\na\\c.txt\na.txt\n"));
  EXPECT_EQ(ReadManifest("N_3.mst"), (std::set<std::string>{"a.txt", "a\\c.txt", "b.txt"}));
  // The last line may lack its newline.
  WriteFile("x.mst", "one\ntwo");
  EXPECT_EQ(ReadManifest("x.mst"), (std::set<std::string>{"one", "two"}));
  // A long line is read in pieces of 259 characters.
  WriteFile("long.mst", std::string(300, 'q') + "\n");
  EXPECT_EQ(ReadManifest("long.mst"),
            (std::set<std::string>{std::string(259, 'q'), std::string(41, 'q')}));
}

TEST_F(PackageInstallTest, ManifestErrors) {
  WriteFile("dup.mst", "a\nb\na\n");
  try {
    ReadManifest("dup.mst");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "error reading dup.mst (unable to add to set)");
  }
  WriteFile("empty2.mst", "a\n\n\n");
  EXPECT_THROW(ReadManifest("empty2.mst"), std::runtime_error);
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

TEST_F(PackageInstallTest, StaleFilesGoOnlyWhenTheOldVersionListedThem) {
  WriteFile("N_1.mst", "a.txt\nb.txt\nsub\\c.txt\nmissing.txt\n");
  WriteFile("N_2.mst", "a.txt\n");
  WriteFile("a.txt", "a");
  WriteFile("b.txt", "b");
  ASSERT_TRUE(platform::SetReadOnly("b.txt", true));
  ASSERT_TRUE(platform::MakeDirectory("sub"));
  std::string sC = std::string("sub") + platform::PreferredSeparator() + "c.txt";
  WriteFile(sC, "c");
  DeleteStaleFiles("N", 1, 2);
  EXPECT_TRUE(FileExists("a.txt"));
  EXPECT_FALSE(FileExists("b.txt"));
  EXPECT_FALSE(FileExists(sC));
  EXPECT_TRUE(FileExists("sub"));  // directories stay
  EXPECT_FALSE(FileExists("N_1.mst"));
  EXPECT_TRUE(FileExists("N_2.mst"));
}

TEST_F(PackageInstallTest, FirstInstallAndReinstallDeleteNothing) {
  WriteFile("N_2.mst", "a.txt\n");
  WriteFile("x.txt", "x");
  DeleteStaleFiles("N", 0, 2);  // no N_0.mst
  EXPECT_TRUE(FileExists("N_2.mst"));
  DeleteStaleFiles("N", 2, 2);  // the same version again: its manifest stays
  EXPECT_TRUE(FileExists("N_2.mst"));
  WriteFile("N_0.mst", "x.txt\n");
  DeleteStaleFiles("N", 0, 0);
  EXPECT_TRUE(FileExists("N_0.mst"));
  EXPECT_TRUE(FileExists("x.txt"));
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
  DeleteStaleFiles("N", 1, 2);
  EXPECT_EQ(ReadFile(outside / "victim.txt"), "keep me");
  EXPECT_TRUE(FileExists("x.txt"));
  EXPECT_FALSE(IsNameInsideDirectory("/etc/passwd"));
  EXPECT_FALSE(IsNameInsideDirectory("\\\\server\\share\\f"));
  EXPECT_FALSE(IsNameInsideDirectory("a/../../f"));
  EXPECT_FALSE(IsNameInsideDirectory(""));
  EXPECT_TRUE(IsNameInsideDirectory("a..b/c..\\..d"));
}

TEST_F(PackageInstallTest, DeleteErrors) {
  try {
    DeleteStaleFiles("N", 1, 2);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Manifest file N_2.mst does not exist");
  }
  WriteFile("N_1.mst", "a.txt\n");
  WriteFile("N_2.mst", "b.txt\n");
  WriteFile("a.txt", "a");
  platform::InjectFailure("Remove", 1, 13);
  try {
    DeleteStaleFiles("N", 1, 2);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Unable to delete a.txt (errno = 13)");
  }
  platform::InjectFailure("Remove", 1, 5);
  // a.txt goes now; the old manifest's removal fails.
  try {
    WriteFile("a.txt", "a");
    platform::ClearInjectedFailures();
    platform::InjectFailure("SetReadOnly", 1, 1);
    DeleteStaleFiles("N", 1, 2);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Unable to delete a.txt (errno = 1)");
  }
}

TEST_F(PackageInstallTest, DownloadStoresTheFileUnderItsName) {
  CFakeServices services;
  services.files["P_1.pkg"] = "bytes";
  ServerList servers = {Address("1.2.3.4:5")};
  CPackageInstaller installer(services, servers, nullptr);
  installer.DownloadPackage("P_1.pkg");
  EXPECT_EQ(ReadFile("P_1.pkg"), "bytes");
  EXPECT_EQ(services.Calls(), (std::vector<std::string>{"GetFile 1.2.3.4:5 P_1.pkg"}));
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
  EXPECT_FALSE(FileExists("CLIENT_5.pkg"));
}

}  // namespace
}  // namespace bootstrapper
