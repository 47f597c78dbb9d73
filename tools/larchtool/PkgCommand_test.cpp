// 'larchtool pkg' as the operator runs it: the built tool, its exit code and its stderr.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/File.h"
#include "platform/Process.h"
#include "support/TestUtil.h"

namespace larchtool {
namespace {

std::string FileText(const std::string& sPath) {
  std::vector<uint8_t> bytes = larch_test::ReadFileBytes(sPath);
  return std::string(bytes.begin(), bytes.end());
}

// Runs 'larchtool pkg ARGS'; its exit code, and its stderr in sErr.
uint32_t RunPkg(const larch_test::CScratchDir& dir, const std::string& sArgs, std::string& sErr) {
  platform::CProcess process;
  EXPECT_TRUE(process.Start("/bin/sh -c \"exec '" LARCH_TOOL "' pkg " + sArgs + " 2> '" +
                            dir / "err.txt" + "' > /dev/null\""));
  uint32_t uExit = 99;
  EXPECT_TRUE(process.Wait(60000, uExit));
  sErr = FileText(dir / "err.txt");
  return uExit;
}

TEST(PkgCommand, TwoFilesUnderOneNameAreRefusedAndThePackageIsLeftAsItWas) {
  larch_test::CScratchDir dir;
  for (const char* pszDir : {"d1", "d2"}) platform::MakeDirectory(dir / pszDir);
  for (const char* pszFile : {"d1/x.txt", "d2/x.txt", "d2/X.TXT"}) {
    std::ofstream(dir / pszFile) << pszFile;
  }
  const std::string sPkg = "'" + dir / "p.pkg" + "' ";
  std::string sErr;
  EXPECT_EQ(1u,
            RunPkg(dir, "create " + sPkg + "'" + dir / "d1/x.txt" + "' '" + dir / "d2/x.txt" + "'",
                   sErr));
  EXPECT_EQ(
      "two files would be stored as x.txt: " + dir / "d1/x.txt" + " and " + dir / "d2/x.txt" + "\n",
      sErr);
  EXPECT_EQ("", FileText(dir / "p.pkg"));

  ASSERT_EQ(0u, RunPkg(dir, "create " + sPkg + "'" + dir / "d1/x.txt" + "'", sErr));
  const std::string sBefore = FileText(dir / "p.pkg");
  EXPECT_EQ(1u, RunPkg(dir, "add " + sPkg + "'" + dir / "d2/X.TXT" + "'", sErr));
  EXPECT_EQ(
      dir / "d2/X.TXT" + " would be stored as X.TXT, which is already in the package as x.txt\n",
      sErr);
  EXPECT_EQ(sBefore, FileText(dir / "p.pkg"));
}

}  // namespace
}  // namespace larchtool
