// Delta updates end to end: `larchtool publish` writes the deltas from the versions before and
// the record offers them; the bootstrapper takes the one from its installed version, or the full
// package when there is none or it cannot be used. Each update must leave the installation
// byte for byte as the published version, and the content server's log tells which packages
// were fetched.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Deployment.h"
#include "blob/MultiFieldBlob.h"
#include "protocols/ClientConfigDBKeyRecord.h"

namespace {

using namespace larch_e2e;

using ClientFiles = std::vector<std::pair<std::string, std::string>>;

// A file of its own bytes: packed, it is not much smaller.
std::string Noise(size_t uSize, uint32_t uSeed) {
  std::string s(uSize, '\0');
  for (char& c : s) {
    uSeed = uSeed * 1103515245u + 12345u;
    c = static_cast<char>(uSeed >> 16);
  }
  return s;
}

ClientFiles ManyFiles() {
  ClientFiles files = {{"big.bin", Noise(300000, 7)}, {"data/Guide.txt", "the guide"}};
  for (int i = 0; i < 30; ++i) {
    files.emplace_back("files/f" + std::to_string(i) + ".txt", Noise(2000, 100u + i));
  }
  return files;
}

std::string& ContentOf(ClientFiles& files, const std::string& sName) {
  for (auto& file : files) {
    if (file.first == sName) return file.second;
  }
  ADD_FAILURE() << sName;
  static std::string s_sNone;
  return s_sNone;
}

void Remove(ClientFiles& files, const std::string& sName) {
  for (auto it = files.begin(); it != files.end(); ++it) {
    if (it->first == sName) {
      files.erase(it);
      return;
    }
  }
  ADD_FAILURE() << sName;
}

class DeltaUpdate : public Deployment {
 protected:
  void SetUp() override {
    Deployment::SetUp();
    m_sDeltaOption.clear();
    StartServer();
    InstallBootstrapper();
  }
  void Publish(int nVersion, const ClientFiles& files) {
    PublishClient(nVersion, files);
    m_published[nVersion] = files;
  }
  // Runs the bootstrapper until the client has started; returns its status lines from the
  // client's update on.
  std::string Update() {
    const std::string sErr = RunLarch();
    EXPECT_TRUE(WaitForStarts(++m_nStarts)) << sErr;
    const std::string sBefore = "Larch.exe is up-to-date at version 0\n";
    const size_t uFrom = sErr.find(sBefore);
    return uFrom == std::string::npos ? sErr : sErr.substr(uFrom + sBefore.size());
  }
  // The files the content server sent since the last call, in order.
  std::vector<std::string> Fetched() {
    const std::string sLog = ReadFile(m_dir / "server.log");
    std::vector<std::string> names;
    const std::string sKey = "role=content request=\"file ";
    for (size_t u = sLog.find(sKey, m_uLogRead); u != std::string::npos;
         u = sLog.find(sKey, u + 1)) {
      const size_t uName = u + sKey.size();
      names.push_back(sLog.substr(uName, sLog.find('"', uName) - uName));
    }
    m_uLogRead = sLog.size();
    return names;
  }
  // The installation as the published version makes it: its files, their folders, its
  // manifest, and the bootstrapper's own files.
  void ExpectInstalled(int nVersion) {
    std::map<std::string, std::string> expected = {
        {"Larch.exe", ReadFile(m_dir / "Larch-branded")},
        {"CLIENT.dll", ReadFile(LARCH_SAMPLE_CLIENT_DLL)}};
    std::set<std::string> entries = {"CLIENT.dll"};
    for (const auto& file : m_published[nVersion]) {
      expected[file.first] = file.second;
      for (size_t u = file.first.find('/'); u != std::string::npos;
           u = file.first.find('/', u + 1)) {
        expected[file.first.substr(0, u)] = "<folder>";
      }
      std::string sEntry = file.first;
      for (char& c : sEntry) c = c == '/' ? '\\' : c;
      entries.insert(sEntry);
    }
    std::string sManifest;
    for (const std::string& sEntry : entries) sManifest += sEntry + "\n";
    expected["CLIENT_" + std::to_string(nVersion) + ".mst"] = sManifest;
    std::map<std::string, std::string> installed = Snapshot();
    installed.erase("Larch.blb");
    // Folders the version emptied stay, as after a full update.
    for (auto it = installed.begin(); it != installed.end();) {
      it = it->second == "<folder>" && !expected.count(it->first) ? installed.erase(it) : ++it;
    }
    EXPECT_EQ(installed, expected);
    EXPECT_EQ(Version("ClientAppVersionNum"), std::to_string(nVersion));
  }
  std::string DeltaStatus(int nFrom, int nTo) {
    const uint64_t u64Size = fs::file_size(m_sPub + "/CLIENT_" + std::to_string(nFrom) + "-" +
                                           std::to_string(nTo) + ".pkg");
    return "Updating CLIENT.dll to version " + std::to_string(nTo) + " (delta from " +
           std::to_string(nFrom) + ", " + std::to_string((u64Size + 1023) / 1024) +
           " KB). Please wait...\n";
  }
  static std::string FullStatus(int nTo) {
    const std::string sTo = std::to_string(nTo);
    return "Updating CLIENT.dll to version " + sTo +
           ". Please wait...\nUpdating CLIENT.dll to version " + sTo +
           ". Unpacking please wait...\n";
  }
  // A delta that cannot be used, then the full package, in one run.
  std::string FellBack(int nFrom, int nTo, const std::string& sReason) {
    return DeltaStatus(nFrom, nTo) + "Delta update failed (" + sReason +
           "); downloading the full package instead...\n" + FullStatus(nTo) + Updated(nTo);
  }
  static void FlipBit(const std::string& sPath, size_t uAt, char cBit) {
    std::string sBytes = ReadFile(sPath);
    sBytes[uAt] ^= cBit;
    WriteFile(sPath, sBytes);
  }
  static std::string Updated(int nTo) {
    return "Game version: " + std::to_string(nTo) + "\nCLIENT.dll has been updated to version " +
           std::to_string(nTo) + "\n";
  }

