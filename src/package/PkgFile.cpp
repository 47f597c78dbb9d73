#include "package/PkgFile.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <stdexcept>

#include "package/ChunkCodec.h"
#include "package/ParallelChunkCodec.h"
#include "platform/SystemError.h"
#include "support/Assert.h"
#include "support/ByteOrder.h"

namespace common {

namespace {

constexpr uint32_t sc_uChunkSize = SPkgChunk::sc_uChunkSize;
constexpr uint32_t sc_uChunkBufferSize = SPkgChunk::sc_uChunkBufferSize;
constexpr uint64_t sc_u64MaxPkgFileLen = 0xFFFFFFFFu;  // offsets are 32-bit
// The table of contents is read backwards through a window of this size.
constexpr uint32_t sc_uTailWindow = 64 * 1024;
// Extraction reads the data segment through a buffer of this size.
constexpr uint32_t sc_uReadBuffer = 256 * 1024;

std::string ErrnoText() {
  return std::to_string(platform::GetLastSystemError());
}

// Reads until uSize bytes are in or the file ends; the count read, -1 on error.
int64_t ReadFull(platform::CFile& file, void* pBuffer, uint64_t uSize) {
  uint8_t* p = static_cast<uint8_t*>(pBuffer);
  uint64_t uDone = 0;
  while (uDone < uSize) {
    int64_t n = file.Read(p + uDone, uSize - uDone);
    if (n < 0) return -1;
    if (n == 0) break;
    uDone += static_cast<uint64_t>(n);
  }
  return static_cast<int64_t>(uDone);
}

// A read that did not get its bytes: damage when the package is too short for what it says
// of itself, a plain failure when the read call failed. The text is the same.
[[noreturn]] void ThrowReadFault(bool bDamaged, const char* pszText) {
  if (bDamaged) throw CPkgDamagedException(pszText);
  throw std::runtime_error(pszText);
}

constexpr char sc_szTableReadFault[] = "error reading pkg file table of contents";
constexpr char sc_szDataReadFault[] = "error reading data segment file";

// Bytes before a position of the file, read backwards through a window.
class CTailReader {
 public:
  explicit CTailReader(platform::CFile& file) : m_file(file) {}

  // The uLen bytes that end at u64End; a table that would begin before the file is damage.
  const uint8_t* Get(uint64_t u64End, uint32_t uLen) {
    if (uLen > u64End) ThrowReadFault(true, sc_szTableReadFault);
    uint64_t u64Begin = u64End - uLen;
    if (u64Begin < m_u64Start || u64End > m_u64Start + m_window.size()) {
      uint64_t u64Start = u64End > sc_uTailWindow ? u64End - sc_uTailWindow : 0;
      m_window.resize(static_cast<size_t>(u64End - u64Start));
      m_u64Start = u64Start;
      if (!m_file.Seek(u64Start) || ReadFull(m_file, m_window.data(), m_window.size()) !=
                                        static_cast<int64_t>(m_window.size())) {
        m_window.clear();
        ThrowReadFault(false, sc_szTableReadFault);
      }
    }
    return m_window.data() + (u64Begin - m_u64Start);
  }

 private:
  platform::CFile& m_file;
  uint64_t m_u64Start = 0;
  std::vector<uint8_t> m_window;
};

// Sequential reads of the data segment through a buffer. The segment ends where the table
// begins: chunks that would reach past it are damage, as is a file that ends before it.
class CSegmentReader {
 public:
  CSegmentReader(platform::CFile& file, uint64_t u64End)
      : m_file(file), m_buffer(sc_uReadBuffer), m_u64End(u64End) {}

  void Seek(uint64_t u64Offset) {
    m_uPos = m_uLen = 0;
    m_u64Next = u64Offset;
    if (u64Offset <= m_u64End && !m_file.Seek(u64Offset)) ThrowReadFault(false, sc_szDataReadFault);
  }

  // All uSize bytes, or a throw.
  void Read(uint8_t* pOut, uint32_t uSize) {
    if (m_u64Next > m_u64End || uSize > m_u64End - m_u64Next) {
      ThrowReadFault(true, sc_szDataReadFault);
    }
    m_u64Next += uSize;
    while (uSize > 0) {
      if (m_uPos == m_uLen) {
        int64_t n = m_file.Read(m_buffer.data(), m_buffer.size());
        if (n <= 0) ThrowReadFault(n == 0, sc_szDataReadFault);
        m_uPos = 0;
        m_uLen = static_cast<size_t>(n);
      }
      size_t uTake = std::min<size_t>(uSize, m_uLen - m_uPos);
      std::memcpy(pOut, m_buffer.data() + m_uPos, uTake);
      m_uPos += uTake;
      pOut += uTake;
      uSize -= static_cast<uint32_t>(uTake);
    }
  }

