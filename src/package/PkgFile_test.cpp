#include "package/PkgFile.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>

#include "package/ChunkCodec.h"
#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "platform/SystemError.h"
#include "support/ByteOrder.h"
#include "support/TestUtil.h"

namespace {

using larch_test::ErrorOf;

using common::CPkgFile;
using Bytes = std::string;

Bytes ReadAll(const std::string& sPath) {
  std::ifstream in(sPath, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& sPath, const Bytes& bytes) {
  std::ofstream out(sPath, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

Bytes U32(uint32_t u) {
  uint8_t a[4];
  common::StoreLittleEndian32(a, u);
  return Bytes(reinterpret_cast<char*>(a), 4);
}

// Bytes that compress somewhat, like program files: words with random noise.
Bytes MixedBytes(size_t uSize, unsigned uSeed) {
  std::mt19937 rng(uSeed);
  static const char* s_apszWords[] = {"update ", "package ", "server ", "\x01\x02\x03\x04", "0000"};
  Bytes bytes;
  while (bytes.size() < uSize) {
    if (rng() % 4 == 0) {
      bytes.push_back(static_cast<char>(rng()));
    } else {
      bytes += s_apszWords[rng() % 5];
    }
  }
  bytes.resize(uSize);
  return bytes;
}

// The package's bytes from offset to the table, chunk by chunk, each inflated with zlib's
// one-call decompressor: every package must stay readable by it.
Bytes InflateWithZlib(const Bytes& pkg, uint32_t uOffset, uint32_t uStored,
                      std::vector<uint32_t>* pChunkLens = nullptr) {
  Bytes out;
  uint32_t uPos = uOffset, uLeft = uStored;
  while (uLeft > 0) {
    uint32_t uLen = common::LoadLittleEndian32(reinterpret_cast<const uint8_t*>(pkg.data()) + uPos);
    std::vector<uint8_t> buffer(36057);
    uLongf uOut = buffer.size();
    EXPECT_EQ(Z_OK, ::uncompress(buffer.data(), &uOut,
                                 reinterpret_cast<const Bytef*>(pkg.data()) + uPos + 4, uLen));
    out.append(reinterpret_cast<char*>(buffer.data()), uOut);
    if (pChunkLens) pChunkLens->push_back(static_cast<uint32_t>(uOut));
    uPos += 4 + uLen;
    uLeft -= uLen;
  }
  return out;
}

// The text of a refusal as damage; any other exception's text is marked, so that comparing the
// whole text also checks the kind.
std::string DamageOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const common::CPkgDamagedException& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("not damage: ") + e.what();
  }
  return "(no exception)";
}

// Every file below the directory with its bytes, by path relative to it.
std::map<std::string, Bytes> TreeContent(const std::string& sDir) {
  std::map<std::string, Bytes> content;
  for (const auto& item : std::filesystem::recursive_directory_iterator(sDir)) {
    if (!item.is_regular_file()) continue;
    content[std::filesystem::relative(item.path(), sDir).generic_string()] =
        ReadAll(item.path().string());
  }
  return content;
}

class CRecordingListener : public common::IPkgFileListener {
 public:
  void OnPkgWarning(const std::string& sText) override { m_warnings.push_back(sText); }
  void OnPkgProgress(uint64_t u64Done, uint64_t u64Total) override {
    m_u64LastDone = u64Done;
    m_u64Total = u64Total;
  }
  std::vector<std::string> m_warnings;
  uint64_t m_u64LastDone = 0, m_u64Total = 0;
};

// A package built by hand: the data bytes, then entries (already in file order), then header.
Bytes HandMadePkg(const Bytes& data, const std::vector<Bytes>& entriesInFileOrder, uint8_t uVersion,
                  int32_t nLevel, uint32_t uNumFiles) {
  Bytes pkg = data;
  for (const Bytes& entry : entriesInFileOrder) pkg += entry;
  pkg.push_back(static_cast<char>(uVersion));
  pkg += U32(static_cast<uint32_t>(nLevel)) + U32(uNumFiles);
  return pkg;
}

Bytes Entry(const std::string& sName, uint32_t uUncompressed, uint32_t uStored, uint32_t uOffset,
            uint32_t uNameLen = 0) {
  return sName + '\0' + U32(uUncompressed) + U32(uStored) + U32(uOffset) +
         U32(uNameLen ? uNameLen : static_cast<uint32_t>(sName.size() + 1));
}

// One chunk holding the bytes, compressed by zlib at level 9.
Bytes ZlibChunk(const Bytes& content) {
  std::vector<uint8_t> buffer(36057);
  uLongf uLen = buffer.size();
  ::compress2(buffer.data(), &uLen, reinterpret_cast<const Bytef*>(content.data()), content.size(),
              9);
  return U32(static_cast<uint32_t>(uLen)) + Bytes(reinterpret_cast<char*>(buffer.data()), uLen);
}

class PkgFileTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::ClearInjectedFailures(); }
  std::string Pkg() const { return m_dir / "out.pkg"; }
  larch_test::CScratchDir m_dir;
};

// ---------------------------------------------------------------------------------------------
// Byte layout

