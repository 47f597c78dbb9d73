#include "registry/BlobRegistry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "blob/MultiFieldBlob.h"
#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "platform/NamedLock.h"
#include "platform/SystemError.h"
#include "registry/RegistryTestSupport.h"
#include "support/FileUtil.h"
#include "support/TestUtil.h"

namespace common {
namespace {

using registry_test::CAssertRecorder;
using registry_test::MessageOf;
using registry_test::ReadFileBytes;

// The stored form of an empty registry: "TopKey" holding a key blob with two empty blobs.
const std::string sc_sEmptyKeyBlob =
    registry_test::MakeBlob({{registry_test::Id(1), registry_test::MakeBlob({})},
                             {registry_test::Id(2), registry_test::MakeBlob({})}});

std::vector<std::string> SubKeyNames(const KeyPtr_t& pKey) {
  std::vector<std::string> names;
  for (CSubKeyIterator it = pKey->SubKeysBegin(); it != pKey->SubKeysEnd(); ++it) {
    names.push_back(it.GetName());
  }
  return names;
}

// True when another object could take the file's lock right now.
bool LockIsFree(const std::string& sFile) {
  platform::CNamedLock lock;
  return lock.Create(CBlobRegistry::LockNameForFile(sFile)) &&
         lock.Acquire(0) == platform::CNamedLock::eObtained && lock.Release();
}

TEST(BlobRegistry, MissingFileIsCreatedWithAnEmptyTopKeyUnlessItMustExist) {
  larch_test::CScratchDir dir;
  std::string sFile = dir / "reg.blob";
  EXPECT_EQ("Failed to open file: " + sFile,
            MessageOf<CBlobException>([&] { CBlobRegistry(sFile, true, 100); }));
  EXPECT_FALSE(CFileUtil::FileExists(sFile));

  CBlobRegistry registry(sFile, false, 100);
  EXPECT_EQ(registry_test::MakeBlob({{"TopKey", sc_sEmptyKeyBlob}}), ReadFileBytes(sFile));
  EXPECT_FALSE(registry.IsFileOpen());
  EXPECT_TRUE(LockIsFree(sFile));
  CBlobRegistry again(sFile, true, 100);
  EXPECT_EQ(std::vector<std::string>(), SubKeyNames(again.OpenKey("")));
}

TEST(BlobRegistry, LockNameIsTheDigestOfTheLowerCasedFullPath) {
  // MD5 of "/tmp/larch/reg.blob" and of "c:\\larch\\reg.blob": the full path, lower-cased.
  bool bBackslash = platform::PreferredSeparator() == '\\';
  std::string sPath = bBackslash ? "C:\\Larch\\Reg.BLOB" : "/TMP/Larch/Reg.BLOB";
  EXPECT_EQ(std::string("BlobRegistryMutex_") + (bBackslash ? "A905FD9FE474CD35F967F5EB52AE31C3"
                                                            : "2F30859A0BEE89A0B70E38792C0E3FBF"),
            CBlobRegistry::LockNameForFile(sPath));

  larch_test::CScratchDir dir;
  std::string sWorking = platform::GetWorkingDirectory();
  ASSERT_TRUE(platform::SetWorkingDirectory(dir.Path()));
  std::string sRelative = CBlobRegistry::LockNameForFile("sub/../reg.blob");
  ASSERT_TRUE(platform::SetWorkingDirectory(sWorking));
  EXPECT_EQ(CBlobRegistry::LockNameForFile(dir / "reg.blob"), sRelative);
}

TEST(BlobRegistry, CreateKeyMakesTheWholePathAndRefusesAnExistingLastKey) {
  larch_test::CScratchDir dir;
  CBlobRegistry registry(dir / "reg.blob", false, 100);
  registry.CreateKey("A\\B", true);
  EXPECT_TRUE(registry.KeyExists("A"));
  EXPECT_TRUE(registry.KeyExists("A\\B"));
  EXPECT_FALSE(registry.KeyExists("A\\C"));
  EXPECT_FALSE(registry.KeyExists("X\\B"));
  EXPECT_EQ("Failed to create key TopKey\\A\\B\n Details: subkey already exists",
            MessageOf<CBlobException>([&] { registry.CreateKey("A\\B", true); }));
  // Without fail-if-exists the existing key is handed out.
  KeyPtr_t pB = registry.CreateKey("A\\B", false);
  EXPECT_EQ("B", pB->GetName());
  // Only the last component is refused; existing keys on the way are fine.
  registry.CreateKey("A\\C", true);
  pB = KeyPtr_t();
  EXPECT_EQ((std::vector<std::string>{"B", "C"}), SubKeyNames(registry.OpenKey("A")));
  EXPECT_FALSE(registry.IsFileOpen());
}

TEST(BlobRegistry, DeleteKeyNamesTheKeyHoldingTheLastComponent) {
  larch_test::CScratchDir dir;
  CBlobRegistry registry(dir / "reg.blob", false, 100);
  registry.CreateKey("A\\B\\C", true);
  EXPECT_EQ("Failed to delete key A\\B\nDetails: key has subkeys",
            MessageOf<CBlobException>([&] { registry.DeleteKey("A\\B"); }));
  EXPECT_EQ(
      "Failed to open key TopKey\\X\nDetails: "
      "CMultiFieldBlob(pParent,FieldName): Field does not exist",
      MessageOf<CBlobException>([&] { registry.DeleteKey("X\\B"); }));
  EXPECT_EQ(
      "Failed to delete key A\\Y\nDetails: "
      "CMultiFieldBlob(pParent,FieldName): Field does not exist",
      MessageOf<CBlobException>([&] { registry.DeleteKey("A\\Y"); }));
  registry.DeleteKey("A\\B\\C");
  registry.DeleteKey("A\\B");
  EXPECT_FALSE(registry.KeyExists("A\\B"));
  EXPECT_TRUE(registry.KeyExists("A"));
  registry.TryDeleteKey("A\\B");  // missing: ignored
}

TEST(BlobRegistry, DeleteKeyTreeRemovesAllDescendants) {
  larch_test::CScratchDir dir;
  std::string sFile = dir / "reg.blob";
  CBlobRegistry registry(sFile, false, 100);
  registry.CreateKey("Keep", true);
  registry.CreateKey("Tree\\A\\B\\C", true);
  registry.CreateKey("Tree\\A\\D", true);
  registry.CreateKey("Tree\\E", true);
  registry.SetStringValue("Tree\\A\\D", "v", "x");
  registry.DeleteKeyTree("Tree");
  EXPECT_EQ((std::vector<std::string>{"Keep"}), SubKeyNames(registry.OpenKey("")));
  registry.TryDeleteKeyTree("Tree");
  EXPECT_EQ(
      "Failed to delete key TopKey\\Tree\nDetails: "
      "CMultiFieldBlob(pParent,FieldName): Field does not exist",
      MessageOf<CBlobException>([&] { registry.DeleteKeyTree("Tree"); }));
  // The freed bytes stay in the top key's subkeys blob as spare capacity; the tree is intact.
  CBlobRegistry reopened(sFile, true, 100);
  EXPECT_TRUE(reopened.KeyExists("Keep"));
}

TEST(BlobRegistry, LiveHandlesGuardTheirKeys) {
  larch_test::CScratchDir dir;
  CBlobRegistry registry(dir / "reg.blob", false, 100);
  registry.CreateKey("A\\B", true);
  {
    KeyPtr_t pB = registry.OpenKey("A\\B");
    EXPECT_TRUE(registry.IsFileOpen());
    EXPECT_EQ("Failed to open key TopKey\\A\\B\nDetails: key is already open",
              MessageOf<CBlobException>([&] { registry.OpenKey("A\\B"); }));
    EXPECT_EQ("Failed to create key TopKey\\A\\B\n Details: key is already open",
              MessageOf<CBlobException>([&] { registry.CreateKey("A\\B", false); }));
    EXPECT_EQ("Failed to delete key A\\B\nDetails: key is in use",
              MessageOf<CBlobException>([&] { registry.DeleteKeyTree("A\\B"); }));
    // A live handle below the key also keeps it: nothing of the tree is deleted.
    EXPECT_EQ("Failed to delete key TopKey\\A\nDetails: key is in use",
              MessageOf<CBlobException>([&] { registry.DeleteKeyTree("A"); }));
    EXPECT_EQ("Failed to delete key TopKey\\A\nDetails: key is in use",
              MessageOf<CBlobException>([&] { registry.DeleteKey("A"); }));
    pB->SetStringValue("still", "usable");
    // The key above can still be used on the way.
    registry.CreateKey("A\\C", true);
  }
  EXPECT_FALSE(registry.IsFileOpen());
  std::string sValue;
  registry.GetStringValue("A\\B", "still", sValue);
  EXPECT_EQ("usable", sValue);
}

TEST(BlobRegistry, TopKeyHandlesAreCounted) {
  larch_test::CScratchDir dir;
  std::string sFile = dir / "reg.blob";
  CBlobRegistry registry(sFile, false, 100);
  KeyPtr_t pFirst = registry.OpenKey("");
  KeyPtr_t pSecond = registry.OpenKey("");
  EXPECT_EQ("TopKey", pFirst->GetName());
  pFirst = KeyPtr_t();
  // The second handle still holds the file open and the lock taken.
  EXPECT_TRUE(registry.IsFileOpen());
  EXPECT_FALSE(LockIsFree(sFile));
  pSecond->SetUnsignedNumberValue("n", 5);
  pSecond = KeyPtr_t();
  EXPECT_FALSE(registry.IsFileOpen());
  EXPECT_TRUE(LockIsFree(sFile));
}

TEST(BlobRegistry, IteratorsKeepTheirKeyAliveAndCopiesSharePosition) {
  larch_test::CScratchDir dir;
  CBlobRegistry registry(dir / "reg.blob", false, 100);
  registry.CreateKey("bb", true);
  registry.CreateKey("a", true);
  registry.CreateKey("ab", true);
  CSubKeyIterator it = registry.OpenKey("")->SubKeysBegin();
  // The handle is gone; the iterator keeps the key and the file.
  EXPECT_TRUE(registry.IsFileOpen());
  CSubKeyIterator copy = it;
  EXPECT_EQ("a", it.GetName());
  ++copy;
  EXPECT_EQ("ab", it.GetName());
  ++it;
  EXPECT_EQ("bb", copy.GetName());
  EXPECT_EQ("bb", it.OpenKey()->GetName());
  it = CSubKeyIterator(copy);
  copy = it;
  it = copy = CSubKeyIterator(ThreadSafeCountedPtr<ISubKeyIteratorImpl>());
  EXPECT_FALSE(registry.IsFileOpen());
}

TEST(BlobRegistry, SubKeysAndValuesComeInFieldNameOrder) {
  larch_test::CScratchDir dir;
  CBlobRegistry registry(dir / "reg.blob", false, 100);
  for (const char* psz : {"bb", "a", "ab"}) {
    registry.CreateKey(psz, true);
    registry.SetUnsignedNumberValue("", psz, 1);
  }
  KeyPtr_t pTop = registry.OpenKey("");
  EXPECT_EQ((std::vector<std::string>{"a", "ab", "bb"}), SubKeyNames(pTop));
  std::vector<std::string> values;
  for (CValueIterator it = pTop->ValuesBegin(); it != pTop->ValuesEnd(); ++it) {
    values.push_back(it.GetName());
  }
  EXPECT_EQ((std::vector<std::string>{"a", "ab", "bb"}), values);
}

TEST(BlobRegistry, ValuesOfEachTypeRoundTripAndReplaceTheirType) {
  larch_test::CScratchDir dir;
  std::string sFile = dir / "reg.blob";
  {
    CBlobRegistry registry(sFile, false, 100);
    registry.CreateKey("K", true);
    registry.SetStringValue("K", "s", "text");
    registry.SetUnsignedNumberValue("K", "n", 0x01020304);
    const uint8_t au8Data[] = {1, 2, 3, 4, 5};
    registry.SetBinaryValue("K", "b", au8Data, 5);
    registry.SetStringValue("", "top", "");
  }
  CBlobRegistry registry(sFile, true, 100);
  std::string sValue = "old";
  registry.GetStringValue("K", "s", sValue);
  EXPECT_EQ("text", sValue);
  registry.GetStringValue("", "top", sValue);
  EXPECT_EQ("", sValue);
  uint32_t uNumber = 0;
  registry.GetUnsignedNumberValue("K", "n", &uNumber);
  EXPECT_EQ(0x01020304u, uNumber);
  uint8_t au8Buf[8] = {};
  uint32_t uRead = 0;
  registry.GetBinaryValue("K", "b", nullptr, 0, &uRead);
  EXPECT_EQ(5u, uRead);
  registry.GetBinaryValue("K", "b", au8Buf, 2, &uRead);
  EXPECT_EQ(2u, uRead);
  EXPECT_EQ(1, au8Buf[0]);
  EXPECT_EQ(2, au8Buf[1]);
  EXPECT_EQ(0, au8Buf[2]);
  registry.GetBinaryValue("K", "b", au8Buf, 8, &uRead);
  EXPECT_EQ(5u, uRead);
  EXPECT_EQ(5, au8Buf[4]);

  // Setting another type replaces type and data.
  registry.SetUnsignedNumberValue("K", "s", 7);
  registry.GetUnsignedNumberValue("K", "s", &uNumber);
  EXPECT_EQ(7u, uNumber);
  registry.SetStringValue("K", "s", std::string(300, 'x'));
  registry.GetStringValue("K", "s", sValue);
  EXPECT_EQ(std::string(300, 'x'), sValue);
  registry.SetStringValue("K", "s", "short");
  registry.GetStringValue("K", "s", sValue);
  EXPECT_EQ("short", sValue);
}

TEST(BlobRegistry, MissingValuesAndWrongTypesNameTheKey) {
  larch_test::CScratchDir dir;
  CBlobRegistry registry(dir / "reg.blob", false, 100);
  registry.CreateKey("K", true);
  registry.SetUnsignedNumberValue("", "Port", 26);
  std::string sValue;
  uint32_t uNumber = 0;
  EXPECT_EQ(
      "Type mismatch on value \"TopKey\\Port\", expected string but got unsigned number",
      MessageOf<CTypeMismatchException>([&] { registry.GetStringValue("", "Port", sValue); }));
  registry.SetStringValue("K", "s", "x");
  EXPECT_EQ("Type mismatch on value \"K\\s\", expected unsigned number but got string",
            MessageOf<CTypeMismatchException>(
                [&] { registry.GetUnsignedNumberValue("K", "s", &uNumber); }));
  EXPECT_EQ("Value \"K\\none\" does not exist", MessageOf<CValueDoesNotExistException>([&] {
              registry.GetStringValue("K", "none", sValue);
            }));
  EXPECT_EQ("Value \"K\\none\" does not exist",
            MessageOf<CValueDoesNotExistException>([&] { registry.DeleteValue("K", "none"); }));
  EXPECT_EQ("Type mismatch on value \"s\", expected string but got binary",
            MessageOf<CTypeMismatchException>(
                [&] { registry.SetStringValue("K", "s", std::string("a\0b", 3)); }));
  registry.GetStringValue("K", "s", sValue);
  EXPECT_EQ("x", sValue);
  // A missing key fails as opening it does, also for the guarded forms.
  EXPECT_EQ(
      "Failed to open key TopKey\\Nope\nDetails: "
      "CMultiFieldBlob(pParent,FieldName): Field does not exist",
      MessageOf<CBlobException>([&] { registry.GetStringValue("Nope", "s", sValue); }));
  EXPECT_THROW(registry.TryDeleteValue("Nope", "s"), CBlobException);
  registry.TryDeleteValue("K", "none");
  EXPECT_FALSE(registry.ValueExists("Nope", "s"));
  EXPECT_FALSE(registry.ValueExists("K", "none"));
  EXPECT_TRUE(registry.ValueExists("K", "s"));
  EXPECT_TRUE(registry.ValueExists("", "Port"));
  registry.DeleteValue("K", "s");
  EXPECT_FALSE(registry.ValueExists("K", "s"));
}

TEST(BlobRegistry, MalformedPathsAndArgumentsAreReportedAndRefused) {
  larch_test::CScratchDir dir;
  std::string sFile = dir / "reg.blob";
  CBlobRegistry registry(sFile, false, 100);
  std::string sBefore = ReadFileBytes(sFile);
  CAssertRecorder recorder;
  EXPECT_THROW(registry.CreateKey("\\A", true), CRegistryException);
  EXPECT_THROW(registry.CreateKey("A\\", true), CRegistryException);
  EXPECT_THROW(registry.CreateKey("A\\\\B", true), CRegistryException);
  EXPECT_THROW(registry.CreateKey("", true), CRegistryException);
  EXPECT_THROW(registry.SetStringValue("", "", "x"), CRegistryException);
  EXPECT_THROW(registry.SetBinaryValue("", "b", nullptr, 3), CRegistryException);
  const uint8_t u8 = 0;
  EXPECT_THROW(registry.SetBinaryValue("", "b", &u8, 0), CRegistryException);
  EXPECT_THROW(registry.GetBinaryValue("", "b", nullptr, 0, nullptr), CRegistryException);
  EXPECT_EQ((std::vector<std::string>{
                "ValidSubKeyPath: nSlash != 0",
                "ValidSubKeyPath: nSlash != (sSubKeyName.length()-1)",
                "ValidSubKeyPath: nSlash != 0",
                "NonNullSubKeyName: !sSubKeyName.empty()",
                "NonNullValueName: !sValueName.empty()",
                "NonNullCallerDataPtr: pu8Data",
                "PositiveLength: uBytes != 0",
                "NonNullCallerBytesPtr: puBytesRead",
            }),
            recorder.Checks());
  EXPECT_EQ("Invalid key path \"\\A\"",
            MessageOf<CRegistryException>([&] { registry.OpenKey("\\A"); }));
  EXPECT_EQ(sBefore, ReadFileBytes(sFile));
  EXPECT_FALSE(registry.IsFileOpen());
  // The forward slash is an ordinary character.
  registry.CreateKey("A/B", true);
  EXPECT_EQ((std::vector<std::string>{"A/B"}), SubKeyNames(registry.OpenKey("")));
}

// Records the walk of a visitor.
class CRecordingVisitor : public CPathVisitor {
 public:
  void EnterKey(IKey* pKey) override {
    CPathVisitor::EnterKey(pKey);
    m_events.push_back("enter " + m_sCurrentPath);
  }
  void VisitValue(const CValue* pValue) override {
    m_events.push_back("value " + m_sCurrentPath + pValue->GetName());
  }
  void LeaveKey(IKey* pKey) override {
    m_events.push_back("leave " + m_sCurrentPath);
    CPathVisitor::LeaveKey(pKey);
  }
  std::vector<std::string> m_events;
};

TEST(BlobRegistry, AcceptVisitsValuesBeforeSubkeysDepthFirst) {
  larch_test::CScratchDir dir;
  CBlobRegistry registry(dir / "reg.blob", false, 100);
  registry.SetStringValue("", "v2", "x");
  registry.SetUnsignedNumberValue("", "v1", 1);
  registry.CreateKey("A\\Deep", true);
  registry.SetStringValue("A", "a1", "y");
  registry.CreateKey("B", true);
  CRecordingVisitor visitor;
  registry.OpenKey("")->Accept(visitor);
  EXPECT_EQ((std::vector<std::string>{
                "enter TopKey\\", "value TopKey\\v1", "value TopKey\\v2", "enter TopKey\\A\\",
                "value TopKey\\A\\a1", "enter TopKey\\A\\Deep\\", "leave TopKey\\A\\Deep\\",
                "leave TopKey\\A\\", "enter TopKey\\B\\", "leave TopKey\\B\\", "leave TopKey\\"}),
            visitor.m_events);
  EXPECT_EQ("", visitor.GetCurrentPath());
  EXPECT_FALSE(registry.IsFileOpen());
}

TEST(BlobRegistry, DescribeGivesTheTextOfEachStoredValue) {
  larch_test::CScratchDir dir;
  CBlobRegistry registry(dir / "reg.blob", false, 100);
  const uint8_t au8Data[] = {0x0A, 0xFF};
  registry.SetBinaryValue("", "b", au8Data, 2);
  registry.SetUnsignedNumberValue("", "n", 26);
  registry.SetStringValue("", "s", "abc");
  KeyPtr_t pTop = registry.OpenKey("");
  std::vector<std::string> texts;
  for (CValueIterator it = pTop->ValuesBegin(); it != pTop->ValuesEnd(); ++it) {
    texts.push_back(it.Describe());
    EXPECT_EQ(it.GetName(), it.GetValue().GetName());
  }
  EXPECT_EQ((std::vector<std::string>{"Binary: 0x0aff", "Number: 0x0000001a", "String: abc"}),
            texts);
}

// One opening can grow the file by the temporary growth area only; the next opening gets a
// new one. A failed addition leaves no half-made value or key behind.
TEST(BlobRegistry, GrowthIsBoundedPerOpening) {
  larch_test::CScratchDir dir;
  std::string sFile = dir / "reg.blob";
  CBlobRegistry registry(sFile, false, 100);
  std::vector<uint8_t> big(60000, 0xAB);
  const std::string sOverflow = "CMultiFieldBlob: Attempt to overflow memory-mapped file";
  {
    KeyPtr_t pTop = registry.OpenKey("");
    pTop->SetBinaryValue("one", big.data(), uint32_t(big.size()));
    EXPECT_EQ(sOverflow, MessageOf<CMultiFieldBlob::COverflowMemoryMappedFileException>([&] {
                pTop->SetBinaryValue("two", big.data(), uint32_t(big.size()));
              }));
    EXPECT_FALSE(pTop->ValueExists("two"));
    EXPECT_EQ(
        "Failed to create key TopKey\\" + std::string(50000, 'k') + "\n Details: " + sOverflow,
        MessageOf<CBlobException>([&] { pTop->CreateKey(std::string(50000, 'k'), true); }));
    EXPECT_EQ(std::vector<std::string>(), SubKeyNames(pTop));
    // A replacement that does not fit keeps the old type and data.
    pTop->SetUnsignedNumberValue("n", 3);
    EXPECT_THROW(pTop->SetBinaryValue("n", big.data(), uint32_t(big.size())),
                 CMultiFieldBlob::COverflowMemoryMappedFileException);
    uint32_t uNumber = 0;
    pTop->GetUnsignedNumberValue("n", &uNumber);
    EXPECT_EQ(3u, uNumber);
  }
  registry.SetBinaryValue("", "two", big.data(), uint32_t(big.size()));
  uint32_t uRead = 0;
  registry.GetBinaryValue("", "two", nullptr, 0, &uRead);
  EXPECT_EQ(60000u, uRead);
  CBlobRegistry reopened(sFile, true, 100);
  EXPECT_TRUE(reopened.ValueExists("", "one"));
}

TEST(BlobRegistry, DamagedFilesAreRefusedAtConstruction) {
  larch_test::CScratchDir dir;
  std::string sFile = dir / "reg.blob";
  using registry_test::Id;
  using registry_test::MakeBlob;
  registry_test::WriteFileBytes(sFile, "garbage!!!!!");
  EXPECT_EQ("Cannot open blob archive file " + sFile +
                ": CMultiFieldBlob(pSerialized): Invalid BinaryFormatCode",
            MessageOf<CBlobException>([&] { CBlobRegistry(sFile, true, 100); }));
  registry_test::WriteFileBytes(sFile, MakeBlob({{"Other", "x"}}));
  EXPECT_EQ("CMultiFieldBlob(pParent,FieldName): Field does not exist",
            MessageOf<CMultiFieldBlob::CFieldDoesNotExistException>(
                [&] { CBlobRegistry(sFile, true, 100); }));
  // A number of three bytes.
  std::string sValue = MakeBlob({{Id(1), registry_test::U32(1)}, {Id(2), "abc"}});
  std::string sKey = MakeBlob({{Id(1), MakeBlob({})}, {Id(2), MakeBlob({{"n", sValue}})}});
  registry_test::WriteFileBytes(sFile, MakeBlob({{"TopKey", sKey}}));
  EXPECT_EQ("Failed to query key n for value info",
            MessageOf<CBlobException>([&] { CBlobRegistry(sFile, true, 100); }));
  EXPECT_TRUE(LockIsFree(sFile));
  // A subkey whose data is not a blob.
  sKey = MakeBlob({{Id(1), MakeBlob({{"S", "xx"}})}, {Id(2), MakeBlob({})}});
  registry_test::WriteFileBytes(sFile, MakeBlob({{"TopKey", sKey}}));
  EXPECT_EQ(
      "Failed to open key TopKey\\S\nDetails: "
      "CMultiFieldBlob(pSerialized): Invalid ExpectedSizeOfSerializedImage",
      MessageOf<CBlobException>([&] { CBlobRegistry(sFile, true, 100); }));
  EXPECT_TRUE(LockIsFree(sFile));
}

// A key d keys below the top key is a blob d * 2 + 1 levels deep: 31 keys nest below the top
// key, and a deeper key is neither created nor read.
TEST(BlobRegistry, KeysNestAsDeepAsBlobsMay) {
  larch_test::CScratchDir dir;
  std::string sFile = dir / "reg.blob";
  const std::string sRefusal = "CMultiFieldBlob: nesting deeper than 64 levels";
  std::string sPath = "n";
  for (int i = 1; i < 31; ++i) sPath += "\\n";
  {
    CBlobRegistry registry(sFile, false, 100);
    registry.CreateKey(sPath, true);
    EXPECT_EQ("Failed to create key TopKey\\" + sPath + "\\n\n Details: " + sRefusal,
              MessageOf<CBlobException>([&] { registry.CreateKey(sPath + "\\n", true); }));
    EXPECT_FALSE(registry.KeyExists(sPath + "\\n"));
  }
  CBlobRegistry reopened(sFile, true, 100);
  EXPECT_TRUE(reopened.KeyExists(sPath));

  using registry_test::Id;
  using registry_test::MakeBlob;
  std::string sKey = sc_sEmptyKeyBlob;
  for (int i = 0; i < 32; ++i)
    sKey = MakeBlob({{Id(1), MakeBlob({{"n", sKey}})}, {Id(2), MakeBlob({})}});
  std::string sDeeper = dir / "deeper.blob";
  registry_test::WriteFileBytes(sDeeper, MakeBlob({{"TopKey", sKey}}));
  EXPECT_EQ("Failed to open key n\\n\nDetails: " + sRefusal,
            MessageOf<CBlobException>([&] { CBlobRegistry(sDeeper, true, 100); }));
  EXPECT_TRUE(LockIsFree(sDeeper));
}

// Lock failures have their own type, so that callers can tell them from a damaged file.
TEST(BlobRegistry, LockFailuresAreErrors) {
  larch_test::CScratchDir dir;
  std::string sFile = dir / "reg.blob";
  platform::InjectFailure("CreateNamedLock", 1);
  EXPECT_EQ("Failed to create file access mutex",
            MessageOf<CRegistryLockException>([&] { CBlobRegistry(sFile, false, 100); }));
  CBlobRegistry registry(sFile, false, 100);
  platform::InjectFailure("AcquireNamedLock", 1);
  EXPECT_EQ("Failed to wait for file access mutex",
            MessageOf<CRegistryLockException>([&] { registry.SetStringValue("", "v", "x"); }));
  EXPECT_FALSE(registry.ValueExists("", "v"));
  platform::ClearInjectedFailures();
}

// A flush that fails at the end of a call is reported, and the file is closed and the lock
// given back all the same; the change stays in the file.
TEST(BlobRegistry, FailedFlushStillClosesTheFile) {
  larch_test::CScratchDir dir;
  std::string sFile = dir / "reg.blob";
  CBlobRegistry registry(sFile, false, 100);
  platform::InjectFailure("FlushMapping", 1);
  EXPECT_EQ("CMultiFieldBlob: Failed to flush changes to memory mapped file",
            MessageOf<CMultiFieldBlob::CFlushMemoryMappedFileFailedException>(
                [&] { registry.SetStringValue("", "v", "x"); }));
  platform::ClearInjectedFailures();
  EXPECT_FALSE(registry.IsFileOpen());
  EXPECT_TRUE(LockIsFree(sFile));
  EXPECT_TRUE(registry.ValueExists("", "v"));
  // Opening the file failed: the lock is given back.
  platform::InjectFailure("MapView", 1, 2);
  EXPECT_EQ("Cannot open blob archive file " + sFile + ": " + platform::SystemErrorReason(2),
            MessageOf<CBlobException>([&] { registry.SetStringValue("", "w", "x"); }));
  platform::ClearInjectedFailures();
  EXPECT_TRUE(LockIsFree(sFile));
  EXPECT_FALSE(registry.ValueExists("", "w"));
}

// Two registry objects on one file, named by a relative and an absolute path, exclude each
// other like two processes.
TEST(BlobRegistry, SecondObjectOnTheSameFileWaitsForTheFirst) {
  larch_test::CScratchDir dir;
  std::string sWorking = platform::GetWorkingDirectory();
  ASSERT_TRUE(platform::SetWorkingDirectory(dir.Path()));
  {
    CBlobRegistry first("reg.blob", false, 100);
    CBlobRegistry second(dir / "reg.blob", true, 200);
    KeyPtr_t pHeld = first.OpenKey("");
    EXPECT_EQ("The registry is in use by another process, timeout expired",
              MessageOf<CInUseException>([&] { second.SetStringValue("", "v", "x"); }));
    pHeld = KeyPtr_t();
    second.SetStringValue("", "v", "x");
    EXPECT_TRUE(first.ValueExists("", "v"));
  }
  ASSERT_TRUE(platform::SetWorkingDirectory(sWorking));
}

// A thread that keeps a handle keeps the other threads of the process out of the registry.
TEST(BlobRegistry, HandleKeepsOtherThreadsWaiting) {
  larch_test::CScratchDir dir;
  CBlobRegistry registry(dir / "reg.blob", false, 100);
  std::atomic<bool> bDone{false};
  KeyPtr_t pHeld = registry.OpenKey("");
  std::thread other([&] {
    registry.SetStringValue("", "from", "other");
    bDone = true;
  });
  platform::SleepMilliseconds(200);
  EXPECT_FALSE(bDone);
  EXPECT_FALSE(pHeld->ValueExists("from"));
  pHeld = KeyPtr_t();
  other.join();
  EXPECT_TRUE(bDone);
  EXPECT_TRUE(registry.ValueExists("", "from"));
}

}  // namespace
}  // namespace common