  std::map<int, ClientFiles> m_published;
  int m_nStarts = 0;
  size_t m_uLogRead = 0;
};

TEST_F(DeltaUpdate, EveryKindOfChangeArrivesAsADelta) {
  ClientFiles files = ManyFiles();
  Publish(1, files);
  Update();
  EXPECT_EQ(Fetched(), std::vector<std::string>{"CLIENT_1.pkg"});
  ExpectInstalled(1);

  // One byte of one file of many.
  const std::string sOriginal = ContentOf(files, "files/f5.txt");
  ContentOf(files, "files/f5.txt")[1000] ^= 0x01;
  Publish(2, files);
  EXPECT_EQ(Update(), DeltaStatus(1, 2) + Updated(2));
  EXPECT_EQ(Fetched(), std::vector<std::string>{"CLIENT_1-2.pkg"});
  ExpectInstalled(2);

  // A file added, one removed, one renamed, one renamed in letter case, one changed back.
  files.emplace_back("new.txt", "new in 3");
  Remove(files, "files/f7.txt");
  const std::string sMoved = ContentOf(files, "files/f8.txt");
  Remove(files, "files/f8.txt");
  files.emplace_back("moved/f8.txt", sMoved);
  Remove(files, "data/Guide.txt");
  files.emplace_back("data/GUIDE.txt", "the guide");
  ContentOf(files, "files/f5.txt") = sOriginal;
  Publish(3, files);
  EXPECT_EQ(Update(), DeltaStatus(2, 3) + Updated(3));
  EXPECT_EQ(Fetched(), std::vector<std::string>{"CLIENT_2-3.pkg"});
  ExpectInstalled(3);
  EXPECT_LT(fs::file_size(m_sPub + "/CLIENT_1-2.pkg") * 20,
            fs::file_size(m_sPub + "/CLIENT_2.pkg"));
}

// A delta that cannot be used costs its download; the full package then gives the same result.
TEST_F(DeltaUpdate, ALocallyChangedFileOrATamperedDeltaFallsBackToTheFullPackage) {
  ClientFiles files = ManyFiles();
  Publish(1, files);
  Update();
  Fetched();
  ContentOf(files, "files/f1.txt") = "changed in 2";
  Publish(2, files);
  FlipBit(Inst("files/f3.txt"), 0, 0x20);
  EXPECT_EQ(Update(),
            FellBack(1, 2, "the installed files do not match the file list of CLIENT_1-2.pkg"));
  EXPECT_EQ(Fetched(), (std::vector<std::string>{"CLIENT_1-2.pkg", "CLIENT_2.pkg"}));
  ExpectInstalled(2);

  ContentOf(files, "files/f2.txt") = "changed in 3";
  Publish(3, files);
  FlipBit(m_sPub + "/CLIENT_2-3.pkg", fs::file_size(m_sPub + "/CLIENT_2-3.pkg") / 2, 0x01);
  EXPECT_EQ(Update(), FellBack(2, 3, "package CLIENT_2-3.pkg does not match its published hash"));
  EXPECT_EQ(Fetched(), (std::vector<std::string>{"CLIENT_2-3.pkg", "CLIENT_3.pkg"}));
  ExpectInstalled(3);
}

// Two versions behind: the delta from the installed version when it is still offered, else the
// full package.
TEST_F(DeltaUpdate, AnInstallationTwoVersionsBehind) {
  ClientFiles files = ManyFiles();
  Publish(1, files);
  Update();
  Fetched();
  for (int nVersion : {2, 3}) {
    ContentOf(files, "files/f" + std::to_string(nVersion) + ".txt") += "changed";
    Publish(nVersion, files);
  }
  EXPECT_EQ(Update(), DeltaStatus(1, 3) + Updated(3));
  EXPECT_EQ(Fetched(), std::vector<std::string>{"CLIENT_1-3.pkg"});
  ExpectInstalled(3);

  m_sDeltaOption = " --deltas 1";
  for (int nVersion : {4, 5}) {
    ContentOf(files, "files/f" + std::to_string(nVersion) + ".txt") += "changed";
    Publish(nVersion, files);
  }
  EXPECT_EQ(Update(), FullStatus(5) + Updated(5));
  EXPECT_EQ(Fetched(), std::vector<std::string>{"CLIENT_5.pkg"});
  ExpectInstalled(5);
}

// What a bootstrapper from before deltas reads of the record, the versions, is where it was, and
// the full package is the same whether deltas are published beside it or not.
TEST_F(DeltaUpdate, ReadersOfTheFirstFieldsAndTheFullPackageAreUnchanged) {
  ClientFiles files = ManyFiles();
  Publish(1, files);
  ContentOf(files, "files/f1.txt") += "changed";
  Publish(2, files);
  const std::string sRecord = ReadFile(PublishedRecordFile());
  using common::CMultiFieldBlob;
  CMultiFieldBlob blob(CMultiFieldBlob::eCopyImmediately, sRecord.data(),
                       static_cast<uint32_t>(sRecord.size()));
  EXPECT_TRUE(
      blob.FieldExists(CMultiFieldBlob::CFieldName(Weft::CClientConfigRecord::eClientAppDeltas)));
  uint32_t au32Fields[3] = {};
  for (uint32_t u = 0; u < 3; ++u) {
    CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
    const uint8_t* pData = blob.FindFieldData(CMultiFieldBlob::CFieldName(u), &uSize);
    ASSERT_TRUE(pData && uSize == 4) << u;
    au32Fields[u] = static_cast<uint32_t>(pData[0] | pData[1] << 8 | pData[2] << 16 |
                                          static_cast<uint32_t>(pData[3]) << 24);
  }
  EXPECT_EQ(au32Fields[1], 0u);
  EXPECT_EQ(au32Fields[2], 2u);

  const std::string sWithDeltas = ReadFile(m_sPub + "/CLIENT_2.pkg");
  const std::string sPub = m_sPub;
  m_sPub = m_dir / "pub-no-deltas";
  fs::create_directories(m_sPub);
  m_sDeltaOption = " --deltas 0";
  Publish(1, m_published[1]);
  Publish(2, files);
  EXPECT_FALSE(Exists(m_sPub + "/CLIENT_1-2.pkg"));
  EXPECT_TRUE(ReadFile(m_sPub + "/CLIENT_2.pkg") == sWithDeltas);
  m_sPub = sPub;
}

}  // namespace
