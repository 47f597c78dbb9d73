// The portable resource rewriter on small images built here, and on a real Larch.exe from a
// Windows build when one is there. Whether the system's loader accepts the result is checked
// under Wine by tests/windows/BrandWindowsExe_test.cpp.
#include "PeResources.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "BrandWindowsExe.h"
#include "PeTestImage.h"
#include "support/TestUtil.h"
#include "support/Version.h"

namespace larchtool {
namespace {

SExeResourceUpdate Update(const std::string& sType, const std::string& sName, uint16_t u16Language,
                          const std::string& sData) {
  SExeResourceUpdate update;
  update.sType = sType;
  update.sName = sName;
  update.u16Language = u16Language;
  update.data.assign(sData.begin(), sData.end());
  return update;
}

SExeResourceUpdate Deletion(const std::string& sType, const std::string& sName,
                            uint16_t u16Language) {
  SExeResourceUpdate update = Update(sType, sName, u16Language, "");
  update.bDelete = true;
  return update;
}

using V = std::vector<std::pair<uint16_t, std::string>>;
V Variants(const std::vector<uint8_t>& image, const std::string& sType, const std::string& sName) {
  V variants;
  for (const SPeResource& r : FindPeResources(image, sType, sName, "test.exe")) {
    variants.emplace_back(r.u16Language, r.sData);
  }
  return variants;
}

// A bootstrapper's resources: branding strings in two languages, an icon group, a bitmap.
std::vector<uint8_t> BrandedImage() {
  std::string sBitmap(1001, '\0');
  for (size_t u = 0; u < sBitmap.size(); ++u) sBitmap[u] = static_cast<char>(u * 13);
  return RewritePeResources(
      SmallImage(),
      {Update("CONFIGDATA", "CLIENTAPP_FILENAME", 0x409, std::string("LARCHCLI.DLL", 13)),
       Update("CONFIGDATA", "GENERALDIRECTORYSERVER_IPADDRPORTS", 0, std::string("a:1 a:1", 8)),
       Update("CONFIGDATA", "GENERALDIRECTORYSERVER_IPADDRPORTS", 0x409, std::string(":2 :3", 6)),
       Update("#14", "#128", 0x409, "icon group"), Update("#2", "#133", 0x409, sBitmap)},
      "test.exe");
}

TEST(RewritePeResources, AddsReplacesAndDeletesVariantsAndKeepsTheRestByteForByte) {
  std::vector<uint8_t> image = BrandedImage();
  std::vector<uint8_t> before = image;
  std::string sBitmap = Variants(image, "#2", "#133").at(0).second;
  EXPECT_EQ(Variants(image, "configdata", "clientapp_filename"),
            (V{{0x409, std::string("LARCHCLI.DLL", 13)}}));
  EXPECT_EQ(Variants(image, "CONFIGDATA", "GENERALDIRECTORYSERVER_IPADDRPORTS"),
            (V{{0, std::string("a:1 a:1", 8)}, {0x409, std::string(":2 :3", 6)}}));
  EXPECT_EQ(Variants(image, "#14", "#128"), (V{{0x409, "icon group"}}));

  // One variant replaced with a longer text, one deleted, one new language added.
  image = RewritePeResources(
      image,
      {Update("CONFIGDATA", "CLIENTAPP_FILENAME", 0x409, std::string("A-MUCH-LONGER-NAME.exe", 23)),
       Deletion("configdata", "GENERALDIRECTORYSERVER_IPADDRPORTS", 0x409),
       Update("CONFIGDATA", "CLIENTAPP_FILENAME", 0x407, "X.dll")},
      "test.exe");
  EXPECT_EQ(Variants(image, "CONFIGDATA", "CLIENTAPP_FILENAME"),
            (V{{0x407, "X.dll"}, {0x409, std::string("A-MUCH-LONGER-NAME.exe", 23)}}));
  EXPECT_EQ(Variants(image, "CONFIGDATA", "GENERALDIRECTORYSERVER_IPADDRPORTS"),
            (V{{0, std::string("a:1 a:1", 8)}}));
  EXPECT_EQ(Variants(image, "#14", "#128"), (V{{0x409, "icon group"}}));
  EXPECT_EQ(Variants(image, "#2", "#133"), (V{{0x409, sBitmap}}));
  // The code section is untouched.
  EXPECT_EQ(std::vector<uint8_t>(image.begin() + sc_uFileAlignment,
                                 image.begin() + 2 * sc_uFileAlignment),
            std::vector<uint8_t>(before.begin() + sc_uFileAlignment,
                                 before.begin() + 2 * sc_uFileAlignment));

  // Deleting the last variant of a name removes the name, and the type with its last name;
  // deleting what is not there changes nothing.
  image = RewritePeResources(
      image,
      {Deletion("#14", "#128", 0x409), Deletion("#14", "#999", 0), Deletion("NOTYPE", "X", 0)},
      "test.exe");
  EXPECT_TRUE(Variants(image, "#14", "#128").empty());
  EXPECT_EQ(Variants(image, "#2", "#133"), (V{{0x409, sBitmap}}));
}

// The names of one directory level, in the file's order ("#n" for numbers).
std::vector<std::string> Level(const std::vector<uint8_t>& image, size_t uRoot, size_t uDir) {
  std::vector<std::string> names;
  size_t uCount = Get16(image, uDir + 12) + Get16(image, uDir + 14);
  for (size_t u = 0; u < uCount; ++u) {
    uint32_t uName = Get32(image, uDir + 16 + 8 * u);
    if (!(uName & 0x80000000u)) {
      names.push_back("#" + std::to_string(uName));
      continue;
    }
    size_t uAt = uRoot + (uName & 0x7FFFFFFFu);
    std::string sName;
    for (uint16_t v = 0; v < Get16(image, uAt); ++v)
      sName += static_cast<char>(image[uAt + 2 + 2 * v]);
    names.push_back(sName);
  }
  return names;
}

TEST(RewritePeResources, LaysOutTheSectionAsTheLoaderSearchesIt) {
  std::vector<uint8_t> image = RewritePeResources(
      SmallImage(),
      {Update("#3", "#2", 0, "i2"), Update("zeta", "n", 0, "z"), Update("#3", "#1", 0, "i1"),
       Update("Alpha", "b_name", 0, "1"), Update("Alpha", "#7", 0, "2"),
       Update("Alpha", "A_NAME", 0, "3"), Update("Alpha", "_under", 0, "4")},
      "test.exe");
  // Appended as the second section; the directory points at its start and covers it exactly.
  ASSERT_EQ(Get16(image, sc_uCoff + 2), 2);
  size_t uHeader = sc_uSectionTable + 40;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&image[uHeader]), 8),
            std::string(".rsrc\0\0\0", 8));
  uint32_t uRva = Get32(image, uHeader + 12), uSize = Get32(image, uHeader + 8);
  EXPECT_EQ(uRva, 0x2000u);
  EXPECT_EQ(Get32(image, sc_uOptional + 96 + 16), uRva);
  EXPECT_EQ(Get32(image, sc_uOptional + 96 + 20), uSize);
  EXPECT_EQ(Get32(image, sc_uOptional + 56), 0x3000u);  // size of image
  EXPECT_EQ(Get32(image, uHeader + 16) % sc_uFileAlignment, 0u);
  EXPECT_EQ(image.size(), Get32(image, uHeader + 20) + Get32(image, uHeader + 16));

  // Named entries first, by upper-case name ('_' sorts after the letters there, before them in
  // lower case), then numbers ascending.
  size_t uRoot = Get32(image, uHeader + 20);
  EXPECT_EQ(Level(image, uRoot, uRoot), (std::vector<std::string>{"Alpha", "zeta", "#3"}));
  EXPECT_EQ(Get16(image, uRoot + 12), 2);
  EXPECT_EQ(Get16(image, uRoot + 14), 1);
  size_t uAlpha = uRoot + (Get32(image, uRoot + 20) & 0x7FFFFFFFu);
  EXPECT_EQ(Level(image, uRoot, uAlpha),
            (std::vector<std::string>{"A_NAME", "b_name", "_under", "#7"}));
  size_t uIcons = uRoot + (Get32(image, uRoot + 16 + 2 * 8 + 4) & 0x7FFFFFFFu);
  EXPECT_EQ(Level(image, uRoot, uIcons), (std::vector<std::string>{"#1", "#2"}));
  EXPECT_EQ(Variants(image, "ALPHA", "_UNDER"), (V{{0, "4"}}));

  // Empty data, even as the last block, has an address inside the section.
  image = RewritePeResources(image, {Update("zeta", "z", 0, "")}, "test.exe");
  EXPECT_EQ(Variants(image, "zeta", "z"), (V{{0, ""}}));
}

