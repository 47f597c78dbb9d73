// The end-to-end tests' deployment: a publish directory, larch-server serving it on loopback,
// and an install directory with a branded bootstrapper (`Larch`, installed as Larch.exe unless
// a test names it otherwise).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/File.h"
#include "platform/Process.h"
#include "platform/Signals.h"
#include "protocols/ClientConfigDBKeyRecord.h"
#include "registry/BlobRegistry.h"
#include "security/Sha256.h"
#include "support/TestUtil.h"

namespace larch_e2e {

namespace fs = std::filesystem;

using larch_test::ReadFile;
using larch_test::WriteFile;

inline bool Exists(const std::string& sName) {
  return fs::exists(sName);
}

inline int Count(const std::string& sText, const std::string& sWhat) {
  int n = 0;
  for (size_t u = sText.find(sWhat); u != std::string::npos; u = sText.find(sWhat, u + 1)) ++n;
  return n;
}

inline std::string Quote(const std::string& s) {
  return "'" + s + "'";
}

// Runs a shell line (the programs' output goes to files) and waits for it.
inline int RunShell(const std::string& sLine) {
  platform::CProcess process;
  if (!process.Start("/bin/sh -c \"" + sLine + "\"")) return -1;
  uint32_t uExit = 0;
  process.Wait(0xFFFFFFFFu, uExit);
  return static_cast<int>(uExit);
}

// A publish directory, larch-server serving it on loopback, and an install directory with a
// branded bootstrapper.
class Deployment : public ::testing::Test {
 protected:
  void SetUp() override {
    m_sPub = m_dir / "pub";
    m_sInst = m_dir / "inst";
    fs::create_directories(m_sPub);
    fs::create_directories(m_sInst);
    fs::create_directories(m_dir / "run");
    m_sRecord = m_dir / "record.txt";
    // The single-instance marker of these runs lives in the test's own folder.
    platform::SetEnvVar("XDG_RUNTIME_DIR", m_dir / "run");
    platform::SetEnvVar("LARCH_SAMPLE_CLIENT_RECORD", m_sRecord);
  }
  void TearDown() override {
    StopServer();
    platform::UnsetEnvVar("LARCH_SAMPLE_CLIENT_RECORD");
    platform::UnsetEnvVar("LARCH_SAMPLE_CLIENT_RESULTS");
  }

  // Ports up to 32767: the address parser takes no higher ones.
  void StartServer(bool bConfig = true, bool bAuth = true) {
    for (int nTry = 0; nTry < 20; ++nTry) {
      m_nBasePort =
          20000 + static_cast<int>((platform::GetProcessId() * 7 + nTry * 131) % 2400) * 5;
      std::string sOut = m_dir / "server.out";
      std::remove(sOut.c_str());
      std::string sLine = "exec " + Quote(LARCH_SERVER) + " --dir " + Quote(m_sPub) + " --gds " +
                          Address(0) + " --csds " + Address(1) + " --content " + Address(2);
      if (bConfig) sLine += " --config " + Address(3);
      if (bAuth) sLine += " --auth 127.0.0.1:27039";
      sLine += " > " + Quote(sOut) + " 2>> " + Quote(m_dir / "server.log");
      m_pServer = std::make_unique<platform::CProcess>();
      ASSERT_TRUE(m_pServer->Start("/bin/sh -c \"" + sLine + "\""));
      int nRoles = bConfig ? 4 : 3;
      for (int i = 0; i < 100 && Count(ReadFile(sOut), "listening on") < nRoles; ++i) {
        uint32_t uExit = 0;
        if (m_pServer->Wait(0, uExit)) break;
        platform::SleepMilliseconds(50);
      }
      if (Count(ReadFile(sOut), "listening on") == nRoles) return;
      StopServer();
    }
    FAIL() << "larch-server did not start";
  }
  void StopServer() {
    if (!m_pServer) return;
    m_pServer->Kill();
    uint32_t uExit = 0;
    m_pServer->Wait(0xFFFFFFFFu, uExit);
    m_pServer.reset();
  }
  std::string Address(int nRole) { return "127.0.0.1:" + std::to_string(m_nBasePort + nRole); }

