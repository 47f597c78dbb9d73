// Package creation and extraction speed on a 200 MB tree of mixed files, beside tar+gzip,
// zip/unzip and pigz on the same tree, and beside the raw single-core speed of the chunk codec
// and of zlib's one-call functions on the same bytes.
//
// usage: bench_pkg WORKDIR [MB]
// WORKDIR receives the tree (kept between runs when its size matches) and the archives.
// The peers are run through the shell; a missing one is reported and skipped.
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "package/ChunkCodec.h"
#include "package/PkgFile.h"

namespace fs = std::filesystem;

namespace {

// A small fast generator, so that making the tree takes seconds.
struct SRandom {
  uint64_t u = 0x9E3779B97F4A7C15ull;
  uint64_t Next() {
    u ^= u << 13;
    u ^= u >> 7;
    u ^= u << 17;
    return u;
  }
};

const char* const s_apszWords[] = {
    "the",    "server",  "client", "update", "version", "package", "file",        "directory",
    "config", "record",  "blob",   "key",    "value",   "return",  "if",          "else",
    "while",  "for",     "int",    "const",  "void",    "static",  "std::string", "error",
    "status", "message", "window", "thread", "worker",  "launch",  "download",    "content"};

void WriteFile(const fs::path& path, const std::string& sBytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(sBytes.data(), static_cast<std::streamsize>(sBytes.size()));
}

std::string Text(SRandom& rng, size_t uSize) {
  std::string s;
  s.reserve(uSize + 16);
  while (s.size() < uSize) {
    s += s_apszWords[rng.Next() % 32];
    uint64_t r = rng.Next() % 16;
    s += r == 0 ? "\n" : r == 1 ? "(); " : r == 2 ? std::to_string(rng.Next() % 1000) + " " : " ";
  }
  s.resize(uSize);
  return s;
}

// Like program code: small fields, repeated patterns, tables of addresses, some noise.
std::string Binary(SRandom& rng, size_t uSize) {
  std::string s;
  s.reserve(uSize + 64);
  while (s.size() < uSize) {
    switch (rng.Next() % 4) {
      case 0:
        s.append("\x55\x8b\xec\x83\xec\x10\x8b\x45\x08\x50\xe8", 11);
        break;
      case 1: {
        uint32_t uAddr = 0x401000 + static_cast<uint32_t>(rng.Next() % 0x10000);
        s.append(reinterpret_cast<const char*>(&uAddr), 4);
        break;
      }
      case 2:
        s.append(static_cast<size_t>(rng.Next() % 24), '\0');
        break;
      default:
        for (int i = 0; i < 6; ++i) s.push_back(static_cast<char>(rng.Next()));
    }
  }
  s.resize(uSize);
  return s;
}

std::string Noise(SRandom& rng, size_t uSize) {
  std::string s(uSize, '\0');
  for (size_t u = 0; u + 8 <= uSize; u += 8) {
    uint64_t r = rng.Next();
    std::memcpy(&s[u], &r, 8);
  }
  return s;
}

// 30% text, 30% binaries, 25% already-compressed data, 15% in many small files.
void MakeTree(const fs::path& root, uint64_t u64Bytes) {
  fs::remove_all(root);
  SRandom rng;
  uint64_t u64Made = 0;
  auto make = [&](const std::string& sDir, uint64_t u64Share, size_t uMin, size_t uMax,
                  const std::function<std::string(size_t)>& fn, const char* pszExt) {
    fs::create_directories(root / sDir);
    uint64_t u64Done = 0;
    for (int i = 0; u64Done < u64Share; ++i) {
      size_t uSize = uMin + static_cast<size_t>(rng.Next() % (uMax - uMin));
      fs::path dir = root / sDir / ("d" + std::to_string(i / 100));
      fs::create_directories(dir);
      WriteFile(dir / ("f" + std::to_string(i) + pszExt), fn(uSize));
      u64Done += uSize;
    }
    u64Made += u64Done;
  };
  make(
      "text", u64Bytes * 30 / 100, 20000, 2000000, [&](size_t n) { return Text(rng, n); }, ".txt");
  make(
      "bin", u64Bytes * 30 / 100, 50000, 4000000, [&](size_t n) { return Binary(rng, n); }, ".dll");
  make(
      "media", u64Bytes * 25 / 100, 500000, 5000000, [&](size_t n) { return Noise(rng, n); },
      ".jpg");
  make(
      "small", u64Bytes * 15 / 100, 200, 6000,
      [&](size_t n) { return rng.Next() % 2 ? Text(rng, n) : Binary(rng, n); }, ".cfg");
}

uint64_t TreeBytes(const fs::path& root, size_t* puFiles = nullptr) {
  uint64_t u64 = 0;
  size_t uFiles = 0;
  if (!fs::exists(root)) return 0;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) {
      u64 += entry.file_size();
      ++uFiles;
    }
  }
  if (puFiles) *puFiles = uFiles;
  return u64;
}