 private:
  platform::CFile& m_file;
  std::vector<uint8_t> m_buffer;
  size_t m_uPos = 0;
  size_t m_uLen = 0;
  uint64_t m_u64Next = 0;  // the file position of the next byte handed out
  const uint64_t m_u64End;
};

bool IsNameSeparator(char c) {
  return c == '\\' || c == '/';
}

// The last component of a path, trailing separators ignored.
std::string LastComponent(const std::string& sPath) {
  size_t uEnd = sPath.size();
  while (uEnd > 0 && platform::IsSeparator(sPath[uEnd - 1])) --uEnd;
  size_t uBegin = uEnd;
  while (uBegin > 0 && !platform::IsSeparator(sPath[uBegin - 1])) --uBegin;
  return sPath.substr(uBegin, uEnd - uBegin);
}

std::string JoinPath(const std::string& sDir, const std::string& sName) {
  if (sDir.empty()) return sName;
  if (platform::IsSeparator(sDir.back())) return sDir + sName;
  return sDir + platform::PreferredSeparator() + sName;
}

// Where an entry lands on disk: its name with this platform's separator, below the target.
std::string DiskPath(const std::string& sTargetDir, const std::string& sEntryName) {
  std::string sName = sEntryName;
  for (char& c : sName) {
    if (IsNameSeparator(c)) c = platform::PreferredSeparator();
  }
  return JoinPath(sTargetDir, sName);
}

// Creates the directories of an entry name, outermost first. Names are relative (opening
// refuses others), so every prefix lies below the target directory.
void CreateDirectoriesOf(const std::string& sTargetDir, const std::string& sEntryName) {
  for (size_t u = 0; u < sEntryName.size(); ++u) {
    if (!IsNameSeparator(sEntryName[u]) || u == 0 || IsNameSeparator(sEntryName[u - 1])) continue;
    std::string sPrefix = sEntryName.substr(0, u);
    if (!platform::MakeDirectory(DiskPath(sTargetDir, sPrefix))) {
      throw std::runtime_error("unable to create subdirectory" + sPrefix);
    }
  }
}

// Makes a read-only file writable for the time of the write, and read-only again afterwards;
// on an error path the attribute is put back as well, as far as that goes.
class CWritableForWrite {
 public:
  CWritableForWrite(const std::string& sDiskPath, const std::string& sName)
      : m_sDiskPath(sDiskPath) {
    platform::SFileStatus status;
    if (platform::GetFileStatus(sDiskPath, status) && status.bReadOnly) {
      if (!platform::SetReadOnly(sDiskPath, false)) {
        throw std::runtime_error("unable to make " + sName + " writable (errno = " + ErrnoText() +
                                 ")");
      }
      m_bRestore = true;
    }
  }
  ~CWritableForWrite() {
    if (m_bRestore) platform::SetReadOnly(m_sDiskPath, true);
  }
  void Restore(const std::string& sName) {
    if (!m_bRestore) return;
    m_bRestore = false;
    if (!platform::SetReadOnly(m_sDiskPath, true)) {
      throw std::runtime_error("unable to reset " + sName +
                               " to read-only (errno = " + ErrnoText() + ")");
    }
  }

 private:
  std::string m_sDiskPath;
  bool m_bRestore = false;
};

// Opens the package for reading the way every opener does: it must exist and be readable and
// writable, then it is opened for reading.
void OpenExistingPkgFile(const std::string& sPath, platform::CFile& file) {
  platform::SFileStatus status;
  if (!platform::GetFileStatus(sPath, status)) {
    throw std::runtime_error("Pkg file " + sPath + " doesn't exist!");
  }
  {
    platform::CFile probe;
    if (!probe.Open(sPath, platform::CFile::eReadWrite)) {
      throw std::runtime_error("unable to open " + sPath + " (" +
                               platform::LastSystemErrorReason() + ")");
    }
  }
  if (!file.Open(sPath, platform::CFile::eRead)) {
    throw std::runtime_error("unable to open pkg file " + sPath);
  }
}

CPkgFileHdr ReadHeaderOf(platform::CFile& file, uint64_t& u64Len) {
  const char* pszFault = "error reading pkg file header";
  if (!file.GetSize(u64Len)) ThrowReadFault(false, pszFault);
  if (u64Len < CPkgFileHdr::SizeOfHdr()) ThrowReadFault(true, pszFault);
  uint8_t au8Hdr[CPkgFileHdr::SizeOfHdr()];
  if (!file.Seek(u64Len - CPkgFileHdr::SizeOfHdr()) ||
      ReadFull(file, au8Hdr, sizeof(au8Hdr)) != sizeof(au8Hdr)) {
    ThrowReadFault(false, pszFault);
  }
  CPkgFileHdr hdr;
  hdr.Deserialize(au8Hdr);
  return hdr;
}

// Writes the inflated chunks of unpacked entries, one file at a time: an entry's file is opened
// with its first chunk and closed after its last, when the stored lengths of its chunks add up
// to the table's. Nothing beyond the table's length is written. An open file is closed and its
// read-only attribute put back when the object goes, also on an error path.
class CEntryWriter {
 public:
  CEntryWriter(const std::string& sTargetDir, bool bFlush)
      : m_sTargetDir(sTargetDir), m_bFlush(bFlush) {}