  void Tool(const std::string& sArgs) {
    ASSERT_EQ(
        RunShell(Quote(LARCH_TOOL) + " " + sArgs + " > /dev/null 2>> " + Quote(m_dir / "tool.log")),
        0)
        << sArgs << "\n"
        << ReadFile(m_dir / "tool.log");
  }
  // A client version from files given as name -> content (a name with '/' lands in a folder).
  void PublishClient(int nVersion, const std::vector<std::pair<std::string, std::string>>& files) {
    std::string sSrc = m_dir / ("client" + std::to_string(nVersion));
    fs::create_directories(sSrc);
    fs::copy_file(LARCH_SAMPLE_CLIENT_DLL, sSrc + "/CLIENT.dll",
                  fs::copy_options::overwrite_existing);
    std::string sPaths = Quote(sSrc + "/CLIENT.dll");
    for (const auto& file : files) {
      fs::path path = fs::path(sSrc) / file.first;
      fs::create_directories(path.parent_path());
      WriteFile(path.string(), file.second);
      std::string sTop = file.first.substr(0, file.first.find('/'));
      std::string sArg = Quote(sSrc + "/" + sTop);
      if (sPaths.find(sArg) == std::string::npos) sPaths += " " + sArg;
    }
    Tool("publish --dir " + Quote(m_sPub) + " --component CLIENT --version " +
         std::to_string(nVersion) + m_sPublishOptions + m_sDeltaOption + " " + sPaths);
  }
  // A branded copy of the bootstrapper; sServers defaults to this deployment's directory server.
  // sMoreOptions are further options of `larchtool brand` (the release keys).
  std::string BrandedCopy(const std::string& sName, const std::string& sServers = "",
                          const std::string& sMoreOptions = "") {
    std::string sCopy = m_dir / sName;
    fs::copy_file(LARCH_BOOTSTRAPPER, sCopy, fs::copy_options::overwrite_existing);
    Tool("brand " + Quote(sCopy) + " --client-file CLIENT.dll --directory-servers " +
         Quote(sServers.empty() ? Address(0) : sServers) + sMoreOptions);
    return sCopy;
  }
  // A bootstrapper version that differs in its bytes (its server list names the server twice),
  // published; returns the published executable's path.
  std::string PublishBootstrapper(int nVersion, const std::string& sMoreBrandOptions = "") {
    std::string sNew = BrandedCopy("Larch-v" + std::to_string(nVersion),
                                   Address(0) + "," + Address(0), sMoreBrandOptions);
    Tool("publish --dir " + Quote(m_sPub) + " --component Larch --version " +
         std::to_string(nVersion) + m_sPublishOptions + " --bootstrapper " + Quote(sNew));
    return sNew;
  }
  void InstallBootstrapper(const std::string& sMoreBrandOptions = "") {
    fs::copy_file(BrandedCopy("Larch-branded", "", sMoreBrandOptions), Inst(m_sExe));
  }

