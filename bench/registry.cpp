// Blob registry speed: open-set-close cycles per second on one file whose key holds 100 or
// 10,000 values, and the file size after each run; then the time to open (construct, which reads
// and checks the whole tree) files of 100 to 10,000 keys and a file of keys nested as deep as the
// blob allows.
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

// The deepest keys the blob's nesting bound allows: the key d keys below the top key is a blob
// at level 2d + 1, its subkeys and values blobs one level further down.
const uint32_t sc_uNestedKeyLevels = (common::CMultiFieldBlob::sc_uMaxBlobNestingDepth - 2) / 2;

// A new file whose key sKey gets fill(pKey, u) for u below uCount, under one handle per batch
// of uBatch: one opening may grow the file by the temporary growth area only.
template <class Fn>
void FillFile(const std::string& sFile, const std::string& sKey, uint32_t uCount, uint32_t uBatch,
              Fn fill) {
  std::filesystem::remove(sFile);
  common::CBlobRegistry registry(sFile, false, 10000);
  registry.CreateKey(sKey, true);
  for (uint32_t u = 0; u < uCount;) {
    common::KeyPtr_t pKey = registry.OpenKey(sKey);
    for (uint32_t uInBatch = 0; uInBatch < uBatch && u < uCount; ++uInBatch, ++u) fill(pKey, u);
  }
}

std::string MakeFile(const std::string& sDir, uint32_t uValues) {
  std::string sFile = sDir + "/bench-" + std::to_string(uValues) + ".blob";
  FillFile(sFile, "Values", uValues, 1000, [](const common::KeyPtr_t& pKey, uint32_t u) {
    pKey->SetUnsignedNumberValue("value" + std::to_string(u), u);
  });
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

// Keys "Keys\\kN" with three values each, as a client registry holds them. Filled with the
// shallow check: only the opening afterwards is measured.
std::string MakeKeysFile(const std::string& sDir, uint32_t uKeys) {
  std::string sFile = sDir + "/bench-keys-" + std::to_string(uKeys) + ".blob";
  common::CMultiFieldBlob::SetFullInvariantCheck(false);
  FillFile(sFile, "Keys", uKeys, 200, [](const common::KeyPtr_t& pKeys, uint32_t u) {
    common::KeyPtr_t pKey = pKeys->CreateKey("k" + std::to_string(u), true);
    pKey->SetStringValue("Name", "item number " + std::to_string(u));
    pKey->SetUnsignedNumberValue("Version", u);
    pKey->SetStringValue("Path", "content\\items\\" + std::to_string(u) + "\\data.bin");
  });
  common::CMultiFieldBlob::SetFullInvariantCheck(true);
  return sFile;
}

// Keys "n\\n\\..." uLevels deep.
std::string MakeNestedFile(const std::string& sDir, uint32_t uLevels) {
  std::string sFile = sDir + "/bench-nested-" + std::to_string(uLevels) + ".blob";
  std::filesystem::remove(sFile);
  common::CMultiFieldBlob::SetFullInvariantCheck(false);
  {
    common::CBlobRegistry registry(sFile, false, 10000);
    std::string sPath = "n";
    for (uint32_t u = 1; u < uLevels; ++u) sPath += "\\n";
    registry.CreateKey(sPath, true);
  }
  common::CMultiFieldBlob::SetFullInvariantCheck(true);
  return sFile;
}

// Seconds per construction of a registry on the file, the mean of runs for about dSeconds.
double OpenSeconds(const std::string& sFile, double dSeconds) {
  return 1.0 / Measure(dSeconds, [&](uint64_t) { common::CBlobRegistry once(sFile, true, 10000); });
}

void RunOpen(const std::string& sFile, const std::string& sWhat, double dSeconds) {
  std::printf("%s: file %ju bytes\n", sWhat.c_str(), uintmax_t(std::filesystem::file_size(sFile)));
  for (bool bFull : {true, false}) {
    common::CMultiFieldBlob::SetFullInvariantCheck(bFull);
    std::printf("  %-14s open (construct)           %10.4f s\n",
                bFull ? "full checks" : "shallow checks", OpenSeconds(sFile, dSeconds));
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
    for (uint32_t uKeys : {100u, 1000u, 4000u, 10000u}) {
      RunOpen(MakeKeysFile(argv[1], uKeys), std::to_string(uKeys) + " keys", dSeconds);
    }
    RunOpen(MakeNestedFile(argv[1], sc_uNestedKeyLevels),
            std::to_string(sc_uNestedKeyLevels) + " nested keys (blobs nested " +
                std::to_string(2 * sc_uNestedKeyLevels + 2) + " levels)",
            dSeconds);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
