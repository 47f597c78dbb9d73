// A fleet of content servers behind HAProxy: Debian's haproxy with the packaging's sample
// configuration (only its addresses changed, and what needs root left out) in front of three
// larch-server content servers on one publish directory, one larch-server for the directory and
// configuration roles giving out HAProxy's address, and many bootstrappers installing at once
// while one content server is killed.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Deployment.h"

namespace {

using namespace larch_e2e;

constexpr int sc_nContentServers = 3;
constexpr int sc_nClients = 24;
// Each content server sends 3 MB/s, shared by its downloads: the third of the downloads that
// one server takes lasts seconds, long enough to kill it in their middle, and all of them end
// within about 16 s on the two servers left.
constexpr int sc_nRateLimitMBps = 3;
constexpr size_t sc_uPackageBytes = 4 << 20;
const char sc_szHaproxy[] = "/usr/sbin/haproxy";

// Every file below a directory (relative name -> content), the version file left out: its bytes
// depend on the order of its writes.
std::map<std::string, std::string> Tree(const std::string& sDir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(sDir)) {
    std::string sName = fs::relative(entry.path(), sDir).string();
    if (!entry.is_directory() && sName != "Larch.blb") files[sName] = ReadFile(entry.path());
  }
  return files;
}

class Fleet : public Deployment {
 protected:
  void TearDown() override {
    // Only a process not yet reaped is killed: a reaped one's id may belong to another now.
    for (auto& pProcess : m_processes) {
      if (Ended(*pProcess)) continue;
      pProcess->Kill();
      uint32_t uExit = 0;
      pProcess->Wait(0xFFFFFFFFu, uExit);
    }
    Deployment::TearDown();
  }

  platform::CProcess& Start(const std::string& sShellLine) {
    m_processes.push_back(std::make_unique<platform::CProcess>());
    EXPECT_TRUE(m_processes.back()->Start("/bin/sh -c \"" + sShellLine + "\""));
    return *m_processes.back();
  }
  static bool Ended(platform::CProcess& process) {
    uint32_t uExit = 0;
    return process.Wait(0, uExit);
  }

  // larch-server NAME with the options, every role on a free loopback port; its stdout goes to
  // NAME.out, its log to NAME.log. Returns the addresses of the roles in the order printed.
  std::vector<std::string> StartLarchServer(const std::string& sName, const std::string& sOptions,
                                            size_t uRoles, platform::CProcess** ppProcess) {
    const std::string sOut = m_dir / (sName + ".out");
    platform::CProcess& server =
        Start("exec " + Quote(LARCH_SERVER) + " --dir " + Quote(m_sPub) + sOptions + " > " +
              Quote(sOut) + " 2> " + Quote(m_dir / (sName + ".log")));
    *ppProcess = &server;
    std::vector<std::string> addresses;
    for (int i = 0; i < 200 && addresses.size() < uRoles && !Ended(server); ++i) {
      platform::SleepMilliseconds(50);
      std::istringstream lines(ReadFile(sOut));
      addresses.clear();
      for (std::string sLine; std::getline(lines, sLine);) {
        size_t uAt = sLine.find(" listening on ");
        if (uAt != std::string::npos) addresses.push_back(sLine.substr(uAt + 14));
      }
    }
    EXPECT_EQ(addresses.size(), uRoles) << sName << " did not start";
    return addresses;
  }

  // The packaging's sample with this test's addresses; chroot, user and the stats socket under
  // /run need root and are left out, and the log goes to stdout.
  std::string HaproxyConfig(const std::string& sFront) {
    std::string sConfig = ReadFile(LARCH_HAPROXY_SAMPLE);
    std::vector<std::pair<std::string, std::string>> edits = {
        {"    log /dev/log local0\n", "    log stdout format raw local0\n"},
        {"    chroot /var/lib/haproxy\n", ""},
        {"    stats socket /run/haproxy/admin.sock mode 660 level admin\n", ""},
        {"    user haproxy\n", ""},
        {"    group haproxy\n", ""},
        {"bind 192.0.2.10:27033", "bind " + sFront}};
    for (int n = 0; n < sc_nContentServers; ++n) {
      edits.emplace_back("192.0.2.1" + std::to_string(n + 1) + ":27033", m_vecContent[n]);
    }
    for (const auto& edit : edits) {
      size_t uAt = sConfig.find(edit.first);
      EXPECT_NE(uAt, std::string::npos) << "the sample no longer has " << edit.first;
      if (uAt != std::string::npos) sConfig.replace(uAt, edit.first.size(), edit.second);
    }
    return sConfig;
  }

