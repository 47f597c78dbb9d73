// Helpers shared by the registry tests.
#pragma once

#include <string>
#include <vector>

#include "support/Assert.h"

namespace registry_test {

// Records the failed checks while it lives.
class CAssertRecorder : public common::IAssertObserver {
 public:
  CAssertRecorder() { common::CAssertObserverRegistry::Get().Register(this); }
  ~CAssertRecorder() override { common::CAssertObserverRegistry::Get().Unregister(this); }
  // Each check as "NAME: EXPRESSION".
  void OnAssert(const char*, const char* pszCheckName, const char* pszExpression, const char*,
                unsigned) override {
    m_checks.push_back(std::string(pszCheckName ? pszCheckName : "") + ": " + pszExpression);
  }
  const std::vector<std::string>& Checks() const { return m_checks; }

 private:
  std::vector<std::string> m_checks;
};

// The message of the exception that fn throws, or "" when it throws nothing.
template <class Exception, class Fn>
std::string MessageOf(Fn fn) {
  try {
    fn();
  } catch (const Exception& e) {
    return e.what();
  }
  return "";
}

}  // namespace registry_test
