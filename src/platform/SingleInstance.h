// A named marker that tells whether another process created it first.
#pragma once

#include <string>

namespace platform {

// Windows: a named mutex, created not owned and never taken. POSIX: a lock file in the user's
// runtime directory, held while the object lives, so the kernel drops it when the process dies
// (SIGKILL included). The name stays taken while any process that created it lives.
class CNamedInstanceMarker {
 public:
  explicit CNamedInstanceMarker(const std::string& sName);
  ~CNamedInstanceMarker();
  CNamedInstanceMarker(const CNamedInstanceMarker&) = delete;
  CNamedInstanceMarker& operator=(const CNamedInstanceMarker&) = delete;

  bool IsValid() const { return m_bValid; }
  // The platform error read right after creation: 183 (ERROR_ALREADY_EXISTS) when the name
  // existed before, 0 otherwise, or the creation's error when it failed.
  uint32_t CreationError() const { return m_uCreationError; }

 private:
  void* m_pHandle = nullptr;  // Windows mutex handle
  int m_nFd = -1;             // POSIX lock file
  bool m_bValid = false;
  uint32_t m_uCreationError = 0;
};

constexpr uint32_t sc_uErrorAlreadyExists = 183;

}  // namespace platform
