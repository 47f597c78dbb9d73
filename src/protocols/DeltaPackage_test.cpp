#include "protocols/DeltaPackage.h"

#include <gtest/gtest.h>

#include "support/TestUtil.h"

namespace common {
namespace {

const std::string sc_sA(64, 'a');
const std::string sc_sZero(64, '0');

TEST(DeltaPackage, TheFileListWritesAndReadsBackExactly) {
  EXPECT_EQ("hello_4-5.pkg", DeltaPackageName("hello", 4, 5));
  SDeltaFileList list;
  list.u32FromVersion = 4;
  list.u32ToVersion = 4294967295u;
  list.files.push_back({"bin\\run me.sh", 12, {}});
  list.files.back().hash.fill(0xAA);
  list.files.push_back({"hello.exe", 18446744073709551615ull, {}});
  list.files.push_back({"z", 0, {}, true});
  list.installedFilesHash.fill(0xAA);
  const std::string sText = "larch delta file list 1\nfrom 4 to 4294967295\n12 " + sc_sA +
                            " bin\\run me.sh\n18446744073709551615 " + sc_sZero +
                            " hello.exe\n0 - z\ninstalled " + sc_sA + "\nend\n";
  EXPECT_EQ(sText, FormatDeltaFileList(list));
  const SDeltaFileList back = ParseDeltaFileList(sText);
  EXPECT_EQ(sText, FormatDeltaFileList(back));
  EXPECT_EQ(list.files[1].u64Size, back.files[1].u64Size);
  EXPECT_TRUE(back.files[2].bFromInstallation);
  // Digests one after the other: the order matters.
  Sha256Digest one{}, two{};
  two.fill(2);
  uint8_t abBoth[64] = {};
  std::fill(abBoth + 32, abBoth + 64, 2);
  EXPECT_EQ(CSha256::Digest(abBoth, sizeof(abBoth)), InstalledFilesDigest({one, two}));
  EXPECT_NE(InstalledFilesDigest({two, one}), InstalledFilesDigest({one, two}));
  EXPECT_EQ(CSha256::Digest(nullptr, 0), InstalledFilesDigest({}));
}

TEST(DeltaPackage, AnythingButAWholeListIsDamaged) {
  const std::string sHead = "larch delta file list 1\nfrom 4 to 5\n";
  const std::string sLine = "3 " + sc_sA + " b\n";
  const std::string sEnd = "installed " + sc_sA + "\nend\n";
  const struct {
    std::string sText;
    const char* pszProblem;
  } cases[] = {
      {sHead + sLine + sEnd.substr(0, sEnd.size() - 1), "the last line is cut"},
      {"larch delta file list 2\nfrom 4 to 5\n" + sEnd, "not a delta file list"},
      {sHead + sLine + "installed " + sc_sA + "\n", "no end line"},
      {sHead + "end\n", "not a delta file list"},
      {sHead + sLine + sLine + "end\n", "no installed files line"},
      {sHead + sLine + "installed -\nend\n", "bad hash"},
      {sHead + sLine + sEnd + sEnd, "bad file line"},
      {"larch delta file list 1\nfrom 4 to\n" + sEnd, "bad versions"},
      {"larch delta file list 1\nfrom 04 to 5\n" + sEnd, "bad version"},
      {"larch delta file list 1\nfrom 4 to 4294967296\n" + sEnd, "bad version"},
      {sHead + "18446744073709551616 " + sc_sA + " b\n" + sEnd, "bad size"},
      {sHead + "-3 " + sc_sA + " b\n" + sEnd, "bad size"},
      {sHead + "3 " + std::string(64, 'A') + " b\n" + sEnd, "bad hash"},
      {sHead + "3 " + sc_sA.substr(1) + " b\n" + sEnd, "bad hash"},
      {sHead + "3 -- b\n" + sEnd, "bad hash"},
      {sHead + "3 " + sc_sA + " \n" + sEnd, "empty name"},
      {sHead + "3 - a\tb\n" + sEnd, "control character in a name"},
      {sHead + sLine + "3 " + sc_sA + " a\n" + sEnd, "names out of order or repeated"},
      {sHead + sLine + "3 - b\n" + sEnd, "names out of order or repeated"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(std::string("delta file list is damaged: ") + c.pszProblem,
              larch_test::ErrorOf([&] { ParseDeltaFileList(c.sText); }))
        << c.sText;
  }
}

}  // namespace
}  // namespace common
