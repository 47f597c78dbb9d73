// A package file: files compressed in independent zlib chunks of 32768 bytes (the data
// segment), then the table of contents written in reverse, then a 9-byte header at the end.
//
// CPkgFile reads the header and table of a package when it is opened, and creates, extends,
// lists and unpacks packages. Each operation opens the files it needs and closes them before it
// returns, also when it throws. Every refusal throws std::runtime_error with the message for
// the user; a fault of the package's own bytes throws its subclass CPkgDamagedException. An
// object is used by one thread at a time; adding compresses, and unpacking inflates, on helper
// threads of its own.
//
// Entry names are relative paths with a backslash between directory levels. Opening refuses a
// package with any entry name that would leave the directory it is unpacked into (absolute,
// drive letter, network prefix, ".." component), so nothing of such a package is written.
//
// Files of length 0 cannot be stored (readers refuse entries of length 0): adding skips them
// and tells the listener, which may show the warning.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "package/PkgDamagedException.h"
#include "package/PkgFileHdr.h"
#include "package/PkgFileTOCindex.h"
#include "platform/File.h"

namespace common {

// Told about the progress of long operations and about files that are left out.
class IPkgFileListener {
 public:
  // A warning for the user, e.g. "skipped empty file X (a pkg file cannot hold empty files)".
  virtual void OnPkgWarning(const std::string& sText) = 0;
  // Bytes of file data done so far out of the operation's total (uncompressed bytes).
  virtual void OnPkgProgress(uint64_t u64Done, uint64_t u64Total) = 0;
  virtual ~IPkgFileListener() = default;
};

class CPkgFile {
 public:
  // Opens an existing package and reads its header and table of contents.
  explicit CPkgFile(const std::string& sPkgFilePath);
  // An object with no package file yet: current format version, the given level (0..9).
  explicit CPkgFile(int32_t nCompressionLevel);
  virtual ~CPkgFile() = default;
  CPkgFile(const CPkgFile&) = default;
  CPkgFile& operator=(const CPkgFile&) = default;

  // Consistent header and table.
  virtual bool IsValid() const;

  // Creates (or truncates) the package file with length 0; the object then refers to it, with
  // an empty table, the current format version and the given level.
  void Create(const std::string& sPkgFilePath, int32_t nCompressionLevel);

  // Adds each path: a file under its file name, a directory with everything below it under
  // names that start with the directory's own name. An empty list does nothing. Two files that
  // would get the same entry name, or the name of an entry already there (letter case and the
  // separator ignored), are refused before anything is written. When an addition fails, the
  // package is put back as it was before it; one that holds no file stays of length 0.
  void AddFiles(const std::vector<std::string>& paths);
  void AddFile(const std::string& sPath);
  // Adds one file under the given entry name, with the same checks and the same undoing.
  void AddFileAs(const std::string& sPath, const std::string& sEntryName);

  // Unpacks every entry in table order into the directory (empty: the current directory),
  // creating the directories of the entry names. A read-only file of the same name is replaced
  // and left read-only. Each entry must inflate to exactly its table length. A refusal names the
  // first fault in table order, whatever the number of threads.
  void ExtractAll(const std::string& sTargetDir = std::string());
  // Unpacks every entry whose name equals sName byte for byte; returns how many there were.
  size_t ExtractByName(const std::string& sName, const std::string& sTargetDir = std::string());
  // Unpacks every entry but those named sName byte for byte; returns how many it unpacked.
  size_t ExtractAllBut(const std::string& sName, const std::string& sTargetDir = std::string());
  // Inflates the first entry named sName into sContent; false when there is none. An entry
  // larger than u64MaxSize is refused ("NAME is larger than N bytes", CPkgDamagedException),
  // as is one that does not inflate to its table length.
  bool ReadEntry(const std::string& sName, uint64_t u64MaxSize, std::string& sContent) const;

  // Refuses a table in which two entries have the same name (either separator), or
  // (bIgnoreCase) names that differ only in letter case: "duplicate entry name X", "entry names
  // X and Y differ only in letter case" (CPkgDamagedException).
  void CheckEntryNames(bool bIgnoreCase) const;

  // The listing text: a line with path, number of files, level and version, then one line per
  // entry; "\tEmpty pkg file\n" for an empty table.
  void List(std::ostream& out) const;
  // Clears the list and appends every entry's name in table order.
  void GetFileNames(std::vector<std::string>& names) const;
  uint32_t GetNumFiles() const { return static_cast<uint32_t>(m_TOC.size()); }
  uint8_t GetFormatVersion() const { return m_HDR.m_nFormatVersionNum; }
  int32_t GetCompressionLevel() const { return m_HDR.m_nCompressionLevel; }
  const std::string& GetPkgFilePath() const { return m_sPkgFilePath; }
  const CPkgFileTOCindex& GetEntry(uint32_t uIndex) const;
  uint32_t GetEndDataSeg() const { return m_nEndDataSeg; }

  // The header's format version of a package file, read without judging it.
  static uint8_t GetFormatVersion(const std::string& sPkgFilePath);

  // Not owned; null (the default) tells nobody.
  void SetListener(IPkgFileListener* pListener) { m_pListener = pListener; }
  // Threads that compress while adding: 0 (the default) one per core, 1 the calling thread
  // alone. The package bytes are the same for every count.
  void SetCompressionThreads(unsigned uThreads) { m_uCompressionThreads = uThreads; }
  // Threads that inflate while unpacking, counted the same way. The files are the same for
  // every count.
  void SetExtractionThreads(unsigned uThreads) { m_uExtractionThreads = uThreads; }
  // When set, each unpacked file is flushed to the disk before it is closed (off by default).
  void SetFlushExtractedFiles(bool bFlush) { m_bFlushExtractedFiles = bFlush; }

 private:
  struct SSource {
    std::string sPath;       // where the file is read from
    std::string sEntryName;  // the name it gets in the table
    uint64_t u64Size = 0;
  };

  void CollectPath(const std::string& sPath, std::vector<SSource>& sources) const;
  void CollectDirectory(const std::string& sDirPath, const std::string& sRelName,
                        std::vector<SSource>& sources) const;
  void CollectFile(const std::string& sPath, const std::string& sEntryName,
                   const platform::SFileStatus& status, std::vector<SSource>& sources) const;
  void CheckSourceNames(const std::vector<SSource>& sources) const;
  void AddSources(const std::vector<SSource>& sources);
  void WriteSources(platform::CFile& pkg, const std::vector<SSource>& sources,
                    std::vector<CPkgFileTOCindex>& toc);
  void WriteTableAndHeader(platform::CFile& pkg, const std::vector<CPkgFileTOCindex>& toc,
                           uint32_t uPosition) const;
  void ExtractEntries(const std::vector<uint32_t>& indexes, const std::string& sTargetDir) const;
  void Warn(const std::string& sText) const;
  void Progress(uint64_t u64Done, uint64_t u64Total) const;

  std::string m_sPkgFilePath;
  uint32_t m_nEndDataSeg = 0;
  CPkgFileHdr m_HDR;
  std::vector<CPkgFileTOCindex> m_TOC;

  IPkgFileListener* m_pListener = nullptr;
  unsigned m_uCompressionThreads = 0;
  unsigned m_uExtractionThreads = 0;
  bool m_bFlushExtractedFiles = false;
};

}  // namespace common