  bool IsOpen() const { return m_pEntry != nullptr; }

  void Begin(const CPkgFileTOCindex& entry) {
    const std::string& sName = entry.m_sFileName;
    std::string sDiskPath = DiskPath(m_sTargetDir, sName);
    // Entries of one folder come together: its folders are made once.
    const std::string sFolder = sName.substr(0, sName.find_last_of("/\\") + 1);
    if (sFolder != m_sLastFolder) CreateDirectoriesOf(m_sTargetDir, sName);
    m_sLastFolder = sFolder;
    m_pWritable = std::make_unique<CWritableForWrite>(sDiskPath, sName);
    if (!m_file.Open(sDiskPath, platform::CFile::eCreate)) {
      throw std::runtime_error("unable to open " + sName + " for writing (errno = " + ErrnoText() +
                               ")");
    }
    m_pEntry = &entry;
    m_u64Inflated = 0;
    m_uStoredLeft = entry.m_nStoredFileLen;
  }

  void Write(const SPkgChunk& chunk) {
    if (chunk.nResult != sc_nCodecOk) {
      throw CPkgDamagedException(
          "unable to uncompress data (error = " + std::to_string(chunk.nResult) + ")");
    }
    uint64_t u64Room = m_pEntry->m_nUncompressedFileLen -
                       std::min<uint64_t>(m_u64Inflated, m_pEntry->m_nUncompressedFileLen);
    uint32_t uWrite = static_cast<uint32_t>(std::min<uint64_t>(chunk.uRawLen, u64Room));
    if (uWrite > 0 && !m_file.Write(chunk.au8Raw, uWrite)) WriteFailed();
    m_u64Inflated += chunk.uRawLen;
    m_uStoredLeft -= chunk.uStreamLen;  // the reader queues no chunk longer than what is left
    if (m_uStoredLeft == 0) End();
  }

 private:
  void End() {
    const std::string& sName = m_pEntry->m_sFileName;
    if (m_u64Inflated != m_pEntry->m_nUncompressedFileLen) {
      throw CPkgDamagedException(sName + " inflates to " + std::to_string(m_u64Inflated) +
                                 " bytes, the table says " +
                                 std::to_string(m_pEntry->m_nUncompressedFileLen));
    }
    if (m_bFlush && !m_file.Flush()) WriteFailed();
    m_file.Close();
    m_pWritable->Restore(sName);
    m_pWritable.reset();
    m_pEntry = nullptr;
  }

  [[noreturn]] void WriteFailed() const {
    throw std::runtime_error("error writing " + m_pEntry->m_sFileName + " (errno = " + ErrnoText() +
                             ")");
  }