TEST(RewritePeResources, ReplacesALastResourceSectionAndAppendsBehindAnyOther) {
  std::vector<uint8_t> image = BrandedImage();
  ASSERT_EQ(Get16(image, sc_uCoff + 2), 2);
  // Last section: rewritten where it is, growing the image.
  std::string sLong(5000, 'x');
  std::vector<uint8_t> grown =
      RewritePeResources(image, {Update("CONFIGDATA", "CLIENTAPP_FILENAME", 0x409, sLong)}, "t");
  EXPECT_EQ(Get16(grown, sc_uCoff + 2), 2);
  EXPECT_EQ(Get32(grown, sc_uOptional + 56), 0x4000u);
  EXPECT_EQ(Variants(grown, "CONFIGDATA", "CLIENTAPP_FILENAME"), (V{{0x409, sLong}}));

  // A section behind it, symbols and appended data behind that: a new last section, the old
  // one left as it was, and what followed the sections moved behind the new one with the
  // symbol table's offset.
  AddSection(image, ".reloc", std::vector<uint8_t>(0x30, 0xEE));
  size_t uSectionsEnd = image.size();
  std::string sTrailer = "SYMBOLS AND MORE";
  image.insert(image.end(), sTrailer.begin(), sTrailer.end());
  Set32(image, sc_uCoff + 8, static_cast<uint32_t>(uSectionsEnd));
  Set32(image, sc_uOptional + 64, 0x12345);  // a checksum, recomputed for the new file
  std::vector<uint8_t> rewritten =
      RewritePeResources(image, {Update("CONFIGDATA", "CLIENTAPP_FILENAME", 0x409, "N.exe")}, "t");
  ASSERT_EQ(Get16(rewritten, sc_uCoff + 2), 4);
  size_t uNew = sc_uSectionTable + 3 * 40;
  EXPECT_EQ(Get32(rewritten, uNew + 12), 0x4000u);
  EXPECT_EQ(Get32(rewritten, uNew + 20), uSectionsEnd);
  EXPECT_EQ(Get32(rewritten, sc_uOptional + 96 + 16), 0x4000u);
  EXPECT_EQ(Get32(rewritten, sc_uOptional + 56), 0x5000u);
  EXPECT_EQ(std::vector<uint8_t>(rewritten.begin(), rewritten.begin() + uNew), [&] {
    std::vector<uint8_t> head(image.begin(), image.begin() + uNew);
    Set16(head, sc_uCoff + 2, 4);
    Set32(head, sc_uCoff + 8, Get32(rewritten, sc_uCoff + 8));
    Set32(head, sc_uOptional + 8, Get32(rewritten, sc_uOptional + 8));
    Set32(head, sc_uOptional + 56, 0x5000);
    Set32(head, sc_uOptional + 64, Get32(rewritten, sc_uOptional + 64));
    Set32(head, sc_uOptional + 96 + 16, 0x4000);
    Set32(head, sc_uOptional + 96 + 20, Get32(rewritten, uNew + 8));
    return head;
  }());
  EXPECT_EQ(
      std::vector<uint8_t>(rewritten.begin() + sc_uFileAlignment, rewritten.begin() + uSectionsEnd),
      std::vector<uint8_t>(image.begin() + sc_uFileAlignment, image.begin() + uSectionsEnd));
  size_t uSymbols = Get32(rewritten, sc_uCoff + 8);
  EXPECT_EQ(uSymbols, uSectionsEnd + Get32(rewritten, uNew + 16));
  EXPECT_EQ(std::string(rewritten.begin() + uSymbols, rewritten.end()), sTrailer);
  EXPECT_NE(Get32(rewritten, sc_uOptional + 64), 0x12345u);
  EXPECT_NE(Get32(rewritten, sc_uOptional + 64), 0u);
  EXPECT_EQ(Variants(rewritten, "CONFIGDATA", "CLIENTAPP_FILENAME"), (V{{0x409, "N.exe"}}));
  EXPECT_EQ(Variants(rewritten, "#2", "#133"), Variants(image, "#2", "#133"));
}

