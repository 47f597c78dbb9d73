// The stored layout checked from outside: files written by the registry are walked with an
// independent reader, and files written by hand are read by the registry.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/File.h"
#include "platform/Process.h"
#include "registry/BlobRegistry.h"
#include "registry/RegistryTestSupport.h"
#include "support/TestUtil.h"

namespace common {
namespace {

using registry_test::Id;
using registry_test::MakeBlob;
using registry_test::ParseBlob;
using registry_test::U32;

typedef std::map<std::string, std::string> Fields_t;

// The subkeys and values blobs of a key blob, checked to be the only two fields.
void SplitKeyBlob(const std::string& sKeyBlob, Fields_t& subKeys, Fields_t& values) {
  Fields_t key = ParseBlob(sKeyBlob);
  ASSERT_EQ(2u, key.size());
  ASSERT_EQ(1u, key.count(Id(1)));
  ASSERT_EQ(1u, key.count(Id(2)));
  subKeys = ParseBlob(key[Id(1)]);
  values = ParseBlob(key[Id(2)]);
}

// A value blob as (type, data).
std::pair<std::string, std::string> SplitValueBlob(const std::string& sValueBlob) {
  Fields_t value = ParseBlob(sValueBlob);
  EXPECT_EQ(2u, value.size());
  return {value[Id(1)], value[Id(2)]};
}

TEST(BlobRegistryLayout, WrittenTreeReadsBackByTheRawLayout) {
  larch_test::CScratchDir dir;
  std::string sFile = dir / "ClientRegistry.blob";
  {
    CBlobRegistry registry(sFile, false, 100);
    registry.SetStringValue("", "MasterAuthenticationServerIPAddrPort", "10.1.2.3:27010");
    registry.CreateKey("Net\\Servers", true);
    registry.SetUnsignedNumberValue("Net", "Port", 0x01020304);
    const uint8_t au8Data[] = {0x00, 0x01, 0xFF};
    registry.SetBinaryValue("Net\\Servers", "Raw", au8Data, 3);
    registry.SetStringValue("Net", "Gone", "x");
    registry.DeleteValue("Net", "Gone");
  }
  std::string sImage = registry_test::ReadFileBytes(sFile);
  Fields_t file = ParseBlob(sImage);
  ASSERT_EQ(1u, file.size());
  ASSERT_EQ(1u, file.count("TopKey"));

  Fields_t topSubKeys, topValues;
  SplitKeyBlob(file["TopKey"], topSubKeys, topValues);
  ASSERT_EQ(1u, topValues.size());
  EXPECT_EQ(std::make_pair(U32(0), std::string("10.1.2.3:27010", 15)),
            SplitValueBlob(topValues["MasterAuthenticationServerIPAddrPort"]));
  ASSERT_EQ(1u, topSubKeys.size());

  Fields_t netSubKeys, netValues;
  SplitKeyBlob(topSubKeys["Net"], netSubKeys, netValues);
  ASSERT_EQ(1u, netValues.size());
  EXPECT_EQ(std::make_pair(U32(1), std::string("\x04\x03\x02\x01")),
            SplitValueBlob(netValues["Port"]));
  ASSERT_EQ(1u, netSubKeys.size());

  Fields_t serversSubKeys, serversValues;
  SplitKeyBlob(netSubKeys["Servers"], serversSubKeys, serversValues);
  EXPECT_TRUE(serversSubKeys.empty());
  EXPECT_EQ(std::make_pair(U32(2), std::string("\x00\x01\xFF", 3)),
            SplitValueBlob(serversValues["Raw"]));
}

// The bytes of a value blob follow the creation order: id 1 (type), then id 2 (data).
TEST(BlobRegistryLayout, NewValueAndKeyBlobsHoldIdOneThenIdTwo) {
  larch_test::CScratchDir dir;
  std::string sFile = dir / "reg.blob";
  {
    CBlobRegistry registry(sFile, false, 100);
    registry.SetUnsignedNumberValue("", "n", 26);
    registry.CreateKey("K", true);
  }
  std::string sEmpty = MakeBlob({});
  std::string sKeyK = MakeBlob({{Id(1), sEmpty}, {Id(2), sEmpty}});
  std::string sValueN = MakeBlob({{Id(1), U32(1)}, {Id(2), U32(26)}});
  std::string sTop =
      MakeBlob({{Id(1), MakeBlob({{"K", sKeyK}})}, {Id(2), MakeBlob({{"n", sValueN}})}});
  EXPECT_EQ(MakeBlob({{"TopKey", sTop}}), registry_test::ReadFileBytes(sFile));
}

// Another program's file: records in any order, spare capacity in nested blobs, a string
// without a terminator and strings with bytes after the NUL.
TEST(BlobRegistryLayout, FileOfAnotherWriterIsRead) {
  larch_test::CScratchDir dir;
  std::string sFile = dir / "reg.blob";
  std::string sEmpty = MakeBlob({});
  auto value = [](uint32_t uType, const std::string& sData) {
    return MakeBlob({{Id(2), sData}, {Id(1), U32(uType)}}, 3);
  };
  std::string sValues = MakeBlob({{"zz", value(0, std::string("last\0junk", 9))},
                                  {"a", value(1, std::string("\x10\x00\x00\x00", 4))},
                                  {"ab", value(2, "bytes")},
                                  {"raw", value(0, "noterm")}},
                                 7);
  std::string sSubA = MakeBlob({{Id(2), sEmpty}, {Id(1), sEmpty}});
  std::string sSubKeys = MakeBlob({{"b", sSubA}, {"a", sSubA}});
  std::string sTop = MakeBlob({{Id(2), sValues}, {Id(1), sSubKeys}});
  registry_test::WriteFileBytes(sFile, MakeBlob({{"TopKey", sTop}}, 5));

  CBlobRegistry registry(sFile, true, 100);
  std::string sValue;
  registry.GetStringValue("", "zz", sValue);
  EXPECT_EQ("last", sValue);
  registry.GetStringValue("", "raw", sValue);
  EXPECT_EQ("noterm", sValue);
  uint32_t uNumber = 0;
  registry.GetUnsignedNumberValue("", "a", &uNumber);
  EXPECT_EQ(16u, uNumber);
  KeyPtr_t pTop = registry.OpenKey("");
  std::vector<std::string> texts;
  for (CValueIterator it = pTop->ValuesBegin(); it != pTop->ValuesEnd(); ++it) {
    texts.push_back(it.GetName() + "=" + it.Describe());
  }
  EXPECT_EQ((std::vector<std::string>{"a=Number: 0x00000010", "ab=Binary: 0x6279746573",
                                      "zz=String: last", "raw=String: noterm"}),
            texts);
  std::vector<std::string> keys;
  for (CSubKeyIterator it = pTop->SubKeysBegin(); it != pTop->SubKeysEnd(); ++it) {
    keys.push_back(it.GetName());
  }
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), keys);
  pTop = KeyPtr_t();
  // Editing keeps the other writer's records and spare capacity in place.
  registry.SetStringValue("", "raw", "x");
  registry.GetStringValue("", "zz", sValue);
  EXPECT_EQ("last", sValue);
}