  const std::string m_sTargetDir;
  const bool m_bFlush;
  std::string m_sLastFolder = "?";                 // the folder part of the last entry's name
  const CPkgFileTOCindex* m_pEntry = nullptr;      // the entry being written
  std::unique_ptr<CWritableForWrite> m_pWritable;  // before m_file: put back once it is closed
  platform::CFile m_file;
  uint64_t m_u64Inflated = 0;
  uint32_t m_uStoredLeft = 0;
};

// Reads one chunk of an entry that has uLeft stored bytes left.
void ReadChunk(CSegmentReader& reader, uint32_t uLeft, SPkgChunk& chunk) {
  uint8_t au8Len[4];
  reader.Read(au8Len, 4);
  uint32_t uLen = LoadLittleEndian32(au8Len);
  if (uLen == 0 || uLen > sc_uChunkBufferSize || uLen > uLeft) {
    throw CPkgDamagedException(sc_szDataReadFault);
  }
  reader.Read(chunk.au8Stream, uLen);
  chunk.uStreamLen = uLen;
}

// Reads the chunks of one entry into the codec. A fault of the reading is returned, not thrown,
// so that it is raised after the chunks before it are written, as unpacking one chunk after
// the other would; a fault of the writing leaves through Push at once.
std::exception_ptr QueueChunks(CSegmentReader& reader, const CPkgFileTOCindex& entry,
                               size_t uSource, CParallelChunkCodec& codec) {
  uint32_t uLeft = entry.m_nStoredFileLen;
  try {
    reader.Seek(entry.m_nOffset);
  } catch (const std::runtime_error&) {
    return std::current_exception();
  }
  while (uLeft > 0) {
    SPkgChunk& chunk = codec.Next();
    try {
      ReadChunk(reader, uLeft, chunk);
    } catch (const std::runtime_error&) {
      return std::current_exception();
    }
    chunk.uSource = uSource;
    codec.Push();
    uLeft -= chunk.uStreamLen;
  }
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

CPkgFile::CPkgFile(const std::string& sPkgFilePath) : m_sPkgFilePath(sPkgFilePath) {
  LARCH_PRECONDITION("NonEmptyPkgFilePath", !sPkgFilePath.empty());
  platform::CFile file;
  OpenExistingPkgFile(sPkgFilePath, file);
  uint64_t u64Len = 0;
  m_HDR = ReadHeaderOf(file, u64Len);
  if (m_HDR.m_nFormatVersionNum != CPkgFileHdr::sc_u8CurrentFormatVersion) {
    throw CPkgDamagedException("out of date package file");
  }
  // A package with no file has no header: it stays empty until files are added. A header that
  // counts none (a file of zeros reads so) is damage, never a package with nothing to unpack.
  if (m_HDR.m_nNumFiles == 0) {
    throw CPkgDamagedException("corrupt pkg file header (invalid number of files)");
  }

  // The table, backwards from the header: entry 0 lies right before it.
  CTailReader tail(file);
  uint64_t u64Pos = u64Len - CPkgFileHdr::SizeOfHdr();
  m_TOC.reserve(m_HDR.m_nNumFiles);
  for (uint32_t u = 0; u < m_HDR.m_nNumFiles; ++u) {
    const uint8_t* pu8Tail = tail.Get(u64Pos, CPkgFileTOCindex::sc_uSizeOfTail);
    uint8_t au8Tail[CPkgFileTOCindex::sc_uSizeOfTail];
    std::memcpy(au8Tail, pu8Tail, sizeof(au8Tail));
    uint32_t uNameLen = CPkgFileTOCindex::ReadFileNameLen(au8Tail);
    u64Pos -= CPkgFileTOCindex::sc_uSizeOfTail;
    const uint8_t* pu8Name = tail.Get(u64Pos, uNameLen);
    u64Pos -= uNameLen;
    CPkgFileTOCindex entry;
    entry.Deserialize(pu8Name, uNameLen, au8Tail, u64Len);
    // Checked before anything is unpacked: such a name would be written outside the target.
    if (!CPkgFileTOCindex::IsSafeFileName(entry.m_sFileName)) {
      throw CPkgDamagedException("invalid file name in table of contents entry: " +
                                 entry.m_sFileName);
    }
    m_TOC.push_back(std::move(entry));
  }
  m_nEndDataSeg = static_cast<uint32_t>(u64Pos);
  LARCH_INVARIANT("ValidPkgFile", IsValid());
}

CPkgFile::CPkgFile(int32_t nCompressionLevel) : m_HDR(nCompressionLevel) {
  LARCH_PRECONDITION("ValidCompressionLevel",
                     CPkgFileHdr::IsValidCompressionLevel(nCompressionLevel));
  if (!CPkgFileHdr::IsValidCompressionLevel(nCompressionLevel)) {
    throw std::runtime_error("invalid compression level " + std::to_string(nCompressionLevel));
  }
}

bool CPkgFile::IsValid() const {
  if (!m_HDR.IsValid() || m_HDR.m_nNumFiles != m_TOC.size()) return false;
  return std::all_of(m_TOC.begin(), m_TOC.end(),
                     [](const CPkgFileTOCindex& entry) { return entry.IsValid(); });
}

void CPkgFile::Create(const std::string& sPkgFilePath, int32_t nCompressionLevel) {
  LARCH_INVARIANT("ValidPkgFile", IsValid());
  LARCH_PRECONDITION("NonEmptyPkgFilePath", !sPkgFilePath.empty());
  LARCH_PRECONDITION("ValidCompressionLevel",
                     CPkgFileHdr::IsValidCompressionLevel(nCompressionLevel));
  if (!CPkgFileHdr::IsValidCompressionLevel(nCompressionLevel)) {
    throw std::runtime_error("invalid compression level " + std::to_string(nCompressionLevel));
  }
  platform::CFile file;
  if (sPkgFilePath.empty() || !file.Open(sPkgFilePath, platform::CFile::eCreate)) {
    throw std::runtime_error("unable to create pkg file " + sPkgFilePath + ": " +
                             platform::LastSystemErrorReason());
  }
  m_sPkgFilePath = sPkgFilePath;
  m_nEndDataSeg = 0;
  m_HDR = CPkgFileHdr(nCompressionLevel);
  m_TOC.clear();
}

void CPkgFile::AddFile(const std::string& sPath) {
  AddFiles(std::vector<std::string>{sPath});
}

void CPkgFile::AddFiles(const std::vector<std::string>& paths) {
  LARCH_INVARIANT("ValidPkgFile", IsValid());
  if (paths.empty()) return;
  if (m_sPkgFilePath.empty()) throw std::runtime_error("no output pkg file specified");
  std::vector<SSource> sources;
  for (const std::string& sPath : paths) CollectPath(sPath, sources);
  AddSources(sources);
}

void CPkgFile::AddFileAs(const std::string& sPath, const std::string& sEntryName) {
  LARCH_INVARIANT("ValidPkgFile", IsValid());
  platform::SFileStatus status;
  if (!platform::GetFileStatus(sPath, status) || !status.bExists) {
    throw std::runtime_error("unable to find " + sPath);
  }
  std::vector<SSource> sources;
  CollectFile(sPath, sEntryName, status, sources);
  AddSources(sources);
}

void CPkgFile::AddSources(const std::vector<SSource>& sources) {
  if (m_sPkgFilePath.empty()) throw std::runtime_error("no output pkg file specified");
  platform::CFile pkg;
  if (!pkg.Open(m_sPkgFilePath, platform::CFile::eReadWrite)) {
    throw std::runtime_error("unable to open pkg file " + m_sPkgFilePath + "for append");
  }
  uint64_t u64OriginalLen = 0;
  pkg.GetSize(u64OriginalLen);
  CheckSourceNames(sources);
  if (m_TOC.size() + sources.size() > CPkgFileHdr::sc_uMaxNumFiles) {
    throw std::runtime_error("too many files for a pkg file (at most " +
                             std::to_string(CPkgFileHdr::sc_uMaxNumFiles) + ")");
  }

  std::vector<CPkgFileTOCindex> toc = m_TOC;
  uint32_t uOldEndDataSeg = m_nEndDataSeg;
  try {
    WriteSources(pkg, sources, toc);
    WriteTableAndHeader(pkg, toc, m_nEndDataSeg);
  } catch (...) {
    // The new data went over the old table: put the package back as it was.
    m_nEndDataSeg = uOldEndDataSeg;
    try {
      if (u64OriginalLen == 0) {
        pkg.Truncate(0);
      } else {
        WriteTableAndHeader(pkg, m_TOC, m_nEndDataSeg);
      }
    } catch (...) {
    }
    throw;
  }
  m_TOC = std::move(toc);
  m_HDR.m_nNumFiles = static_cast<uint32_t>(m_TOC.size());
  LARCH_INVARIANT("ValidPkgFile", IsValid());
}

// Two files stored under one name would make a package whose later entry overwrites the
// earlier one when unpacked, or which unpacks differently where names ignore letter case.
void CPkgFile::CheckSourceNames(const std::vector<SSource>& sources) const {
  std::map<std::string, const std::string*> inPackage;  // folded name -> entry name
  for (const CPkgFileTOCindex& entry : m_TOC) {
    inPackage.emplace(CPkgFileTOCindex::FoldedName(entry.m_sFileName, true), &entry.m_sFileName);
  }
  std::map<std::string, const SSource*> added;  // folded name -> first source
  for (const SSource& source : sources) {
    std::string sKey = CPkgFileTOCindex::FoldedName(source.sEntryName, true);
    auto itEntry = inPackage.find(sKey);
    if (itEntry != inPackage.end()) {
      const std::string& sEntry = *itEntry->second;
      throw std::runtime_error(source.sPath + " would be stored as " + source.sEntryName +
                               ", which is already in the package" +
                               (sEntry == source.sEntryName ? "" : " as " + sEntry));
    }
    auto inserted = added.emplace(sKey, &source);
    if (inserted.second) continue;
    const SSource& first = *inserted.first->second;
    std::string sNames =
        first.sEntryName == source.sEntryName
            ? first.sEntryName
            : first.sEntryName + " and " + source.sEntryName + ", which differ only in letter case";
    throw std::runtime_error("two files would be stored as " + sNames + ": " + first.sPath +
                             " and " + source.sPath);
  }
}

void CPkgFile::CollectPath(const std::string& sPath, std::vector<SSource>& sources) const {
  platform::SFileStatus status;
  if (!platform::GetFileStatus(sPath, status)) {
    throw std::runtime_error("file not found: " + sPath);
  }
  if (status.bDirectory) {
    CollectDirectory(sPath, LastComponent(sPath), sources);
  } else {
    CollectFile(sPath, LastComponent(sPath), status, sources);
  }
}

void CPkgFile::CollectDirectory(const std::string& sDirPath, const std::string& sRelName,
                                std::vector<SSource>& sources) const {
  // Names grow with every level; this also ends the walk through a link to a parent.
  if (sRelName.size() >= CPkgFileTOCindex::sc_uMaxFileNameLen) {
    throw std::runtime_error("file name too long for a pkg file: " + sRelName);
  }
  std::vector<std::string> names;
  if (!platform::ListDirectory(sDirPath, names)) {
    throw std::runtime_error("Unable to change directory to " + sDirPath);
  }
  // Sorted, so that the same tree gives the same package on every machine.
  std::sort(names.begin(), names.end());
  for (const std::string& sName : names) {
    std::string sPath = JoinPath(sDirPath, sName);
    platform::SFileStatus status;
    if (!platform::GetFileStatus(sPath, status)) {
      throw std::runtime_error("unable to stat " + sName + " (" + ErrnoText() + ")");
    }
    std::string sEntryName = sRelName + "\\" + sName;
    if (status.bDirectory) {
      CollectDirectory(sPath, sEntryName, sources);
    } else {
      CollectFile(sPath, sEntryName, status, sources);
    }
  }
}

void CPkgFile::CollectFile(const std::string& sPath, const std::string& sEntryName,
                           const platform::SFileStatus& status,
                           std::vector<SSource>& sources) const {
  if (!status.bRegularFile) {
    Warn("skipped " + sPath + " (not a regular file)");
    return;
  }
  // The cheap test first: full paths cost a system call each.
  if (LastComponent(sPath) == LastComponent(m_sPkgFilePath) &&
      platform::GetFullPath(sPath) == platform::GetFullPath(m_sPkgFilePath)) {
    Warn("skipped " + sPath + " (the pkg file itself)");
    return;
  }
  if (status.u64Size == 0) {
    Warn("skipped empty file " + sPath + " (a pkg file cannot hold files of length 0)");
    return;
  }
  if (sEntryName.size() >= CPkgFileTOCindex::sc_uMaxFileNameLen) {
    throw std::runtime_error("file name too long for a pkg file: " + sEntryName);
  }
  if (!CPkgFileTOCindex::IsSafeFileName(sEntryName)) {
    throw std::runtime_error("file name not allowed in a pkg file: " + sEntryName);
  }
  if (status.u64Size > sc_u64MaxPkgFileLen) {
    throw std::runtime_error("file too large for a pkg file: " + sPath);
  }
  sources.push_back(SSource{sPath, sEntryName, status.u64Size});
}

// Reads the sources chunk by chunk into the codec, which compresses them on its threads and
// hands them back in order: their streams are written, and the entries of the sources are
// appended to the table.
void CPkgFile::WriteSources(platform::CFile& pkg, const std::vector<SSource>& sources,
                            std::vector<CPkgFileTOCindex>& toc) {
  if (sources.empty()) return;
  uint64_t u64Total = 0;
  for (const SSource& source : sources) u64Total += source.u64Size;

  std::vector<CPkgFileTOCindex> entries(sources.size());
  std::vector<uint8_t> output;
  uint64_t u64Pos = m_nEndDataSeg;
  uint64_t u64Done = 0;
  if (!pkg.Seek(u64Pos)) throw std::runtime_error("error writing pkg file " + m_sPkgFilePath);

  auto writeBatch = [&](const CParallelChunkCodec::TBatch& batch, size_t uCount) {
    output.clear();
    for (size_t u = 0; u < uCount; ++u) {
      const SPkgChunk& chunk = *batch[u];
      if (chunk.nResult != sc_nCodecOk) {
        throw std::runtime_error(
            "unable to compress data (error = " + std::to_string(chunk.nResult) + ")");
      }
      CPkgFileTOCindex& entry = entries[chunk.uSource];
      if (u64Pos + 4 + chunk.uStreamLen > sc_u64MaxPkgFileLen) {
        throw std::runtime_error("pkg file too large (at most 4 GB) to add " +
                                 sources[chunk.uSource].sPath);
      }
      if (entry.m_nUncompressedFileLen == 0) entry.m_nOffset = static_cast<uint32_t>(u64Pos);
      entry.m_nUncompressedFileLen += chunk.uRawLen;
      entry.m_nStoredFileLen += chunk.uStreamLen;
      uint8_t au8Len[4];
      StoreLittleEndian32(au8Len, chunk.uStreamLen);
      output.insert(output.end(), au8Len, au8Len + 4);
      output.insert(output.end(), chunk.au8Stream, chunk.au8Stream + chunk.uStreamLen);
      u64Pos += 4 + chunk.uStreamLen;
      u64Done += chunk.uRawLen;
    }
    if (!output.empty() && !pkg.Write(output.data(), output.size())) {
      throw std::runtime_error("error writing pkg file " + m_sPkgFilePath);
    }
    Progress(u64Done, u64Total);
  };
  CParallelChunkCodec codec(CParallelChunkCodec::eCompress, m_HDR.m_nCompressionLevel,
                            m_uCompressionThreads, writeBatch);

  for (size_t uSource = 0; uSource < sources.size(); ++uSource) {
    const SSource& source = sources[uSource];
    entries[uSource].m_sFileName = source.sEntryName;
    platform::CFile file;
    if (!file.Open(source.sPath, platform::CFile::eRead)) {
      throw std::runtime_error("unable to open " + source.sPath + " to add to the pkg file");
    }
    // At most the size seen when the file was listed, so that a growing file ends.
    uint64_t u64Left = source.u64Size;
    while (u64Left > 0) {
      SPkgChunk& chunk = codec.Next();
      uint32_t uWant = static_cast<uint32_t>(std::min<uint64_t>(u64Left, sc_uChunkSize));
      int64_t nRead = ReadFull(file, chunk.au8Raw, uWant);
      if (nRead < 0) throw std::runtime_error(sc_szDataReadFault);
      if (nRead == 0) break;
      chunk.uRawLen = static_cast<uint32_t>(nRead);
      chunk.uSource = uSource;
      u64Left -= static_cast<uint64_t>(nRead);
      codec.Push();
      if (static_cast<uint32_t>(nRead) < uWant) break;
    }
  }
  codec.Finish();

  for (size_t uSource = 0; uSource < sources.size(); ++uSource) {
    // A file that became empty after it was listed has no data and gets no entry.
    if (entries[uSource].m_nUncompressedFileLen == 0) {
      Warn("skipped empty file " + sources[uSource].sPath +
           " (a pkg file cannot hold files of length 0)");
      continue;
    }
    toc.push_back(std::move(entries[uSource]));
  }
  m_nEndDataSeg = static_cast<uint32_t>(u64Pos);
}

void CPkgFile::WriteTableAndHeader(platform::CFile& pkg, const std::vector<CPkgFileTOCindex>& toc,
                                   uint32_t uPosition) const {
  if (toc.empty() && uPosition != 0) {
    throw std::runtime_error("attempted to write empty TOC to non-empty pkg file");
  }
  // A package with no file has no header (readers refuse a header that counts no file).
  if (toc.empty()) {
    if (!pkg.Truncate(0)) throw std::runtime_error("error writing pkg file " + m_sPkgFilePath);
    return;
  }
  std::string sBytes;
  for (auto it = toc.rbegin(); it != toc.rend(); ++it) it->Serialize(sBytes);
  CPkgFileHdr hdr = m_HDR;
  hdr.m_nNumFiles = static_cast<uint32_t>(toc.size());
  uint8_t au8Hdr[CPkgFileHdr::SizeOfHdr()];
  hdr.Serialize(au8Hdr);
  sBytes.append(reinterpret_cast<const char*>(au8Hdr), sizeof(au8Hdr));
  bool bWritten = pkg.Seek(uPosition) && pkg.Write(sBytes.data(), sBytes.size()) &&
                  pkg.Truncate(uPosition + sBytes.size());
  LARCH_DEBUG_ASSERT(bWritten);
  if (!bWritten) throw std::runtime_error("error writing pkg file " + m_sPkgFilePath);
}

// ---------------------------------------------------------------------------------------------

void CPkgFile::ExtractAll(const std::string& sTargetDir) {
  LARCH_INVARIANT("ValidPkgFile", IsValid());
  std::vector<uint32_t> indexes(m_TOC.size());
  for (uint32_t u = 0; u < indexes.size(); ++u) indexes[u] = u;
  ExtractEntries(indexes, sTargetDir);
}

size_t CPkgFile::ExtractByName(const std::string& sName, const std::string& sTargetDir) {
  LARCH_INVARIANT("ValidPkgFile", IsValid());
  std::vector<uint32_t> indexes;
  for (uint32_t u = 0; u < m_TOC.size(); ++u) {
    if (m_TOC[u].m_sFileName == sName) indexes.push_back(u);
  }
  ExtractEntries(indexes, sTargetDir);
  return indexes.size();
}

size_t CPkgFile::ExtractAllBut(const std::string& sName, const std::string& sTargetDir) {
  LARCH_INVARIANT("ValidPkgFile", IsValid());
  std::vector<uint32_t> indexes;
  for (uint32_t u = 0; u < m_TOC.size(); ++u) {
    if (m_TOC[u].m_sFileName != sName) indexes.push_back(u);
  }
  ExtractEntries(indexes, sTargetDir);
  return indexes.size();
}

bool CPkgFile::ReadEntry(const std::string& sName, uint64_t u64MaxSize,
                         std::string& sContent) const {
  LARCH_INVARIANT("ValidPkgFile", IsValid());
  auto it = std::find_if(m_TOC.begin(), m_TOC.end(),
                         [&](const CPkgFileTOCindex& entry) { return entry.m_sFileName == sName; });
  if (it == m_TOC.end()) return false;
  const CPkgFileTOCindex& entry = *it;
  if (entry.m_nUncompressedFileLen > u64MaxSize) {
    throw CPkgDamagedException(sName + " is larger than " + std::to_string(u64MaxSize) + " bytes");
  }
  platform::CFile pkg;
  if (!pkg.Open(m_sPkgFilePath, platform::CFile::eRead)) {
    throw std::runtime_error("unable to open pkg file " + m_sPkgFilePath + " for reading");
  }
  sContent.clear();
  uint64_t u64Inflated = 0;
  auto collect = [&](const CParallelChunkCodec::TBatch& batch, size_t uCount) {
    for (size_t u = 0; u < uCount; ++u) {
      const SPkgChunk& chunk = *batch[u];
      if (chunk.nResult != sc_nCodecOk) {
        throw CPkgDamagedException(
            "unable to uncompress data (error = " + std::to_string(chunk.nResult) + ")");
      }
      const uint64_t u64Room = entry.m_nUncompressedFileLen - sContent.size();
      sContent.append(reinterpret_cast<const char*>(chunk.au8Raw),
                      static_cast<size_t>(std::min<uint64_t>(chunk.uRawLen, u64Room)));
      u64Inflated += chunk.uRawLen;
    }
  };
  CSegmentReader reader(pkg, m_nEndDataSeg);
  CParallelChunkCodec codec(CParallelChunkCodec::eInflate, 0, 1, collect);
  std::exception_ptr pReadFault = QueueChunks(reader, entry, 0, codec);
  codec.Finish();
  if (pReadFault) std::rethrow_exception(pReadFault);
  if (u64Inflated != entry.m_nUncompressedFileLen) {
    throw CPkgDamagedException(sName + " inflates to " + std::to_string(u64Inflated) +
                               " bytes, the table says " +
                               std::to_string(entry.m_nUncompressedFileLen));
  }
  return true;
}

void CPkgFile::ExtractEntries(const std::vector<uint32_t>& indexes,
                              const std::string& sTargetDir) const {
  if (indexes.empty()) return;
  uint64_t u64Total = 0, u64Done = 0;
  for (uint32_t uIndex : indexes) {
    LARCH_PRECONDITION("ValidTOCIndex", uIndex < m_TOC.size());
    u64Total += m_TOC.at(uIndex).m_nUncompressedFileLen;
  }
  platform::CFile pkg;
  if (!pkg.Open(m_sPkgFilePath, platform::CFile::eRead)) {
    throw std::runtime_error("unable to open pkg file " + m_sPkgFilePath + " for reading");
  }
  CSegmentReader reader(pkg, m_nEndDataSeg);
  CEntryWriter writer(sTargetDir, m_bFlushExtractedFiles);
  auto writeBatch = [&](const CParallelChunkCodec::TBatch& batch, size_t uCount) {
    for (size_t u = 0; u < uCount; ++u) {
      const SPkgChunk& chunk = *batch[u];
      if (!writer.IsOpen()) writer.Begin(m_TOC[indexes[chunk.uSource]]);
      writer.Write(chunk);
      u64Done += chunk.uRawLen;
    }
    Progress(std::min(u64Done, u64Total), u64Total);
  };
  CParallelChunkCodec codec(CParallelChunkCodec::eInflate, 0, m_uExtractionThreads, writeBatch);

  std::exception_ptr pReadFault;
  for (size_t u = 0; u < indexes.size() && !pReadFault; ++u) {
    pReadFault = QueueChunks(reader, m_TOC[indexes[u]], u, codec);
  }
  codec.Finish();
  if (pReadFault) std::rethrow_exception(pReadFault);
}

// ---------------------------------------------------------------------------------------------

void CPkgFile::CheckEntryNames(bool bIgnoreCase) const {
  std::map<std::string, const std::string*> seen;  // folded name -> first entry's name
  for (const CPkgFileTOCindex& entry : m_TOC) {
    auto inserted = seen.emplace(CPkgFileTOCindex::FoldedName(entry.m_sFileName, bIgnoreCase),
                                 &entry.m_sFileName);
    if (inserted.second) continue;
    const std::string& sFirst = *inserted.first->second;
    // The same name, perhaps with the other separator.
    if (CPkgFileTOCindex::FoldedName(sFirst, false) ==
        CPkgFileTOCindex::FoldedName(entry.m_sFileName, false)) {
      throw CPkgDamagedException("duplicate entry name " + sFirst);
    }
    throw CPkgDamagedException("entry names " + sFirst + " and " + entry.m_sFileName +
                               " differ only in letter case");
  }
}

void CPkgFile::List(std::ostream& out) const {
  LARCH_INVARIANT("ValidPkgFile", IsValid());
  if (m_TOC.empty()) {
    out << "\tEmpty pkg file\n";
    return;
  }
  out << m_sPkgFilePath << " (" << m_TOC.size() << " files"
      << ", compression level " << m_HDR.m_nCompressionLevel << ", format version # "
      << static_cast<unsigned>(m_HDR.m_nFormatVersionNum) << ")\n";
  for (const CPkgFileTOCindex& entry : m_TOC) {
    out << "\t" << entry.m_sFileName << ": " << entry.m_nUncompressedFileLen << "/"
        << entry.m_nStoredFileLen << " (uncompressed/stored sizes) at offset " << entry.m_nOffset
        << "\n";
  }
}

void CPkgFile::GetFileNames(std::vector<std::string>& names) const {
  LARCH_INVARIANT("ValidPkgFile", IsValid());
  names.clear();
  for (const CPkgFileTOCindex& entry : m_TOC) names.push_back(entry.m_sFileName);
}

const CPkgFileTOCindex& CPkgFile::GetEntry(uint32_t uIndex) const {
  LARCH_PRECONDITION("ValidTOCIndex", uIndex < m_TOC.size());
  if (uIndex >= m_TOC.size()) throw std::out_of_range("pkg file entry index");
  return m_TOC[uIndex];
}

uint8_t CPkgFile::GetFormatVersion(const std::string& sPkgFilePath) {
  platform::CFile file;
  OpenExistingPkgFile(sPkgFilePath, file);
  uint64_t u64Len = 0;
  return ReadHeaderOf(file, u64Len).m_nFormatVersionNum;
}

void CPkgFile::Warn(const std::string& sText) const {
  if (m_pListener) m_pListener->OnPkgWarning(sText);
}

void CPkgFile::Progress(uint64_t u64Done, uint64_t u64Total) const {
  if (m_pListener) m_pListener->OnPkgProgress(u64Done, u64Total);
}

}  // namespace common
