// Blobs in memory-mapped files: creation, the temporary growth area, the cut on close, and
// the file's length after a failed open.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "blob/BlobTestUtil.h"
#include "blob/MultiFieldBlob.h"
#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "support/TestUtil.h"

using common::CMultiFieldBlob;
using namespace blob_test;

namespace {

const bool s_bWatching = (CAssertWatch::Get(), true);

Bytes ReadFile(const std::string& sPath) {
  std::ifstream in(sPath, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& sPath, const Bytes& b) {
  std::ofstream out(sPath, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

uint64_t FileLength(const std::string& sPath) {
  platform::SFileStatus st;
  return platform::GetFileStatus(sPath, st) ? st.u64Size : 0;
}

const Bytes sc_empty = {1, 0x50, 10, 0, 0, 0, 0, 0, 0, 0};

TEST(BlobFile, NewFileGrowsWhileOpenAndIsCutOnClose) {
  larch_test::CScratchDir dir;
  std::string sPath = dir / "new.blob";
  {
    CMultiFieldBlob blob(sPath, CMultiFieldBlob::eReadWrite, 102400);
    EXPECT_EQ(102410u, FileLength(sPath));
    // The file is not shared while open: its first bytes are seen through the mapping.
    EXPECT_EQ(sc_empty, Bytes(blob.PeekImage(), blob.PeekImage() + 10));
  }
  EXPECT_EQ(sc_empty, ReadFile(sPath));
  {
    CMultiFieldBlob blob(sPath, CMultiFieldBlob::eReadWrite, 100);
    EXPECT_EQ(110u, FileLength(sPath));
    blob.AddField("key", "value");
    blob.Flush();
  }
  EXPECT_EQ(Image({{"key", std::string("value", 6)}}), ReadFile(sPath));
  CMultiFieldBlob readOnly(sPath, CMultiFieldBlob::eReadOnly, 0);
  EXPECT_EQ("value", readOnly.GetFieldDataAsCString("key"));
}

TEST(BlobFile, ExistingFileWithLongerTailKeepsItsGrowthArea) {
  larch_test::CScratchDir dir;
  std::string sPath = dir / "tail.blob";
  Bytes file = sc_empty;
  file.resize(30, 0);
  WriteFile(sPath, file);
  {
    CMultiFieldBlob blob(sPath, CMultiFieldBlob::eReadWrite, 0);
    EXPECT_EQ(20u, blob.GetSizeOfUnusedOwnedBlobArea());
    EXPECT_EQ(30u, FileLength(sPath));
  }
  EXPECT_EQ(sc_empty, ReadFile(sPath));
  WriteFile(sPath, file);
  {
    CMultiFieldBlob blob(sPath, CMultiFieldBlob::eReadWrite, 50);
    EXPECT_EQ(50u, blob.GetSizeOfUnusedOwnedBlobArea());
    EXPECT_EQ(60u, FileLength(sPath));
  }
  EXPECT_EQ(sc_empty, ReadFile(sPath));
}

TEST(BlobFile, OpenRefusals) {
  larch_test::CScratchDir dir;
  using E = CMultiFieldBlob::CInvalidMemoryMappedFileException;
  ExpectThrowText<E>(
      [&] { CMultiFieldBlob b(dir / "missing", CMultiFieldBlob::eReadOnly, 0); },
      "CMultiFieldBlob(mem-mapped file): File does not exist and eReadOnly specified");
  WriteFile(dir / "nine", Bytes(9, 1));
  ExpectThrowText<E>(
      [&] { CMultiFieldBlob b(dir / "nine", CMultiFieldBlob::eReadWrite, 0); },
      "CMultiFieldBlob(mem-mapped file): Existing file too short or long to be a blob");
  EXPECT_EQ(Bytes(9, 1), ReadFile(dir / "nine"));
  Bytes badHeader = {1, 0x50, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  WriteFile(dir / "bad", badHeader);
  ExpectThrowText<E>([&] { CMultiFieldBlob b(dir / "bad", CMultiFieldBlob::eReadWrite, 0); },
                     "CMultiFieldBlob(mem-mapped file): Bad blob header");
  EXPECT_EQ(badHeader, ReadFile(dir / "bad"));
  Bytes format2 = {2, 0x50, 10, 0, 0, 0, 0, 0, 0, 0};
  WriteFile(dir / "format", format2);
  ExpectThrowText<E>([&] { CMultiFieldBlob b(dir / "format", CMultiFieldBlob::eReadOnly, 0); },
                     "CMultiFieldBlob(pSerialized): Invalid BinaryFormatCode");
  ExpectThrowText<E>([&] { CMultiFieldBlob b(dir / "format", CMultiFieldBlob::eReadWrite, 9); },
                     "CMultiFieldBlob(pSerialized): Invalid BinaryFormatCode");
  EXPECT_EQ(format2, ReadFile(dir / "format"));
  platform::InjectFailure("MapCreate", 1);
  ExpectThrowText<E>(
      [&] { CMultiFieldBlob b(dir / "new", CMultiFieldBlob::eReadWrite, 10); },
      "CMultiFieldBlob(mem-mapped file): File does not exist and failed to create new file");
  platform::InjectFailure("MapView", 1);
  ExpectThrowText<E>([&] { CMultiFieldBlob b(dir / "new", CMultiFieldBlob::eReadWrite, 10); },
                     "CMultiFieldBlob(mem-mapped file): Failed to MapViewOfFile");
  platform::SFileStatus st;
  EXPECT_FALSE(platform::GetFileStatus(dir / "new", st));  // the file it created is gone
  {
    CExpectAssert expect("Cannot request uMinSizeOfTemporaryGrowthArea in ReadOnly mode");
    EXPECT_THROW(CMultiFieldBlob b(dir / "bad", CMultiFieldBlob::eReadOnly, 5),
                 std::invalid_argument);
  }
}

TEST(BlobFile, FailedLoadRestoresTheFileLength) {
  larch_test::CScratchDir dir;
  std::string sPath = dir / "dup.blob";
  Bytes image = Image({{"ab", "1"}, {"ab", "2"}});
  WriteFile(sPath, image);
  ExpectThrowText<CMultiFieldBlob::CFieldAlreadyExistsException>(
      [&] { CMultiFieldBlob b(sPath, CMultiFieldBlob::eReadWrite, 102400); },
      "CMultiFieldBlob(pSerialized): FieldId defined twice");
  EXPECT_EQ(image, ReadFile(sPath));
}

TEST(BlobFile, EncryptedFileWithWrongKeyKeepsItsBytes) {
  larch_test::CScratchDir dir;
  std::string sPath = dir / "secret.blob";
  const uint8_t key[16] = {5, 4, 3, 2, 1};
  const uint8_t wrong[16] = {5, 4, 3, 2, 2};
  CMultiFieldBlob source;
  source.AddField("pin", "1234");
  source.SetAutoPreprocessAES128(key, key);
  Bytes env = Stored(source);
  WriteFile(sPath, env);
  ExpectThrowText<CMultiFieldBlob::CInvalidSerializedBlobException>(
      [&] { CMultiFieldBlob b(sPath, CMultiFieldBlob::eReadWrite, 4096, 0, wrong); },
      "CMultiFieldBlob(pSerialized): decrypted blob failed MAC");
  EXPECT_EQ(env, ReadFile(sPath));
  {
    CMultiFieldBlob blob(sPath, CMultiFieldBlob::eReadWrite, 4096, 0, key);
    EXPECT_EQ("1234", blob.GetFieldDataAsCString("pin"));
    blob.SetField("pin", "4321");
  }
  Bytes stored = ReadFile(sPath);
  EXPECT_EQ(0x45, stored[1]);
  CMultiFieldBlob reread(CMultiFieldBlob::eCopyOnWrite, stored.data(),
                         static_cast<uint32_t>(stored.size()), 0, 0, key);
  EXPECT_EQ("4321", reread.GetFieldDataAsCString("pin"));
}

TEST(BlobFile, FlushFailureIsReported) {
  larch_test::CScratchDir dir;
  CMultiFieldBlob blob(dir / "flush.blob", CMultiFieldBlob::eReadWrite, 64);
  blob.AddField("a", "b");
  platform::InjectFailure("FlushMapping", 1);
  ExpectThrowText<CMultiFieldBlob::CFlushMemoryMappedFileFailedException>(
      [&] { blob.Flush(); }, "CMultiFieldBlob: Failed to flush changes to memory mapped file");
  blob.Flush();
  CMultiFieldBlob inMemory;
  inMemory.Flush();  // nothing for blobs that are not mapped
}

TEST(BlobFile, OverflowLeavesTheImageAsItWas) {
  larch_test::CScratchDir dir;
  std::string sPath = dir / "small.blob";
  CMultiFieldBlob blob(sPath, CMultiFieldBlob::eReadWrite, 40);
  blob.AddField("a", std::string(20, 'x'));  // 6 + 1 + 21 = 28 bytes
  Bytes before = Stored(blob);
  ExpectThrowText<CMultiFieldBlob::COverflowMemoryMappedFileException>(
      [&] { blob.AddField("b", std::string(20, 'y')); },
      "CMultiFieldBlob: Attempt to overflow memory-mapped file");
  EXPECT_EQ(before, Stored(blob));
  blob.AddField("c", "z");  // 6 + 1 + 2 = 9 bytes still fit
  EXPECT_EQ(3u, blob.GetSizeOfUnusedOwnedBlobArea());
}

TEST(BlobFile, SecondOpenFailsWhileTheFirstHoldsTheFile) {
  larch_test::CScratchDir dir;
  std::string sPath = dir / "held.blob";
  CMultiFieldBlob first(sPath, CMultiFieldBlob::eReadWrite, 10);
  ExpectThrowText<CMultiFieldBlob::CInvalidMemoryMappedFileException>(
      [&] { CMultiFieldBlob second(sPath, CMultiFieldBlob::eReadWrite, 10); },
      "CMultiFieldBlob(mem-mapped file): Failed to open file");
}

TEST(BlobFile, CompressedFileIsOpenedInPlaceAndWrittenBackCompressed) {
  larch_test::CScratchDir dir;
  std::string sPath = dir / "packed.blob";
  CMultiFieldBlob source;
  source.AddField("big", std::string(5000, 'r'));
  source.SetAutoPreprocessZLib(9);
  Bytes env = Stored(source);
  ASSERT_EQ(0x43, env[1]);
  WriteFile(sPath, env);
  ExpectThrowText<CMultiFieldBlob::COverflowMemoryMappedFileException>(
      [&] { CMultiFieldBlob b(sPath, CMultiFieldBlob::eReadWrite, 100); },
      "CMultiFieldBlob: Attempt to overflow memory-mapped file");
  EXPECT_EQ(env, ReadFile(sPath));
  {
    CMultiFieldBlob blob(sPath, CMultiFieldBlob::eReadWrite, 10000);
    EXPECT_EQ(CMultiFieldBlob::eZLibCompressed, blob.GetAutoPreprocessCode());
    EXPECT_EQ(std::string(5000, 'r'), blob.GetFieldDataAsCString("big"));
    blob.AddField("small", "s");
  }
  Bytes stored = ReadFile(sPath);
  EXPECT_EQ(0x43, stored[1]);
  CMultiFieldBlob reread(CMultiFieldBlob::eCopyOnWrite, stored.data(),
                         static_cast<uint32_t>(stored.size()));
  EXPECT_EQ("s", reread.GetFieldDataAsCString("small"));
}

TEST(BlobFile, ReadOnlyFileRefusesChanges) {
  larch_test::CScratchDir dir;
  std::string sPath = dir / "ro.blob";
  WriteFile(sPath, Image({{"k", std::string("v", 2)}}));
  CMultiFieldBlob blob(sPath, CMultiFieldBlob::eReadOnly, 0);
  {
    CExpectAssert expect("Blob is not a read-only memory-mapped file");
    EXPECT_THROW(blob.AddField("x", "y"), std::invalid_argument);
  }
  EXPECT_EQ("v", blob.GetFieldDataAsCString("k"));
}

}  // namespace