double Seconds(const std::function<void()>& fn) {
  auto start = std::chrono::steady_clock::now();
  fn();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Sync() {
  std::system("sync");
}

bool Shell(const std::string& sCommand) {
  return std::system(sCommand.c_str()) == 0;
}

struct SRow {
  std::string sWhat;
  double dMBps;
  double dRatio;  // output / input bytes; 0 when not meaningful
};

std::vector<SRow> s_rows;

void Report(const std::string& sWhat, uint64_t u64Bytes, double dSeconds, uint64_t u64Out) {
  double dMBps = static_cast<double>(u64Bytes) / 1e6 / dSeconds;
  double dRatio = u64Out ? static_cast<double>(u64Out) / static_cast<double>(u64Bytes) : 0;
  s_rows.push_back({sWhat, dMBps, dRatio});
  std::printf("  %-44s %8.1f MB/s", sWhat.c_str(), dMBps);
  if (dRatio > 0) std::printf("   size %5.1f%%", dRatio * 100);
  std::printf("\n");
  std::fflush(stdout);
}

// Every file of the tree cut into 32768-byte chunks, each compressed and inflated on its own on
// one core: the raw speed of a codec on exactly the bytes the package holds.
void RawCodec(const fs::path& root, uint64_t u64Bytes) {
  std::vector<uint8_t> in(32768), out(36057), back(36057);
  for (int nLevel : {1, 6, 9}) {
    double dOurC = 0, dOurD = 0, dZC = 0, dZD = 0;
    uint64_t u64Our = 0, u64Z = 0;
    common::CChunkCompressor compressor(nLevel);
    common::CChunkDecompressor decompressor;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream file(entry.path(), std::ios::binary);
      for (;;) {
        file.read(reinterpret_cast<char*>(in.data()), 32768);
        uint32_t uIn = static_cast<uint32_t>(file.gcount());
        if (uIn == 0) break;
        uint32_t uOut = 0, uBack = 0;
        auto t0 = std::chrono::steady_clock::now();
        compressor.Compress(in.data(), uIn, out.data(), 36057, uOut);
        auto t1 = std::chrono::steady_clock::now();
        decompressor.Uncompress(out.data(), uOut, back.data(), 36057, uBack);
        auto t2 = std::chrono::steady_clock::now();
        uLongf uZOut = 36057, uZBack = 36057;
        ::compress2(out.data(), &uZOut, in.data(), uIn, nLevel);
        auto t3 = std::chrono::steady_clock::now();
        ::uncompress(back.data(), &uZBack, out.data(), uZOut);
        auto t4 = std::chrono::steady_clock::now();
        dOurC += std::chrono::duration<double>(t1 - t0).count();
        dOurD += std::chrono::duration<double>(t2 - t1).count();
        dZC += std::chrono::duration<double>(t3 - t2).count();
        dZD += std::chrono::duration<double>(t4 - t3).count();
        u64Our += uOut + 4;
        u64Z += uZOut + 4;
      }
    }
    std::string sL = " -" + std::to_string(nLevel);
    Report(std::string("raw deflate, 1 core, ") + common::ChunkCodecName() + sL, u64Bytes, dOurC,
           u64Our);
    Report("raw deflate, 1 core, zlib" + sL, u64Bytes, dZC, u64Z);
    Report(std::string("raw inflate, 1 core, ") + common::ChunkCodecName() + sL, u64Bytes, dOurD,
           0);
    Report("raw inflate, 1 core, zlib" + sL, u64Bytes, dZD, 0);
  }
}

