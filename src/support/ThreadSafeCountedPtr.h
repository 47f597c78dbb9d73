// A shared owning pointer whose count changes with interlocked operations, so copies may be
// made and released on several threads. The release that brings the count to 0 frees the
// count and destroys the object through its virtual destructor.
#pragma once

#include <cstdint>
#include <utility>

#include "platform/Interlocked.h"
#include "support/Assert.h"

namespace common {

template <class T>
class ThreadSafeCountedPtr {
 public:
  ThreadSafeCountedPtr() = default;
  // Takes ownership of pObj (null gives an empty pointer).
  explicit ThreadSafeCountedPtr(T* pObj)
      : m_pOwnedObj(pObj), m_pRefCount(pObj ? new int32_t(1) : nullptr) {
    CheckInvariant();
  }
  ThreadSafeCountedPtr(const ThreadSafeCountedPtr& other)
      : m_pOwnedObj(other.m_pOwnedObj), m_pRefCount(other.m_pRefCount) {
    if (m_pRefCount) platform::InterlockedIncrement32(m_pRefCount);
  }
  template <class U>
  ThreadSafeCountedPtr(const ThreadSafeCountedPtr<U>& other)  // NOLINT: converts like T*
      : m_pOwnedObj(other.m_pOwnedObj), m_pRefCount(other.m_pRefCount) {
    if (m_pRefCount) platform::InterlockedIncrement32(m_pRefCount);
  }
  ThreadSafeCountedPtr(ThreadSafeCountedPtr&& other) noexcept
      : m_pOwnedObj(other.m_pOwnedObj), m_pRefCount(other.m_pRefCount) {
    other.m_pOwnedObj = nullptr;
    other.m_pRefCount = nullptr;
  }
  ~ThreadSafeCountedPtr() { Release(); }

  ThreadSafeCountedPtr& operator=(ThreadSafeCountedPtr other) noexcept {
    std::swap(m_pOwnedObj, other.m_pOwnedObj);
    std::swap(m_pRefCount, other.m_pRefCount);
    return *this;
  }

  T* operator->() const {
    LARCH_PRECONDITION("Non-null m_pOwnedObj", m_pOwnedObj);
    return m_pOwnedObj;
  }
  T& operator*() const {
    LARCH_PRECONDITION("Non-null m_pOwnedObj", m_pOwnedObj);
    return *m_pOwnedObj;
  }
  T* Get() const { return m_pOwnedObj; }
  explicit operator bool() const { return m_pOwnedObj != nullptr; }
  // The number of pointers sharing the object (0 for an empty pointer); for tests and checks.
  int32_t UseCount() const { return m_pRefCount ? *m_pRefCount : 0; }

 private:
  template <class U>
  friend class ThreadSafeCountedPtr;

  void CheckInvariant() const {
    LARCH_INVARIANT("Valid ptrs", (m_pOwnedObj == nullptr) == (m_pRefCount == nullptr));
  }
  void Release() {
    CheckInvariant();
    if (m_pRefCount && platform::InterlockedDecrement32(m_pRefCount) == 0) {
      delete m_pRefCount;
      delete m_pOwnedObj;
    }
    m_pOwnedObj = nullptr;
    m_pRefCount = nullptr;
  }

  T* m_pOwnedObj = nullptr;
  volatile int32_t* m_pRefCount = nullptr;
};

}  // namespace common