TEST_F(PkgFileTest, OneFileExampleHasTheDocumentedLayout) {
  WriteAll(m_dir / "a.txt", "hello");
  CPkgFile pkg(9);
  pkg.Create(Pkg(), 9);
  pkg.AddFile(m_dir / "a.txt");

  common::CChunkCompressor compressor(9);
  uint8_t au8Stream[36057];
  uint32_t uLen = 0;
  ASSERT_EQ(0, compressor.Compress(reinterpret_cast<const uint8_t*>("hello"), 5, au8Stream,
                                   sizeof(au8Stream), uLen));
  Bytes stream(reinterpret_cast<char*>(au8Stream), uLen);
  Bytes expected = U32(uLen) + stream + Bytes("a.txt\0", 6) + U32(5) + U32(uLen) + U32(0) + U32(6) +
                   Bytes("\x00\x09\x00\x00\x00\x01\x00\x00\x00", 9);
  Bytes actual = ReadAll(Pkg());
  EXPECT_EQ(expected, actual);
  EXPECT_EQ(4 + uLen + 6 + 16 + 9, actual.size());
  EXPECT_EQ("hello", InflateWithZlib(actual, 0, uLen));

  CPkgFile reopened(Pkg());
  EXPECT_EQ(1u, reopened.GetNumFiles());
  EXPECT_EQ(0, reopened.GetFormatVersion());
  EXPECT_EQ(9, reopened.GetCompressionLevel());
  EXPECT_EQ(4 + uLen, reopened.GetEndDataSeg());
  EXPECT_EQ("a.txt", reopened.GetEntry(0).m_sFileName);
  EXPECT_EQ(uLen, reopened.GetEntry(0).m_nStoredFileLen);
}

TEST_F(PkgFileTest, FilesAreCutIntoChunksOf32768Bytes) {
  Bytes exact = MixedBytes(32768, 1), oneMore = MixedBytes(32769, 2);
  WriteAll(m_dir / "exact.bin", exact);
  WriteAll(m_dir / "more.bin", oneMore);
  for (int nLevel : {0, 1, 6, 9}) {
    CPkgFile pkg(nLevel);
    pkg.Create(Pkg(), nLevel);
    pkg.AddFiles({m_dir / "exact.bin", m_dir / "more.bin"});
    Bytes bytes = ReadAll(Pkg());

    std::vector<uint32_t> chunks;
    const auto& e0 = pkg.GetEntry(0);
    EXPECT_EQ(exact, InflateWithZlib(bytes, e0.m_nOffset, e0.m_nStoredFileLen, &chunks));
    EXPECT_EQ(std::vector<uint32_t>{32768}, chunks);
    chunks.clear();
    const auto& e1 = pkg.GetEntry(1);
    EXPECT_EQ(oneMore, InflateWithZlib(bytes, e1.m_nOffset, e1.m_nStoredFileLen, &chunks));
    EXPECT_EQ((std::vector<uint32_t>{32768, 1}), chunks);
    // The second file's data follows the first file's last chunk without a gap.
    EXPECT_EQ(e0.m_nStoredFileLen + 4, e1.m_nOffset);
    EXPECT_EQ(e1.m_nOffset + e1.m_nStoredFileLen + 8, pkg.GetEndDataSeg());
  }
}

TEST_F(PkgFileTest, TableOfContentsIsWrittenInReverse) {
  WriteAll(m_dir / "b", "bb");
  WriteAll(m_dir / "a", "a");
  CPkgFile pkg(6);
  pkg.Create(Pkg(), 6);
  pkg.AddFiles({m_dir / "b", m_dir / "a"});

  const uint32_t uEnd = pkg.GetEndDataSeg();
  const auto& b = pkg.GetEntry(0);
  const auto& a = pkg.GetEntry(1);
  Bytes table = Entry("a", 1, a.m_nStoredFileLen, a.m_nOffset) +
                Entry("b", 2, b.m_nStoredFileLen, b.m_nOffset);
  Bytes bytes = ReadAll(Pkg());
  EXPECT_EQ(table, bytes.substr(uEnd, bytes.size() - 9 - uEnd));

  std::vector<std::string> names;
  CPkgFile(Pkg()).GetFileNames(names);
  EXPECT_EQ((std::vector<std::string>{"b", "a"}), names);
}

TEST_F(PkgFileTest, ParallelWriterIsByteIdenticalToSerialWriter) {
  larch_test::CScratchDir tree;
  platform::MakeDirectory(tree / "t");
  for (int i = 0; i < 12; ++i) {
    WriteAll(tree / ("t/f" + std::to_string(i)), MixedBytes(1000 + i * 70001, 10 + i));
  }
  Bytes serial, parallel;
  for (unsigned uThreads : {1u, 4u}) {
    CPkgFile pkg(6);
    pkg.Create(Pkg(), 6);
    pkg.SetCompressionThreads(uThreads);
    pkg.AddFiles({tree / "t"});
    (uThreads == 1 ? serial : parallel) = ReadAll(Pkg());
  }
  EXPECT_EQ(serial, parallel);
  EXPECT_GT(serial.size(), 100000u);

  // Unpacking with helpers, and with the files flushed, gives the tree back byte for byte.
  const std::map<std::string, Bytes> expected = TreeContent(tree.Path());
  for (unsigned uThreads : {1u, 4u}) {
    larch_test::CScratchDir target;
    CPkgFile opened(Pkg());
    opened.SetExtractionThreads(uThreads);
    opened.SetFlushExtractedFiles(uThreads > 1);
    opened.ExtractAll(target.Path());
    EXPECT_EQ(expected, TreeContent(target.Path())) << uThreads;
  }
}

