// Load generator for a fleet of content servers: N simulated bootstrappers at once, each running
// the client's conversations with the real protocol functions (GDS for the content-server
// directory, CSDS for up to 3 content servers, GDS and configuration server for the record,
// then the package from the first content server of the answer, failing over to the next ones),
// against larch-server processes it starts on loopback: one for the directory and configuration
// roles and K rate-limited content servers, directly or behind HAProxy. For each fleet it prints
// the aggregate throughput, its ratio to the sum of the rate limits, and the 50th and 99th
// percentile times of the directory answers and of whole downloads. bench/run-fleet runs it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "../server/PublishLayout.h"
#include "network/IPAddrPort.h"
#include "network/TcpListener.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "platform/Signals.h"
#include "platform/Socket.h"
#include "protocols/ConfigServerCommands.h"
#include "protocols/ContentServerDirectoryServerCommands.h"
#include "protocols/GeneralDirectoryServerCommands.h"
#include "protocols/PublicContentServerCommands.h"
#include "security/Sha256.h"
#include "support/TestUtil.h"

namespace {

using common::CIPAddrPort;
using Clock = std::chrono::steady_clock;
using SDigest = Weft::CClientConfigRecord::SPackageDigest;

const char sc_szUsage[] =
    "usage: bench_fleet [--clients N] [--servers LIST] [--size BYTES] [--rate-limit MBPS]\n"
    "                   [--haproxy | --no-haproxy] [--larch-server PATH] [--help]\n"
    "\n"
    "Starts larch-server processes on loopback (one for the gds, csds and config roles, K\n"
    "content servers each held to --rate-limit) over a publish directory holding one package\n"
    "of --size bytes, then N clients at once that each ask the directory, fetch the record and\n"
    "download the package, checking its SHA-256. One row per fleet.\n"
    "\n"
    "  --clients N        simulated clients, 1 to 5000; default 1000\n"
    "  --servers LIST     content-server counts, one fleet each, 1 to 16; default 1,2,4\n"
    "  --size BYTES       package size, 1 to 1000000000; default 1000000\n"
    "  --rate-limit MBPS  each content server's limit in 10^6 bytes per second; default 20\n"
    "  --haproxy          only the fleets behind HAProxy (/usr/sbin/haproxy, balance\n"
    "                     leastconn, the CSDS giving out its one address)\n"
    "  --no-haproxy       only the fleets without it (default: both)\n"
    "  --larch-server PATH  the server (default: server/larch-server of this build)\n";

const char sc_szHaproxy[] = "/usr/sbin/haproxy";
const char sc_szComponent[] = "FleetClient";
const uint32_t sc_uClientVersion = 1;
const uint32_t sc_uStartWaitMs = 10000;

struct SArgs {
  uint32_t uClients = 1000;
  std::vector<uint32_t> vecServers = {1, 2, 4};
  uint32_t uSize = 1000000;
  uint32_t uRateLimit = 20;
  bool bDirect = true;
  bool bHaproxy = true;
  std::string sServer;
};

uint32_t ParseCount(const std::string& sOption, const std::string& sText, uint32_t uMax) {
  bool bDigits = !sText.empty() && sText.size() <= 10 &&
                 sText.find_first_not_of("0123456789") == std::string::npos;
  unsigned long ul = bDigits ? std::stoul(sText) : 0;
  if (ul < 1 || ul > uMax) {
    throw std::runtime_error(sOption + " takes a whole number from 1 to " + std::to_string(uMax) +
                             ": '" + sText + "'");
  }
  return static_cast<uint32_t>(ul);
}

std::string DefaultServerPath() {
  std::string sExe;
  if (!platform::GetExecutablePath(sExe)) throw std::runtime_error("cannot find this program");
  return sExe.substr(0, sExe.find_last_of('/')) + "/../server/larch-server";
}

// Null when the command line asks for the usage text.
std::unique_ptr<SArgs> ParseArgs(int argc, char** argv) {
  std::unique_ptr<SArgs> pArgs(new SArgs);
  for (int n = 1; n < argc; ++n) {
    std::string sKey = argv[n];
    if (sKey == "--help") return nullptr;
    if (sKey == "--haproxy" || sKey == "--no-haproxy") {
      pArgs->bDirect = sKey == "--no-haproxy";
      pArgs->bHaproxy = !pArgs->bDirect;
      continue;
    }
    if (n + 1 >= argc) throw std::runtime_error("unknown option or missing value: " + sKey);
    std::string sValue = argv[++n];
    if (sKey == "--clients") {
      pArgs->uClients = ParseCount(sKey, sValue, 5000);
    } else if (sKey == "--servers") {
      pArgs->vecServers.clear();
      for (const std::string& s : common::SplitIPAddrPortList(sValue))
        pArgs->vecServers.push_back(ParseCount(sKey, s, 16));
    } else if (sKey == "--size") {
      pArgs->uSize = ParseCount(sKey, sValue, 1000000000);
    } else if (sKey == "--rate-limit") {
      pArgs->uRateLimit = ParseCount(sKey, sValue, 100000);
    } else if (sKey == "--larch-server") {
      pArgs->sServer = sValue;
    } else {
      throw std::runtime_error("unknown option " + sKey);
    }
  }
  if (pArgs->vecServers.empty()) throw std::runtime_error("--servers names no count");
  if (pArgs->sServer.empty()) pArgs->sServer = DefaultServerPath();
  return pArgs;
}

// The load goes to this host only: an address off loopback is refused before any connection.
const std::vector<CIPAddrPort>& CheckLoopback(const std::vector<CIPAddrPort>& vecAddrs) {
  for (const CIPAddrPort& addr : vecAddrs) {
    uint8_t au8[4];
    addr.GetOctets(au8);
    if (au8[0] != 127) throw std::runtime_error("refusing " + addr.ToString() + ": not loopback");
  }
  if (vecAddrs.empty()) throw std::runtime_error("the directory named no server");
  return vecAddrs;
}

std::string PackageName(uint32_t uVersion) {
  return std::string(sc_szComponent) + "_" + std::to_string(uVersion) + ".pkg";
}

// The publish directory: the package (reproducible pseudo-random bytes) and the record that
// vouches for its size and hash.
void FillPublishDirectory(const std::string& sDir, uint32_t uSize) {
  std::vector<uint8_t> bytes(uSize);
  std::mt19937 random(uSize);
  for (uint8_t& u8 : bytes) u8 = static_cast<uint8_t>(random());
  std::ofstream(sDir + "/" + PackageName(sc_uClientVersion), std::ios::binary)
      .write(reinterpret_cast<char*>(bytes.data()), uSize);
  Weft::CClientConfigRecord record(larchserver::sc_uRecordLayoutVersion, 1, sc_uClientVersion);
  record.SetPackageDigest(false, SDigest{uSize, common::CSha256::Digest(bytes.data(), uSize)});
  common::CMultiFieldBlob::SizeOfFieldData_t uImage = 0;
  const uint8_t* pImage = record.GetSerializedBlob(&uImage);
  std::ofstream(sDir + "/" + larchserver::sc_szClientConfigRecordFile, std::ios::binary)
      .write(reinterpret_cast<const char*>(pImage), uImage);
}

// A server process of the fleet, started through the shell so that its stdout and stderr go to
// files of the scratch directory. Owns the process: asks it to stop when the object goes, and
// kills it when it has not stopped after a while.
class CFleetProcess {
 public:
  CFleetProcess(const std::string& sCommand, const std::string& sFiles)
      : m_sOut(sFiles + ".out"), m_sErr(sFiles + ".err") {
    if (!m_process.Start("/bin/sh -c \"exec " + sCommand + " > '" + m_sOut + "' 2> '" + m_sErr +
                         "'\"")) {
      throw std::runtime_error("cannot start " + sCommand);
    }
  }
  ~CFleetProcess() {
    uint32_t uExit = 0;
    platform::RequestProcessTermination(m_process.Id());
    if (!m_process.Wait(10000, uExit)) {
      m_process.Kill();
      m_process.Wait(0xFFFFFFFF, uExit);
    }
  }
  CFleetProcess(const CFleetProcess&) = delete;
  CFleetProcess& operator=(const CFleetProcess&) = delete;

