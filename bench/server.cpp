// Content-server throughput seen by the bootstrapper's download command: N clients at once
// fetch the same file with PublicContentServerGetFile; prints the aggregate rate of the best of
// the rounds. bench/run-server starts larch-server and nginx and runs this beside curl.
//
//   bench_server --content IP:PORT --file NAME --size BYTES [--clients N] [--rounds R]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "network/IPAddrPort.h"
#include "platform/Socket.h"
#include "protocols/PublicContentServerCommands.h"
#include "support/MallocedBlock.h"

namespace {

struct SArgs {
  common::CIPAddrPort content;
  std::string sFile;
  uint64_t u64Size = 0;
  int nClients = 1;
  int nRounds = 2;
};

SArgs ParseArgs(int argc, char** argv) {
  SArgs args;
  bool bContent = false;
  for (int n = 1; n + 1 < argc; n += 2) {
    std::string sKey = argv[n], sValue = argv[n + 1];
    if (sKey == "--content") {
      args.content = common::CIPAddrPort(0xFFFFFFFFu, sValue, 0);
      bContent = true;
    } else if (sKey == "--file") {
      args.sFile = sValue;
    } else if (sKey == "--size") {
      args.u64Size = std::strtoull(sValue.c_str(), nullptr, 10);
    } else if (sKey == "--clients") {
      args.nClients = std::atoi(sValue.c_str());
    } else if (sKey == "--rounds") {
      args.nRounds = std::atoi(sValue.c_str());
    } else {
      throw std::runtime_error("unknown option " + sKey);
    }
  }
  if (!bContent || args.sFile.empty() || args.u64Size == 0 || args.nClients < 1 ||
      args.nRounds < 1) {
    throw std::runtime_error(
        "usage: bench_server --content IP:PORT --file NAME --size BYTES [--clients N] "
        "[--rounds R]");
  }
  return args;
}

// One round: every client fetches the file once, all starting together. Seconds taken.
double RunRound(const SArgs& args, std::vector<std::unique_ptr<common::CMallocedBlock>>& blocks) {
  std::atomic<int> nReady{0};
  std::atomic<bool> bGo{false};
  std::vector<std::string> vecErrors(args.nClients);
  std::vector<std::thread> threads;
  for (int n = 0; n < args.nClients; ++n) {
    threads.emplace_back([&, n] {
      ++nReady;
      while (!bGo.load()) std::this_thread::yield();
      try {
        common::PublicContentServerGetFile(args.content, args.sFile, blocks[n].get(), nullptr,
                                           nullptr, nullptr);
        if (blocks[n]->Size() != args.u64Size) vecErrors[n] = "wrong size";
      } catch (const std::exception& e) {
        vecErrors[n] = e.what();
      }
    });
  }
  while (nReady.load() < args.nClients) std::this_thread::yield();
  auto start = std::chrono::steady_clock::now();
  bGo = true;
  for (std::thread& t : threads) t.join();
  double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  for (const std::string& sError : vecErrors) {
    if (!sError.empty()) throw std::runtime_error("download failed: " + sError);
  }
  return dSeconds;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    SArgs args = ParseArgs(argc, argv);
    platform::StartSockets();
    // Blocks are kept across rounds, so later rounds do not pay for fresh pages.
    std::vector<std::unique_ptr<common::CMallocedBlock>> blocks;
    for (int n = 0; n < args.nClients; ++n) {
      blocks.emplace_back(new common::CMallocedBlock(static_cast<uint32_t>(args.u64Size)));
    }
    double dBest = 0;
    for (int nRound = 0; nRound < args.nRounds; ++nRound) {
      double dSeconds = RunRound(args, blocks);
      double dRate = static_cast<double>(args.u64Size) * args.nClients / dSeconds / 1e6;
      std::printf("round %d: %d clients, %.3f s, %.1f MB/s\n", nRound + 1, args.nClients, dSeconds,
                  dRate);
      if (dRate > dBest) dBest = dRate;
    }
    std::printf("RESULT clients=%d mbps=%.1f\n", args.nClients, dBest);
    platform::StopSockets();
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_server: %s\n", e.what());
    return 1;
  }
}
