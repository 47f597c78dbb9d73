// 'larchtool pkg' as the operator runs it: the built tool, its exit code and its stderr.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "CommandTestUtil.h"
#include "platform/File.h"

namespace larchtool {
namespace {

// Runs 'larchtool pkg ARGS'; its exit code, and its stderr in sErr.
uint32_t RunPkg(const larch_test::CScratchDir& dir, const std::string& sArgs, std::string& sErr) {
  std::string sOut;
  return RunTool(dir, "pkg " + sArgs, sOut, sErr);
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