TEST(RewritePeResources, RefusesWhatItCannotRewriteWithTheReason) {
  std::vector<SExeResourceUpdate> updates{Update("CONFIGDATA", "X", 0, "y")};
  auto Rewrite = [&](const std::vector<uint8_t>& image) {
    return larch_test::ErrorOf([&] { RewritePeResources(image, updates, "L.exe"); });
  };
  std::vector<uint8_t> wide = SmallImage();
  Set16(wide, sc_uOptional, 0x20B);
  EXPECT_EQ(Rewrite(wide),
            "L.exe: cannot rewrite its resources (64-bit (PE32+) executables are "
            "not supported)");

  std::vector<uint8_t> signedImage = SmallImage();
  Set32(signedImage, sc_uOptional + 96 + 4 * 8, 0x400);
  Set32(signedImage, sc_uOptional + 96 + 4 * 8 + 4, 0x100);
  EXPECT_EQ(Rewrite(signedImage),
            "L.exe: cannot rewrite its resources (it is signed, and its signature would no longer "
            "match)");

  // The headers' space is full up to the first section's data.
  std::vector<uint8_t> full = SmallImage();
  std::fill(full.begin() + sc_uSectionTable + 40, full.begin() + sc_uFileAlignment, 0xCC);
  EXPECT_EQ(Rewrite(full),
            "L.exe: cannot rewrite its resources (no room for another section "
            "header)");

  std::vector<uint8_t> cut = BrandedImage();
  cut.resize(cut.size() - 0x100);
  EXPECT_EQ(Rewrite(cut), "L.exe: damaged Windows executable (structure beyond the file)");
  EXPECT_EQ(Rewrite(std::vector<uint8_t>(64, 'M')),
            "L.exe: damaged Windows executable (no PE header)");

  // A directory that points back at itself.
  std::vector<uint8_t> loop = BrandedImage();
  size_t uRoot = Get32(loop, sc_uSectionTable + 40 + 20);
  Set32(loop, uRoot + 16 + 4, 0x80000000u);
  EXPECT_EQ(Rewrite(loop), "L.exe: damaged Windows executable (resource directory used twice)");
}

