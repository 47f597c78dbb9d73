// 'larchtool publish' into a directory that larch-server serves: what the bootstrapper then
// fetches, and records replaced while clients read them.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <set>
#include <thread>

#include "PublishLayout.h"
#include "ServerTestUtil.h"
#include "package/PkgFile.h"
#include "platform/Process.h"
#include "protocols/ConfigServerCommands.h"
#include "protocols/ContentServerDirectoryServerCommands.h"
#include "protocols/GeneralDirectoryServerCommands.h"
#include "protocols/PublicContentServerCommands.h"
#include "security/Sha256.h"
#include "support/MallocedBlock.h"

namespace larchserver {
namespace {

using common::CIPAddrPort;

std::string LarchtoolPath() {
  std::string sExe;
  EXPECT_TRUE(platform::GetExecutablePath(sExe));
  return sExe.substr(0, sExe.find_last_of('/')) + "/../tools/larchtool/larchtool";
}

uint32_t RunAndWait(const std::string& sCommandLine) {
  platform::CProcess process;
  EXPECT_TRUE(process.Start(sCommandLine));
  uint32_t uExit = 99;
  EXPECT_TRUE(process.Wait(60000, uExit));
  return uExit;
}

// Runs the larchtool built beside this test; its exit code.
uint32_t RunLarchtool(const std::string& sArgs) {
  return RunAndWait("\"" + LarchtoolPath() + "\" publish " + sArgs);
}

// The same, with its stderr in sErr (the arguments must hold no single quote).
uint32_t RunLarchtool(const std::string& sArgs, std::string& sErr) {
  larch_test::CScratchDir dir;
  uint32_t uExit = RunAndWait("/bin/sh -c \"exec '" + LarchtoolPath() + "' publish " + sArgs +
                              " 2> '" + dir / "err.txt" + "' > /dev/null\"");
  sErr = ReadTestFile(dir / "err.txt");
  return uExit;
}

std::string Quoted(const std::string& s) {
  return "\"" + s + "\"";
}

// What the bootstrapper does: directory, then the servers it names.
CIPAddrPort FirstOfType(const CIPAddrPort& gds, uint8_t u8Type) {
  std::vector<CIPAddrPort> vec;
  common::GeneralDirectoryServerGetServers(u8Type, {gds}, &vec, nullptr, nullptr);
  EXPECT_FALSE(vec.empty());
  return vec.empty() ? CIPAddrPort() : vec[0];
}

std::string Download(const CIPAddrPort& gds, const std::string& sName) {
  std::vector<CIPAddrPort> vecContent;
  std::atomic<bool> bAbort{false}, bStalled{false};
  common::ContentServerDirectoryServerGetContentServers(FirstOfType(gds, 6), &vecContent, 3, 0,
                                                        &bAbort, &bStalled);
  EXPECT_EQ(1u, vecContent.size());
  common::CMallocedBlock block(1);
  common::PublicContentServerGetFile(
      vecContent.at(0), sName, &block, [](int) {}, &bAbort, &bStalled);
  return std::string(reinterpret_cast<const char*>(block.Data()), block.Size());
}

TEST(Publish, WhatIsPublishedIsWhatTheBootstrapperFetches) {
  CTestServer server;
  const larch_test::CScratchDir& scratch = server.Scratch();
  platform::MakeDirectory(scratch / "app");
  platform::MakeDirectory(scratch / "app/data");
  WriteTestFile(scratch / "app/Weft.exe", "client program");
  WriteTestFile(scratch / "app/data/level1.dat", std::string(100000, 'L'));
  WriteTestFile(scratch / "Larch-build.exe", "new bootstrapper");
  std::string sDir = " --dir " + Quoted(server.Publish());

  ASSERT_EQ(
      0u, RunLarchtool(sDir + " --component Weft --version 3 " + Quoted(scratch / "app/Weft.exe") +
                       " " + Quoted(scratch / "app/data")));
  // Not a real bootstrapper: its branding cannot be checked, which only --force lets pass.
  ASSERT_EQ(0u, RunLarchtool(sDir + " --component Larch --version 12 --force --bootstrapper " +
                             Quoted(scratch / "Larch-build.exe")));

  CIPAddrPort gds = server.Address(eGds);
  auto pRecord = common::ConfigServerGetClientConfigRecord(FirstOfType(gds, 3));
  EXPECT_EQ(12u, pRecord->GetCurrentClientBootstrapVersion());
  EXPECT_EQ(3u, pRecord->GetCurrentClientAppPackageVersion());

  // The packages arrive byte for byte and unpack to what was published.
  for (const char* pszPkg : {"Weft_3.pkg", "Larch_12.pkg"}) {
    std::string sBytes = Download(gds, pszPkg);
    EXPECT_EQ(ReadTestFile(server.PublishPath(pszPkg)), sBytes) << pszPkg;
    WriteTestFile(scratch / pszPkg, sBytes);
  }
  platform::MakeDirectory(scratch / "install");
  common::CPkgFile client(scratch / "Weft_3.pkg");
  std::vector<std::string> names;
  client.GetFileNames(names);
  EXPECT_EQ(std::vector<std::string>({"Weft.exe", "data\\level1.dat"}), names);
  client.ExtractAll(scratch / "install");
  EXPECT_EQ("client program", ReadTestFile(scratch / "install/Weft.exe"));
  EXPECT_EQ(std::string(100000, 'L'), ReadTestFile(scratch / "install/data/level1.dat"));

  common::CPkgFile bootstrapper(scratch / "Larch_12.pkg");
  bootstrapper.GetFileNames(names);
  EXPECT_EQ(std::vector<std::string>({"LarchNew.exe"}), names);
  bootstrapper.ExtractAll(scratch / "install");
  EXPECT_EQ("new bootstrapper", ReadTestFile(scratch / "install/LarchNew.exe"));

  // A later client version leaves the bootstrapper's number alone.
  ASSERT_EQ(
      0u, RunLarchtool(sDir + " --component Weft --version 4 " + Quoted(scratch / "app/Weft.exe")));
  pRecord = common::ConfigServerGetClientConfigRecord(FirstOfType(gds, 3));
  EXPECT_EQ(12u, pRecord->GetCurrentClientBootstrapVersion());
  EXPECT_EQ(4u, pRecord->GetCurrentClientAppPackageVersion());
  // Nothing is left behind under temporary names.
  std::vector<std::string> vecFiles;
  ASSERT_TRUE(platform::ListDirectory(server.Publish(), vecFiles));
  EXPECT_EQ(std::set<std::string>(
                {"ClientConfigRecord.blob", "Weft_3.pkg", "Weft_4.pkg", "Larch_12.pkg"}),
            std::set<std::string>(vecFiles.begin(), vecFiles.end()));
}

TEST(Publish, ShowListsThePublishedVersionsAndPackages) {
  CTestServer server;
  const larch_test::CScratchDir& scratch = server.Scratch();
  WriteTestFile(scratch / "Weft.exe", "client");
  std::string sDir = " --dir " + Quoted(server.Publish());
  // The shell catches what the tool prints; its script is one argument, quotes escaped.
  auto show = [&]() {
    std::string sScript =
        Quoted(LarchtoolPath()) + " publish" + sDir + " --show > " + Quoted(scratch / "show.txt");
    std::string sEscaped;
    for (char c : sScript) sEscaped += c == '"' ? std::string("\\\"") : std::string(1, c);
    EXPECT_EQ(0u, RunAndWait("/bin/sh -c \"" + sEscaped + "\""));
    return ReadTestFile(scratch / "show.txt");
  };
  EXPECT_EQ("Publish directory:   " + server.Publish() +
                "\n"
                "Bootstrapper:        none published\n"
                "Client application:  none published\n"
                "Deltas offered:      none\n"
                "Record:              none (nothing published)\n"
                "Other packages:      none\n",
            show());
  ASSERT_EQ(0u,
            RunLarchtool(sDir + " --component Weft --version 3 " + Quoted(scratch / "Weft.exe")));
  std::string sPkg = ReadTestFile(server.PublishPath("Weft_3.pkg"));
  common::Sha256Digest hash = common::CSha256::Digest(sPkg.data(), sPkg.size());
  auto expected = [&](const std::string& sFile) {
    return "Publish directory:   " + server.Publish() +
           "\n"
           "Bootstrapper:        none published\n"
           "Client application:  Weft version 3 (Weft_3.pkg, " +
           std::to_string(sPkg.size()) + " bytes, SHA-256 " +
           common::ToLowerHex(hash.data(), hash.size()) + sFile +
           ")\n"
           "Deltas offered:      none\n"
           "Record:              sequence 1, not signed\n"
           "Other packages:      none\n";
  };
  EXPECT_EQ(expected("; file matches"), show());
  // A package changed after it was published shows.
  sPkg[sPkg.size() / 2] ^= 1;
  WriteTestFile(server.PublishPath("Weft_3.pkg"), sPkg);
  common::Sha256Digest changed = common::CSha256::Digest(sPkg.data(), sPkg.size());
  EXPECT_EQ(expected("; the file differs: " + std::to_string(sPkg.size()) + " bytes, SHA-256 " +
                     common::ToLowerHex(changed.data(), changed.size())),
            show());
}

TEST(Publish, MistakesChangeNothing) {
  CTestServer server;
  const larch_test::CScratchDir& scratch = server.Scratch();
  WriteTestFile(scratch / "a.exe", "a");
  WriteTestFile(scratch / "b.exe", "b");
  WriteTestFile(scratch / "empty.exe", "");
  std::string sDir = " --dir " + Quoted(server.Publish());
  EXPECT_EQ(2u, RunLarchtool(sDir + " --component Larch --version 1 --bootstrapper " +
                             Quoted(scratch / "a.exe") + " " + Quoted(scratch / "b.exe")));
  EXPECT_EQ(2u,
            RunLarchtool(sDir + " --component ../Larch --version 1 " + Quoted(scratch / "a.exe")));
  EXPECT_EQ(2u, RunLarchtool(sDir + " --component Larch --version 2147483648 " +
                             Quoted(scratch / "a.exe")));
  EXPECT_EQ(1u,
            RunLarchtool(sDir + " --component Weft --version 1 " + Quoted(scratch / "missing")));
  EXPECT_EQ(1u,
            RunLarchtool(sDir + " --component Weft --version 1 " + Quoted(scratch / "empty.exe")));
  EXPECT_EQ(1u, RunLarchtool(" --dir " + Quoted(scratch / "nowhere") +
                             " --component Weft --version 1 " + Quoted(scratch / "a.exe")));
  // Two files that the package would hold under one name.
  platform::MakeDirectory(scratch / "d1");
  platform::MakeDirectory(scratch / "d2");
  WriteTestFile(scratch / "d1/x.txt", "1");
  WriteTestFile(scratch / "d2/X.txt", "2");
  std::string sErr;
  EXPECT_EQ(1u, RunLarchtool(" --dir '" + server.Publish() + "' --component Weft --version 1 '" +
                                 scratch / "d1/x.txt" + "' '" + scratch / "d2/X.txt" + "'",
                             sErr));
  EXPECT_EQ("two files would be stored as x.txt and X.txt, which differ only in letter case: " +
                scratch / "d1/x.txt" + " and " + scratch / "d2/X.txt" + "\n",
            sErr);
  std::vector<std::string> vecFiles;
  ASSERT_TRUE(platform::ListDirectory(server.Publish(), vecFiles));
  EXPECT_EQ(std::vector<std::string>(), vecFiles);

  // A damaged record is left for the operator to look at, and no package is added.
  WriteTestFile(server.PublishPath(sc_szClientConfigRecordFile), "not a record");
  EXPECT_EQ(1u, RunLarchtool(sDir + " --component Weft --version 1 " + Quoted(scratch / "a.exe")));
  ASSERT_TRUE(platform::ListDirectory(server.Publish(), vecFiles));
  EXPECT_EQ(std::vector<std::string>({sc_szClientConfigRecordFile}), vecFiles);
  EXPECT_EQ("not a record", ReadTestFile(server.PublishPath(sc_szClientConfigRecordFile)));
}

TEST(Publish, ARecordReplacedWhileClientsReadItIsNeverSeenHalfWritten) {
  CTestServer server;
  WriteTestFile(server.Scratch() / "Weft.exe", "client");
  std::string sArgs = " --dir " + Quoted(server.Publish()) + " --component Weft --version ";
  ASSERT_EQ(0u, RunLarchtool(sArgs + "1 " + Quoted(server.Scratch() / "Weft.exe")));

  constexpr int sc_nReaders = 6;
  constexpr uint32_t sc_uLastVersion = 25;
  std::atomic<bool> bDone{false};
  std::atomic<int> nReads{0};
  std::vector<std::string> vecErrors(sc_nReaders);
  std::vector<std::thread> readers;
  for (int n = 0; n < sc_nReaders; ++n) {
    readers.emplace_back([&, n] {
      uint32_t uLastSeen = 0;
      while (!bDone.load() && vecErrors[n].empty()) {
        try {
          // The client validates the record: a torn one fails to load or to validate.
          auto pRecord = common::ConfigServerGetClientConfigRecord(server.Address(eConfig));
          uint32_t uSeen = pRecord->GetCurrentClientAppPackageVersion();
          // Versions only go up: a reader never sees an older record after a newer one.
          if (uSeen < uLastSeen || uSeen > sc_uLastVersion ||
              pRecord->GetCurrentClientBootstrapVersion() != 0) {
            vecErrors[n] =
                "saw version " + std::to_string(uSeen) + " after " + std::to_string(uLastSeen);
          }
          uLastSeen = uSeen;
          ++nReads;
        } catch (const std::exception& e) {
          vecErrors[n] = e.what();
        }
      }
    });
  }
  for (uint32_t u = 2; u <= sc_uLastVersion; ++u) {
    ASSERT_EQ(
        0u, RunLarchtool(sArgs + std::to_string(u) + " " + Quoted(server.Scratch() / "Weft.exe")));
  }
  bDone = true;
  for (std::thread& t : readers) t.join();
  for (int n = 0; n < sc_nReaders; ++n) EXPECT_EQ("", vecErrors[n]) << "reader " << n;
  EXPECT_GT(nReads.load(), 0);
  auto pRecord = common::ConfigServerGetClientConfigRecord(server.Address(eConfig));
  EXPECT_EQ(sc_uLastVersion, pRecord->GetCurrentClientAppPackageVersion());
}

// Two content servers on one publish directory (as on two machines sharing its storage) while
// client versions are published, with prunes: whatever record a client fetched, each server
// serves the package it names, with the size and hash it records.
TEST(Publish, ContentServersSharingADirectoryServeThePackageOfEveryRecordHandedOut) {
  CTestServer first;
  SServerOptions shared;
  shared.sPublishDir = first.Publish();
  CTestServer second(shared);
  const std::string sExe = first.Scratch() / "Weft.exe";
  const std::string sArgs = " --dir " + Quoted(first.Publish()) + " --component Weft --version ";
  WriteTestFile(sExe, "client 1");
  ASSERT_EQ(0u, RunLarchtool(sArgs + "1 " + Quoted(sExe)));

  constexpr int sc_nClients = 4;
  constexpr uint32_t sc_uLastVersion = 20;
  const CIPAddrPort aContent[] = {first.Address(eContent), second.Address(eContent)};
  std::atomic<bool> bDone{false};
  std::vector<std::atomic<int>> vecCycles(sc_nClients);
  std::vector<std::string> vecErrors(sc_nClients);  // each set once, before its flag
  std::vector<std::atomic<bool>> bFailed(sc_nClients);
  std::vector<std::thread> clients;
  for (int n = 0; n < sc_nClients; ++n) {
    clients.emplace_back([&, n] {
      std::atomic<bool> bAbort{false}, bStalled{false};
      while (!bDone.load() && !bFailed[n].load()) {
        try {
          auto pRecord = common::ConfigServerGetClientConfigRecord(first.Address(eConfig));
          Weft::CClientConfigRecord::SPackageDigest digest;
          pRecord->GetPackageDigest(false, digest);
          const std::string sName =
              "Weft_" + std::to_string(pRecord->GetCurrentClientAppPackageVersion()) + ".pkg";
          for (const CIPAddrPort& content : aContent) {
            common::CMallocedBlock block(1);
            common::PublicContentServerGetFile(
                content, sName, &block, [](int) {}, &bAbort, &bStalled);
            if (block.Size() != digest.u64Size ||
                common::CSha256::Digest(block.Data(), block.Size()) != digest.hash) {
              throw std::runtime_error(sName + " from " + content.ToString() +
                                       " differs from the record");
            }
          }
          ++vecCycles[n];
        } catch (const std::exception& e) {
          vecErrors[n] = e.what();
          bFailed[n] = true;
        }
      }
    });
  }
  // After each publish, every client finishes the cycle it was in and one more: from then on
  // no client holds a record older than the one just published. A client that cannot is
  // stuck, which is a failure of its own.
  auto waitForEveryClient = [&](uint32_t uVersion) {
    std::vector<int> vecBefore;
    for (const std::atomic<int>& nCycles : vecCycles) vecBefore.push_back(nCycles.load());
    for (int n = 0; n < sc_nClients; ++n) {
      for (int i = 0; i < 6000 && vecCycles[n].load() < vecBefore[n] + 2 && !bFailed[n].load();
           ++i) {
        platform::SleepMilliseconds(10);
      }
      EXPECT_TRUE(bFailed[n].load() || vecCycles[n].load() >= vecBefore[n] + 2)
          << "client " << n << " made no progress after version " << uVersion;
    }
  };
  for (uint32_t u = 2; u <= sc_uLastVersion; ++u) {
    WriteTestFile(sExe, "client " + std::to_string(u));
    // Every other version is published with a prune, the others are pruned afterwards.
    const std::string sPrune = u % 2 ? " --prune 1 " : " ";
    EXPECT_EQ(0u, RunLarchtool(sArgs + std::to_string(u) + sPrune + Quoted(sExe)));
    waitForEveryClient(u);
    if (u % 2 == 0) {
      EXPECT_EQ(0u, RunLarchtool(" --dir " + Quoted(first.Publish()) + " --prune 1"));
    }
  }
  bDone = true;
  for (std::thread& t : clients) t.join();
  for (int n = 0; n < sc_nClients; ++n) EXPECT_EQ("", vecErrors[n]) << "client " << n;
  std::vector<std::string> vecFiles;
  ASSERT_TRUE(platform::ListDirectory(first.Publish(), vecFiles));
  EXPECT_EQ(std::set<std::string>({"ClientConfigRecord.blob", "Weft_20.pkg"}),
            std::set<std::string>(vecFiles.begin(), vecFiles.end()));
}

}  // namespace
}  // namespace larchserver