// ---------------------------------------------------------------------------------------------
// Refusals on opening

TEST_F(PkgFileTest, OpeningRefusesMissingAndDamagedPackages) {
  const std::string sMissing = m_dir / "missing.pkg";
  EXPECT_EQ("not damage: Pkg file " + sMissing + " doesn't exist!",
            DamageOf([&] { CPkgFile p(sMissing); }));

  Bytes chunk = ZlibChunk("hello");
  uint32_t uStored = static_cast<uint32_t>(chunk.size() - 4);
  Bytes good = Entry("a.txt", 5, uStored, 0);
  struct SCase {
    Bytes pkg;
    std::string sMessage;
  } cases[] = {
      {HandMadePkg(chunk, {good}, 0, 10, 1),
       "corrupt pkg file header (invalid compression level 10)"},
      {HandMadePkg(chunk, {good}, 0, -1, 1),
       "corrupt pkg file header (invalid compression level -1)"},
      {HandMadePkg(chunk, {good}, 0, 9, 100001),
       "corrupt pkg file header (invalid number of files)"},
      {HandMadePkg(chunk, {good}, 1, 9, 1), "out of date package file"},
      {HandMadePkg(chunk, {Entry("a.txt", 5, uStored, 0, 261)}, 0, 9, 1),
       "invalid file name length in table of contents entry"},
      {HandMadePkg(chunk, {Entry("a.txt", 5, uStored, 10000)}, 0, 9, 1),
       "invalid data segment file offset in table of contents entry"},
      {HandMadePkg(chunk, {Entry("a.txt", 0, uStored, 0)}, 0, 9, 1),
       "invalid data segment uncompressed file length from table of contents entry"},
      {HandMadePkg(chunk, {Entry("a.txt", 5, 0, 0)}, 0, 9, 1),
       "invalid data segment stored file length from table of contents entry"},
      // Zeros read as a header that counts no file; a package with no file has no header.
      {Bytes(4096, '\0'), "corrupt pkg file header (invalid number of files)"},
      {Bytes(9, '\0'), "corrupt pkg file header (invalid number of files)"},
      {HandMadePkg(Bytes(), {}, 0, 9, 0), "corrupt pkg file header (invalid number of files)"},
  };
  for (const SCase& c : cases) {
    WriteAll(Pkg(), c.pkg);
    EXPECT_EQ(c.sMessage, DamageOf([&] { CPkgFile p(Pkg()); }));
  }

  // Level 0 is a level like the others.
  WriteAll(Pkg(), HandMadePkg(chunk, {good}, 0, 0, 1));
  EXPECT_EQ(0, CPkgFile(Pkg()).GetCompressionLevel());
  // The version of a file is read without judging it.
  WriteAll(Pkg(), HandMadePkg(chunk, {good}, 1, 9, 1));
  EXPECT_EQ(1, CPkgFile::GetFormatVersion(Pkg()));
}

TEST_F(PkgFileTest, ShortFilesAndTablesAreDamage) {
  Bytes chunk = ZlibChunk("hello");
  struct SCase {
    Bytes pkg;
    std::string sMessage;
  } cases[] = {
      {Bytes("\0\x09\0\0", 4), "error reading pkg file header"},
      {Bytes(), "error reading pkg file header"},
      // Claims two entries, holds one that starts the file.
      {HandMadePkg(Bytes(), {Entry("a", 5, 5, 0)}, 0, 9, 2),
       "error reading pkg file table of contents"},
  };
  for (const SCase& c : cases) {
    WriteAll(Pkg(), c.pkg);
    EXPECT_EQ(c.sMessage, DamageOf([&] { CPkgFile p(Pkg()); }));
  }
}

