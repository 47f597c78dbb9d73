// larchtool brand: reads and rewrites the branding strings of a built bootstrapper without
// recompiling it: the reserved branding area of a POSIX one, the resources of a Windows one.
#include <cstdio>
#include <string>
#include <vector>

#include "Command.h"
#include "ExeBranding.h"
#include "KeyFile.h"
#include "bootstrapper/Branding.h"
#include "security/Sha256.h"

namespace larchtool {
namespace {

const char sc_szUsage[] =
    "usage: larchtool brand EXE [--client-file NAME] [--directory-servers LIST]\n"
    "                           [--public-key KEYFILE.pub [--public-key KEYFILE.pub]]\n"
    "                           [--no-public-keys] [--show]\n"
    "\n"
    "Reads or rewrites the branding strings built into a bootstrapper executable:\n"
    "  --client-file NAME        the client application's file name (name.exe or name.dll)\n"
    "  --directory-servers LIST  the directory servers, address:port items separated by\n"
    "                            blanks or commas\n"
    "  --public-key KEYFILE.pub  the public keys whose signed releases it accepts: the first\n"
    "                            given fills RELEASE_PUBLIC_KEY_1, a second one\n"
    "                            RELEASE_PUBLIC_KEY_2 (for a change of key); given once, the\n"
    "                            second slot is emptied\n"
    "  --no-public-keys          empties both key slots (it then accepts unsigned releases)\n"
    "  --show                    prints the strings (after any change)\n";

struct SBrandArgs {
  std::string sExe;
  bool bShow = false;
  bool bNoKeys = false;
  std::vector<SBrandingString> strings;
  std::vector<std::string> vecKeyFiles;
};

SBrandArgs ParseArgs(const std::vector<std::string>& args) {
  SBrandArgs parsed;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& sArg = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw CUsageError(sArg + " needs a value");
      return args[++i];
    };
    if (sArg == "--show") {
      parsed.bShow = true;
    } else if (sArg == "--no-public-keys") {
      parsed.bNoKeys = true;
    } else if (sArg == "--client-file") {
      parsed.strings.push_back({bootstrapper::sc_pszClientAppFileNameResource, value()});
    } else if (sArg == "--directory-servers") {
      parsed.strings.push_back({bootstrapper::sc_pszDirectoryServersResource, value()});
    } else if (sArg == "--public-key") {
      parsed.vecKeyFiles.push_back(value());
    } else if (!sArg.empty() && sArg[0] == '-') {
      throw CUsageError("unknown option " + sArg);
    } else if (parsed.sExe.empty()) {
      parsed.sExe = sArg;
    } else {
      throw CUsageError("only one executable may be given");
    }
  }
  if (parsed.sExe.empty()) throw CUsageError("no executable given");
  if (parsed.vecKeyFiles.size() > 2) throw CUsageError("--public-key may be given twice at most");
  if (parsed.bNoKeys && !parsed.vecKeyFiles.empty()) {
    throw CUsageError("--no-public-keys and --public-key exclude each other");
  }
  if (!parsed.bShow && parsed.strings.empty() && parsed.vecKeyFiles.empty() && !parsed.bNoKeys) {
    throw CUsageError(
        "nothing to do: give --client-file, --directory-servers, --public-key, "
        "--no-public-keys or --show");
  }
  return parsed;
}

// Both key slots, from the key files (read before anything is written).
void AddKeySlots(const SBrandArgs& args, std::vector<SBrandingString>& strings) {
  if (args.vecKeyFiles.empty() && !args.bNoKeys) return;
  for (size_t u = 0; u < 2; ++u) {
    std::string sHex;
    if (u < args.vecKeyFiles.size()) {
      common::PublicKey key = ReadPublicKeyFile(args.vecKeyFiles[u]);
      sHex = common::ToLowerHex(key.data(), key.size());
    }
    strings.push_back({bootstrapper::sc_apszReleaseKeyResources[u], sHex});
  }
}

int RunBrand(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::fputs(sc_szUsage, stdout);
    return sc_nExitOk;
  }
  SBrandArgs parsed = ParseArgs(args);
  // Every check comes before anything is written.
  for (const SBrandingString& string : parsed.strings) {
    if (string.pszName != bootstrapper::sc_pszClientAppFileNameResource) continue;
    // The bootstrapper's own rule: a plain file name (no folder, no drive) whose extension
    // after the last dot, in any case, is exe or dll.
    std::string sName, sExtension;
    bootstrapper::SplitClientAppFileName(string.sValue, sName, sExtension);
  }
  AddKeySlots(parsed, parsed.strings);
  BrandExecutable(parsed.sExe, parsed.strings, parsed.bShow);
  return sc_nExitOk;
}

const CCommandRegistration s_registration({"brand",
                                           "read or rewrite the branding strings of a bootstrapper",
                                           sc_szUsage, RunBrand});

}  // namespace
}  // namespace larchtool
