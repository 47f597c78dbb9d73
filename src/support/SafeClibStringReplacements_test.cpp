#include "support/SafeClibStringReplacements.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/Assert.h"

namespace common {
namespace {

class CCheckNames : public IAssertObserver {
 public:
  CCheckNames() { CAssertObserverRegistry::Get().Register(this); }
  ~CCheckNames() override { CAssertObserverRegistry::Get().Unregister(this); }
  void OnAssert(const char*, const char* pszCheck, const char*, const char*, unsigned) override {
    names.push_back(pszCheck);
  }
  std::vector<std::string> names;
};

// A buffer with guard bytes on both sides, to see that nothing is written past dstSize.
struct SGuarded {
  char aBuf[32];
  SGuarded() { std::memset(aBuf, '#', sizeof(aBuf)); }
  char* Dst() { return aBuf + 8; }
  bool GuardsIntact(size_t uDstSize) const {
    for (size_t i = 0; i < 8; ++i) {
      if (aBuf[i] != '#') return false;
    }
    for (size_t i = 8 + uDstSize; i < sizeof(aBuf); ++i) {
      if (aBuf[i] != '#') return false;
    }
    return true;
  }
};

TEST(SafeStrncpy, CopiesPadsAndCutsAtTheBufferSize) {
  SGuarded g;
  EXPECT_EQ(g.Dst(), SafeStrncpy(g.Dst(), "abc", 8));
  EXPECT_EQ(0, std::memcmp(g.Dst(), "abc\0\0\0\0\0", 8));
  CCheckNames checks;
  SafeStrncpy(g.Dst(), "0123456789", 8);
  EXPECT_STREQ("0123456", g.Dst());
  EXPECT_TRUE(g.GuardsIntact(8));
  EXPECT_TRUE(checks.names.empty());
}

TEST(SafeStrncpy, FailedPreconditionsAreReportedAndNothingOverflows) {
  CCheckNames checks;
  char aBuf[8] = "zzzzzzz";
  SafeStrncpy(nullptr, "a", 4);
  SafeStrncpy(aBuf, nullptr, sizeof(aBuf));
  EXPECT_STREQ("", aBuf);
  SafeStrncpy(aBuf, "a", 0);
  std::strcpy(aBuf, "abcdef");
  SafeStrncpy(aBuf, aBuf + 2, 4);  // overlapping: the source changes under the copy
  EXPECT_EQ((std::vector<std::string>{"NonNullDstPtr", "NonNullSrcPtr", "NonZeroDstBufSize",
                                      "DstDoesNotOverlapSrc", "DstSameAsSrc"}),
            checks.names);
  EXPECT_STREQ("cde", aBuf);
}

TEST(SafeStrcat, AppendsAndRefusesToOverflow) {
  SGuarded g;
  std::strcpy(g.Dst(), "ab");
  SafeStrcat(g.Dst(), "cd", 8);
  EXPECT_STREQ("abcd", g.Dst());
  CCheckNames checks;
  SafeStrcat(g.Dst(), "efghij", 8);
  EXPECT_STREQ("abcdefg", g.Dst());
  EXPECT_TRUE(g.GuardsIntact(8));
  EXPECT_EQ((std::vector<std::string>{"SrcDoesNotOverflowDst"}), checks.names);
}

TEST(SafeStrcat, UnterminatedDestinationIsNeverReadOrWrittenPastItsSize) {
  SGuarded g;
  std::memset(g.Dst(), 'x', 8);  // no terminator within the 8 bytes
  CCheckNames checks;
  SafeStrcat(g.Dst(), "y", 8);
  EXPECT_EQ(std::string(7, 'x'), std::string(g.Dst()));
  EXPECT_TRUE(g.GuardsIntact(8));
  ASSERT_FALSE(checks.names.empty());
  EXPECT_EQ("DstNotTooLarge", checks.names[0]);
}

TEST(SafeSnprintf, FormatsAndReportsCutOutputAsNegative) {
  SGuarded g;
  EXPECT_EQ(5, SafeSnprintf(g.Dst(), 8, "%d-%s", 12, "ab"));
  EXPECT_STREQ("12-ab", g.Dst());
  EXPECT_LT(SafeSnprintf(g.Dst(), 8, "%s", "0123456789"), 0);
  EXPECT_STREQ("0123456", g.Dst());
  EXPECT_TRUE(g.GuardsIntact(8));
  CCheckNames checks;
  SafeSnprintf(g.Dst(), 0, "x");
  EXPECT_EQ((std::vector<std::string>{"NonZeroDstBufSize"}), checks.names);
}

}  // namespace
}  // namespace common