TEST_F(PkgFileTest, TraversalNamesAreRefusedBeforeAnythingIsWritten) {
  larch_test::CScratchDir outer;
  const std::string sTarget = outer / "target";
  platform::MakeDirectory(sTarget);
  Bytes chunk = ZlibChunk("evil!");
  uint32_t uStored = static_cast<uint32_t>(chunk.size() - 4);
  const char* apszNames[] = {"..\\evil.txt",
                             "../evil.txt",
                             "sub\\..\\..\\evil.txt",
                             "sub/../../evil.txt",
                             "\\evil.txt",
                             "/tmp/evil.txt",
                             "\\\\server\\share\\evil.txt",
                             "C:\\evil.txt",
                             "C:evil.txt",
                             "sub\\.. \\..\\evil.txt",
                             "..",
                             "sub\\..."};
  for (const char* pszName : apszNames) {
    // A harmless first entry, so that a reader that unpacks before checking would write.
    WriteAll(outer / "p.pkg",
             HandMadePkg(chunk + chunk,
                         {Entry(pszName, 5, uStored, 4 + uStored), Entry("ok.txt", 5, uStored, 0)},
                         0, 9, 2));
    EXPECT_EQ(std::string("invalid file name in table of contents entry: ") + pszName,
              DamageOf([&] { CPkgFile(outer / "p.pkg").ExtractAll(sTarget); }));
    std::vector<std::string> inTarget, inOuter;
    platform::ListDirectory(sTarget, inTarget);
    platform::ListDirectory(outer.Path(), inOuter);
    EXPECT_TRUE(inTarget.empty()) << pszName;
    EXPECT_EQ((std::vector<std::string>{"p.pkg", "target"}),
              (std::sort(inOuter.begin(), inOuter.end()), inOuter));
  }
  // Dots inside names are fine.
  WriteAll(outer / "p.pkg",
           HandMadePkg(chunk, {Entry("sub\\a..b\\.\\x.txt", 5, uStored, 0)}, 0, 9, 1));
  CPkgFile(outer / "p.pkg").ExtractAll(sTarget);
  EXPECT_EQ("evil!", ReadAll(sTarget + "/sub/a..b/x.txt"));
}

// ---------------------------------------------------------------------------------------------
// Refusals while unpacking

TEST_F(PkgFileTest, UnpackingRefusesDamagedData) {
  platform::MakeDirectory(m_dir / "out");
  Bytes chunk = ZlibChunk("hello");
  uint32_t uStored = static_cast<uint32_t>(chunk.size() - 4);
  Bytes damaged = chunk;
  damaged[damaged.size() - 1] ^= 0x55;  // the Adler-32 trailer
  Bytes huge = U32(40000) + Bytes(40000, 'x');
  struct SCase {
    Bytes pkg;
    std::string sMessage;
  } cases[] = {
      {HandMadePkg(damaged, {Entry("a.txt", 5, uStored, 0)}, 0, 9, 1),
       "unable to uncompress data (error = -3)"},
      // A chunk longer than the entry's stored length: nothing is read past it.
      {HandMadePkg(chunk, {Entry("a.txt", 5, uStored - 1, 0)}, 0, 9, 1),
       "error reading data segment file"},
      // A chunk length beyond the chunk buffer, and one of 0.
      {HandMadePkg(huge, {Entry("a.txt", 5, 40000, 0)}, 0, 9, 1),
       "error reading data segment file"},
      {HandMadePkg(U32(0) + chunk, {Entry("a.txt", 5, uStored, 0)}, 0, 9, 1),
       "error reading data segment file"},
      // Data that would run into the table, and data that starts in it.
      {HandMadePkg(chunk, {Entry("a.txt", 5, uStored + 10, 0)}, 0, 9, 1),
       "error reading data segment file"},
      {HandMadePkg(chunk, {Entry("a.txt", 5, uStored, uStored + 5)}, 0, 9, 1),
       "error reading data segment file"},
      // Streams shorter and longer than the table's length.
      {HandMadePkg(chunk, {Entry("a.txt", 6, uStored, 0)}, 0, 9, 1),
       "a.txt inflates to 5 bytes, the table says 6"},
      {HandMadePkg(chunk + chunk, {Entry("a.txt", 4, 2 * uStored, 0)}, 0, 9, 1),
       "a.txt inflates to 10 bytes, the table says 4"},
  };
  for (const SCase& c : cases) {
    WriteAll(Pkg(), c.pkg);
    EXPECT_EQ(c.sMessage, DamageOf([&] { CPkgFile(Pkg()).ExtractAll(m_dir / "out"); }));
  }
  // Nothing beyond the table's length was written.
  EXPECT_EQ("hell", ReadAll(m_dir / "out/a.txt"));

  // The first fault in table order is named, however many threads inflate: here a stream
  // that does not inflate, then a chunk that runs past the data.
  WriteAll(
      Pkg(),
      HandMadePkg(damaged + chunk,
                  {Entry("b", 5, uStored + 100, 4 + uStored), Entry("a", 5, uStored, 0)}, 0, 9, 2));
  for (unsigned uThreads : {1u, 4u}) {
    CPkgFile pkg(Pkg());
    pkg.SetExtractionThreads(uThreads);
    EXPECT_EQ("unable to uncompress data (error = -3)",
              DamageOf([&] { pkg.ExtractAll(m_dir / "out"); }));
  }
}

TEST_F(PkgFileTest, AFlippedBitAnywhereInTheDataIsDamage) {
  WriteAll(m_dir / "a", MixedBytes(100000, 11));
  WriteAll(m_dir / "b", MixedBytes(3000, 12));
  CPkgFile pkg(6);
  pkg.Create(Pkg(), 6);
  pkg.AddFiles({m_dir / "a", m_dir / "b"});
  platform::MakeDirectory(m_dir / "out");
  const Bytes good = ReadAll(Pkg());
  std::mt19937 rng(5);
  for (int i = 0; i < 40; ++i) {
    Bytes bad = good;
    size_t uPos = rng() % pkg.GetEndDataSeg();
    bad[uPos] = static_cast<char>(bad[uPos] ^ (1 << (rng() % 8)));
    WriteAll(Pkg(), bad);
    std::string sError = DamageOf([&] { CPkgFile(Pkg()).ExtractAll(m_dir / "out"); });
    EXPECT_NE("(no exception)", sError) << uPos;
    EXPECT_NE(0u, sError.find("not damage")) << uPos << ": " << sError;
  }
}