  // Starts the installed bootstrapper with arguments; its stderr goes to err<N>.txt, its stdout
  // to err<N>.txt.out.
  void StartLarch(platform::CProcess& process, const std::string& sArgs = "") {
    m_sErr = m_dir / ("err" + std::to_string(++m_nRuns) + ".txt");
    ASSERT_TRUE(process.Start("/bin/sh -c \"exec " + Quote(Inst(m_sExe)) + sArgs + " 2> " +
                              Quote(m_sErr) + " > " + Quote(m_sErr + ".out") + "\""));
  }
  // Runs the bootstrapper until it ends; returns its stderr, keeps its exit status.
  std::string RunLarch(const std::string& sArgs = "") {
    platform::CProcess process;
    StartLarch(process, sArgs);
    m_uExit = 999;
    process.Wait(0xFFFFFFFFu, m_uExit);
    return ReadFile(m_sErr);
  }
  // Waits until the client has recorded n starts (the process that launches it may be a
  // successor of the one the test started).
  bool WaitForStarts(int n) {
    for (int i = 0; i < 1200; ++i) {
      std::string s = ReadFile(m_sRecord);
      if (Count(s, "start ") >= n && Count(s, "\nend\n") >= n) return true;
      platform::SleepMilliseconds(50);
    }
    return false;
  }
  // Runs Larch.exe until it shows its error, ends it with the terminal's Cancel instead of
  // waiting out the ten seconds, and returns the error line.
  std::string RunUntilError() {
    platform::CProcess larch;
    StartLarch(larch);
    uint32_t uExit = 0;
    for (int i = 0; i < 600 && !larch.Wait(0, uExit); ++i) {
      std::string sErr = ReadFile(m_sErr);
      size_t uError = sErr.find("ERROR");
      if (uError != std::string::npos && sErr.find('\n', uError) != std::string::npos) break;
      platform::SleepMilliseconds(50);
    }
    platform::RequestProcessTermination(larch.Id());
    larch.Wait(0xFFFFFFFFu, m_uExit);
    std::string sErr = ReadFile(m_sErr);
    size_t uError = sErr.find("ERROR");
    return uError == std::string::npos ? sErr
                                       : sErr.substr(uError, sErr.find('\n', uError) - uError);
  }
  // Every file and folder of the installation with its content.
  std::map<std::string, std::string> Snapshot() {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(m_sInst)) {
      std::string sName = fs::relative(entry.path(), m_sInst).string();
      files[sName] = entry.is_directory() ? "<folder>" : ReadFile(entry.path().string());
    }
    return files;
  }
  std::string PublishedRecordFile() { return m_sPub + "/ClientConfigRecord.blob"; }
  // Reads the published record, lets fn change it, and puts it back in one rename.
  void EditRecord(const std::function<void(Weft::CClientConfigRecord&)>& fn) {
    const std::string sImage = ReadFile(PublishedRecordFile());
    Weft::CClientConfigRecord record(reinterpret_cast<const uint8_t*>(sImage.data()),
                                     static_cast<uint32_t>(sImage.size()));
    fn(record);
    WriteRecord(record);
  }
  void WriteRecord(const Weft::CClientConfigRecord& record) {
    Weft::CClientConfigRecord::SizeOfFieldData_t uSize = 0;
    const uint8_t* pImage = record.GetSerializedBlob(&uSize);
    WriteFile(PublishedRecordFile() + ".new",
              std::string(reinterpret_cast<const char*>(pImage), uSize));
    fs::rename(PublishedRecordFile() + ".new", PublishedRecordFile());
  }
  // The package's size and hash as the record publishes them (nothing for a missing package).
  void AddDigest(Weft::CClientConfigRecord& record, bool bBootstrapper,
                 const std::string& sPackage) {
    const std::string sFile = m_sPub + "/" + sPackage + ".pkg";
    if (!Exists(sFile)) return;
    const std::string sBytes = ReadFile(sFile);
    record.SetPackageDigest(bBootstrapper,
                            {sBytes.size(), common::CSha256::Digest(sBytes.data(), sBytes.size())});
  }
  std::string Version(const char* pszName) {
    common::CBlobRegistry registry(m_sInst + "/Larch.blb", true, 5000);
    std::string sValue;
    registry.GetStringValue(pszName, pszName, sValue);
    return sValue;
  }
  std::string Inst(const std::string& sName) { return m_sInst + "/" + sName; }
  int ContentRequests() { return Count(ReadFile(m_dir / "server.log"), "role=content"); }

  larch_test::CScratchDir m_dir;
  std::string m_sPub, m_sInst, m_sRecord, m_sErr;
  std::string m_sExe = "Larch.exe";  // the bootstrapper's name in the install directory
  uint32_t m_uExit = 0;              // the last RunLarch's exit status
  std::unique_ptr<platform::CProcess> m_pServer;
  int m_nBasePort = 0;
  int m_nRuns = 0;
  std::string m_sPublishOptions;  // further options of every `larchtool publish` (signing)
  // Of PublishClient: the full packages alone, unless a test asks for deltas.
  std::string m_sDeltaOption = " --deltas 0";
};

}  // namespace larch_e2e
