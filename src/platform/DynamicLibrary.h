// A shared library (DLL, shared object) loaded into this process.
#pragma once

#include <string>

namespace platform {

// Owns one reference to a loaded library; the destructor releases it when Unload was not
// called. A name without a directory is looked up in the current directory first (on POSIX
// only there), as the bootstrapper's own directory comes first on Windows.
class CDynamicLibrary {
 public:
  CDynamicLibrary() = default;
  ~CDynamicLibrary();
  CDynamicLibrary(const CDynamicLibrary&) = delete;
  CDynamicLibrary& operator=(const CDynamicLibrary&) = delete;

  bool Load(const std::string& sPath);  // injection: "LoadLibrary"
  // The address of an exported function or object; null when there is none.
  void* FindSymbol(const char* pszName) const;
  bool Unload();  // injection: "FreeLibrary"
  bool IsLoaded() const { return m_pHandle != nullptr; }
  // The loader's explanation of the last failure (POSIX dlerror; empty on Windows, whose
  // reason is in the last system error).
  const std::string& LoaderMessage() const { return m_sLoaderMessage; }

 private:
  void* m_pHandle = nullptr;
  std::string m_sLoaderMessage;
};

}  // namespace platform
