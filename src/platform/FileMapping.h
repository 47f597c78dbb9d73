// A file opened without sharing and mapped into memory as a whole, for blobs that live in a
// file. No other handle may read or write the file while it is open (on POSIX an exclusive
// advisory lock stands in for the missing share modes).
//
// Order of use: OpenExisting or CreateNew, then CreateMapping, MapView; edits in Data();
// Flush; Unmap; optionally SetFileLength; Close. The destructor unmaps and closes.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

class CFileMapping {
 public:
  CFileMapping() = default;
  ~CFileMapping();
  CFileMapping(const CFileMapping&) = delete;
  CFileMapping& operator=(const CFileMapping&) = delete;

  // Opens an existing file for reading, or for reading and writing. *pbMissing tells whether
  // it failed because the file does not exist. injection: "MapOpen"
  bool OpenExisting(const std::string& sPath, bool bWritable, bool* pbMissing);
  // Creates a new file for reading and writing; fails when the name exists.
  // injection: "MapCreate"
  bool CreateNew(const std::string& sPath);
  bool GetFileSize(uint64_t& u64Size);
  // Reads the first uSize bytes with an ordinary read (all of them or failure).
  bool ReadStart(void* pBuffer, uint32_t uSize);
  // Prepares a mapping of uLength bytes from the start; a longer length extends the file with
  // zero bytes. injection: "CreateMapping"
  bool CreateMapping(uint32_t uLength);
  // Maps the whole mapping. A file opened read-only is mapped copy-on-write: stray writes
  // never reach the file. injection: "MapView"
  bool MapView();
  uint8_t* Data() const { return m_pView; }
  // Writes the first uLength mapped bytes to the file. injection: "FlushMapping"
  bool Flush(uint32_t uLength);
  // Unmaps the view and closes the mapping.
  void Unmap();
  // Sets the file's length (after Unmap). injection: "SetFileLength"
  bool SetFileLength(uint64_t u64Length);
  void Close();
  bool IsOpen() const { return m_nFd >= 0 || m_pFile != nullptr; }
  bool IsWritable() const { return m_bWritable; }

 private:
  int m_nFd = -1;              // POSIX
  void* m_pFile = nullptr;     // Windows file handle
  void* m_pMapping = nullptr;  // Windows mapping handle
  uint8_t* m_pView = nullptr;
  uint32_t m_uMappingLength = 0;
  bool m_bWritable = false;
};

}  // namespace platform