// The larchtool of the same build tree, or "" when it has not been built.
std::string FindLarchtool() {
  std::string sExe;
  if (!platform::GetExecutablePath(sExe)) return "";
  size_t uSlash = sExe.find_last_of("/\\");
  std::string sSuffix = sExe.size() > 4 && sExe.substr(sExe.size() - 4) == ".exe" ? ".exe" : "";
  std::string sTool = sExe.substr(0, uSlash + 1) + "../../tools/larchtool/larchtool" + sSuffix;
  platform::SFileStatus status;
  return platform::GetFileStatus(sTool, status) && status.bRegularFile ? sTool : "";
}

uint32_t RunTool(const std::string& sTool, const std::string& sArgs) {
  platform::CProcess tool;
  EXPECT_TRUE(tool.Start("\"" + sTool + "\" " + sArgs));
  uint32_t uExit = 99;
  EXPECT_TRUE(tool.Wait(60000, uExit));
  return uExit;
}

TEST(BlobRegistryLayout, FileWrittenByTheToolReadsByTheRawLayout) {
  std::string sTool = FindLarchtool();
  if (sTool.empty()) GTEST_SKIP() << "larchtool is not built in this tree";
  larch_test::CScratchDir dir;
  std::string sFile = "\"" + dir / "tool.blob" + "\"";
  EXPECT_EQ(0u, RunTool(sTool, "reg " + sFile + " set \"\" Name --string abc"));
  EXPECT_EQ(0u, RunTool(sTool, "reg " + sFile + " create-key Net\\Servers"));
  EXPECT_EQ(0u, RunTool(sTool, "reg " + sFile + " set Net Port --number 0x01020304"));
  EXPECT_EQ(0u, RunTool(sTool, "reg " + sFile + " set Net\\Servers Raw --binary 00ff"));
  EXPECT_EQ(2u, RunTool(sTool, "reg " + sFile + " set Net Port --number -1"));

  Fields_t file = ParseBlob(registry_test::ReadFileBytes(dir / "tool.blob"));
  ASSERT_EQ(1u, file.size());
  Fields_t topSubKeys, topValues, netSubKeys, netValues, serversSubKeys, serversValues;
  SplitKeyBlob(file["TopKey"], topSubKeys, topValues);
  EXPECT_EQ(std::make_pair(U32(0), std::string("abc", 4)), SplitValueBlob(topValues["Name"]));
  SplitKeyBlob(topSubKeys["Net"], netSubKeys, netValues);
  EXPECT_EQ(std::make_pair(U32(1), std::string("\x04\x03\x02\x01")),
            SplitValueBlob(netValues["Port"]));
  SplitKeyBlob(netSubKeys["Servers"], serversSubKeys, serversValues);
  EXPECT_EQ(std::make_pair(U32(2), std::string("\x00\xFF", 2)),
            SplitValueBlob(serversValues["Raw"]));

  // While this process holds the file, the tool gives up after its wait.
  CBlobRegistry registry(dir / "tool.blob", true, 100);
  KeyPtr_t pHeld = registry.OpenKey("");
  EXPECT_EQ(1u, RunTool(sTool, "reg " + sFile + " list --wait 100"));
  pHeld = KeyPtr_t();
  EXPECT_EQ(0u, RunTool(sTool, "reg " + sFile + " delete-key Net --tree"));
  EXPECT_FALSE(registry.KeyExists("Net"));
}

}  // namespace
}  // namespace common
