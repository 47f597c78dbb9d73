// Opens arbitrary bytes as a package, checks its names and unpacks it into a fresh directory,
// inflating on two threads. Refusals are fine; a crash, a hang, a sanitizer report or any file
// outside the target directory is a finding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "package/PkgFile.h"
#include "platform/Process.h"

namespace fs = std::filesystem;

static fs::path s_root;

static void RemoveRoot() {
  std::error_code ec;
  fs::remove_all(s_root, ec);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Checks that fire on damaged input must answer by themselves.
  platform::SetEnvVar("LARCH_ASSERT_REPORT", "ignore");
  s_root =
      fs::temp_directory_path() / ("larch-pkg-fuzz-" + std::to_string(platform::GetProcessId()));
  fs::remove_all(s_root);
  fs::create_directories(s_root);
  std::atexit(RemoveRoot);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize) {
  const fs::path pkgPath = s_root / "input.pkg";
  const fs::path target = s_root / "target";
  {
    std::ofstream out(pkgPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(pData), static_cast<std::streamsize>(uSize));
  }
  fs::create_directories(target);
  try {
    common::CPkgFile pkg(pkgPath.string());
    std::vector<std::string> names;
    pkg.GetFileNames(names);
    pkg.CheckEntryNames(true);
    pkg.SetExtractionThreads(2);
    pkg.ExtractAll(target.string());
    if (!names.empty()) pkg.ExtractByName(names.back(), target.string());
  } catch (const std::exception&) {
    // A refusal: the expected outcome for most inputs.
  }
  // Only the package and the target may exist in the root.
  for (const auto& entry : fs::directory_iterator(s_root)) {
    if (entry.path() != pkgPath && entry.path() != target) {
      std::fprintf(stderr, "written outside the target: %s\n", entry.path().c_str());
      std::abort();
    }
  }
  fs::remove_all(target);
  return 0;
}