TEST_F(PkgFileTest, UnpackingRefusesTargetsItCannotWrite) {
  Bytes chunk = ZlibChunk("hello");
  uint32_t uStored = static_cast<uint32_t>(chunk.size() - 4);
  larch_test::CScratchDir target;

  // A file where a directory of the name must go.
  WriteAll(Pkg(), HandMadePkg(chunk, {Entry("d\\e\\a.txt", 5, uStored, 0)}, 0, 9, 1));
  WriteAll(target / "d", "file");
  EXPECT_EQ("unable to create subdirectoryd",
            ErrorOf([&] { CPkgFile(Pkg()).ExtractAll(target.Path()); }));

  // A directory where the file must go.
  WriteAll(Pkg(), HandMadePkg(chunk, {Entry("x", 5, uStored, 0)}, 0, 9, 1));
  platform::MakeDirectory(target / "x");
  platform::CFile probe;
  ASSERT_FALSE(probe.Open(target / "x", platform::CFile::eCreate));
  std::string sCode = std::to_string(platform::GetLastSystemError());
  EXPECT_EQ("unable to open x for writing (errno = " + sCode + ")",
            ErrorOf([&] { CPkgFile(Pkg()).ExtractAll(target.Path()); }));

  // A read-only file that cannot be made writable.
  WriteAll(Pkg(), HandMadePkg(chunk, {Entry("ro", 5, uStored, 0)}, 0, 9, 1));
  WriteAll(target / "ro", "old");
  platform::SetReadOnly(target / "ro", true);
  platform::InjectFailure("SetReadOnly", 1, 13);
  EXPECT_EQ("unable to make ro writable (errno = 13)",
            ErrorOf([&] { CPkgFile(Pkg()).ExtractAll(target.Path()); }));
  EXPECT_EQ("old", ReadAll(target / "ro"));
  platform::SetReadOnly(target / "ro", false);  // so that the scratch directory can go

  // A write that fails (a full disk) is a fault of the target, not of the package.
  WriteAll(Pkg(), HandMadePkg(chunk, {Entry("w", 5, uStored, 0)}, 0, 9, 1));
  platform::InjectFailure("Write", 1, 28);
  EXPECT_EQ("not damage: error writing w (errno = 28)",
            DamageOf([&] { CPkgFile(Pkg()).ExtractAll(target.Path()); }));
  // So is a flush that fails, when files are flushed.
  platform::InjectFailure("Flush", 1, 5);
  CPkgFile flushed(Pkg());
  flushed.SetFlushExtractedFiles(true);
  EXPECT_EQ("not damage: error writing w (errno = 5)",
            DamageOf([&] { flushed.ExtractAll(target.Path()); }));

  // The package went away after it was opened.
  CPkgFile opened(Pkg());
  platform::RemoveFile(Pkg());
  EXPECT_EQ("unable to open pkg file " + Pkg() + " for reading",
            ErrorOf([&] { opened.ExtractAll(target.Path()); }));
}

// ---------------------------------------------------------------------------------------------
// Adding

TEST_F(PkgFileTest, AddingRefusesWhatItCannotDo) {
  CPkgFile unnamed(9);
  WriteAll(m_dir / "a", "a");
  EXPECT_EQ("no output pkg file specified", ErrorOf([&] { unnamed.AddFile(m_dir / "a"); }));
  unnamed.AddFiles({});  // an empty list does nothing, not even refuse

  platform::InjectFailure("Open", 1, 2);
  EXPECT_EQ("unable to create pkg file " + Pkg() + ": " + platform::SystemErrorReason(2),
            ErrorOf([&] { unnamed.Create(Pkg(), 9); }));

  CPkgFile pkg(9);
  pkg.Create(Pkg(), 9);
  pkg.AddFile(m_dir / "a");
  const Bytes before = ReadAll(Pkg());
  EXPECT_EQ("file not found: " + (m_dir / "nope"), ErrorOf([&] {
              pkg.AddFiles({m_dir / "a", m_dir / "nope"});
            }));
  EXPECT_EQ(before, ReadAll(Pkg()));

  platform::InjectFailure("Open", 1);
  EXPECT_EQ("unable to open pkg file " + Pkg() + "for append",
            ErrorOf([&] { pkg.AddFile(m_dir / "a"); }));

  // An entry that cannot be queried (a link to nothing, where the system has links).
  platform::MakeDirectory(m_dir / "linked");
  std::error_code ec;
  std::filesystem::create_symlink(m_dir / "nowhere", m_dir / "linked/dangling", ec);
  if (!ec) {
    platform::SFileStatus status;
    platform::GetFileStatus(m_dir / "linked/dangling", status);
    EXPECT_EQ("unable to stat dangling (" + std::to_string(platform::GetLastSystemError()) + ")",
              ErrorOf([&] { pkg.AddFile(m_dir / "linked"); }));
    EXPECT_EQ(before, ReadAll(Pkg()));
  }

  // Names longer than the table holds (where the system has paths that long at all).
  std::string sLong1(150, 'n'), sLong2(110, 'm');
  platform::MakeDirectory(m_dir / "dir");
  platform::MakeDirectory(m_dir / ("dir/" + sLong1));
  WriteAll(m_dir / ("dir/" + sLong1 + "/" + sLong2), "x");
  platform::SFileStatus status;
  if (platform::GetFileStatus(m_dir / ("dir/" + sLong1 + "/" + sLong2), status)) {
    EXPECT_EQ("file name too long for a pkg file: dir\\" + sLong1 + "\\" + sLong2,
              ErrorOf([&] { pkg.AddFile(m_dir / "dir"); }));
    EXPECT_EQ(before, ReadAll(Pkg()));
  }
  EXPECT_EQ(1u, pkg.GetNumFiles());
}

