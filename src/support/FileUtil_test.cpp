#include "support/FileUtil.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "platform/FaultInjection.h"
#include "platform/SystemError.h"
#include "support/TestUtil.h"

namespace common {
namespace {

using larch_test::ErrorOf;

std::string ReadAll(const std::string& sPath) {
  std::ifstream in(sPath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(FileUtil, WritesWholeFilesIncludingEmptyOnes) {
  larch_test::CScratchDir dir;
  const char aBytes[] = {'a', '\0', 'b', '\n', 'c'};
  CFileUtil::WriteWholeFile(dir / "f.bin", aBytes, sizeof(aBytes));
  EXPECT_EQ(std::string(aBytes, sizeof(aBytes)), ReadAll(dir / "f.bin"));
  CFileUtil::WriteWholeFile(dir / "f.bin", "xy", 2);  // truncates
  EXPECT_EQ("xy", ReadAll(dir / "f.bin"));
  CFileUtil::WriteWholeFile(dir / "empty", aBytes, 0);
  EXPECT_TRUE(CFileUtil::FileExists(dir / "empty"));
  EXPECT_EQ("", ReadAll(dir / "empty"));
}

TEST(FileUtil, ReportsOpenAndWriteFailuresByName) {
  larch_test::CScratchDir dir;
  std::string sMissing = dir / "no-such-dir/out.bin";
  platform::InjectFailure("Open", 1, 2);
  EXPECT_EQ("Cannot open output file " + sMissing + ": " + platform::SystemErrorReason(2),
            ErrorOf([&] { CFileUtil::WriteWholeFile(sMissing, "x", 1); }));
  platform::InjectFailure("Write", 1);
  std::string sShort = dir / "short.bin";
  EXPECT_EQ("Failed to write output file " + sShort,
            ErrorOf([&] { CFileUtil::WriteWholeFile(sShort, "0123456789", 10); }));
  platform::ClearInjectedFailures();
  EXPECT_EQ("01234", ReadAll(sShort));  // the partly written file is left behind
}

TEST(FileUtil, FileExistsOnlyForRegularFiles) {
  larch_test::CScratchDir dir;
  EXPECT_FALSE(CFileUtil::FileExists(dir.Path()));
  EXPECT_FALSE(CFileUtil::FileExists(dir / "missing"));
  CFileUtil::WriteWholeFile(dir / "present", "1", 1);
  EXPECT_TRUE(CFileUtil::FileExists(dir / "present"));
}

}  // namespace
}  // namespace common