TEST(BrandWindowsExe, WritesTheStringsIntoTheFileOrLeavesItAsItWas) {
  larch_test::CScratchDir dir;
  std::string sExe = dir / "Larch.exe";
  std::vector<uint8_t> image = BrandedImage();
  {
    std::ofstream out(sExe, std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
  }
  std::string sClient = "GAME.EXE", sServers = "127.0.0.1:27030";
  BrandWindowsExe(
      sExe, image,
      {{"CLIENTAPP_FILENAME", sClient}, {"GENERALDIRECTORYSERVER_IPADDRPORTS", sServers}}, false);
  std::vector<uint8_t> branded = larch_test::ReadFileBytes(sExe);
  EXPECT_EQ(Variants(branded, "CONFIGDATA", "CLIENTAPP_FILENAME"),
            (V{{0x409, std::string("GAME.EXE", 9)}}));
  EXPECT_EQ(
      Variants(branded, "CONFIGDATA", "GENERALDIRECTORYSERVER_IPADDRPORTS"),
      (V{{0, std::string("127.0.0.1:27030", 16)}, {0x409, std::string("127.0.0.1:27030", 16)}}));
  EXPECT_FALSE(std::filesystem::exists(sExe + ".branding"));

  // A string the executable lacks gets a language-neutral variant.
  std::vector<uint8_t> bare =
      RewritePeResources(image, {Deletion("CONFIGDATA", "CLIENTAPP_FILENAME", 0x409)}, "t");
  {
    std::ofstream out(sExe, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bare.data()),
              static_cast<std::streamsize>(bare.size()));
  }
  BrandWindowsExe(sExe, bare, {{"CLIENTAPP_FILENAME", sClient}}, false);
  EXPECT_EQ(Variants(larch_test::ReadFileBytes(sExe), "CONFIGDATA", "CLIENTAPP_FILENAME"),
            (V{{0, std::string("GAME.EXE", 9)}}));

  // Refused: the file keeps its bytes and no temporary file stays behind.
  std::vector<uint8_t> kept = larch_test::ReadFileBytes(sExe);
  std::vector<uint8_t> wide = kept;
  Set16(wide, sc_uOptional, 0x20B);
  EXPECT_EQ(larch_test::ErrorOf([&] {
              BrandWindowsExe(sExe, wide, {{"CLIENTAPP_FILENAME", sClient}}, false);
            }),
            sExe + ": cannot rewrite its resources (64-bit (PE32+) executables are not supported)");
  std::string sLong(1024, 'a');
  EXPECT_EQ(larch_test::ErrorOf([&] {
              BrandWindowsExe(sExe, kept, {{"GENERALDIRECTORYSERVER_IPADDRPORTS", sLong}}, false);
            }),
            "BRANDING ERROR: GENERALDIRECTORYSERVER_IPADDRPORTS is longer than 1023 characters");
  EXPECT_EQ(larch_test::ReadFileBytes(sExe), kept);
  EXPECT_FALSE(std::filesystem::exists(sExe + ".branding"));
}