TEST_F(PkgFileTest, FailedAdditionLeavesThePackageAsItWas) {
  WriteAll(m_dir / "a", MixedBytes(5000, 3));
  WriteAll(m_dir / "b", MixedBytes(90000, 4));
  CPkgFile pkg(6);
  pkg.Create(Pkg(), 6);
  pkg.AddFile(m_dir / "a");
  const Bytes before = ReadAll(Pkg());

  platform::InjectFailure("Write", 1);
  EXPECT_EQ("error writing pkg file " + Pkg(), ErrorOf([&] { pkg.AddFile(m_dir / "b"); }));
  EXPECT_EQ(before, ReadAll(Pkg()));
  EXPECT_EQ(1u, pkg.GetNumFiles());

  // And the object goes on from the package as it is.
  pkg.AddFile(m_dir / "b");
  CPkgFile reopened(Pkg());
  EXPECT_EQ(2u, reopened.GetNumFiles());
  larch_test::CScratchDir target;
  reopened.ExtractAll(target.Path());
  EXPECT_EQ(ReadAll(m_dir / "b"), ReadAll(target / "b"));
}

TEST_F(PkgFileTest, EmptyFilesAreSkippedWithAWarning) {
  platform::MakeDirectory(m_dir / "t");
  WriteAll(m_dir / "t/empty", "");
  WriteAll(m_dir / "t/full", "full");
  WriteAll(m_dir / "lonely", "");
  CRecordingListener listener;
  CPkgFile pkg(9);
  pkg.SetListener(&listener);
  pkg.Create(Pkg(), 9);

  // Only empty files: the package stays as created, of length 0 (a header that counts no file
  // would be refused by readers).
  pkg.AddFile(m_dir / "lonely");
  EXPECT_EQ(0u, ReadAll(Pkg()).size());

  pkg.AddFile(m_dir / "t");
  std::vector<std::string> names;
  CPkgFile(Pkg()).GetFileNames(names);
  EXPECT_EQ(std::vector<std::string>{"t\\full"}, names);
  EXPECT_EQ((std::vector<std::string>{"skipped empty file " + (m_dir / "lonely") +
                                          " (a pkg file cannot hold files of length 0)",
                                      "skipped empty file " + (m_dir / "t") +
                                          platform::PreferredSeparator() + "empty" +
                                          " (a pkg file cannot hold files of length 0)"}),
            listener.m_warnings);
  EXPECT_EQ(4u, listener.m_u64LastDone);
}

TEST_F(PkgFileTest, AddingToAnOpenedPackageKeepsItsEntries) {
  WriteAll(m_dir / "y.dll", MixedBytes(70000, 5));
  WriteAll(m_dir / "z.exe", MixedBytes(300, 6));
  {
    CPkgFile pkg(1);
    pkg.Create(Pkg(), 1);
    pkg.AddFile(m_dir / "y.dll");
  }
  CPkgFile opened(Pkg());
  opened.AddFile(m_dir / "z.exe");

  CPkgFile reread(Pkg());
  std::vector<std::string> names;
  reread.GetFileNames(names);
  EXPECT_EQ((std::vector<std::string>{"y.dll", "z.exe"}), names);
  EXPECT_EQ(1, reread.GetCompressionLevel());
  larch_test::CScratchDir target;
  EXPECT_EQ(1u, reread.ExtractByName("y.dll", target.Path()));
  EXPECT_EQ(0u, reread.ExtractByName("Y.DLL", target.Path()));
  std::vector<std::string> files;
  platform::ListDirectory(target.Path(), files);
  EXPECT_EQ(std::vector<std::string>{"y.dll"}, files);
  EXPECT_EQ(ReadAll(m_dir / "y.dll"), ReadAll(target / "y.dll"));
}

