// Crash consistency: an update from an installed client version 1 and bootstrapper version 0 to
// client 2 and bootstrapper 1 is killed (SIGKILL, with every process it started) at many
// moments spread over the download, the check, the staging, the commit and the self-update;
// then one run against the same good servers must leave the install byte-identical to a clean
// install of the same versions, with nothing left over, and start the client. Half the
// installations take the client's delta; in the other half an installed file is missing, so
// they take the full package.
//
// The moments are file events seen in the install directory plus a random delay, and plain
// random delays, from a seeded generator. The seed is printed; LARCH_CRASH_SEED repeats a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "Deployment.h"

namespace {

using namespace larch_e2e;

constexpr int sc_nMoments = 50;
constexpr int sc_nParallelRuns = 10;

enum EMoment {
  eClientDownloading,
  eClientDownloaded,
  eStaging,
  eJournal,
  eSelfUpdaterCopy,
  eOldExecutableCopy,
  eAnyTime,
  eMomentKinds
};

const char* MomentName(int nKind) {
  static const char* const s_apszNames[] = {"client package downloading",
                                            "client package downloaded",
                                            "staging folder present",
                                            "journal present",
                                            "self-updater copy present",
                                            "old executable copy present",
                                            "any time"};
  return s_apszNames[nKind];
}

// The test's threads start processes while others have files open; a started process would
// inherit those that are not closed on exec (a copy's target among them, which then cannot be
// executed, or a version file, which then cannot be locked). So files are opened and
// processes started under one lock.
std::mutex g_fileAndStartLock;

std::string ReadGuarded(const std::string& sName) {
  std::lock_guard<std::mutex> lock(g_fileAndStartLock);
  return ReadFile(sName);
}

int ShellGuarded(const std::string& sLine) {
  platform::CProcess process;
  {
    std::lock_guard<std::mutex> lock(g_fileAndStartLock);
    if (!process.Start("/bin/sh -c \"" + sLine + "\"")) return -1;
  }
  uint32_t uExit = 0;
  process.Wait(0xFFFFFFFFu, uExit);
  return static_cast<int>(uExit);
}

void CopyGuarded(const std::string& sFrom, const std::string& sTo) {
  std::lock_guard<std::mutex> lock(g_fileAndStartLock);
  fs::copy(sFrom, sTo, fs::copy_options::recursive);
}

bool HasOldCopy(const std::string& sDir) {
  for (const auto& entry : fs::directory_iterator(sDir)) {
    std::string sName = entry.path().filename().string();
    if (sName.rfind("LarchOld", 0) == 0) return true;
  }
  return false;
}

bool MomentReached(int nKind, const std::string& sDir) {
  switch (nKind) {
    case eClientDownloading:
      return Exists(sDir + "/CLIENT_2.pkg.part") || Exists(sDir + "/CLIENT_1-2.pkg.part");
    case eClientDownloaded:
      return Exists(sDir + "/CLIENT_2.pkg") || Exists(sDir + "/CLIENT_1-2.pkg");
    case eStaging:
      return Exists(sDir + "/Larch.staging");
    case eJournal:
      return Exists(sDir + "/Larch.journal");
    case eSelfUpdaterCopy:
      return Exists(sDir + "/LarchTmp.exe");
    case eOldExecutableCopy:
      return HasOldCopy(sDir);
    default:
      return true;
  }
}

// Every file below a directory (relative name -> content), the version file left out: its
// bytes depend on the order of its writes, its values are checked by name.
std::map<std::string, std::string> Tree(const std::string& sDir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(sDir)) {
    std::string sName = fs::relative(entry.path(), sDir).string();
    if (entry.is_directory()) {
      files[sName + "/"] = "";
    } else if (sName != "Larch.blb") {
      files[sName] = ReadGuarded(entry.path().string());
    }
  }
  return files;
}

