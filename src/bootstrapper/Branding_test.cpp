#include "bootstrapper/Branding.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace bootstrapper {
namespace {

std::string SplitError(const std::string& sValue) {
  std::string sName, sExt;
  try {
    SplitClientAppFileName(sValue, sName, sExt);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return sName + "|" + sExt;
}

TEST(Branding, ClientFileNameSplitsAtTheLastDotAndLowersTheExtension) {
  EXPECT_EQ(SplitError("CLIENT.DLL"), "CLIENT|dll");
  EXPECT_EQ(SplitError("a.b.exe"), "a.b|exe");
  EXPECT_EQ(SplitError("Game.Exe"), "Game|exe");
  EXPECT_EQ(SplitError("CLIENT"), "BRANDING ERROR: No client app extension provided (CLIENT)");
  EXPECT_EQ(SplitError("CLIENT.dl"),
            "BRANDING ERROR: Invalid client application extension type (dl)");
  EXPECT_EQ(SplitError("CLIENT.DLX"),
            "BRANDING ERROR: Invalid client application extension type (dlx)");
  EXPECT_EQ(SplitError("CLIENT."), "BRANDING ERROR: Invalid client application extension type ()");
  for (const char* psz : {"../evil.dll", "/tmp/evil.exe", "sub\\CLIENT.dll", "C:x.dll", "a/b"}) {
    EXPECT_EQ(SplitError(psz), std::string("BRANDING ERROR: Client application file name must not "
                                           "name a folder or a drive (") +
                                   psz + ")");
  }
}

TEST(Branding, OfflineStartIsYesNoOrNothing) {
  EXPECT_TRUE(OfflineStartFromBranding("yes"));
  EXPECT_FALSE(OfflineStartFromBranding("no"));
  EXPECT_FALSE(OfflineStartFromBranding(""));
  for (const char* psz : {"Yes", "1", "yes "}) {
    try {
      OfflineStartFromBranding(psz);
      ADD_FAILURE() << psz;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(),
                "BRANDING ERROR: OFFLINE_START is neither yes nor no (" + std::string(psz) + ")");
    }
  }
}

// The test program carries the branding the build preset.
TEST(Branding, ReadsThePresetStrings) {
  std::string sName, sExt;
  GetClientAppFileName(sName, sExt);
  EXPECT_EQ(sName + "." + sExt, "CLIENT.dll");
  EXPECT_EQ(LoadBrandedDirectoryServersText(), "127.0.0.1:27030");
  EXPECT_FALSE(LoadBrandedOfflineStart());
  try {
    LoadBrandingString("NO_SUCH_STRING", "CONFIGDATA");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Unable to find resource CONFIGDATA:NO_SUCH_STRING");
  }
}

}  // namespace
}  // namespace bootstrapper
