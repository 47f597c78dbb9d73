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
  const std::string sText = "larch delta file list 1\nfrom 4 to 4294967295\n12 " + sc_sA +
                            " bin\\run me.sh\n18446744073709551615 " + sc_sZero +
                            " hello.exe\nend\n";
  EXPECT_EQ(sText, FormatDeltaFileList(list));
  const SDeltaFileList back = ParseDeltaFileList(sText);
  EXPECT_EQ(sText, FormatDeltaFileList(back));
  EXPECT_EQ(list.files[1].u64Size, back.files[1].u64Size);
}

TEST(DeltaPackage, AnythingButAWholeListIsDamaged) {
  const std::string sHead = "larch delta file list 1\nfrom 4 to 5\n";
  const std::string sLine = "3 " + sc_sA + " b\n";
  const struct {
    std::string sText;
    const char* pszProblem;
  } cases[] = {
      {sHead + sLine + "end", "the last line is cut"},
      {"larch delta file list 2\nfrom 4 to 5\nend\n", "not a delta file list"},
      {sHead + sLine, "no end line"},
      {sHead + sLine + "end\nend\n", "bad file line"},
      {"larch delta file list 1\nfrom 4 to\nend\n", "bad versions"},
      {"larch delta file list 1\nfrom 04 to 5\nend\n", "bad version"},
      {"larch delta file list 1\nfrom 4 to 4294967296\nend\n", "bad version"},
      {sHead + "18446744073709551616 " + sc_sA + " b\nend\n", "bad size"},
      {sHead + "-3 " + sc_sA + " b\nend\n", "bad size"},
      {sHead + "3 " + std::string(64, 'A') + " b\nend\n", "bad hash"},
      {sHead + "3 " + sc_sA.substr(1) + " b\nend\n", "bad hash"},
      {sHead + "3 " + sc_sA + " \nend\n", "empty name"},
      {sHead + "3 " + sc_sA + " a\tb\nend\n", "control character in a name"},
      {sHead + sLine + "3 " + sc_sA + " a\nend\n", "names out of order or repeated"},
      {sHead + sLine + sLine + "end\n", "names out of order or repeated"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(std::string("delta file list is damaged: ") + c.pszProblem,
              larch_test::ErrorOf([&] { ParseDeltaFileList(c.sText); }))
        << c.sText;
  }
}

}  // namespace
}  // namespace common