// A client version: a large file both versions share (so that the delta is offered), many
// small changed ones, one file only version 1 has.
std::vector<std::pair<std::string, std::string>> ClientFiles(int nVersion) {
  std::vector<std::pair<std::string, std::string>> files = {
      {"big.bin", Pattern(4 << 20, 1000u)}, {"a.txt", "a" + std::to_string(nVersion)}};
  files.emplace_back(nVersion == 1 ? "gone.txt" : "new.txt", "only in " + std::to_string(nVersion));
  for (int i = 0; i < 40; ++i) {
    files.emplace_back("files/f" + std::to_string(i) + ".txt",
                       "file " + std::to_string(i) + " of version " + std::to_string(nVersion));
  }
  return files;
}

class CrashConsistency : public Deployment {
 protected:
  // Starts Larch.exe of a directory in a session of its own (so that the processes it starts
  // can be killed with it), with its own client record and single-instance folder.
  void StartIn(platform::CProcess& process, const std::string& sDir) {
    fs::create_directories(sDir + ".run");
    std::string sLine = "cd " + Quote(sDir) + " && XDG_RUNTIME_DIR=" + Quote(sDir + ".run") +
                        " LARCH_SAMPLE_CLIENT_RECORD=" + Quote(sDir + ".record") +
                        " exec setsid ./Larch.exe >> " + Quote(sDir + ".out") + " 2>&1";
    {
      std::lock_guard<std::mutex> lock(g_fileAndStartLock);
      ASSERT_TRUE(process.Start("/bin/sh -c \"" + sLine + "\""));
    }
    // Until the shell has become the session's leader, a kill of the group would miss it.
    for (int i = 0; i < 5000 && !GroupAlive(process.Id()); ++i) platform::SleepMilliseconds(1);
  }
  static bool GroupAlive(uint32_t uGroup) {
    return ShellGuarded("kill -0 -" + std::to_string(uGroup) + " 2> /dev/null") == 0;
  }
  // While any process of the run lives. The run's first process is reaped as soon as it ends:
  // unreaped, it would keep its group alive for as long as the test waits.
  static bool RunAlive(platform::CProcess& process) {
    uint32_t uExit = 0;
    process.Wait(0, uExit);
    return GroupAlive(process.Id());
  }
  // Kills every process of the run and waits until they are gone: a process inside a flush
  // dies only when the flush returns, and until then it still holds its files and locks.
  static void KillGroup(platform::CProcess& process) {
    ShellGuarded("kill -KILL -" + std::to_string(process.Id()) + " 2> /dev/null");
    uint32_t uExit = 0;
    process.Wait(0xFFFFFFFFu, uExit);
    for (int i = 0; i < 3000 && GroupAlive(process.Id()); ++i) platform::SleepMilliseconds(10);
  }
  // A good run: ends when the client has been started and every process of the run is gone.
  std::string RunToCompletion(const std::string& sDir) {
    const int nStartsBefore = Count(ReadGuarded(sDir + ".record"), "start ");
    platform::CProcess process;
    StartIn(process, sDir);
    for (int i = 0; i < 1200; ++i) {
      uint32_t uExit = 0;
      bool bEnded = process.Wait(0, uExit);
      if (bEnded && !GroupAlive(process.Id())) break;
      platform::SleepMilliseconds(50);
    }
    if (GroupAlive(process.Id())) {
      KillGroup(process);
      return " the run did not end within 60 s;";
    }
    std::string sRecord = ReadGuarded(sDir + ".record");
    if (Count(sRecord, "start ") != nStartsBefore + 1) {
      return " the client was not started; its output:\n" + ReadGuarded(sDir + ".out");
    }
    return "";
  }
  std::string VersionsOf(const std::string& sDir) {
    std::lock_guard<std::mutex> lock(g_fileAndStartLock);
    try {
      common::CBlobRegistry registry(sDir + "/Larch.blb", true, 5000);
      std::string sBoot, sClient;
      registry.GetStringValue("BootStrapperVersionNum", "BootStrapperVersionNum", sBoot);
      registry.GetStringValue("ClientAppVersionNum", "ClientAppVersionNum", sClient);
      return sBoot + "/" + sClient;
    } catch (const std::exception& e) {
      return e.what();
    }
  }

