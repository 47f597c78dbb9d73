#include "support/Assert.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace common {
namespace {

struct SCall {
  std::string sKind, sCheck, sExpr, sFile;
  unsigned uLine;
};

class CRecordingObserver : public IAssertObserver {
 public:
  void OnAssert(const char* pszKind, const char* pszCheckName, const char* pszExpression,
                const char* pszFile, unsigned uLine) override {
    calls.push_back({pszKind, pszCheckName, pszExpression, pszFile, uLine});
  }
  std::vector<SCall> calls;
};

class CThrowingObserver : public IAssertObserver {
 public:
  void OnAssert(const char*, const char*, const char*, const char*, unsigned) override {
    throw std::runtime_error("observer failed");
  }
};

// Registers an observer for the life of a test.
struct SObserved {
  explicit SObserved(IAssertObserver* p) : pObserver(p) {
    CAssertObserverRegistry::Get().Register(p);
  }
  ~SObserved() { CAssertObserverRegistry::Get().Unregister(pObserver); }
  IAssertObserver* pObserver;
};

const std::string sc_sTrailer =
    "(Press Retry to debug the application - JIT debugging must be enabled)";

TEST(AssertReport, PreconditionShowsEveryLineInOrder) {
  SAssertReport r = BuildAssertReport("PreCondition", "Valid pData", "pData", "Blob.cpp", 12,
                                      "C:\\Games\\Larch.exe");
  EXPECT_EQ("PreCondition Assertion Failed", r.sTitle);
  EXPECT_EQ(
      "Name: Valid pData\nProgram: C:\\Games\\Larch.exe\nFile: Blob.cpp\nLine: 12\n\npData"
      "\n\n" +
          sc_sTrailer,
      r.sBody);
}

TEST(AssertReport, DebugHasNoNameLineAndUnknownProgram) {
  SAssertReport r = BuildAssertReport("Debug", nullptr, "x > 0", "a.cpp", 7, nullptr);
  EXPECT_EQ("Debug Assertion Failed", r.sTitle);
  EXPECT_EQ("Program: <program name unknown>\nFile: a.cpp\nLine: 7\n\nx > 0\n\n" + sc_sTrailer,
            r.sBody);
}

TEST(AssertReport, LongPathsAreShortenedFromTheLeft) {
  std::string sFile95(95, 'f'), sFile92(92, 'g');
  sFile95.replace(90, 5, "abcde");
  std::string sProgram(120, 'p');
  SAssertReport r = BuildAssertReport("Debug", nullptr, "e", sFile95.c_str(), 1, sProgram.c_str());
  EXPECT_EQ("Program: ..." + std::string(86, 'p') + "\nFile: ..." + sFile95.substr(6) +
                "\nLine: 1\n\ne\n\n" + sc_sTrailer,
            r.sBody);
  r = BuildAssertReport("Debug", nullptr, "e", sFile92.c_str(), 1, "p");
  EXPECT_EQ("Program: p\nFile: " + sFile92 + "\nLine: 1\n\ne\n\n" + sc_sTrailer, r.sBody);
}

TEST(AssertReport, LongExpressionIsCutAndBodyStaysUnder900) {
  std::string sExpr(2000, 'x');
  SAssertReport r = BuildAssertReport("ClassInvariant", "Inv", sExpr.c_str(), "f.cpp", 3, "p");
  std::string sHead = "Name: Inv\nProgram: p\nFile: f.cpp\nLine: 3\n\n";
  EXPECT_EQ(sHead + std::string(823 - sHead.size(), 'x') + "...\n\n" + sc_sTrailer, r.sBody);
  EXPECT_LT(r.sBody.size(), 900u);
}

TEST(AssertObservers, ReceiveKindCheckNameAndPlace) {
  CRecordingObserver observer;
  SObserved scope(&observer);
  AssertPreCondition("Valid pData", "pData", "x.cpp", 12);
  DebugAssert("n == 2", "y.cpp", 40);
  AssertPostCondition("Post", "p", "z.cpp", 1);
  AssertClassInvariant("Inv", "i", "w.cpp", 2);
  ShippedAssert("s", "v.cpp", 3);
  ASSERT_EQ(5u, observer.calls.size());
  EXPECT_EQ("AssertPreCondition", observer.calls[0].sKind);
  EXPECT_EQ("Valid pData", observer.calls[0].sCheck);
  EXPECT_EQ("pData", observer.calls[0].sExpr);
  EXPECT_EQ("x.cpp", observer.calls[0].sFile);
  EXPECT_EQ(12u, observer.calls[0].uLine);
  EXPECT_EQ("DebugAssert", observer.calls[1].sKind);
  EXPECT_EQ("?", observer.calls[1].sCheck);
  EXPECT_EQ("AssertPostCondition", observer.calls[2].sKind);
  EXPECT_EQ("AssertClassInvariant", observer.calls[3].sKind);
  EXPECT_EQ("ShippedAssert", observer.calls[4].sKind);
  EXPECT_EQ("?", observer.calls[4].sCheck);
}

TEST(AssertObservers, ThrowingObserverDoesNotStopTheNextOne) {
  CThrowingObserver thrower;
  CRecordingObserver recorder;
  SObserved a(&thrower), b(&recorder);
  LARCH_PRECONDITION("Positive", 1 < 0);
  ASSERT_EQ(1u, recorder.calls.size());
  EXPECT_EQ("1 < 0", recorder.calls[0].sExpr);
}

TEST(AssertRequire, ReportsThenThrowsTheModulesExceptionWithItsPrefix) {
  CRecordingObserver observer;
  SObserved scope(&observer);
  const SRefusal<std::out_of_range> refusal{"Module: "};
  int n = 3;
  LARCH_REQUIRE("Small n", n < 4, refusal);
  EXPECT_TRUE(observer.calls.empty());
  try {
    LARCH_REQUIRE("Small n", n < 2, refusal);
    ADD_FAILURE() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_EQ(std::string("Module: Small n"), e.what());
  }
  ASSERT_EQ(1u, observer.calls.size());
  EXPECT_EQ("AssertPreCondition", observer.calls[0].sKind);
  EXPECT_EQ("Small n", observer.calls[0].sCheck);
  EXPECT_EQ("n < 2", observer.calls[0].sExpr);
}

TEST(AssertObservers, DoubleRegistrationIsUndoneByOneUnregister) {
  CRecordingObserver observer;
  CAssertObserverRegistry::Get().Register(&observer);
  CAssertObserverRegistry::Get().Register(&observer);
  CAssertObserverRegistry::Get().Unregister(&observer);
  DebugAssert("e", "f", 1);
  EXPECT_TRUE(observer.calls.empty());
}

}  // namespace
}  // namespace common
