// Installs that are all-or-nothing, end to end: a package that is damaged, or that does not fit
// on the disk, changes nothing installed; manifests of earlier runs are read whatever their
// repetitions and however long their names.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>

#include "Deployment.h"
#include "platform/Process.h"
#include "platform/Signals.h"

namespace {

using namespace larch_e2e;

// Incompressible bytes, the same on every run.
std::string Noise(size_t uSize) {
  std::string s(uSize, '\0');
  uint32_t u = 2463534242u;
  for (char& c : s) {
    u ^= u << 13, u ^= u >> 17, u ^= u << 5;
    c = static_cast<char>(u);
  }
  return s;
}

class InstallSafety : public Deployment {
 protected:
  // What `larchtool pkg extract` says of a package: the problem with its bytes.
  std::string ExtractError(const std::string& sPackage) {
    std::string sOut = m_dir / "extract.err";
    RunShell(Quote(LARCH_TOOL) + " pkg extract " + Quote(sPackage) + " -C " +
             Quote(m_dir / "extracted") + " 2> " + Quote(sOut));
    std::string sText = ReadFile(sOut);
    return sText.substr(0, sText.find('\n'));
  }
};

TEST_F(InstallSafety, DamagedPackagesChangeNothingInstalledAndARollbackLaunches) {
  StartServer();
  PublishClient(1, {{"a.txt", "a1"}, {"sub/b.txt", "b1"}});
  InstallBootstrapper();
  RunLarch();
  ASSERT_TRUE(WaitForStarts(1));
  const std::map<std::string, std::string> installed = Snapshot();

  PublishClient(2, {{"a.txt", "a2"}, {"big.bin", Noise(200000)}});
  const std::string sPackage = m_sPub + "/CLIENT_2.pkg";
  const std::string sGood = ReadFile(sPackage);
  std::string sFlipped = sGood;
  sFlipped[sFlipped.size() / 3] ^= 0x10;
  fs::create_directories(m_dir / "empty");
  WriteFile(m_dir / "a.txt", "a2");
  Tool("pkg create " + Quote(m_dir / "nofiles.pkg") + " " + Quote(m_dir / "empty"));
  Tool("pkg create " + Quote(m_dir / "noclient.pkg") + " " + Quote(m_dir / "a.txt"));
  const std::string sDamaged = "ERROR: package CLIENT_2.pkg is damaged: ";
  // The operator publishes the damaged bytes: the record vouches for them, the unpacking refuses.
  auto Publish = [&](const std::string& sBytes) {
    WriteFile(sPackage, sBytes);
    EditRecord([&](Weft::CClientConfigRecord& record) { AddDigest(record, false, "CLIENT_2"); });
  };
  for (const std::string& sBytes : {std::string(4096, '\0'), std::string(9, '\0')}) {
    Publish(sBytes);
    EXPECT_EQ(RunUntilError(), sDamaged + "corrupt pkg file header (invalid number of files)");
    EXPECT_EQ(Snapshot(), installed);
  }
  // These faults are the package reader's own texts, as larchtool shows them.
  for (const std::string& sBytes : {sGood.substr(0, sGood.size() / 2), sFlipped}) {
    Publish(sBytes);
    const std::string sProblem = ExtractError(sPackage);
    const std::string sLine = RunUntilError();
    EXPECT_EQ(sLine, sDamaged + sProblem);
    EXPECT_EQ(Snapshot(), installed);
  }
  // A package without files has no bytes at all; the content server refuses to serve it.
  const std::pair<const char*, std::string> cases[] = {
      {"nofiles", "ERROR: PublicContentServer: invalid file length (0)"},
      {"noclient", sDamaged + "does not hold CLIENT.dll"}};
  for (const auto& refusal : cases) {
    Publish(ReadFile(m_dir / (std::string(refusal.first) + ".pkg")));
    EXPECT_EQ(RunUntilError(), refusal.second);
    EXPECT_EQ(Snapshot(), installed);
  }

  // The operator goes back to version 1: the installed files are launched as they are.
  Tool("publish --dir " + Quote(m_sPub) + " --component CLIENT --version 1 " +
       Quote(m_dir / "client1/CLIENT.dll") + " " + Quote(m_dir / "client1/a.txt") + " " +
       Quote(m_dir / "client1/sub"));
  std::string sErr = RunLarch();
  ASSERT_TRUE(WaitForStarts(2));
  EXPECT_EQ(sErr.substr(sErr.find("Larch.exe is up-to-date")),
            "Larch.exe is up-to-date at version 0\nCLIENT.dll is up-to-date at v1\n");
  EXPECT_EQ(Snapshot(), installed);
}

// A manifest that an earlier run wrote with repeated lines, and entry names of the longest
// length a package holds, are read as the names they are.
TEST_F(InstallSafety, RepeatedManifestLinesAndLongestNamesUpdate) {
  StartServer();
  // "sub\" and 255 characters: 259, the longest entry name.
  const std::string sLongX = "sub/" + std::string(255, 'x');
  const std::string sLongY = "sub/" + std::string(255, 'y');
  PublishClient(1, {{sLongX, "x1"}, {sLongY, "y1"}, {"a.txt", "a1"}});
  InstallBootstrapper();
  RunLarch();
  ASSERT_TRUE(WaitForStarts(1));
  const std::string sManifest = ReadFile(Inst("CLIENT_1.mst"));
  EXPECT_EQ(Count(sManifest, "\n"), 4);
  WriteFile(Inst("CLIENT_1.mst"), sManifest + "\n" + sManifest);

  PublishClient(2, {{sLongX, "x2"}, {"a.txt", "a2"}});
  std::string sErr = RunLarch();
  ASSERT_TRUE(WaitForStarts(2));
  EXPECT_EQ(sErr.substr(sErr.find("Updating")),
            "Updating CLIENT.dll to version 2. Please wait...\n"
            "Updating CLIENT.dll to version 2. Unpacking please wait...\n"
            "Game version: 2\n"
            "CLIENT.dll has been updated to version 2\n");
  EXPECT_EQ(ReadFile(Inst(sLongX)), "x2");
  EXPECT_FALSE(Exists(Inst(sLongY)));
  EXPECT_FALSE(Exists(Inst("CLIENT_1.mst")));
  EXPECT_EQ(Version("ClientAppVersionNum"), "2");
}

// The installation on a small volume: the update that does not fit fails with the previous
// version intact, and completes once there is room.
TEST_F(InstallSafety, FullDiskKeepsTheInstalledVersionUntilThereIsRoom) {
  const uint64_t u64Exe = fs::file_size(LARCH_BOOTSTRAPPER);
  // Room for the bootstrapper, version 1 and the 3 MB package of version 2, not its unpacking.
  const uint64_t u64SizeK = (u64Exe >> 10) + 5 * 1024;
  if (RunShell("mount -t tmpfs -o size=" + std::to_string(u64SizeK) + "k tmpfs " + Quote(m_sInst) +
               " 2> /dev/null") != 0) {
    GTEST_SKIP() << "a tmpfs cannot be mounted here (this test needs root)";
  }
  struct SUnmount {
    std::string sDir;
    ~SUnmount() { RunShell("umount " + Quote(sDir)); }
  } unmount{m_sInst};
  StartServer();
  PublishClient(1, {{"a.txt", "a1"}});
  InstallBootstrapper();
  RunLarch();
  ASSERT_TRUE(WaitForStarts(1));
  const std::map<std::string, std::string> installed = Snapshot();

  const std::string sBig = Noise(3 << 20);
  PublishClient(2, {{"a.txt", "a2"}, {"big.bin", sBig}});
  EXPECT_EQ(RunUntilError(), "ERROR: error writing big.bin (errno = 28)");
  EXPECT_EQ(Snapshot(), installed);

  ASSERT_EQ(RunShell("mount -o remount,size=" + std::to_string(u64SizeK + 8 * 1024) + "k " +
                     Quote(m_sInst)),
            0);
  std::string sErr = RunLarch();
  ASSERT_TRUE(WaitForStarts(2));
  EXPECT_NE(sErr.find("CLIENT.dll has been updated to version 2\n"), std::string::npos) << sErr;
  EXPECT_TRUE(ReadFile(Inst("big.bin")) == sBig);
  EXPECT_EQ(ReadFile(Inst("a.txt")), "a2");
  EXPECT_EQ(Version("ClientAppVersionNum"), "2");
}

}  // namespace
