// SHA-256 of a file in the 32 KB pieces the bootstrapper's download writes, as the download
// hashes a package while it streams to disk. Prints the digest, the time and the rate; the
// peer beside it in bench/run-install is coreutils' sha256sum.
//
//   bench_hash FILE
#include <chrono>
#include <cstdio>
#include <vector>

#include "platform/File.h"
#include "security/Sha256.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_hash FILE\n");
    return 2;
  }
  platform::CFile file;
  if (!file.Open(argv[1], platform::CFile::eRead)) {
    std::fprintf(stderr, "bench_hash: cannot open %s\n", argv[1]);
    return 1;
  }
  auto start = std::chrono::steady_clock::now();
  common::CSha256 hash;
  std::vector<uint8_t> buffer(32 * 1024);
  for (;;) {
    int64_t nRead = file.Read(buffer.data(), buffer.size());
    if (nRead < 0) {
      std::fprintf(stderr, "bench_hash: error reading %s\n", argv[1]);
      return 1;
    }
    if (nRead == 0) break;
    hash.Update(buffer.data(), static_cast<size_t>(nRead));
  }
  const uint64_t u64Bytes = hash.BytesFed();
  common::Sha256Digest digest = hash.Final();
  double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%s %llu bytes %.2f s %.0f MB/s\n",
              common::ToLowerHex(digest.data(), digest.size()).c_str(),
              static_cast<unsigned long long>(u64Bytes), dSeconds,
              dSeconds > 0 ? u64Bytes / 1e6 / dSeconds : 0.0);
  return 0;
}
