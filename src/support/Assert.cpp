#include "support/Assert.h"

#include <algorithm>
#include <cstring>

#include "platform/Process.h"
#include "platform/Report.h"
#include "support/SafeClibStringReplacements.h"

namespace common {
namespace {

constexpr unsigned sc_uTitleSize = 80;
constexpr unsigned sc_uBodySize = 900;
constexpr unsigned sc_uPathSize = 260;
constexpr size_t sc_uMaxProgramShown = 89;
constexpr size_t sc_uMaxFileShown = 92;
constexpr const char* sc_pszTrailer =
    "(Press Retry to debug the application - JIT debugging must be enabled)";

// A text longer than uMax is shown as "..." and its last uMax - 3 characters.
std::string ShortenFromLeft(const std::string& s, size_t uMax) {
  if (s.size() <= uMax) return s;
  return "..." + s.substr(s.size() - (uMax - 3));
}

void ReportFailure(const char* pszKind, const char* pszLabel, const char* pszCheckName,
                   const char* pszExpression, const char* pszFile, unsigned uLine) {
  CAssertObserverRegistry::Get().Notify(pszKind, pszCheckName ? pszCheckName : "?", pszExpression,
                                        pszFile, uLine);
  std::string sProgram;
  bool bHaveProgram = platform::GetExecutablePath(sProgram);
  SAssertReport report = BuildAssertReport(pszLabel, pszCheckName, pszExpression, pszFile, uLine,
                                           bHaveProgram ? sProgram.c_str() : nullptr);
  switch (platform::ShowAssertReport(report.sTitle, report.sBody)) {
    case platform::eReportAbort:
      platform::AbortProcess();
    case platform::eReportRetry:
      platform::DebugBreakIfDebugged();
      return;
    case platform::eReportIgnore:
      return;
    case platform::eReportFailed:
      std::abort();
  }
}

}  // namespace

CAssertObserverRegistry& CAssertObserverRegistry::Get() {
  // Never destroyed, so that an assertion during process exit still finds it.
  static CAssertObserverRegistry* s_pRegistry = new CAssertObserverRegistry;
  return *s_pRegistry;
}

void CAssertObserverRegistry::Register(IAssertObserver* pObserver) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  if (std::find(m_observers.begin(), m_observers.end(), pObserver) == m_observers.end()) {
    m_observers.push_back(pObserver);
  }
}

void CAssertObserverRegistry::Unregister(IAssertObserver* pObserver) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  auto it = std::find(m_observers.begin(), m_observers.end(), pObserver);
  if (it != m_observers.end()) m_observers.erase(it);
}

void CAssertObserverRegistry::Notify(const char* pszKind, const char* pszCheckName,
                                     const char* pszExpression, const char* pszFile,
                                     unsigned uLine) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  for (IAssertObserver* pObserver : m_observers) {
    try {
      pObserver->OnAssert(pszKind, pszCheckName, pszExpression, pszFile, uLine);
    } catch (...) {
      // An observer never stops the report.
    }
  }
}

SAssertReport BuildAssertReport(const char* pszLabel, const char* pszCheckName,
                                const char* pszExpression, const char* pszFile, unsigned uLine,
                                const char* pszProgramPath) {
  char szTitle[sc_uTitleSize];
  SafeSnprintf(szTitle, sizeof(szTitle), "%s Assertion Failed", pszLabel);

  char szBody[sc_uBodySize] = "";
  if (pszCheckName) {
    SafeStrcat(szBody, "Name: ", sizeof(szBody));
    SafeStrcat(szBody, pszCheckName, sizeof(szBody));
    SafeStrcat(szBody, "\n", sizeof(szBody));
  }
  std::string sProgram = pszProgramPath ? pszProgramPath : "<program name unknown>";
  sProgram = ShortenFromLeft(sProgram.substr(0, sc_uPathSize), sc_uMaxProgramShown);
  SafeStrcat(szBody, "Program: ", sizeof(szBody));
  SafeStrcat(szBody, sProgram.c_str(), sizeof(szBody));
  SafeStrcat(szBody, "\n", sizeof(szBody));

  char szFile[sc_uPathSize];
  SafeStrncpy(szFile, pszFile ? pszFile : "", sizeof(szFile));
  SafeStrcat(szBody, "File: ", sizeof(szBody));
  SafeStrcat(szBody, ShortenFromLeft(szFile, sc_uMaxFileShown).c_str(), sizeof(szBody));
  SafeStrcat(szBody, "\n", sizeof(szBody));

  SafeStrcat(szBody, "Line: ", sizeof(szBody));
  SafeStrcat(szBody, std::to_string(uLine).c_str(), sizeof(szBody));
  SafeStrcat(szBody, "\n\n", sizeof(szBody));

  std::string sExpression = pszExpression ? pszExpression : "";
  size_t uBodyLen = std::strlen(szBody);
  if (uBodyLen + sExpression.size() + 73 > sc_uBodySize) {
    sExpression = sExpression.substr(0, uBodyLen < 823 ? 823 - uBodyLen : 0) + "...";
  }
  SafeStrcat(szBody, sExpression.c_str(), sizeof(szBody));
  SafeStrcat(szBody, "\n\n", sizeof(szBody));
  SafeStrcat(szBody, sc_pszTrailer, sizeof(szBody));
  return SAssertReport{szTitle, szBody};
}

void DebugAssert(const char* pszExpression, const char* pszFile, unsigned uLine) {
  ReportFailure("DebugAssert", "Debug", nullptr, pszExpression, pszFile, uLine);
}

void ShippedAssert(const char* pszExpression, const char* pszFile, unsigned uLine) {
  ReportFailure("ShippedAssert", "Shipped", nullptr, pszExpression, pszFile, uLine);
}

void AssertPreCondition(const char* pszCheckName, const char* pszExpression, const char* pszFile,
                        unsigned uLine) {
  ReportFailure("AssertPreCondition", "PreCondition", pszCheckName, pszExpression, pszFile, uLine);
}

void AssertPostCondition(const char* pszCheckName, const char* pszExpression, const char* pszFile,
                         unsigned uLine) {
  ReportFailure("AssertPostCondition", "PostCondition", pszCheckName, pszExpression, pszFile,
                uLine);
}

void AssertClassInvariant(const char* pszCheckName, const char* pszExpression, const char* pszFile,
                          unsigned uLine) {
  ReportFailure("AssertClassInvariant", "ClassInvariant", pszCheckName, pszExpression, pszFile,
                uLine);
}

}  // namespace common