  // The address of a larch-server role from its "<role> listening on IP:PORT" line.
  CIPAddrPort Listening(const std::string& sRole) {
    const std::string sPrefix = sRole + " listening on ";
    for (uint32_t uWaited = 0; uWaited < sc_uStartWaitMs; uWaited += 20) {
      std::string sOut = larch_test::ReadFile(m_sOut);
      size_t uAt = sOut.find(sPrefix);
      size_t uEnd = sOut.find('\n', uAt);
      if (uAt != std::string::npos && uEnd != std::string::npos) {
        return CIPAddrPort(0xFFFFFFFFu,
                           sOut.substr(uAt + sPrefix.size(), uEnd - uAt - sPrefix.size()), 0);
      }
      CheckRunning();
      platform::SleepMilliseconds(20);
    }
    throw std::runtime_error("no '" + sPrefix + "' line: " + larch_test::ReadFile(m_sErr));
  }

  void CheckRunning() {
    uint32_t uExit = 0;
    if (m_process.Wait(0, uExit)) {
      throw std::runtime_error("a server ended with status " + std::to_string(uExit) + ": " +
                               larch_test::ReadFile(m_sErr));
    }
  }

 private:
  std::string m_sOut;
  std::string m_sErr;
  platform::CProcess m_process;
};

// A loopback port free now (for HAProxy, which cannot tell which port it got).
uint16_t FreeLoopbackPort() {
  common::CTcpListener listener(CIPAddrPort::FromOctets(127, 0, 0, 1, 0));
  return listener.LocalAddress().m_u16Port;
}

// HAProxy's configuration: the content servers behind one address, each checked with the
// version handshake (the content protocol's version 0, answered by a non-zero byte).
std::string HaproxyConfig(uint16_t u16Port, const std::vector<CIPAddrPort>& vecContent,
                          uint32_t uClients) {
  std::string s = "global\n  maxconn " + std::to_string(4 * uClients + 100) +
                  "\ndefaults\n  mode tcp\n  timeout connect 10s\n"
                  "  timeout client 60s\n  timeout server 60s\n"
                  "listen content\n  bind 127.0.0.1:" +
                  std::to_string(u16Port) +
                  "\n  balance leastconn\n  option tcp-check\n  tcp-check connect\n"
                  "  tcp-check send-binary 00000000\n  tcp-check expect binary 01\n";
  for (size_t u = 0; u < vecContent.size(); ++u) {
    s += "  server content" + std::to_string(u + 1) + " " + vecContent[u].ToString() +
         " check inter 1s\n";
  }
  return s;
}

std::string JoinAddresses(const std::vector<CIPAddrPort>& vecAddrs) {
  std::string s;
  for (const CIPAddrPort& addr : vecAddrs) s += (s.empty() ? "" : ",") + addr.ToString();
  return s;
}

// Waits until the package can be read through the address (the last byte of it, so that the
// whole path, HAProxy's choice of a server included, answers before the clients start).
void WaitUntilServing(const CIPAddrPort& addr, uint32_t uSize, CFleetProcess& process) {
  const std::string sFile = PackageName(sc_uClientVersion);
  for (uint32_t uWaited = 0;; uWaited += 100) {
    try {
      common::PublicContentServerReadFile(addr, sFile, uSize - 1, nullptr, nullptr, nullptr,
                                          nullptr, nullptr);
      return;
    } catch (const std::exception&) {
      process.CheckRunning();
      if (uWaited >= sc_uStartWaitMs) throw std::runtime_error("not serving: " + sFile);
    }
    platform::SleepMilliseconds(100);
  }
}

// One fleet's processes, stopped in the reverse order when it goes. Their output files and
// HAProxy's configuration go to sFiles, a directory of this fleet alone.
class CFleet {
 public:
  CFleet(const SArgs& args, uint32_t uServers, bool bHaproxy, const std::string& sPublish,
         const std::string& sFiles)
      : m_args(args), m_sPublish(sPublish), m_sFiles(sFiles) {
    std::vector<CIPAddrPort> vecContent;
    for (uint32_t u = 0; u < uServers; ++u) vecContent.push_back(StartContentServer(u));
    // Without HAProxy the CSDS spreads the clients over its checked fleet; with it, it gives
    // out HAProxy's one address.
    m_gds = StartDirectory(bHaproxy ? " --advertise-content " + StartHaproxy(vecContent)
                                    : " --content-servers " + JoinAddresses(vecContent));
  }
  ~CFleet() {
    while (!m_vecProcesses.empty()) m_vecProcesses.pop_back();
  }
  CFleet(const CFleet&) = delete;
  CFleet& operator=(const CFleet&) = delete;