// A Windows build's Larch.exe, when the build named at configure time has one.
std::string WindowsLarchExe(const std::string& sBuild = LARCH_WINDOWS_BUILD) {
  for (const char* pszSub : {"/src/bootstrapper/win32/Larch.exe", "/src/bootstrapper/Larch.exe"}) {
    std::string sPath = sBuild + pszSub;
    if (std::filesystem::exists(sPath)) return sPath;
  }
  return std::string();
}

// The text of the version resource's string with that key: the UTF-16 value that follows the
// key, 32-bit aligned.
std::string VersionString(const std::string& sResource, const std::string& sKey) {
  std::string sWideKey;
  for (char c : sKey + '\0') sWideKey += std::string{c, '\0'};
  size_t u = sResource.find(sWideKey);
  if (u == std::string::npos) return "<no " + sKey + ">";
  std::string sValue;
  for (u = (u + sWideKey.size() + 3) & ~size_t(3); u + 1 < sResource.size(); u += 2) {
    if (sResource[u] == '\0' && sResource[u + 1] == '\0') break;
    sValue += sResource[u];
  }
  return sValue;
}

// The fixed file information's file and product versions, "a.b.c.d a.b.c.d".
std::string FixedVersions(const std::string& sResource) {
  const size_t u = sResource.find(std::string("\xBD\x04\xEF\xFE", 4));
  if (u == std::string::npos || u + 24 > sResource.size()) return "<no fixed file information>";
  auto dword = [&](size_t uAt) {
    uint32_t u32 = 0;
    for (int i = 3; i >= 0; --i) u32 = u32 << 8 | static_cast<uint8_t>(sResource[uAt + i]);
    return u32;
  };
  auto text = [](uint32_t u32High, uint32_t u32Low) {
    return std::to_string(u32High >> 16) + "." + std::to_string(u32High & 0xFFFF) + "." +
           std::to_string(u32Low >> 16) + "." + std::to_string(u32Low & 0xFFFF);
  };
  return text(dword(u + 8), dword(u + 12)) + " " + text(dword(u + 16), dword(u + 20));
}

