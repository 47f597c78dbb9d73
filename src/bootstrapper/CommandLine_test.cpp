#include "bootstrapper/CommandLine.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/File.h"
#include "support/Assert.h"

namespace bootstrapper {
namespace {

std::vector<std::string> Split(const std::string& sLine) {
  CCommandLine line;
  line.Parse(sLine);
  return std::vector<std::string>(line.Argv(), line.Argv() + line.Argc());
}

TEST(CommandLine, SplitsByTheProgramsOwnRules) {
  // A quoted argument keeps its blanks and loses its quotes.
  EXPECT_EQ(Split("\"C:\\Program Files\\Larch\\Larch.exe\" -a \"x y\""),
            (std::vector<std::string>{"C:\\Program Files\\Larch\\Larch.exe", "-a", "x y"}));
  // An unquoted argument runs to the next blank, across quotes.
  EXPECT_EQ(Split("abc\"d e\""), (std::vector<std::string>{"abc\"d", "e\""}));
  // ... and across tabs; other white space between arguments is skipped.
  EXPECT_EQ(Split("  a\tb   c \t"), (std::vector<std::string>{"a\tb", "c"}));
  EXPECT_EQ(Split("Larch.exe"), (std::vector<std::string>{"Larch.exe"}));
  EXPECT_EQ(Split("x \"\" y"), (std::vector<std::string>{"x", "", "y"}));
}

class CAssertCounter : public common::IAssertObserver {
 public:
  void OnAssert(const char*, const char*, const char* pszExpression, const char*,
                unsigned) override {
    m_sLast = pszExpression;
    ++m_nCount;
  }
  int m_nCount = 0;
  std::string m_sLast;
};

TEST(CommandLine, MissingClosingQuoteTakesTheRestOfTheLine) {
  CAssertCounter counter;
  common::CAssertObserverRegistry::Get().Register(&counter);
  EXPECT_EQ(Split("Larch.exe \"a b"), (std::vector<std::string>{"Larch.exe", "a b"}));
  common::CAssertObserverRegistry::Get().Unregister(&counter);
  EXPECT_EQ(counter.m_nCount, 1);
  EXPECT_EQ(counter.m_sLast, "pszEndQuote");
}

TEST(CommandLine, RefusesWhatTheTableCannotHold) {
  std::string sLine = "Larch.exe";
  for (int i = 1; i < 50; ++i) sLine += " a";
  EXPECT_EQ(Split(sLine).size(), 50u);
  CCommandLine tooMany;
  try {
    tooMany.Parse(sLine + " b");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Too many command-line arguments (at most 50 are allowed)");
  }
  std::string sLong(259, 'x');
  EXPECT_EQ(Split("Larch.exe " + sLong)[1], sLong);
  CCommandLine tooLong;
  try {
    tooLong.Parse("Larch.exe " + sLong + "y");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              "Command-line argument too long (at most 259 characters): " + sLong + "y");
  }
  CCommandLine empty;
  EXPECT_THROW(empty.Parse("   "), std::runtime_error);
}

TEST(CommandLine, SplitPathLikeTheRuntime) {
  SPathParts parts = SplitPath("D:dir/sub/a.b.exe");
  EXPECT_EQ(parts.sDrive, "D:");
  EXPECT_EQ(parts.sDirectory, "dir/sub/");
  EXPECT_EQ(parts.sFileName, "a.b");
  EXPECT_EQ(parts.sExtension, ".exe");
  parts = SplitPath("noext");
  EXPECT_EQ(parts.sFileName, "noext");
  EXPECT_EQ(parts.sExtension, "");
  EXPECT_EQ(parts.sDirectory, "");
}

TEST(CommandLine, QuotesProgramNamesWithBlanks) {
  EXPECT_EQ(QuoteProgramName("BTmp.exe"), "BTmp.exe");
  EXPECT_EQ(QuoteProgramName("My Larch.exe"), "\"My Larch.exe\"");
}

}  // namespace
}  // namespace bootstrapper
