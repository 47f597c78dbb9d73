#include "platform/File.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "platform/FaultInjection.h"
#include "platform/Process.h"
#include "platform/SystemError.h"
#include "support/TestUtil.h"

namespace platform {
namespace {

std::string ReadAll(const std::string& sPath) {
  CFile file;
  if (!file.Open(sPath, CFile::eRead)) return "<cannot open>";
  std::string sOut;
  char aBuf[7];
  for (int64_t n; (n = file.Read(aBuf, sizeof(aBuf))) > 0;)
    sOut.append(aBuf, static_cast<size_t>(n));
  return sOut;
}

TEST(PlatformFile, CreateWriteSeekTruncateAndRead) {
  larch_test::CScratchDir dir;
  std::string sPath = dir / "f.bin";
  {
    CFile file;
    ASSERT_TRUE(file.Open(sPath, CFile::eCreate));
    ASSERT_TRUE(file.Write("0123456789", 10));
    ASSERT_TRUE(file.Seek(2));
    ASSERT_TRUE(file.Write("ab", 2));
    uint64_t u64Size = 0;
    ASSERT_TRUE(file.GetSize(u64Size));
    EXPECT_EQ(10u, u64Size);
    ASSERT_TRUE(file.Truncate(6));
  }
  EXPECT_EQ("01ab45", ReadAll(sPath));
  SFileStatus status;
  ASSERT_TRUE(GetFileStatus(sPath, status));
  EXPECT_TRUE(status.bRegularFile);
  EXPECT_FALSE(status.bDirectory);
  EXPECT_EQ(6u, status.u64Size);

  CFile exclusive;
  EXPECT_FALSE(exclusive.Open(sPath, CFile::eCreateExclusive));
  EXPECT_TRUE(exclusive.Open(dir / "new.bin", CFile::eCreateExclusive));
}

TEST(PlatformFile, RenameReplacesAndInjectedFailuresComeFirst) {
  larch_test::CScratchDir dir;
  {
    CFile a, b;
    ASSERT_TRUE(a.Open(dir / "a", CFile::eCreate) && a.Write("A", 1));
    ASSERT_TRUE(b.Open(dir / "b", CFile::eCreate) && b.Write("B", 1));
  }
  InjectFailure("Rename", 2, 32);
  EXPECT_FALSE(RenameFile(dir / "a", dir / "b"));
  EXPECT_EQ(32u, GetLastSystemError());
  EXPECT_FALSE(RenameFile(dir / "a", dir / "b"));
  EXPECT_TRUE(RenameFile(dir / "a", dir / "b"));
  ClearInjectedFailures();
  EXPECT_EQ("A", ReadAll(dir / "b"));
  SFileStatus status;
  EXPECT_FALSE(GetFileStatus(dir / "a", status));
  EXPECT_TRUE(RemoveFile(dir / "b"));
  EXPECT_FALSE(RemoveFile(dir / "b"));
}

TEST(PlatformFile, InjectedShortWriteWritesHalfAndFails) {
  larch_test::CScratchDir dir;
  {
    CFile file;
    ASSERT_TRUE(file.Open(dir / "w", CFile::eCreate));
    InjectFailure("Write", 1);
    EXPECT_FALSE(file.Write("abcdef", 6));
    EXPECT_TRUE(file.Write("XY", 2));
  }
  EXPECT_EQ("abcXY", ReadAll(dir / "w"));
}

TEST(PlatformFile, DirectoriesReadOnlyAndFullPaths) {
  larch_test::CScratchDir dir;
  std::string sSub = dir / "sub";
  EXPECT_TRUE(MakeDirectory(sSub));
  EXPECT_TRUE(MakeDirectory(sSub));  // exists already: still true
  {
    CFile file;
    ASSERT_TRUE(file.Open(sSub + PreferredSeparator() + "x.txt", CFile::eCreate));
  }
  std::vector<std::string> names;
  ASSERT_TRUE(ListDirectory(dir.Path(), names));
  EXPECT_EQ(std::vector<std::string>{"sub"}, names);
  std::string sFile = sSub + PreferredSeparator() + "x.txt";
  ASSERT_TRUE(SetReadOnly(sFile, true));
  SFileStatus status;
  ASSERT_TRUE(GetFileStatus(sFile, status));
  EXPECT_TRUE(status.bReadOnly);
  EXPECT_LT(std::llabs(status.n64ModifiedTime - static_cast<int64_t>(std::time(nullptr))), 3600);
  EXPECT_TRUE(FlushDirectory(sSub));
  ASSERT_TRUE(SetReadOnly(sFile, false));
  ASSERT_TRUE(GetFileStatus(sFile, status));
  EXPECT_FALSE(status.bReadOnly);
  EXPECT_FALSE(RemoveEmptyDirectory(sSub));
  EXPECT_TRUE(RemoveFile(sFile));
  EXPECT_TRUE(RemoveEmptyDirectory(sSub));

  std::string sOld = GetWorkingDirectory();
  ASSERT_TRUE(SetWorkingDirectory(dir.Path()));
  std::string sFull = GetFullPath("a" + std::string(1, PreferredSeparator()) + ".." +
                                  PreferredSeparator() + "b.txt");
  EXPECT_EQ(GetFullPath(dir.Path()) + PreferredSeparator() + "b.txt", sFull);
  ASSERT_TRUE(SetWorkingDirectory(sOld));
}

TEST(PlatformFile, FreeDiskSpaceOfAVolume) {
  larch_test::CScratchDir dir;
  uint64_t u64Free = 0;
  ASSERT_TRUE(GetFreeDiskSpace(dir.Path(), u64Free));
  EXPECT_GT(u64Free, 0u);
  EXPECT_FALSE(GetFreeDiskSpace(dir / "missing/x", u64Free));
  InjectFailure("GetFreeDiskSpace", 1, 1234);
  EXPECT_FALSE(GetFreeDiskSpace(dir.Path(), u64Free));
  EXPECT_EQ(1234u, GetLastSystemError());
  EXPECT_TRUE(GetFreeDiskSpace(dir.Path(), u64Free));
}

TEST(PlatformProcess, EnvironmentAndExecutablePath) {
  std::string sValue;
  ASSERT_TRUE(SetEnvVar("LARCH_PLATFORM_TEST", "v 1"));
  ASSERT_TRUE(GetEnvVar("LARCH_PLATFORM_TEST", sValue));
  EXPECT_EQ("v 1", sValue);
  ASSERT_TRUE(UnsetEnvVar("LARCH_PLATFORM_TEST"));
  EXPECT_FALSE(GetEnvVar("LARCH_PLATFORM_TEST", sValue));
  std::string sExe;
  ASSERT_TRUE(GetExecutablePath(sExe));
  SFileStatus status;
  EXPECT_TRUE(GetFileStatus(sExe, status) && status.bRegularFile);
}

// Child: exits with the code given as its argument.
const bool s_bExitChild =
    larch_test::RegisterChild("exit-with", [](const std::string& s) { return std::stoi(s); });

TEST(PlatformProcess, StartWaitAndExitCode) {
  CProcess child;
  ASSERT_TRUE(larch_test::StartChild("exit-with", "7", child));
  uint32_t uExit = 0;
  ASSERT_TRUE(child.Wait(30000, uExit));
  EXPECT_EQ(7u, uExit);
  InjectFailure("StartProcess", 1);
  CProcess refused;
  EXPECT_FALSE(larch_test::StartChild("exit-with", "0", refused));
  ClearInjectedFailures();
}

}  // namespace
}  // namespace platform