  // One moment: the update from the template killed there, then a good run; "" when the
  // install ends as the reference.
  std::string KillAndRepair(int nMoment, int nKind, uint32_t uDelayMs) {
    std::string sDir = m_dir / ("moment" + std::to_string(nMoment));
    CopyGuarded(m_sTemplate, sDir);
    if (nMoment % 2) fs::remove(sDir + "/files/f0.txt");
    platform::CProcess process;
    StartIn(process, sDir);
    for (int i = 0; i < 15000 && !MomentReached(nKind, sDir) && RunAlive(process); ++i) {
      platform::SleepMilliseconds(2);
    }
    platform::SleepMilliseconds(uDelayMs);
    if (RunAlive(process)) ++m_nKilledRunning;
    KillGroup(process);
    std::string sProblems = RunToCompletion(sDir);
    const std::string sVersions = VersionsOf(sDir);
    if (sVersions != "1/2") sProblems += " versions " + sVersions + ";";
    sProblems += Difference(m_reference, Tree(sDir));
    return sProblems;
  }

  std::string m_sTemplate;
  std::map<std::string, std::string> m_reference;
  std::atomic<int> m_nKilledRunning{0};  // the others had ended before their moment came
};

TEST_F(CrashConsistency, AnUpdateKilledAtAnyMomentIsCompletedByTheNextRun) {
  StartServer();
  PublishClient(1, ClientFiles(1));
  InstallBootstrapper();
  RunLarch();
  ASSERT_TRUE(WaitForStarts(1));
  m_sTemplate = m_dir / "template";
  fs::copy(m_sInst, m_sTemplate, fs::copy_options::recursive);

  m_sDeltaOption.clear();
  PublishClient(2, ClientFiles(2));
  ASSERT_TRUE(Exists(m_sPub + "/CLIENT_1-2.pkg"));
  std::string sNew = BrandedCopy("Larch-v1", Address(0) + "," + Address(0));
  Tool("publish --dir " + Quote(m_sPub) + " --component Larch --version 1 --bootstrapper " +
       Quote(sNew));
  std::string sReference = m_dir / "reference";
  fs::create_directories(sReference);
  fs::copy_file(m_dir / "Larch-branded", sReference + "/Larch.exe");
  ASSERT_EQ(RunToCompletion(sReference), "");
  ASSERT_EQ(VersionsOf(sReference), "1/2");
  m_reference = Tree(sReference);
  ASSERT_EQ(m_reference["Larch.exe"], ReadFile(sNew));

  uint32_t uSeed = std::random_device()();
  if (const char* pszSeed = std::getenv("LARCH_CRASH_SEED")) uSeed = std::stoul(pszSeed);
  std::cout << "crash moments from seed " << uSeed << " (LARCH_CRASH_SEED repeats them)\n";
  std::vector<std::string> results(sc_nMoments);
  std::vector<std::string> moments(sc_nMoments);
  std::atomic<int> nNext{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < sc_nParallelRuns; ++w) {
    workers.emplace_back([&] {
      for (int n = nNext++; n < sc_nMoments; n = nNext++) {
        std::mt19937 random(uSeed + static_cast<uint32_t>(n));
        int nKind = n % eMomentKinds;
        uint32_t uDelay = nKind == eAnyTime ? random() % 9000 : random() % 40;
        moments[n] = std::string(MomentName(nKind)) + " + " + std::to_string(uDelay) + " ms";
        results[n] = KillAndRepair(n, nKind, uDelay);
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  std::cout << m_nKilledRunning << " of " << sc_nMoments << " updates were killed while running\n";
  for (int n = 0; n < sc_nMoments; ++n) {
    EXPECT_EQ(results[n], "") << "moment " << n << " (" << moments[n] << "), seed " << uSeed;
  }
}

}  // namespace
