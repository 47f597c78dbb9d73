#include "bootstrapper/InstallLayout.h"

#include <gtest/gtest.h>

namespace bootstrapper {
namespace {

TEST(InstallLayout, NamesOfAnInstallation) {
  CInstallLayout layout = CInstallLayout::FromExecutablePath("C:games/Larch.exe");
  EXPECT_EQ(layout.BaseName(), "Larch");
  EXPECT_EQ(layout.Executable(), "Larch.exe");
  EXPECT_EQ(layout.TemporaryCopy(), "LarchTmp.exe");
  EXPECT_EQ(layout.NewExecutable(), "LarchNew.exe");
  EXPECT_EQ(layout.VersionFile(), "Larch.blb");
  EXPECT_EQ(layout.Package(12), "Larch_12.pkg");
  EXPECT_EQ(CInstallLayout::PackageName("CLIENT", 7), "CLIENT_7.pkg");
  EXPECT_EQ(CInstallLayout::PackageName("CLIENT", "07"), "CLIENT_07.pkg");
  EXPECT_EQ(CInstallLayout::ManifestName("CLIENT", 7), "CLIENT_7.mst");
  // Without extension (a POSIX program): the executable and its copy have none either; the new
  // executable keeps the name packages give it.
  const CInstallLayout bare = CInstallLayout::FromExecutablePath("/opt/my.games/B");
  EXPECT_EQ(bare.Executable() + " " + bare.TemporaryCopy() + " " + bare.NewExecutable() + " " +
                bare.VersionFile(),
            "B BTmp BNew.exe B.blb");
  EXPECT_EQ(layout.StagingFolder(), "Larch.staging");
  EXPECT_EQ(layout.Journal(), "Larch.journal");
  EXPECT_TRUE(CInstallLayout::IsManifestNameOf("CLIENT_12.mst", "CLIENT"));
  for (const char* pszName : {"CLIENT_.mst", "CLIENT_1x.mst", "CLIENT_X_1.mst", "CLIENT_1.pkg"}) {
    EXPECT_FALSE(CInstallLayout::IsManifestNameOf(pszName, "CLIENT")) << pszName;
  }
}

}  // namespace
}  // namespace bootstrapper
