// Blob benchmark: operations per second for adding N fields, looking them up, updating a
// field in place inside a child three levels down, and serializing with compression, for
// N = 1,000, 10,000 and 100,000, so that the growth of each cost with N shows.
//
// The class invariant check runs in its shallow form here (sizes, ownership and links of the
// chain from the root); the full form walks every record and would measure itself. One line
// per N shows lookups with the full form for comparison.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "blob/MultiFieldBlob.h"

using common::CMultiFieldBlob;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string Name(uint32_t u) {
  char sz[16];
  std::snprintf(sz, sizeof(sz), "f%08u", u);
  return sz;
}

void Print(const char* pszWhat, size_t uN, size_t uOps, double dSeconds) {
  std::printf("%-48s N=%-7zu %12.0f ops/s  (%zu ops, %.3f s)\n", pszWhat, uN,
              static_cast<double>(uOps) / dSeconds, uOps, dSeconds);
}

// Adds uN fields with 16 bytes of data each, in random name order.
void FillBlob(CMultiFieldBlob& blob, size_t uN, std::mt19937& random) {
  std::vector<uint32_t> ids(uN);
  for (size_t i = 0; i < uN; ++i) ids[i] = static_cast<uint32_t>(i);
  std::shuffle(ids.begin(), ids.end(), random);
  char data[16] = "0123456789abcde";
  for (uint32_t u : ids) blob.AddField(Name(u), data, sizeof(data));
}

void Run(size_t uN) {
  std::mt19937 random(static_cast<uint32_t>(uN));

  // Adding.
  {
    CMultiFieldBlob blob(uN, 64 * 1024);
    auto start = Clock::now();
    FillBlob(blob, uN, random);
    Print("add field (random order, slack 64 KiB)", uN, uN, Seconds(start));

    // Lookup.
    size_t uLookups = 200000;
    std::uniform_int_distribution<uint32_t> pick(0, static_cast<uint32_t>(uN - 1));
    std::vector<std::string> names;
    names.reserve(1000);
    for (int i = 0; i < 1000; ++i) names.push_back(Name(pick(random)));
    size_t uFound = 0;
    start = Clock::now();
    for (size_t i = 0; i < uLookups; ++i) {
      uFound += blob.FindFieldData(names[i % names.size()]) != nullptr;
    }
    Print("look up field", uN, uLookups, Seconds(start));
    if (uFound != uLookups) std::printf("  lookup error\n");
    // The same with the full invariant check: only the first call walks the records of the
    // unchanged blob.
    CMultiFieldBlob::SetFullInvariantCheck(true);
    size_t uFullLookups = uN >= 100000 ? 200 : 2000;
    start = Clock::now();
    for (size_t i = 0; i < uFullLookups; ++i) blob.FindFieldData(names[i % names.size()]);
    Print("look up field (full invariant check)", uN, uFullLookups, Seconds(start));
    CMultiFieldBlob::SetFullInvariantCheck(false);

    // Serializing with compression, one small change before each.
    blob.SetAutoPreprocessZLib(6);
    size_t uRounds = uN >= 100000 ? 10 : (uN >= 10000 ? 50 : 300);
    start = Clock::now();
    for (size_t i = 0; i < uRounds; ++i) {
      blob.SetField(Name(0), &i, sizeof(i));
      CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
      blob.GetSerializedBlob(&uSize);
    }
    Print("change one field + serialize (zlib level 6)", uN, uRounds, Seconds(start));
  }

  // A child three levels down, each level holding N fields.
  {
    // Built bottom-up: each level is complete before it becomes a child.
    CMultiFieldBlob level3, level2, level1, root(0, 4096);
    // The updated field is the first record, so that a change of its length moves all others.
    std::string sTarget = "target";
    char data[16] = {};
    level3.AddField(sTarget, data, sizeof(data));
    FillBlob(level3, uN, random);
    FillBlob(level2, uN, random);
    level2.AddField("level3", &level3);
    FillBlob(level1, uN, random);
    level1.AddField("level2", &level2);
    FillBlob(root, uN, random);
    root.AddField("level1", &level1);
    size_t uUpdates = 200000;
    auto start = Clock::now();
    for (size_t i = 0; i < uUpdates; ++i) {
      data[0] = static_cast<char>(i);
      level3.SetField(sTarget, data, sizeof(data));
    }
    Print("update in place, 3 levels down (same size)", uN, uUpdates, Seconds(start));
    size_t uResizes = uN >= 100000 ? 2000 : 20000;
    start = Clock::now();
    for (size_t i = 0; i < uResizes; ++i) {
      level3.SetField(sTarget, data, 8 + (i & 1) * 8);
    }
    Print("update 3 levels down (grow/shrink, 1st record)", uN, uResizes, Seconds(start));
    level3.DetachFromParent();
    level2.DetachFromParent();
    level1.DetachFromParent();
  }
}

}  // namespace

int main() {
  CMultiFieldBlob::SetFullInvariantCheck(false);
  std::printf("blob benchmark (shallow invariant check)\n");
  for (size_t uN : {1000u, 10000u, 100000u}) Run(uN);
  return 0;
}
