// Branding a Windows executable: the strings read and rewritten in the file by the portable
// resource rewriter, checked here with the system's own loader: the program's resource look-up
// finds the new strings, every other resource loads with its old bytes, and the rewritten
// program still runs. The test binary carries the bootstrapper's resources and brands copies of
// itself.
#include "BrandWindowsExe.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "PeResources.h"
#include "platform/FaultInjection.h"
#include "platform/Process.h"
#include "support/TestUtil.h"

namespace larchtool {
namespace {

const WORD sc_wNeutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);
const WORD sc_wEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
const char sc_szClient[] = "CLIENTAPP_FILENAME";
const char sc_szServers[] = "GENERALDIRECTORYSERVER_IPADDRPORTS";

std::string OwnExe() {
  std::string sExe;
  platform::GetExecutablePath(sExe);
  return sExe;
}

// A copy of the test binary in a scratch directory.
std::string CopyOwnExe(const larch_test::CScratchDir& dir) {
  std::string sCopy = dir / "Larch.exe";
  std::filesystem::copy_file(OwnExe(), sCopy);
  return sCopy;
}

// The text the program's own look-up (no language named) finds in an executable file.
std::string LoadedText(const std::string& sExe, const char* pszName) {
  HMODULE hModule = ::LoadLibraryExA(sExe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!hModule) return "<not loaded>";
  std::string sText = "<missing>";
  HRSRC hRes = ::FindResourceA(hModule, pszName, "CONFIGDATA");
  if (hRes) {
    const char* p = static_cast<const char*>(::LockResource(::LoadResource(hModule, hRes)));
    sText = std::string(p, ::SizeofResource(hModule, hRes));
  }
  ::FreeLibrary(hModule);
  return sText;
}

std::vector<std::pair<WORD, std::string>> FileVariants(const std::string& sExe,
                                                       const char* pszName) {
  std::vector<std::pair<WORD, std::string>> variants;
  std::vector<uint8_t> image = larch_test::ReadFileBytes(sExe);
  for (const SPeResource& r : FindPeResources(image, "configdata", pszName, sExe)) {
    variants.emplace_back(r.u16Language, r.sData);
  }
  return variants;
}

TEST(PeResources, ReadsTheBrandingVariantsTheLoaderSees) {
  std::string sExe = OwnExe();
  EXPECT_TRUE(IsWindowsExecutable(larch_test::ReadFileBytes(sExe)));
  using V = std::vector<std::pair<WORD, std::string>>;
  EXPECT_EQ(FileVariants(sExe, sc_szClient), (V{{sc_wEnglishUs, std::string("LARCHCLI.DLL", 13)}}));
  V servers{{sc_wNeutral, std::string("198.51.100.123:27030 198.51.100.123:27030", 42)},
            {sc_wEnglishUs, std::string(":27131 :27231", 14)}};
  EXPECT_EQ(FileVariants(sExe, sc_szServers), servers);
  std::string sLoaded = LoadedText(sExe, sc_szServers);
  EXPECT_TRUE(sLoaded == servers[0].second || sLoaded == servers[1].second) << sLoaded;
  EXPECT_TRUE(FileVariants(sExe, "NO_SUCH_NAME").empty());
}

TEST(PeResources, RejectsWhatIsNoExecutableOrIsCutShort) {
  EXPECT_FALSE(IsWindowsExecutable({}));
  EXPECT_FALSE(IsWindowsExecutable(std::vector<uint8_t>(100, 'M')));
  std::vector<uint8_t> image = larch_test::ReadFileBytes(OwnExe());
  // The headers stay, the resource section is gone.
  image.resize(4096);
  ASSERT_TRUE(IsWindowsExecutable(image));
  EXPECT_EQ(
      larch_test::ErrorOf([&] { FindPeResources(image, "CONFIGDATA", sc_szClient, "cut.exe"); }),
      "cut.exe: damaged Windows executable (structure beyond the file)");
}

TEST(BrandWindowsExe, RewritesEveryVariantSoTheProgramFindsTheNewStrings) {
  larch_test::CScratchDir dir;
  std::string sExe = CopyOwnExe(dir);
  std::string sClient = "CLIENT.exe";
  std::string sServers = "127.0.0.1:27030 127.0.0.1:27031";
  BrandWindowsExe(
      sExe, larch_test::ReadFileBytes(sExe),
      {{"CLIENTAPP_FILENAME", sClient}, {"GENERALDIRECTORYSERVER_IPADDRPORTS", sServers}}, false);

  using V = std::vector<std::pair<WORD, std::string>>;
  std::string sClientBytes("CLIENT.exe", 11), sServerBytes(sServers.c_str(), sServers.size() + 1);
  EXPECT_EQ(LoadedText(sExe, sc_szClient), sClientBytes);
  EXPECT_EQ(LoadedText(sExe, sc_szServers), sServerBytes);
  EXPECT_EQ(FileVariants(sExe, sc_szClient), (V{{sc_wEnglishUs, sClientBytes}}));
  EXPECT_EQ(FileVariants(sExe, sc_szServers),
            (V{{sc_wNeutral, sServerBytes}, {sc_wEnglishUs, sServerBytes}}));

  // Only one string: the other stays.
  std::string sOther = "10.0.0.1:5273";
  BrandWindowsExe(sExe, larch_test::ReadFileBytes(sExe),
                  {{"GENERALDIRECTORYSERVER_IPADDRPORTS", sOther}}, false);
  EXPECT_EQ(FileVariants(sExe, sc_szClient), (V{{sc_wEnglishUs, sClientBytes}}));
  EXPECT_EQ(FileVariants(sExe, sc_szServers)[0].second, std::string("10.0.0.1:5273", 14));
}

TEST(BrandWindowsExe, LeavesTheFileAsItWasOnEveryFailure) {
  larch_test::CScratchDir dir;
  std::string sExe = CopyOwnExe(dir);
  std::vector<uint8_t> before = larch_test::ReadFileBytes(sExe);

  std::string sLong(1024, 'a');
  EXPECT_EQ(larch_test::ErrorOf([&] {
              BrandWindowsExe(sExe, before, {{"GENERALDIRECTORYSERVER_IPADDRPORTS", sLong}}, false);
            }),
            "BRANDING ERROR: GENERALDIRECTORYSERVER_IPADDRPORTS is longer than 1023 characters");
  EXPECT_EQ(larch_test::ReadFileBytes(sExe), before);

  std::string sClient = "CLIENT.dll";
  platform::InjectFailure("Rename", 1, ERROR_SHARING_VIOLATION);
  EXPECT_EQ(larch_test::ErrorOf([&] {
              BrandWindowsExe(sExe, before, {{"CLIENTAPP_FILENAME", sClient}}, false);
            }),
            "Failed to replace " + sExe);
  platform::ClearInjectedFailures();
  EXPECT_EQ(larch_test::ReadFileBytes(sExe), before);
  EXPECT_FALSE(std::filesystem::exists(sExe + ".branding"));
}

// The bytes of a resource as the system's loader gives them; "<missing>" when it finds none.
std::string LoadedResource(HMODULE hModule, const char* pszType, WORD wId) {
  HRSRC hRes = ::FindResourceA(hModule, MAKEINTRESOURCEA(wId), pszType);
  if (!hRes) return "<missing>";
  const char* p = static_cast<const char*>(::LockResource(::LoadResource(hModule, hRes)));
  return p ? std::string(p, ::SizeofResource(hModule, hRes)) : "<not loaded>";
}

// Dialogs 100, 102 and 135, bitmaps 133 and 134, the icon group 128, the string block of 101,
// the version information and the manifest, as the loader sees them in an executable file.
std::vector<std::string> OtherResources(const std::string& sExe) {
  std::vector<std::string> texts;
  HMODULE hModule = ::LoadLibraryExA(sExe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!hModule) return {"<not loaded>"};
  for (WORD wDialog : {100, 102, 135}) texts.push_back(LoadedResource(hModule, RT_DIALOG, wDialog));
  for (WORD wBitmap : {133, 134}) texts.push_back(LoadedResource(hModule, RT_BITMAP, wBitmap));
  texts.push_back(LoadedResource(hModule, RT_GROUP_ICON, 128));
  texts.push_back(LoadedResource(hModule, RT_STRING, 101 / 16 + 1));
  texts.push_back(LoadedResource(hModule, RT_VERSION, 1));
  texts.push_back(LoadedResource(hModule, RT_MANIFEST, 1));
  ::FreeLibrary(hModule);
  return texts;
}

TEST(RewritePeResources, TheLoaderFindsTheNewStringsAndEveryOtherResourceAndTheProgramRuns) {
  larch_test::CScratchDir dir;
  std::string sExe = dir / "Rewritten.exe";
  std::vector<uint8_t> image = larch_test::ReadFileBytes(OwnExe());
  std::string sClient("GAME.exe", 9), sServers("127.0.0.1:27030 127.0.0.1:27031", 32);
  std::vector<SExeResourceUpdate> updates(3);
  updates[0].sType = updates[1].sType = updates[2].sType = "CONFIGDATA";
  updates[0].sName = sc_szClient;
  updates[0].u16Language = sc_wEnglishUs;
  updates[0].data.assign(sClient.begin(), sClient.end());
  updates[1].sName = updates[2].sName = sc_szServers;
  updates[1].u16Language = sc_wNeutral;
  updates[2].u16Language = sc_wEnglishUs;
  updates[1].data.assign(sServers.begin(), sServers.end());
  updates[2].data = updates[1].data;
  std::vector<uint8_t> rewritten = RewritePeResources(image, updates, sExe);
  {
    std::ofstream out(sExe, std::ios::binary);
    out.write(reinterpret_cast<const char*>(rewritten.data()),
              static_cast<std::streamsize>(rewritten.size()));
  }

  EXPECT_EQ(LoadedText(sExe, sc_szClient), sClient);
  EXPECT_EQ(LoadedText(sExe, sc_szServers), sServers);
  std::vector<std::string> before = OtherResources(OwnExe());
  for (const std::string& sText : before)
    EXPECT_TRUE(sText != "<missing>" && sText != "<not loaded>");
  EXPECT_EQ(OtherResources(sExe), before);

  // The rewritten program starts and runs to its end.
  platform::CProcess process;
  ASSERT_TRUE(process.Start("\"" + sExe + "\" --gtest_list_tests"));
  uint32_t uExitCode = 1;
  ASSERT_TRUE(process.Wait(60000, uExitCode));
  EXPECT_EQ(uExitCode, 0u);
}

}  // namespace
}  // namespace larchtool