// A file stored under a name of the caller's choosing is read back into memory, and left out
// of an unpacking that skips it.
TEST_F(PkgFileTest, AnEntryNamedByTheCallerIsReadIntoMemoryAndCanBeLeftOut) {
  const Bytes list = MixedBytes(70000, 7);
  WriteAll(m_dir / "list.txt", list);
  WriteAll(m_dir / "z.exe", MixedBytes(300, 6));
  {
    CPkgFile pkg(1);
    pkg.Create(Pkg(), 1);
    pkg.AddFile(m_dir / "z.exe");
    pkg.AddFileAs(m_dir / "list.txt", "|files|");
    EXPECT_THROW(pkg.AddFileAs(m_dir / "z.exe", "..\\z.exe"), std::runtime_error);
  }
  CPkgFile reread(Pkg());
  std::string sContent;
  ASSERT_TRUE(reread.ReadEntry("|files|", 70000, sContent));
  EXPECT_EQ(list, sContent);
  EXPECT_FALSE(reread.ReadEntry("|FILES|", 70000, sContent));
  EXPECT_EQ("|files| is larger than 69999 bytes",
            larch_test::ErrorOf([&] { reread.ReadEntry("|files|", 69999, sContent); }));
  larch_test::CScratchDir target;
  EXPECT_EQ(1u, reread.ExtractAllBut("|files|", target.Path()));
  std::vector<std::string> files;
  platform::ListDirectory(target.Path(), files);
  EXPECT_EQ(std::vector<std::string>{"z.exe"}, files);

  // A flipped bit in the entry's data is damage.
  Bytes bytes = ReadAll(Pkg());
  bytes[reread.GetEntry(1).m_nOffset + 10] ^= 0x10;
  WriteAll(Pkg(), bytes);
  EXPECT_THROW(CPkgFile(Pkg()).ReadEntry("|files|", 70000, sContent), common::CPkgDamagedException);
}

TEST_F(PkgFileTest, TwoFilesUnderOneNameAreRefusedBeforeAnythingIsWritten) {
  for (const char* pszDir : {"d1", "d2", "d3", "t", "u", "u/t"})
    platform::MakeDirectory(m_dir / pszDir);
  WriteAll(m_dir / "d1/x.txt", "one");
  WriteAll(m_dir / "d2/x.txt", "two");
  WriteAll(m_dir / "d3/X.TXT", "three");
  WriteAll(m_dir / "t/a", "a");
  WriteAll(m_dir / "u/t/a", "a");
  CPkgFile pkg(9);
  pkg.Create(Pkg(), 9);
  EXPECT_EQ("two files would be stored as x.txt: " + (m_dir / "d1/x.txt") + " and " +
                (m_dir / "d2/x.txt"),
            ErrorOf([&] {
              pkg.AddFiles({m_dir / "d1/x.txt", m_dir / "d2/x.txt"});
            }));
  EXPECT_EQ("two files would be stored as x.txt and X.TXT, which differ only in letter case: " +
                (m_dir / "d1/x.txt") + " and " + (m_dir / "d3/X.TXT"),
            ErrorOf([&] {
              pkg.AddFiles({m_dir / "d1/x.txt", m_dir / "d3/X.TXT"});
            }));
  std::string sSep(1, platform::PreferredSeparator());
  EXPECT_EQ("two files would be stored as t\\a: " + (m_dir / "t") + sSep + "a and " +
                (m_dir / "u/t") + sSep + "a",
            ErrorOf([&] {
              pkg.AddFiles({m_dir / "t", m_dir / "u/t"});
            }));
  EXPECT_EQ(0u, ReadAll(Pkg()).size());

  // Against the entries already in the package.
  pkg.AddFile(m_dir / "d1/x.txt");
  const Bytes before = ReadAll(Pkg());
  EXPECT_EQ((m_dir / "d2/x.txt") + " would be stored as x.txt, which is already in the package",
            ErrorOf([&] { pkg.AddFile(m_dir / "d2/x.txt"); }));
  EXPECT_EQ(
      (m_dir / "d3/X.TXT") + " would be stored as X.TXT, which is already in the package as x.txt",
      ErrorOf([&] {
        CPkgFile(Pkg()).AddFiles({m_dir / "t", m_dir / "d3/X.TXT"});
      }));
  EXPECT_EQ(before, ReadAll(Pkg()));
  EXPECT_EQ(1u, CPkgFile(Pkg()).GetNumFiles());
}

TEST_F(PkgFileTest, EntryNamesAreCheckedForDuplicates) {
  Bytes chunk = ZlibChunk("hello");
  uint32_t uStored = static_cast<uint32_t>(chunk.size() - 4);
  auto check = [&](const char* pszFirst, const char* pszSecond, bool bIgnoreCase) {
    WriteAll(Pkg(),
             HandMadePkg(chunk, {Entry(pszSecond, 5, uStored, 0), Entry(pszFirst, 5, uStored, 0)},
                         0, 9, 2));
    return DamageOf([&] { CPkgFile(Pkg()).CheckEntryNames(bIgnoreCase); });
  };
  EXPECT_EQ("duplicate entry name d\\a.txt", check("d\\a.txt", "d\\a.txt", false));
  EXPECT_EQ("duplicate entry name d\\a.txt", check("d\\a.txt", "d/a.txt", false));
  EXPECT_EQ("(no exception)", check("d\\A.txt", "d\\a.txt", false));
  EXPECT_EQ("entry names d\\A.txt and d/a.TXT differ only in letter case",
            check("d\\A.txt", "d/a.TXT", true));
  EXPECT_EQ("(no exception)", check("d\\a.txt", "d\\a.txt2", true));
}

