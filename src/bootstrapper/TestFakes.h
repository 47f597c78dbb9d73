// Test doubles for the bootstrapper's tests: a clock whose sleeps return at once, a view that
// records what the dialog drew, and scripted services with files in the current directory.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bootstrapper/Clock.h"
#include "bootstrapper/TerminalView.h"
#include "bootstrapper/UpdateServices.h"
#include "package/PkgFile.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "protocols/ClientConfigDBKeyRecord.h"
#include "support/ErrorCodeException.h"
#include "support/TestUtil.h"

namespace bootstrapper_test {

using bootstrapper::ServerList;

// Time moves only when someone sleeps; the sleeps are recorded.
// With SyncWithLoop, a sleep returns only once another thread (the dialog's loop) has read the
// new time, as a real loop would have woken during a real sleep.
class CFakeClock : public bootstrapper::IClock {
 public:
  void SyncWithLoop() { m_bSync = true; }
  uint64_t NowMs() override {
    uint64_t u64Now = m_u64Now.load();
    m_u64LastRead = u64Now;
    return u64Now;
  }
  void SleepMs(uint32_t uMilliseconds) override {
    uint64_t u64New = (m_u64Now += uMilliseconds);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_sleeps.push_back(uMilliseconds);
    }
    for (int i = 0; m_bSync && m_u64LastRead.load() < u64New && i < 2000; ++i) {
      platform::SleepMilliseconds(1);
    }
  }
  uint64_t UtcSeconds() override { return m_u64UtcSeconds.load(); }
  void SetUtcSeconds(uint64_t u64Seconds) { m_u64UtcSeconds = u64Seconds; }
  uint32_t LongestWaitMs() const override { return 1; }
  std::vector<uint32_t> Sleeps() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sleeps;
  }

 private:
  std::atomic<uint64_t> m_u64Now{1000};
  std::atomic<uint64_t> m_u64LastRead{0};
  std::atomic<uint64_t> m_u64UtcSeconds{1800000000};  // 2027-01-15
  std::atomic<bool> m_bSync{false};
  std::mutex m_mutex;
  std::vector<uint32_t> m_sleeps;
};

// The terminal view in plain mode on a scratch stream, recording every call as a line.
// The scratch stream, made before the view that writes to it and closed after it.
struct SScratchStream {
  SScratchStream() : m_pSink(std::tmpfile()) {}
  ~SScratchStream() {
    if (m_pSink) std::fclose(m_pSink);
  }
  FILE* m_pSink;
};

class CRecordingView : private SScratchStream, public bootstrapper::CTerminalView {
 public:
  // pKeep, when given, receives the events too and outlives the view.
  explicit CRecordingView(bootstrapper::IClock& clock, std::vector<std::string>* pKeep = nullptr)
      : CTerminalView(m_pSink, false, clock), m_pKeep(pKeep) {}
  void ShowNormal() override {
    Log("shown");
    CTerminalView::ShowNormal();
  }
  void ShowOffScreen() override { Log("offscreen"); }
  void SetStatusText(const char* pszText) override {
    Log(std::string("status:") + pszText);
    CTerminalView::SetStatusText(pszText);
  }
  void SetBootStrapperVersion(int32_t n) override { Log("boot:" + std::to_string(n)); }
  void SetClientVersion(int32_t n) override { Log("client:" + std::to_string(n)); }
  void SetProgress(int n) override { Log("progress:" + std::to_string(n)); }
  void EndDialog(int n) override {
    Log("end:" + std::to_string(n));
    CTerminalView::EndDialog(n);
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
  }
  // Only the status texts, in order.
  std::vector<std::string> Statuses() {
    std::vector<std::string> out;
    for (const std::string& s : Events()) {
      if (s.compare(0, 7, "status:") == 0) out.push_back(s.substr(7));
    }
    return out;
  }

 private:
  void Log(const std::string& s) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back(s);
    if (m_pKeep) m_pKeep->push_back(s);
  }
  std::vector<std::string>* m_pKeep;
  std::mutex m_mutex;
  std::vector<std::string> m_events;
};

using larch_test::ReadFile;
using larch_test::WriteFile;