  const CIPAddrPort& Gds() const { return m_gds; }

 private:
  CFleetProcess& Start(const std::string& sCommand, const std::string& sName) {
    m_vecProcesses.emplace_back(new CFleetProcess(sCommand, m_sFiles + "/" + sName));
    return *m_vecProcesses.back();
  }

  // Every client may hold a conversation with each role at once; all are one peer (127.0.0.1).
  std::string ServerCommand(uint32_t uRoles) const {
    uint32_t uPlaces = m_args.uClients + 64;
    return "'" + m_args.sServer + "' --dir '" + m_sPublish + "' --summary-interval 0" +
           " --max-per-peer " + std::to_string(uPlaces) + " --max-conversations " +
           std::to_string(uRoles * uPlaces);
  }

  CIPAddrPort StartContentServer(uint32_t uIndex) {
    std::string sCommand = ServerCommand(1) + " --content 127.0.0.1:0 --rate-limit " +
                           std::to_string(m_args.uRateLimit);
    return Start(sCommand, "content" + std::to_string(uIndex + 1)).Listening("content");
  }

  std::string StartHaproxy(const std::vector<CIPAddrPort>& vecContent) {
    platform::SFileStatus status;
    if (!platform::GetFileStatus(sc_szHaproxy, status)) {
      throw std::runtime_error(std::string(sc_szHaproxy) +
                               " is missing: scripts/setup installs it, or run --no-haproxy");
    }
    CIPAddrPort front = CIPAddrPort::FromOctets(127, 0, 0, 1, FreeLoopbackPort());
    std::string sConfig = m_sFiles + "/haproxy.cfg";
    larch_test::WriteFile(sConfig, HaproxyConfig(front.m_u16Port, vecContent, m_args.uClients));
    CFleetProcess& haproxy =
        Start(std::string(sc_szHaproxy) + " -db -f '" + sConfig + "'", "haproxy");
    WaitUntilServing(front, m_args.uSize, haproxy);
    return front.ToString();
  }