// ---------------------------------------------------------------------------------------------
// Trees, unpacking, listing

TEST_F(PkgFileTest, TreeRoundTripWithSubdirectoriesAndReadOnlyFiles) {
  larch_test::CScratchDir src;
  platform::MakeDirectory(src / "tools");
  platform::MakeDirectory(src / "tools/sub");
  platform::MakeDirectory(src / "tools/sub/deep");
  platform::MakeDirectory(src / "tools/void");  // an empty directory holds no entry
  WriteAll(src / "tools/a.txt", "alpha");
  WriteAll(src / "tools/sub/b.txt", "bravo");
  WriteAll(src / "tools/sub/deep/c.bin", MixedBytes(100000, 7));
  WriteAll(src / "y.dll", "why");
  platform::SetReadOnly(src / "tools/sub/b.txt", true);

  CPkgFile pkg(9);
  pkg.Create(Pkg(), 9);
  pkg.AddFiles({src / "tools", src / "y.dll"});

  CPkgFile opened(Pkg());
  std::vector<std::string> names;
  opened.GetFileNames(names);
  EXPECT_EQ((std::vector<std::string>{"tools\\a.txt", "tools\\sub\\b.txt",
                                      "tools\\sub\\deep\\c.bin", "y.dll"}),
            names);

  larch_test::CScratchDir target;
  // A read-only file in the way is replaced and stays read-only.
  platform::MakeDirectory(target / "tools");
  WriteAll(target / "tools/a.txt", "old content");
  platform::SetReadOnly(target / "tools/a.txt", true);
  opened.ExtractAll(target.Path());

  for (const char* pszName : {"tools/a.txt", "tools/sub/b.txt", "tools/sub/deep/c.bin", "y.dll"}) {
    EXPECT_EQ(ReadAll(src / pszName), ReadAll(target / pszName)) << pszName;
  }
  platform::SFileStatus status;
  ASSERT_TRUE(platform::GetFileStatus(target / "tools/a.txt", status));
  EXPECT_TRUE(status.bReadOnly);
  ASSERT_TRUE(platform::GetFileStatus(target / "tools/sub/b.txt", status));
  EXPECT_FALSE(status.bReadOnly);  // attributes are not stored in packages
  platform::SetReadOnly(target / "tools/a.txt", false);
  platform::SetReadOnly(src / "tools/sub/b.txt", false);

  // Extracting by name into the current directory creates the entry's directories there.
  larch_test::CScratchDir cwd;
  std::string sOld = platform::GetWorkingDirectory();
  ASSERT_TRUE(platform::SetWorkingDirectory(cwd.Path()));
  size_t uCount = opened.ExtractByName("tools\\sub\\deep\\c.bin");
  platform::SetWorkingDirectory(sOld);
  EXPECT_EQ(1u, uCount);
  EXPECT_EQ(ReadAll(src / "tools/sub/deep/c.bin"), ReadAll(cwd / "tools/sub/deep/c.bin"));
}

TEST_F(PkgFileTest, ListingText) {
  std::ostringstream empty;
  CPkgFile(9).List(empty);
  EXPECT_EQ("\tEmpty pkg file\n", empty.str());

  WriteAll(m_dir / "b", "bb");
  WriteAll(m_dir / "a", "a");
  CPkgFile pkg(6);
  pkg.Create(Pkg(), 6);
  pkg.AddFiles({m_dir / "b", m_dir / "a"});
  const auto& b = pkg.GetEntry(0);
  const auto& a = pkg.GetEntry(1);
  std::ostringstream listing;
  CPkgFile(Pkg()).List(listing);
  EXPECT_EQ(Pkg() + " (2 files, compression level 6, format version # 0)\n" + "\tb: 2/" +
                std::to_string(b.m_nStoredFileLen) + " (uncompressed/stored sizes) at offset 0\n" +
                "\ta: 1/" + std::to_string(a.m_nStoredFileLen) +
                " (uncompressed/stored sizes) at offset " + std::to_string(a.m_nOffset) + "\n",
            listing.str());
}

TEST_F(PkgFileTest, TheCodecMatchesZlibResultCodes) {
  common::CChunkDecompressor decompressor;
  uint8_t au8Out[16];
  uint32_t uLen = 0;
  Bytes chunk = ZlibChunk(Bytes(100, 'z')).substr(4);
  EXPECT_EQ(
      common::sc_nCodecBufferError,
      decompressor.Uncompress(reinterpret_cast<const uint8_t*>(chunk.data()),
                              static_cast<uint32_t>(chunk.size()), au8Out, sizeof(au8Out), uLen));
  EXPECT_EQ(common::sc_nCodecDataError,
            decompressor.Uncompress(reinterpret_cast<const uint8_t*>(chunk.data()), 3, au8Out,
                                    sizeof(au8Out), uLen));
  uint8_t au8Big[200];
  EXPECT_EQ(
      common::sc_nCodecOk,
      decompressor.Uncompress(reinterpret_cast<const uint8_t*>(chunk.data()),
                              static_cast<uint32_t>(chunk.size()), au8Big, sizeof(au8Big), uLen));
  EXPECT_EQ(100u, uLen);
}

}  // namespace