double RowMBps(const std::string& sWhat) {
  for (const SRow& row : s_rows) {
    if (row.sWhat == sWhat) return row.dMBps;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_pkg WORKDIR [MB] | bench_pkg --make-tree DIR [MB]\n");
    return 2;
  }
  // Only the tree, for the other benchmarks that work on it.
  if (std::string(argv[1]) == "--make-tree" && argc > 2) {
    MakeTree(fs::absolute(argv[2]),
             (argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 200) * 1000000ull);
    return 0;
  }
  const fs::path work = fs::absolute(argv[1]);
  const uint64_t u64Want = (argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 200) * 1000000ull;
  const fs::path tree = work / "tree";
  fs::create_directories(work);
  size_t uFiles = 0;
  uint64_t u64Bytes = TreeBytes(tree, &uFiles);
  if (u64Bytes < u64Want || u64Bytes > u64Want + 10000000) {
    std::printf("making the tree (%llu MB)...\n",
                static_cast<unsigned long long>(u64Want / 1000000));
    MakeTree(tree, u64Want);
    u64Bytes = TreeBytes(tree, &uFiles);
  }
  std::printf("tree: %.1f MB in %zu files; %u cores; chunk codec: %s\n",
              static_cast<double>(u64Bytes) / 1e6, uFiles, std::thread::hardware_concurrency(),
              common::ChunkCodecName());
  const std::string sW = "'" + work.string() + "'";
  Shell("cat -- $(find " + sW + "/tree -type f) > /dev/null");  // warm the cache for everyone

  std::printf("\ncreate (MB/s of tree bytes; size = archive / tree)\n");
  const fs::path pkgPath = work / "tree.pkg";
  for (int nLevel : {1, 6, 9}) {
    Sync();
    double d = Seconds([&] {
      common::CPkgFile pkg(nLevel);
      pkg.Create(pkgPath.string(), nLevel);
      pkg.AddFiles({tree.string()});
    });
    Report("larch pkg create -l " + std::to_string(nLevel), u64Bytes, d, fs::file_size(pkgPath));
  }
  // The same work on one thread: the speed-up of the parallel writer on this machine.
  Sync();
  double dSerial = Seconds([&] {
    common::CPkgFile pkg(6);
    pkg.Create((work / "serial.pkg").string(), 6);
    pkg.SetCompressionThreads(1);
    pkg.AddFiles({tree.string()});
  });
  Report("larch pkg create -l 6, one thread", u64Bytes, dSerial,
         fs::file_size(work / "serial.pkg"));
  fs::remove(work / "serial.pkg");
  struct SPeer {
    const char* pszName;
    std::string sCreate;
    std::string sExtract;
    const char* pszArchive;
  };
  const std::string sCd = "cd " + sW + " && ";
  const std::vector<SPeer> peers = {
      {"tar czf (gzip -6, 1 core)", sCd + "tar czf tree.tgz tree", sCd + "tar xzf tree.tgz -C out",
       "tree.tgz"},
      {"zip -r (-6, 1 core)", sCd + "zip -qr tree.zip tree", sCd + "unzip -q tree.zip -d out",
       "tree.zip"},
      {"tar | pigz -1", sCd + "tar cf - tree | pigz -1 > tree.1.tgz",
       sCd + "pigz -dc tree.1.tgz | tar xf - -C out", "tree.1.tgz"},
      {"tar | pigz -6", sCd + "tar cf - tree | pigz -6 > tree.6.tgz",
       sCd + "pigz -dc tree.6.tgz | tar xf - -C out", "tree.6.tgz"},
      {"tar | pigz -9", sCd + "tar cf - tree | pigz -9 > tree.9.tgz",
       sCd + "pigz -dc tree.9.tgz | tar xf - -C out", "tree.9.tgz"},
  };
  std::vector<bool> made(peers.size(), false);
  for (size_t u = 0; u < peers.size(); ++u) {
    fs::remove(work / peers[u].pszArchive);
    Sync();
    bool bOk = true;
    double d = Seconds([&] { bOk = Shell(peers[u].sCreate); });
    if (!bOk) {
      std::printf("  %-44s (failed or missing)\n", peers[u].pszName);
      continue;
    }
    made[u] = true;
    Report(peers[u].pszName, u64Bytes, d, fs::file_size(work / peers[u].pszArchive));
  }

  std::printf("\nextract (MB/s of tree bytes written)\n");
  const fs::path out = work / "out";
  fs::remove_all(out);
  fs::create_directories(out);
  Sync();
  double dExtract = Seconds([&] { common::CPkgFile(pkgPath.string()).ExtractAll(out.string()); });
  Report("larch pkg extract (-l 9 package)", u64Bytes, dExtract, 0);
  // The same work on one thread: the speed-up of the parallel reader on this machine.
  fs::remove_all(out);
  fs::create_directories(out);
  Sync();
  double dExtractSerial = Seconds([&] {
    common::CPkgFile pkg(pkgPath.string());
    pkg.SetExtractionThreads(1);
    pkg.ExtractAll(out.string());
  });
  Report("larch pkg extract, one thread", u64Bytes, dExtractSerial, 0);
  for (size_t u = 0; u < peers.size(); ++u) {
    if (!made[u]) continue;
    fs::remove_all(out);
    fs::create_directories(out);
    Sync();
    bool bOk = true;
    double d = Seconds([&] { bOk = Shell(peers[u].sExtract); });
    if (bOk) Report(std::string(peers[u].pszName) + " extract", u64Bytes, d, 0);
  }
  fs::remove_all(out);

  std::printf("\nraw chunk codec on the same bytes (32768-byte chunks, one core)\n");
  RawCodec(tree, u64Bytes);

  std::printf("\nratios (larch speed / peer speed)\n");
  auto ratio = [](const char* pszWhat, double dOurs, double dPeer) {
    if (dOurs > 0 && dPeer > 0) std::printf("  %-58s %6.2fx\n", pszWhat, dOurs / dPeer);
  };
  ratio("create -l 6, all cores / one thread", RowMBps("larch pkg create -l 6"),
        RowMBps("larch pkg create -l 6, one thread"));
  ratio("create -l 6 / tar czf", RowMBps("larch pkg create -l 6"),
        RowMBps("tar czf (gzip -6, 1 core)"));
  ratio("create -l 6 / zip -r", RowMBps("larch pkg create -l 6"), RowMBps("zip -r (-6, 1 core)"));
  for (int n : {1, 6, 9}) {
    std::string s = std::to_string(n);
    ratio(("create -l " + s + " / tar | pigz -" + s).c_str(), RowMBps("larch pkg create -l " + s),
          RowMBps("tar | pigz -" + s));
  }
  double dOurX = RowMBps("larch pkg extract (-l 9 package)");
  ratio("extract, all cores / one thread", dOurX, RowMBps("larch pkg extract, one thread"));
  ratio("extract / tar xzf", dOurX, RowMBps("tar czf (gzip -6, 1 core) extract"));
  ratio("extract / unzip", dOurX, RowMBps("zip -r (-6, 1 core) extract"));
  ratio("extract / pigz -dc | tar xf", dOurX, RowMBps("tar | pigz -9 extract"));
  std::string sCodec = common::ChunkCodecName();
  for (int n : {1, 6, 9}) {
    std::string s = " -" + std::to_string(n);
    ratio(("raw deflate " + sCodec + " / zlib" + s).c_str(),
          RowMBps("raw deflate, 1 core, " + sCodec + s), RowMBps("raw deflate, 1 core, zlib" + s));
    ratio(("raw inflate " + sCodec + " / zlib" + s).c_str(),
          RowMBps("raw inflate, 1 core, " + sCodec + s), RowMBps("raw inflate, 1 core, zlib" + s));
    ratio(
        ("create -l" + std::to_string(n) + " (all cores) / raw deflate" + s + " (1 core)").c_str(),
        RowMBps("larch pkg create -l " + std::to_string(n)),
        RowMBps("raw deflate, 1 core, " + sCodec + s));
  }
  return 0;
}
