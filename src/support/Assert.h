// Assertions: preconditions, postconditions, class invariants and plain checks, all active in
// the shipped program. A failed check tells the registered observers, shows the report window
// and acts on the user's choice; when the call returns, execution goes on after the check.
//
// Callers test the condition themselves; the macros below do that and pass the expression's
// source text, the file and the line. LARCH_REQUIRE is the precondition that also stops the
// call: after the report (which may be answered with Ignore) it throws what the module asks for,
// instead of going on with arguments or state that would touch memory it must not touch.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace common {

class IAssertObserver {
 public:
  virtual void OnAssert(const char* pszKind, const char* pszCheckName, const char* pszExpression,
                        const char* pszFile, unsigned uLine) = 0;
  virtual ~IAssertObserver() = default;
};

// The process-wide list of observers, in registration order, guarded by its own lock.
// Observers are not owned and must not register or unregister from their notification.
class CAssertObserverRegistry {
 public:
  static CAssertObserverRegistry& Get();

  // Appends the observer unless it is registered already.
  void Register(IAssertObserver* pObserver);
  // Removes its first occurrence; nothing when absent.
  void Unregister(IAssertObserver* pObserver);
  // Calls every observer in order; an observer's exception is swallowed.
  void Notify(const char* pszKind, const char* pszCheckName, const char* pszExpression,
              const char* pszFile, unsigned uLine);

 private:
  std::recursive_mutex m_mutex;
  std::vector<IAssertObserver*> m_observers;
};

void DebugAssert(const char* pszExpression, const char* pszFile, unsigned uLine);
void ShippedAssert(const char* pszExpression, const char* pszFile, unsigned uLine);
void AssertPreCondition(const char* pszCheckName, const char* pszExpression, const char* pszFile,
                        unsigned uLine);
void AssertPostCondition(const char* pszCheckName, const char* pszExpression, const char* pszFile,
                         unsigned uLine);
void AssertClassInvariant(const char* pszCheckName, const char* pszExpression, const char* pszFile,
                          unsigned uLine);

// The report window's title and body for a failed check (pszCheckName null: no "Name: " line).
struct SAssertReport {
  std::string sTitle;
  std::string sBody;
};
SAssertReport BuildAssertReport(const char* pszLabel, const char* pszCheckName,
                                const char* pszExpression, const char* pszFile, unsigned uLine,
                                const char* pszProgramPath);

// What a module throws when one of its LARCH_REQUIRE checks fails: an exception of type
// TException whose message is pszPrefix followed by the check's name.
template <class TException>
struct SRefusal {
  const char* pszPrefix;
};

// Reports the failed precondition, then throws the module's exception.
template <class TException>
[[noreturn]] void RefusePrecondition(const SRefusal<TException>& refusal, const char* pszCheckName,
                                     const char* pszExpression, const char* pszFile,
                                     unsigned uLine) {
  AssertPreCondition(pszCheckName, pszExpression, pszFile, uLine);
  throw TException(std::string(refusal.pszPrefix) + pszCheckName);
}

}  // namespace common

#define LARCH_DEBUG_ASSERT(expr)                                   \
  do {                                                             \
    if (!(expr)) ::common::DebugAssert(#expr, __FILE__, __LINE__); \
  } while (0)
#define LARCH_PRECONDITION(name, expr)                                          \
  do {                                                                          \
    if (!(expr)) ::common::AssertPreCondition(name, #expr, __FILE__, __LINE__); \
  } while (0)
#define LARCH_REQUIRE(name, expr, refusal)                                               \
  do {                                                                                   \
    if (!(expr)) ::common::RefusePrecondition(refusal, name, #expr, __FILE__, __LINE__); \
  } while (0)
#define LARCH_POSTCONDITION(name, expr)                                          \
  do {                                                                           \
    if (!(expr)) ::common::AssertPostCondition(name, #expr, __FILE__, __LINE__); \
  } while (0)
#define LARCH_INVARIANT(name, expr)                                               \
  do {                                                                            \
    if (!(expr)) ::common::AssertClassInvariant(name, #expr, __FILE__, __LINE__); \
  } while (0)