// A text as a file written in text mode holds it: line ends as the platform writes them.
inline std::string TextFile(const std::string& sText) {
  static const std::string s_sLineEnd = [] {
    std::string sProbe = std::filesystem::temp_directory_path().string() + "/larch-line-end-" +
                         std::to_string(platform::GetProcessId());
    if (FILE* pFile = std::fopen(sProbe.c_str(), "w")) {
      std::fputs("\n", pFile);
      std::fclose(pFile);
    }
    std::string sEnd = ReadFile(sProbe);
    std::remove(sProbe.c_str());
    return sEnd.empty() ? std::string("\n") : sEnd;
  }();
  std::string sOut;
  for (char c : sText) {
    if (c == '\n') {
      sOut += s_sLineEnd;
    } else {
      sOut += c;
    }
  }
  return sOut;
}

inline bool FileExists(const std::string& sName) {
  platform::SFileStatus status;
  return platform::GetFileStatus(sName, status) && status.bExists;
}

// An address from its text ("10.0.0.1:5273").
inline common::CIPAddrPort Address(const std::string& sText) {
  return common::CIPAddrPort(0xFFFFFFFFu, sText, 0);
}

// Scripted servers. Packages are text: one "name<TAB>content" line per entry (ReadPackageEntry
// reads a "\\n" of the content as a line end). The version file
// holds "boot\nclient\n" (then the release sequence number's line, once there is one) or
// "LOCKED" (another process holds it); the client registry holds
// "MASTER=<address>" or "LOCKED" (another process holds it) or "NOLOCK" (its lock cannot be
// made) or anything else (damaged) or "" (no master value).
class CFakeServices : public bootstrapper::IUpdateServices {
 public:
  ServerList directoryServers = {Address("10.0.0.1:5273")};
  std::map<common::EServerType, ServerList> serversByType = {
      {common::eContentServerDirectoryServer, {Address("10.0.0.6:27037")}},
      {common::eConfigServer, {Address("10.0.0.3:27038")}}};
  common::CIPAddrPort master = Address("10.0.0.9:27039");
  ServerList contentServers = {Address("10.0.0.7:27040")};
  uint32_t u32PublishedBoot = 0;
  uint32_t u32PublishedClient = 0;
  // Completes the served record (digests, signature ...) after the two versions are set.
  std::function<void(Weft::CClientConfigRecord&)> fnCompleteRecord;
  std::map<std::string, std::string> files;     // on the content server
  uint64_t u64FreeDiskSpace = UINT64_MAX;       // in the installation's directory
  uint64_t u64UnpackSpace = UINT64_MAX;         // bytes that UnpackPackage may still write
  std::map<std::string, std::string> failures;  // call name -> error text
  // Call name -> throws an exception of its own kind (a network failure, ...).
  std::map<std::string, std::function<void()>> throwers;
  int nRegistryWrites = 0;
  // Download attempts cut by a lost connection, in order, at these positions of the file (the
  // bytes before are written); the attempts after them get the whole rest.
  std::vector<uint32_t> cutsAt;
  // Called by DownloadFile before it sends the file; the download then waits (at most 5 s) for the
  // cycle's Cancel and ends with the abort error, as a real download held by its server does.
  std::function<void()> fnHoldDownload;

  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
  }

  void StartNetwork(const bootstrapper::CCancelToken& cancel) override {
    Call("StartNetwork");
    m_pCancel = &cancel;
  }
  void StopNetwork() override { Call("StopNetwork"); }
  ServerList ParseDirectoryServers(const std::string& sText) override {
    Call("ParseDirectoryServers " + sText);
    return directoryServers;
  }
  ServerList GetServers(const ServerList&, common::EServerType eType, bool bPolling) override {
    Call("GetServers " + std::to_string(static_cast<int>(eType)) +
         (bPolling ? " polling" : " blocking"));
    return serversByType[eType];
  }
  common::CIPAddrPort GetMasterAuthenticationServer(const ServerList&) override {
    Call("GetMasterAuthenticationServer");
    return master;
  }
  ServerList GetContentServers(const common::CIPAddrPort& server, uint32_t uMax,
                               uint32_t uCaller) override {
    Call("GetContentServers " + server.ToString() + " " + std::to_string(uMax) + " " +
         std::to_string(uCaller));
    return contentServers;
  }
  std::unique_ptr<Weft::CClientConfigRecord> GetClientConfigRecord(
      const common::CIPAddrPort& server) override {
    Call("GetClientConfigRecord " + server.ToString());
    auto pRecord =
        std::make_unique<Weft::CClientConfigRecord>(1, u32PublishedBoot, u32PublishedClient);
    if (fnCompleteRecord) fnCompleteRecord(*pRecord);
    return pRecord;
  }
  void DownloadFile(const common::CIPAddrPort& server, const std::string& sFile, uint32_t u32Offset,
                    platform::CFile& file, const common::FileLengthCheckFn& fnCheckLength,
                    const common::FileDataFn& fnWritten,
                    bootstrapper::ProgressCallback pfnProgress) override {
    Call("DownloadFile " + server.ToString() + " " + sFile + " from " + std::to_string(u32Offset));
    if (fnHoldDownload) {
      fnHoldDownload();
      for (int i = 0; i < 500 && !m_pCancel->IsCancelled(); ++i) platform::SleepMilliseconds(10);
      if (m_pCancel->IsCancelled()) throw std::runtime_error("network receive aborted by caller");
    }
    auto it = files.find(sFile);
    if (it == files.end()) throw common::CContentServerRefusal("no such file " + sFile);
    const uint32_t u32Size = static_cast<uint32_t>(it->second.size());
    if (fnCheckLength) fnCheckLength(u32Size);
    uint32_t u32End = u32Size;
    if (!cutsAt.empty()) {
      u32End = std::max(cutsAt.front(), u32Offset);
      cutsAt.erase(cutsAt.begin());
    }
    if (pfnProgress && u32Size) {
      pfnProgress(static_cast<int>(u32Offset * 100ull / u32Size));
      pfnProgress(static_cast<int>((u32Offset + u32Size) * 50ull / u32Size));
    }
    const uint8_t* pu8From = reinterpret_cast<const uint8_t*>(it->second.data()) + u32Offset;
    if (!file.Write(pu8From, u32End - u32Offset)) throw std::runtime_error("write failed");
    if (fnWritten) fnWritten(pu8From, u32End - u32Offset);
    if (u32End < u32Size) throw common::CPeerGracefullyClosedConnectionCommException();
  }
  bool GetFreeDiskSpace(uint64_t& u64Free) override {
    u64Free = u64FreeDiskSpace;
    return true;
  }
  // A line without a tab is damage; the files unpacked beyond u64UnpackSpace bytes in all fail
  // the unpacking as a full disk would, after the entries before them.
  std::vector<std::string> UnpackPackage(const std::string& sPackage, const std::string& sTargetDir,
                                         const std::string& sLeftOut) override {
    Call("UnpackPackage " + sPackage + " " + sTargetDir + (sLeftOut.empty() ? "" : " but ") +
         sLeftOut);
    std::istringstream in(ReadFile(sPackage));
    std::vector<std::string> names;
    std::string sLine;
    while (std::getline(in, sLine)) {
      size_t uTab = sLine.find('\t');
      if (uTab == std::string::npos) throw common::CPkgDamagedException("bad entry line");
      std::string sName = sLine.substr(0, uTab);
      if (sName == sLeftOut) continue;
      std::string sLocal = sTargetDir;
      for (char c : "/" + sName) {
        const bool bSeparator = c == '\\' || c == '/';
        if (bSeparator) platform::MakeDirectory(sLocal);
        sLocal += bSeparator ? platform::PreferredSeparator() : c;
      }
      const std::string sContent = sLine.substr(uTab + 1);
      if (sContent.size() > u64UnpackSpace) throw std::runtime_error("error writing " + sName);
      u64UnpackSpace -= sContent.size();
      WriteFile(sLocal, sContent);
      names.push_back(sName);
    }
    return names;
  }
  bool ReadPackageEntry(const std::string& sPackage, const std::string& sEntryName,
                        uint64_t u64MaxSize, std::string& sContent) override {
    Call("ReadPackageEntry " + sPackage + " " + sEntryName);
    std::istringstream in(ReadFile(sPackage));
    for (std::string sLine; std::getline(in, sLine);) {
      if (sLine.compare(0, sEntryName.size() + 1, sEntryName + "\t")) continue;
      sContent.clear();
      for (size_t u = sEntryName.size() + 1; u < sLine.size(); ++u) {
        const bool bLineEnd = sLine.compare(u, 2, "\\n") == 0;
        sContent += bLineEnd ? '\n' : sLine[u];
        u += bLineEnd ? 1 : 0;
      }
      if (sContent.size() > u64MaxSize) throw common::CPkgDamagedException("entry too large");
      return true;
    }
    return false;
  }
  void ReadVersionFile(const std::string& sFile, std::string& sBoot,
                       std::string& sClient) override {
    Call("ReadVersionFile " + sFile);
    if (ReadFile(sFile) == "LOCKED") throw bootstrapper::CRegistryBusyException("in use");
    std::istringstream in(ReadFile(sFile));
    std::getline(in, sBoot);
    std::getline(in, sClient);
  }
  void CreateVersionFile(const std::string& sFile) override {
    Call("CreateVersionFile " + sFile);
    WriteFile(sFile, "0\n0\n");
  }
  void SetBootStrapperVersion(const std::string& sFile, const std::string& sVersion) override {
    Call("SetBootStrapperVersion " + sFile + " " + sVersion);
    SetVersionLine(sFile, 0, sVersion);
  }
  void SetClientVersion(const std::string& sFile, const std::string& sVersion) override {
    Call("SetClientVersion " + sFile + " " + sVersion);
    SetVersionLine(sFile, 1, sVersion);
  }
  uint64_t ReadReleaseSequenceNum(const std::string& sFile) override {
    Call("ReadReleaseSequenceNum " + sFile);
    const std::string sLine = VersionLines(sFile)[2];
    if (sLine.find_first_not_of("0123456789") != std::string::npos) {
      throw std::runtime_error("damaged sequence number");
    }
    return sLine.empty() ? 0 : std::stoull(sLine);
  }
  void SetReleaseSequenceNum(const std::string& sFile, uint64_t u64Sequence) override {
    Call("SetReleaseSequenceNum " + sFile + " " + std::to_string(u64Sequence));
    SetVersionLine(sFile, 2, std::to_string(u64Sequence));
  }
  bool RefreshMasterAddress(const std::string& sFile, const common::CIPAddrPort& address) override {
    const std::string sAddress = address.ToString();
    Call("RefreshMasterAddress " + sFile + " " + sAddress);
    std::string sContent = ReadFile(sFile);
    if (sContent == "LOCKED") throw bootstrapper::CRegistryBusyException("in use");
    if (sContent == "NOLOCK") {
      throw bootstrapper::CRegistryLockException("Failed to create file access mutex");
    }
    if (sContent.empty()) return false;
    if (sContent.compare(0, 7, "MASTER=") != 0) throw std::runtime_error("damaged");
    if (sContent.substr(7) == sAddress) return false;
    WriteFile(sFile, "MASTER=" + sAddress);
    ++nRegistryWrites;
    return true;
  }

 private:
  static std::vector<std::string> VersionLines(const std::string& sFile) {
    std::vector<std::string> lines(3);
    std::istringstream in(ReadFile(sFile));
    for (std::string& sLine : lines) std::getline(in, sLine);
    return lines;
  }
  static void SetVersionLine(const std::string& sFile, int nLine, const std::string& sVersion) {
    std::vector<std::string> lines = VersionLines(sFile);
    lines[nLine] = sVersion;
    WriteFile(sFile, lines[0] + "\n" + lines[1] + "\n" + (lines[2].empty() ? "" : lines[2] + "\n"));
  }
  void Call(const std::string& s) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_calls.push_back(s);
    }
    Fail(s.substr(0, s.find(' ')));
  }
  void Fail(const std::string& sCall) {
    auto it = failures.find(sCall);
    if (it != failures.end()) throw std::runtime_error(it->second);
    auto itThrower = throwers.find(sCall);
    if (itThrower != throwers.end()) itThrower->second();
  }
  std::mutex m_mutex;
  std::vector<std::string> m_calls;
  const bootstrapper::CCancelToken* m_pCancel = nullptr;
};

// Runs the test in a scratch directory made current, and goes back afterwards.
class CCurrentDirectory {
 public:
  explicit CCurrentDirectory(const std::string& sDir) : m_sOld(platform::GetWorkingDirectory()) {
    platform::SetWorkingDirectory(sDir);
  }
  ~CCurrentDirectory() { platform::SetWorkingDirectory(m_sOld); }

 private:
  std::string m_sOld;
};

}  // namespace bootstrapper_test
