// Files and directories by narrow path name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct SFileStatus {
  bool bExists = false;
  bool bRegularFile = false;
  bool bDirectory = false;
  bool bReadOnly = false;  // the owner may not write it
  uint64_t u64Size = 0;
  int64_t n64ModifiedTime = 0;  // last write, in seconds since 1970
};

// False when the path cannot be queried (missing, not accessible).
bool GetFileStatus(const std::string& sPath, SFileStatus& status);

// Makes a file read-only or writable for its owner (the other permission bits are kept).
bool SetReadOnly(const std::string& sPath, bool bReadOnly);  // injection: "SetReadOnly"
// Makes a file executable by its owner; a no-op on Windows.
bool MakeExecutable(const std::string& sPath);

// Replaces an existing target in one step: at every instant the target name holds the old or the
// new file (fails on Windows when the target is in use or read-only; written through to the
// disk there). injection: "Rename"
bool RenameFile(const std::string& sFrom, const std::string& sTo);
// Writes a directory's entries (creations, renames, removals) to the disk; POSIX only, true
// on Windows, where the entries are written through by the calls themselves.
bool FlushDirectory(const std::string& sPath);
// Writes everything written so far on the volume holding the path (file data and directory
// entries) to the disk in one call; false where the platform has no such call (Windows: files
// are flushed one by one there) or when it fails. injection: "SyncFileSystem"
bool SyncFileSystem(const std::string& sPath);
// Whether SyncFileSystem exists on this platform.
bool CanSyncFileSystem();
bool RemoveFile(const std::string& sPath);            // injection: "Remove"
bool RemoveEmptyDirectory(const std::string& sPath);  // must be empty
// Creates the directory; true when it exists afterwards. Does not create parents.
bool MakeDirectory(const std::string& sPath);
// The names in a directory, without "." and "..". False when it cannot be read.
bool ListDirectory(const std::string& sPath, std::vector<std::string>& names);
// The bytes that the calling user may still write on the volume holding the path (a directory
// or a file). False when it cannot be queried. injection: "GetFreeDiskSpace"
bool GetFreeDiskSpace(const std::string& sPath, uint64_t& u64Free);
// An absolute, normalised form of the path ("" when it cannot be made).
std::string GetFullPath(const std::string& sPath);
std::string GetWorkingDirectory();
bool SetWorkingDirectory(const std::string& sPath);
// The separator this platform prefers, and whether a character separates path components.
char PreferredSeparator();
bool IsSeparator(char c);
// True where two file names that differ only in letter case name the same file (Windows).
bool FileNamesIgnoreCase();

// An open file. The object owns its handle and closes it on destruction.
class CFile {
 public:
  enum EMode {
    eRead,             // existing file, read only
    eReadWrite,        // existing file, read and write
    eCreate,           // create or truncate, read and write
    eCreateExclusive,  // create a new file; fails when the name exists
    // The same, and only its owner may ever open it (a secret key): POSIX mode 0600, a Windows
    // access list with the owner alone, both set as the file is created.
    eCreatePrivate
  };
  CFile() = default;
  ~CFile();
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;

  bool Open(const std::string& sPath, EMode eMode);  // injection: "Open"
  void Close();
  bool IsOpen() const { return m_nFd >= 0 || m_pHandle != nullptr; }

  // Reads up to uSize bytes; the count read, 0 at the end, -1 on error.
  int64_t Read(void* pBuffer, uint64_t uSize);
  // Writes all bytes or fails (a short write is a failure). injection: "Write"
  bool Write(const void* pBuffer, uint64_t uSize);
  bool Seek(uint64_t u64Offset);
  bool GetSize(uint64_t& u64Size);
  bool Truncate(uint64_t u64Size);
  bool Flush();  // injection: "Flush"

  // The native handle, for the file mapping functions of this layer.
  void* NativeHandle() const { return m_pHandle; }
  int NativeFd() const { return m_nFd; }

 private:
  int m_nFd = -1;             // POSIX
  void* m_pHandle = nullptr;  // Windows HANDLE
};

}  // namespace platform