  // HAProxy on a loopback port of its own (another one when that is taken); it runs once every
  // content server has logged one of its health checks. Returns its address.
  std::string StartHaproxy() {
    for (int nTry = 0; nTry < 20; ++nTry) {
      const std::string sFront =
          "127.0.0.1:" + std::to_string(12000 + (platform::GetProcessId() * 11 + nTry * 97) % 8000);
      WriteFile(m_dir / "haproxy.cfg", HaproxyConfig(sFront));
      platform::CProcess& haproxy = Start(
          "exec " + std::string(sc_szHaproxy) + " -db -f " + Quote(m_dir / "haproxy.cfg") + " -p " +
          Quote(m_dir / "haproxy.pid") + " >> " + Quote(m_dir / "haproxy.log") + " 2>&1");
      for (int i = 0; i < 400 && !Ended(haproxy) && !AllChecked(); ++i) {
        platform::SleepMilliseconds(50);
      }
      if (AllChecked()) return sFront;
      if (!Ended(haproxy)) break;  // it runs, but its checks do not arrive: another port won't help
    }
    ADD_FAILURE() << "haproxy did not start:\n" << ReadFile(m_dir / "haproxy.log");
    return "";
  }
  bool AllChecked() {
    for (int n = 0; n < sc_nContentServers; ++n) {
      if (ContentLog(n).find("request=\"check\"") == std::string::npos) return false;
    }
    return true;
  }
  std::string ContentLog(int n) {
    return ReadFile(m_dir / ("content" + std::to_string(n) + ".log"));
  }

  // Starts the bootstrapper of install directory DIR with its own client record and
  // single-instance folder.
  platform::CProcess& StartClient(const std::string& sDir) {
    fs::create_directories(sDir + ".run");
    return Start("cd " + Quote(sDir) + " && XDG_RUNTIME_DIR=" + Quote(sDir + ".run") +
                 " LARCH_SAMPLE_CLIENT_RECORD=" + Quote(sDir + ".record") + " exec ./Larch.exe > " +
                 Quote(sDir + ".out") + " 2>&1");
  }
  // A client that has begun its download, or has finished it.
  static bool Downloading(const std::string& sDir) {
    std::error_code ec;
    return fs::file_size(sDir + "/CLIENT_1.pkg.part", ec) > 0 || Exists(sDir + "/CLIENT_1.mst");
  }

  std::vector<std::unique_ptr<platform::CProcess>> m_processes;
  std::vector<std::string> m_vecContent;
};

TEST_F(Fleet, EveryClientInstallsThoughAContentServerIsKilledMidway) {
  ASSERT_TRUE(Exists(sc_szHaproxy)) << sc_szHaproxy << " is missing: run scripts/setup";
  const std::string sBig = Pattern(sc_uPackageBytes, 7);
  PublishClient(1, {{"big.bin", sBig}});

  std::vector<platform::CProcess*> content(sc_nContentServers);
  for (int n = 0; n < sc_nContentServers; ++n) {
    std::vector<std::string> addresses =
        StartLarchServer("content" + std::to_string(n),
                         " --content 127.0.0.1:0 --max-per-peer 1024 --rate-limit " +
                             std::to_string(sc_nRateLimitMBps),
                         1, &content[n]);
    ASSERT_EQ(addresses.size(), 1u);
    m_vecContent.push_back(addresses[0]);
  }
  const std::string sFront = StartHaproxy();
  ASSERT_NE(sFront, "");
  platform::CProcess* pFrontServer = nullptr;
  std::vector<std::string> directory = StartLarchServer(
      "directory",
      " --gds 127.0.0.1:0 --csds 127.0.0.1:0 --config 127.0.0.1:0 --max-per-peer 1024"
      " --advertise-content " +
          sFront,
      3, &pFrontServer);
  ASSERT_EQ(directory.size(), 3u);
  const std::string sBootstrapper = BrandedCopy("Larch-branded", directory[0]);

  std::vector<platform::CProcess*> clients;
  for (int n = 0; n < sc_nClients; ++n) {
    const std::string sDir = m_dir / ("client" + std::to_string(n));
    fs::create_directories(sDir);
    fs::copy_file(sBootstrapper, sDir + "/Larch.exe");
    clients.push_back(&StartClient(sDir));
  }
  // Once every client is downloading, the rate limit keeps each content server busy with a
  // third of them for seconds: content server 0 is killed in the middle of its downloads.
  for (int i = 0; i < 1200; ++i) {
    int nDownloading = 0;
    for (int n = 0; n < sc_nClients; ++n) {
      nDownloading += Downloading(m_dir / ("client" + std::to_string(n))) ? 1 : 0;
    }
    if (nDownloading == sc_nClients) break;
    platform::SleepMilliseconds(25);
  }
  content[0]->Kill();

  const std::map<std::string, std::string> expected = {
      {"Larch.exe", ReadFile(sBootstrapper)},
      {"CLIENT.dll", ReadFile(LARCH_SAMPLE_CLIENT_DLL)},
      {"big.bin", sBig},
      {"CLIENT_1.mst", "CLIENT.dll\nbig.bin\n"}};
  for (int n = 0; n < sc_nClients; ++n) {
    const std::string sDir = m_dir / ("client" + std::to_string(n));
    uint32_t uExit = 999;
    EXPECT_TRUE(clients[n]->Wait(120000, uExit)) << "client " << n << " did not end";
    EXPECT_EQ(uExit, 0u) << "client " << n << ":\n" << ReadFile(sDir + ".out");
    EXPECT_EQ(Difference(expected, Tree(sDir)), "") << "client " << n;
    EXPECT_EQ(Count(ReadFile(sDir + ".record"), "start dll\n"), 1) << "client " << n;
  }
  // The downloads that the killed server was serving were resumed on the others.
  EXPECT_GT(Count(ContentLog(1) + ContentLog(2), " from "), 0) << ContentLog(1) << ContentLog(2);
}

}  // namespace
