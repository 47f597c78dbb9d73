// What every fuzz target shares: a failed check of ours (an invariant, a precondition, a
// postcondition) is a finding, and so is a broken expectation of the harness.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "support/Assert.h"

namespace fuzz_support {

inline void Check(bool b) {
  if (!b) __builtin_trap();
}

// Names the check, then stops the run so that libFuzzer keeps the input.
class CAbortOnAssert : public common::IAssertObserver {
 public:
  void OnAssert(const char* pszKind, const char* pszCheckName, const char* pszExpression,
                const char* pszFile, unsigned uLine) override {
    std::fprintf(stderr, "%s %s (%s) at %s:%u\n", pszKind, pszCheckName, pszExpression, pszFile,
                 uLine);
    std::abort();
  }
};

// Registers the observer once for the process.
inline void AbortOnAssert() {
  static CAbortOnAssert s_observer;
  static bool s_bRegistered = (common::CAssertObserverRegistry::Get().Register(&s_observer), true);
  (void)s_bRegistered;
}

}  // namespace fuzz_support