  CIPAddrPort StartDirectory(const std::string& sContentOption) {
    std::string sCommand = ServerCommand(3) +
                           " --gds 127.0.0.1:0 --csds 127.0.0.1:0 --config 127.0.0.1:0" +
                           sContentOption;
    return Start(sCommand, "directory").Listening("gds");
  }

  const SArgs& m_args;
  std::string m_sPublish;
  std::string m_sFiles;
  std::vector<std::unique_ptr<CFleetProcess>> m_vecProcesses;
  CIPAddrPort m_gds;
};

// What one client saw.
struct SClientResult {
  double dDirectorySeconds = 0;  // GDS and CSDS answers
  double dDownloadSeconds = 0;
  Clock::time_point end;
  uint32_t uRetries = 0;
  std::string sError;
};

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<CIPAddrPort> AskDirectory(const CIPAddrPort& gds, uint8_t u8Type) {
  std::vector<CIPAddrPort> vec;
  common::GeneralDirectoryServerGetServers(u8Type, {gds}, &vec, nullptr, nullptr);
  return CheckLoopback(vec);
}

std::vector<CIPAddrPort> AskContentServers(const CIPAddrPort& gds) {
  std::vector<CIPAddrPort> vec;
  CIPAddrPort csds = AskDirectory(gds, common::eContentServerDirectoryServer)[0];
  common::ContentServerDirectoryServerGetContentServers(csds, &vec, 3, 0, nullptr, nullptr);
  return CheckLoopback(vec);
}

// The published package's name and digest, as the record gives them.
std::string AskRecord(const CIPAddrPort& gds, SDigest& digest) {
  CIPAddrPort config = AskDirectory(gds, common::eConfigServer)[0];
  auto pRecord = common::ConfigServerGetClientConfigRecord(config);
  if (!pRecord->GetPackageDigest(false, digest)) throw std::runtime_error("record without digest");
  return PackageName(pRecord->GetCurrentClientAppPackageVersion());
}

// As the bootstrapper does: a lost connection resumes from the bytes received, once more on the
// same server and then on the next one (three times on a lone server); the bytes are hashed as
// they come.
void Download(const std::vector<CIPAddrPort>& vecServers, const std::string& sFile,
              const SDigest& digest, SClientResult& result) {
  common::CSha256 hash;
  const size_t uAttempts = std::max<size_t>(3, 2 * vecServers.size());
  for (size_t u = 0;; ++u) {
    try {
      common::PublicContentServerReadFile(
          vecServers[(u / 2) % vecServers.size()], sFile, static_cast<uint32_t>(hash.BytesFed()),
          [&](uint32_t u32Length) {
            if (u32Length != digest.u64Size) throw common::CContentServerRefusal("wrong length");
          },
          [&](const uint8_t* pu8, uint32_t u32Size) { hash.Update(pu8, u32Size); }, nullptr,
          nullptr, nullptr);
      break;
    } catch (const std::exception& e) {
      // A server that refuses is not asked again.
      if (dynamic_cast<const common::CContentServerRefusal*>(&e)) u |= 1;
      if (u + 1 >= uAttempts) throw;
      ++result.uRetries;
    }
  }
  if (hash.BytesFed() != digest.u64Size || hash.Final() != digest.hash) {
    throw std::runtime_error("package does not match its published hash");
  }
}

void RunClient(const CIPAddrPort& gds, std::shared_future<Clock::time_point> go,
               SClientResult& result) {
  try {
    Clock::time_point start = go.get();
    std::vector<CIPAddrPort> vecContent = AskContentServers(gds);
    result.dDirectorySeconds = SecondsSince(start);
    SDigest digest;
    std::string sFile = AskRecord(gds, digest);
    Clock::time_point downloadStart = Clock::now();
    Download(vecContent, sFile, digest, result);
    result.dDownloadSeconds = SecondsSince(downloadStart);
    result.end = Clock::now();
  } catch (const std::exception& e) {
    result.sError = e.what();
  }
}

// The clients, all released at once; the time they were released.
Clock::time_point RunClients(const CIPAddrPort& gds, std::vector<SClientResult>& vecResults) {
  std::promise<Clock::time_point> go;
  std::shared_future<Clock::time_point> goFuture = go.get_future().share();
  std::vector<std::thread> vecThreads;
  for (SClientResult& result : vecResults) {
    vecThreads.emplace_back(RunClient, gds, goFuture, std::ref(result));
  }
  Clock::time_point start = Clock::now();
  go.set_value(start);
  for (std::thread& thread : vecThreads) thread.join();
  return start;
}

// The nearest-rank percentile of the values.
double Percentile(std::vector<double> vec, double dPercent) {
  if (vec.empty()) return 0;
  std::sort(vec.begin(), vec.end());
  size_t uRank = static_cast<size_t>(dPercent / 100 * vec.size() + 0.999999);
  return vec[std::min(vec.size(), std::max<size_t>(uRank, 1)) - 1];
}

void PrintRow(const SArgs& args, const char* pszMode, uint32_t uServers, Clock::time_point start,
              const std::vector<SClientResult>& vecResults) {
  std::vector<double> vecDirectory, vecDownload;
  Clock::time_point last = start;
  uint32_t uFailed = 0, uRetries = 0;
  for (const SClientResult& result : vecResults) {
    uRetries += result.uRetries;
    if (!result.sError.empty()) {
      if (uFailed++ == 0)
        std::fprintf(stderr, "bench_fleet: a client failed: %s\n", result.sError.c_str());
      continue;
    }
    vecDirectory.push_back(result.dDirectorySeconds * 1000);
    vecDownload.push_back(result.dDownloadSeconds);
    last = std::max(last, result.end);
  }
  double dSeconds = std::chrono::duration<double>(last - start).count();
  double dRate =
      dSeconds > 0 ? vecDownload.size() * static_cast<double>(args.uSize) / dSeconds / 1e6 : 0;
  std::printf("%-8s %7u %6.1f %8.1f %6.2f %8.1f %8.1f %7.2f %7.2f %6u %7u\n", pszMode, uServers,
              dSeconds, dRate, dRate / (uServers * args.uRateLimit), Percentile(vecDirectory, 50),
              Percentile(vecDirectory, 99), Percentile(vecDownload, 50),
              Percentile(vecDownload, 99), uFailed, uRetries);
  std::fflush(stdout);
}

void RunFleet(const SArgs& args, uint32_t uServers, bool bHaproxy,
              const larch_test::CScratchDir& scratch) {
  static int s_nFleet = 0;
  std::string sFiles = scratch / ("fleet" + std::to_string(++s_nFleet));
  platform::MakeDirectory(sFiles);
  CFleet fleet(args, uServers, bHaproxy, scratch / "publish", sFiles);
  std::vector<SClientResult> vecResults(args.uClients);
  Clock::time_point start = RunClients(fleet.Gds(), vecResults);
  PrintRow(args, bHaproxy ? "haproxy" : "direct", uServers, start, vecResults);
}

void Run(const SArgs& args) {
  larch_test::CScratchDir scratch;
  platform::MakeDirectory(scratch / "publish");
  FillPublishDirectory(scratch / "publish", args.uSize);
  std::printf("%u clients, %u-byte package, %u MB/s per content server, %u cores\n", args.uClients,
              args.uSize, args.uRateLimit, std::thread::hardware_concurrency());
  const char* pszColumns = "%-8s %7s %6s %8s %6s %8s %8s %7s %7s %6s %7s\n";
  std::printf(pszColumns, "mode", "servers", "run", "MB/s", "ratio", "dir p50", "dir p99", "dl p50",
              "dl p99", "failed", "retries");
  std::printf(pszColumns, "", "", "s", "", "", "ms", "ms", "s", "s", "", "");
  for (bool bHaproxy : {false, true}) {
    if (!(bHaproxy ? args.bHaproxy : args.bDirect)) continue;
    for (uint32_t uServers : args.vecServers) RunFleet(args, uServers, bHaproxy, scratch);
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    std::unique_ptr<SArgs> pArgs = ParseArgs(argc, argv);
    if (!pArgs) {
      std::fputs(sc_szUsage, stdout);
      return 0;
    }
    platform::IgnoreBrokenPipes();
    platform::StartSockets();
    Run(*pArgs);
    platform::StopSockets();
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_fleet: %s\n", e.what());
    return 1;
  }
}
