// The publish directory's temporary names: a file takes its published name only once its bytes
// are on the disk.
#include "ReleaseDirectory.h"

#include <gtest/gtest.h>

#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "support/TestUtil.h"

namespace larchtool {
namespace {

std::vector<std::string> Names(const std::string& sDir) {
  std::vector<std::string> names;
  EXPECT_TRUE(platform::ListDirectory(sDir, names));
  return names;
}

TEST(TempName, AFileThatCannotBeFlushedNeverTakesItsName) {
  larch_test::CScratchDir dir;
  {
    CTempName name(dir.Path(), "W_1.pkg");
    larch_test::WriteFile(name.Path(), "package");
    platform::InjectFailure("Flush", 1);
    EXPECT_EQ("unable to write " + name.Path(), larch_test::ErrorOf([&] { name.Commit(); }));
    platform::ClearInjectedFailures();
  }
  EXPECT_EQ(std::vector<std::string>{}, Names(dir.Path()));
  {
    CTempName name(dir.Path(), "W_1.pkg");
    larch_test::WriteFile(name.Path(), "package");
    name.Commit();
  }
  EXPECT_EQ(std::vector<std::string>{"W_1.pkg"}, Names(dir.Path()));
  EXPECT_EQ("package", larch_test::ReadFile(dir / "W_1.pkg"));
}

}  // namespace
}  // namespace larchtool
