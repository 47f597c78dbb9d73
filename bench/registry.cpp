// Blob registry speed: open-set-close cycles per second on one file whose key holds 100 or
// 10,000 values, and the file size after each run.
//
// A cycle is one registry call that sets a number: the file is opened and locked, the value
// replaced, the file flushed, closed and unlocked. "construct" cycles also build and destroy the
// registry object each time, as the bootstrapper does, which reads and checks the whole tree.
// Each figure is given with the blob's full invariant check (the shipped default) and with the
// shallow one.
//
// usage: bench_registry WORKDIR [SECONDS_PER_FIGURE]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "blob/MultiFieldBlob.h"
#include "registry/BlobRegistry.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string MakeFile(const std::string& sDir, uint32_t uValues) {
  std::string sFile = sDir + "/bench-" + std::to_string(uValues) + ".blob";
  std::filesystem::remove(sFile);
  common::CBlobRegistry registry(sFile, false, 10000);
  registry.CreateKey("Values", true);
  // Values are added under one handle per batch: one opening may grow the file by the
  // temporary growth area only.
  for (uint32_t u = 0; u < uValues;) {
    common::KeyPtr_t pKey = registry.OpenKey("Values");
    for (uint32_t uBatch = 0; uBatch < 1000 && u < uValues; ++uBatch, ++u) {
      pKey->SetUnsignedNumberValue("value" + std::to_string(u), u);
    }
  }
  return sFile;
}

// Runs cycles for about dSeconds; returns cycles per second.
template <class Fn>
double Measure(double dSeconds, Fn cycle) {
  uint64_t uCycles = 0;
  auto start = Clock::now();
  double dElapsed = 0;
  do {
    cycle(uCycles++);
    dElapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (dElapsed < dSeconds);
  return double(uCycles) / dElapsed;
}

void Run(const std::string& sDir, uint32_t uValues, double dSeconds) {
  std::string sFile = MakeFile(sDir, uValues);
  std::printf("%u values: file %ju bytes after filling\n", uValues,
              uintmax_t(std::filesystem::file_size(sFile)));
  for (bool bFull : {true, false}) {
    common::CMultiFieldBlob::SetFullInvariantCheck(bFull);
    const char* pszCheck = bFull ? "full checks" : "shallow checks";
    common::CBlobRegistry registry(sFile, true, 10000);
    std::string sName = "value" + std::to_string(uValues / 2);
    double dCalls = Measure(dSeconds, [&](uint64_t u) {
      registry.SetUnsignedNumberValue("Values", sName, uint32_t(u));
    });
    std::printf("  %-14s open-set-close call        %10.1f cycles/s, file %ju bytes\n", pszCheck,
                dCalls, uintmax_t(std::filesystem::file_size(sFile)));
    double dConstruct = Measure(dSeconds, [&](uint64_t u) {
      common::CBlobRegistry once(sFile, true, 10000);
      once.SetUnsignedNumberValue("Values", sName, uint32_t(u));
    });
    std::printf("  %-14s construct-set-destroy      %10.1f cycles/s, file %ju bytes\n", pszCheck,
                dConstruct, uintmax_t(std::filesystem::file_size(sFile)));
  }
  common::CMultiFieldBlob::SetFullInvariantCheck(true);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_registry WORKDIR [SECONDS_PER_FIGURE]\n");
    return 2;
  }
  double dSeconds = argc > 2 ? std::atof(argv[2]) : 2.0;
  try {
    std::filesystem::create_directories(argv[1]);
    Run(argv[1], 100, dSeconds);
    Run(argv[1], 10000, dSeconds);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
