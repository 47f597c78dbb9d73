// A registry kept in a memory-mapped blob file and shared between processes.
//
// The whole key tree is one blob: the file's root blob holds the field "TopKey" with the top
// key's blob; keys and values are nested blobs (see BlobKey.h for the layout). The file is
// opened when a call needs it and closed as soon as no key handle is alive, so that other
// processes can get in between calls. While the file is open this process holds a lock named
// after the file ("BlobRegistryMutex_" + the MD5 of the lower-cased full path, in upper-case
// hexadecimal), so every process and every registry object that names the same file, by any
// relative or absolute path and in any letter case, waits for the others.
//
// Threads: one recursive critical section serialises all calls on one registry object, and
// each live key handle or iterator holds it too, so a thread that keeps a handle keeps the
// other threads out. Handles and iterators must be released on the thread that obtained them,
// and before the registry is destroyed.
//
// Growth: while the file is open the stored tree can grow by 102400 bytes (plus the spare
// capacity it already had); an edit beyond that fails with the blob's overflow exception.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "registry/Registry.h"

namespace common {

class CBlobKey;

class CBlobRegistry : public IRegistry {
 public:
  static const uint32_t sc_uTemporaryGrowthArea = 102400;

  // Opens the file once (creating it unless bMustExist), reads the whole tree and closes it
  // again. Throws CRegistryLockException when the lock cannot be had ("Failed to create file
  // access mutex", "Failed to wait for file access mutex"; CInUseException when it is not
  // obtained within uLockTimeoutMs), CBlobException ("Failed to open file: NAME", "Cannot open
  // blob archive file NAME", ...) or the error of reading a damaged tree. Every later call
  // that opens the file again throws the same lock exceptions.
  CBlobRegistry(const std::string& sFileName, bool bMustExist, uint32_t uLockTimeoutMs);
  // Closes the file if it is open (errors ignored).
  ~CBlobRegistry() override;
  CBlobRegistry(const CBlobRegistry&) = delete;
  CBlobRegistry& operator=(const CBlobRegistry&) = delete;

  KeyPtr_t CreateKey(const std::string& sPath, bool bFailIfExists) override;
  KeyPtr_t OpenKey(const std::string& sPath) override;
  void DeleteKey(const std::string& sPath) override;
  void TryDeleteKey(const std::string& sPath) override;
  void DeleteKeyTree(const std::string& sPath) override;
  void TryDeleteKeyTree(const std::string& sPath) override;
  bool KeyExists(const std::string& sPath) override;
  void SetBinaryValue(const std::string& sPath, const std::string& sValueName,
                      const uint8_t* pu8Data, uint32_t uBytes) override;
  void SetUnsignedNumberValue(const std::string& sPath, const std::string& sValueName,
                              uint32_t u32Value) override;
  void SetStringValue(const std::string& sPath, const std::string& sValueName,
                      const std::string& sValue) override;
  void GetBinaryValue(const std::string& sPath, const std::string& sValueName, uint8_t* pu8Data,
                      uint32_t uBufSize, uint32_t* puBytesRead) override;
  void GetUnsignedNumberValue(const std::string& sPath, const std::string& sValueName,
                              uint32_t* pu32UnsignedNumber) override;
  void GetStringValue(const std::string& sPath, const std::string& sValueName,
                      std::string& sValue) override;
  void DeleteValue(const std::string& sPath, const std::string& sValueName) override;
  void TryDeleteValue(const std::string& sPath, const std::string& sValueName) override;
  bool ValueExists(const std::string& sPath, const std::string& sValueName) override;
  void CheckInvariants() const override;

  // Whether the file is mapped now (between calls: only while a handle is alive).
  bool IsFileOpen() const;

  // The lock name for a file: "BlobRegistryMutex_" + 32 upper-case hexadecimal digits of the
  // MD5 of its lower-cased full path. Throws CBlobException "Failed to create file access
  // mutex" (a CRegistryLockException) when the full path cannot be made.
  static std::string LockNameForFile(const std::string& sFileName);

 private:
  friend class CBlobKey;
  struct SImpl;

  void OpenFile(bool bMustExist);
  void CloseFile();
  // Closes the file when no key is in use.
  void CloseIfUnused();
  // Runs fn on the top key under the call protocol: critical section, open on demand, the top
  // key kept in use during the call, close-if-unused afterwards (its errors are ignored when
  // fn threw).
  template <class Fn>
  auto Call(Fn fn) -> decltype(fn(static_cast<CBlobKey*>(nullptr)));

  std::unique_ptr<SImpl> m_pImpl;
};

}  // namespace common