// The release build's Larch.exe (scripts/test builds it before the native tests) is small and
// carries the project's version in its version resource.
TEST(WindowsReleaseLarchExe, IsSmallAndCarriesTheProjectVersion) {
  const std::string sLarch = WindowsLarchExe(LARCH_WINDOWS_RELEASE_BUILD);
  if (sLarch.empty()) GTEST_SKIP() << "no Larch.exe in " << LARCH_WINDOWS_RELEASE_BUILD;
  EXPECT_LT(std::filesystem::file_size(sLarch), 2000000u);  // under 2 MB
  const std::vector<SPeResource> versions =
      FindPeResources(larch_test::ReadFileBytes(sLarch), "#16", "#1", sLarch);
  ASSERT_EQ(versions.size(), 1u);
  const std::string& sResource = versions[0].sData;
  const std::string sNumbers = std::to_string(common::sc_uLarchVersionMajor) + "." +
                               std::to_string(common::sc_uLarchVersionMinor) + "." +
                               std::to_string(common::sc_uLarchVersionPatch) + ".0";
  EXPECT_EQ(FixedVersions(sResource), sNumbers + " " + sNumbers);
  EXPECT_EQ(
      VersionString(sResource, "FileVersion") + " " + VersionString(sResource, "ProductVersion"),
      std::string(common::sc_pszLarchVersion) + " " + common::sc_pszLarchVersion);
}

TEST(BrandWindowsExe, BrandsARealLarchExeAndKeepsItsOtherResources) {
  std::string sLarch = WindowsLarchExe();
  if (sLarch.empty()) GTEST_SKIP() << "no Larch.exe in " << LARCH_WINDOWS_BUILD;
  larch_test::CScratchDir dir;
  std::string sExe = dir / "Larch.exe";
  std::filesystem::copy_file(sLarch, sExe);
  std::vector<uint8_t> before = larch_test::ReadFileBytes(sExe);
  std::string sClient = "CLIENT.exe", sServers = "127.0.0.1:1 127.0.0.1:2";
  BrandWindowsExe(
      sExe, before,
      {{"CLIENTAPP_FILENAME", sClient}, {"GENERALDIRECTORYSERVER_IPADDRPORTS", sServers}}, false);
  std::vector<uint8_t> after = larch_test::ReadFileBytes(sExe);
  for (const auto& variant : Variants(after, "CONFIGDATA", "CLIENTAPP_FILENAME")) {
    EXPECT_EQ(variant.second, std::string("CLIENT.exe", 11));
  }
  for (const auto& variant : Variants(after, "CONFIGDATA", "GENERALDIRECTORYSERVER_IPADDRPORTS")) {
    EXPECT_EQ(variant.second, sServers + std::string(1, '\0'));
  }
  // Dialogs, bitmaps, the icon group, the string block of 101, version and manifest.
  for (const auto& resource : std::vector<std::pair<std::string, std::string>>{{"#5", "#100"},
                                                                               {"#5", "#102"},
                                                                               {"#5", "#135"},
                                                                               {"#2", "#133"},
                                                                               {"#2", "#134"},
                                                                               {"#14", "#128"},
                                                                               {"#6", "#7"},
                                                                               {"#16", "#1"},
                                                                               {"#24", "#1"}}) {
    V old = Variants(before, resource.first, resource.second);
    EXPECT_FALSE(old.empty()) << resource.first << "/" << resource.second;
    EXPECT_EQ(Variants(after, resource.first, resource.second), old)
        << resource.first << "/" << resource.second;
  }
}

}  // namespace
}  // namespace larchtool
