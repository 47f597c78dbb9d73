#include "PublishDirectory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/TestUtil.h"

namespace larchserver {
namespace {

void WriteFile(const std::string& sPath, const std::string& sContent) {
  std::ofstream(sPath, std::ios::binary) << sContent;
}

TEST(PublishDirectory, OnlyPlainNamesAreServable) {
  for (const char* psz : {"Larch_12.pkg", "a", "Weft App_3.pkg", ".hidden", "x.y.z"}) {
    EXPECT_TRUE(CPublishDirectory::IsServableName(psz)) << psz;
  }
  for (const char* psz :
       {"", "..", "../secret", "a/../../b", "sub/file", "sub\\file", "/etc/passwd", "C:secret",
        "c:\\boot.ini", "a..b", "\\\\server\\share", "tab\tname"}) {
    EXPECT_FALSE(CPublishDirectory::IsServableName(psz)) << psz;
  }
  EXPECT_FALSE(CPublishDirectory::IsServableName(std::string("a\0b", 3)));
}

TEST(PublishDirectory, OpensPlainFilesOfTheDirectoryOnly) {
  larch_test::CScratchDir scratch;
  std::string sPublish = scratch / "publish";
  std::filesystem::create_directories(sPublish + "/sub");
  WriteFile(sPublish + "/a.pkg", "package bytes");
  WriteFile(sPublish + "/sub/b.pkg", "in a subdirectory");
  WriteFile(scratch / "secret", "outside");
  std::filesystem::create_symlink(scratch / "secret", sPublish + "/link.pkg");
  std::filesystem::create_symlink("a.pkg", sPublish + "/inner-link.pkg");

  CPublishDirectory dir(sPublish);
  platform::CFile file;
  uint64_t u64Size = 0;
  ASSERT_TRUE(dir.OpenServedFile("a.pkg", file, u64Size));
  EXPECT_EQ(13u, u64Size);
  file.Close();
  for (const char* psz :
       {"missing.pkg", "sub", "link.pkg", "inner-link.pkg", "../secret", "sub/b.pkg"}) {
    EXPECT_FALSE(dir.OpenServedFile(psz, file, u64Size)) << psz;
    EXPECT_FALSE(file.IsOpen()) << psz;
  }
}

}  // namespace
}  // namespace larchserver
