// larchtool brand: reads and rewrites the branding strings of a built bootstrapper without
// recompiling it: the reserved branding area of a POSIX one, the resources of a Windows one.
#include <cstdio>
#include <string>
#include <vector>

#include "Command.h"
#include "ExeBranding.h"
#include "KeyFile.h"
#include "bootstrapper/Branding.h"
#include "network/IPAddrPort.h"
#include "platform/Socket.h"
#include "security/Sha256.h"

namespace larchtool {
namespace {

const char sc_szUsage[] =
    "usage: larchtool brand EXE [--client-file NAME] [--directory-servers LIST]\n"
    "                           [--public-key KEYFILE.pub [--public-key KEYFILE.pub]]\n"
    "                           [--no-public-keys] [--offline-start yes|no] [--show]\n"
    "\n"
    "Reads or rewrites the branding strings built into a bootstrapper executable:\n"
    "  --client-file NAME        the client application's file name: name.exe or name.dll\n"
    "                            (any case), without a folder\n"
    "  --directory-servers LIST  the directory servers, ADDRESS:PORT items (dotted IPv4\n"
    "                            address, port 1 to 65535) separated by blanks or commas;\n"
    "                            an item without its address (:27030) names the first\n"
    "                            address of the machine the bootstrapper runs on\n"
    "  --public-key KEYFILE.pub  the public keys whose signed releases it accepts: the first\n"
    "                            given fills RELEASE_PUBLIC_KEY_1, a second one\n"
    "                            RELEASE_PUBLIC_KEY_2 (for a change of key); given once, the\n"
    "                            second slot is emptied\n"
    "  --no-public-keys          empties both key slots (it then accepts unsigned releases)\n"
    "  --offline-start yes|no    whether it starts the installed client application when\n"
    "                            no server can be reached (default no)\n"
    "  --show                    prints the strings (after any change), and a last line when\n"
    "                            the program still carries the values the build ships with\n"
    "\n"
    "A bad value is refused before anything is written (exit 2).\n";

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
    } else if (sArg == "--offline-start") {
      parsed.strings.push_back({bootstrapper::sc_pszOfflineStartResource, value()});
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
        "--no-public-keys, --offline-start or --show");
  }
  return parsed;
}

// True when sText is decimal digits only, without a leading zero (which the bootstrapper's
// address reading takes for octal), with a value from uMin to uMax.
bool IsNumberUpTo(const std::string& sText, uint32_t uMin, uint32_t uMax) {
  if (sText.empty() || sText.size() > 5 ||
      sText.find_first_not_of("0123456789") != std::string::npos ||
      (sText.size() > 1 && sText[0] == '0')) {
    return false;
  }
  const unsigned long ul = std::stoul(sText);
  return ul >= uMin && ul <= uMax;
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

// "D.D.D.D" with each part 0 to 255 that the bootstrapper reads as that address (not the one
// it refuses, 255.255.255.255), or "" (its own first address).
bool IsAddressPart(const std::string& sText) {
  if (sText.empty()) return true;
  uint32_t u32Addr = 0;
  if (!platform::ParseDottedIPv4(sText, u32Addr)) return false;
  size_t uStart = 0;
  for (int nPart = 0; nPart < 4; ++nPart) {
    size_t uEnd = nPart < 3 ? sText.find('.', uStart) : sText.size();
    if (uEnd == std::string::npos || !IsNumberUpTo(sText.substr(uStart, uEnd - uStart), 0, 255)) {
      return false;
    }
    uStart = uEnd + 1;
  }
  return true;
}

// Every item as the bootstrapper splits the list, each an exact address and port: the
// bootstrapper itself would read "10.0.0.1:99x" as port 99 and a missing port as a default.
void CheckDirectoryServers(const std::string& sList) {
  const char* pszRule = " is not an address:port (dotted IPv4 address, port 1 to 65535)";
  std::vector<std::string> items;
  try {
    items = common::SplitIPAddrPortList(sList);
  } catch (const std::exception&) {
    throw CUsageError("--directory-servers: '" + sList + "' has a quote without its end");
  }
  if (items.empty()) {
    throw CUsageError(
        "--directory-servers: no address given (ADDRESS:PORT items separated by "
        "blanks or commas)");
  }
  for (const std::string& sItem : items) {
    size_t uColon = sItem.find(':');
    if (uColon == std::string::npos || !IsAddressPart(sItem.substr(0, uColon)) ||
        !IsNumberUpTo(sItem.substr(uColon + 1), 1, 65535)) {
      throw CUsageError("--directory-servers: '" + sItem + "'" + pszRule);
    }
  }
}

// The bootstrapper's own rule (a plain file name, no folder or drive, whose extension after
// the last dot, in any case, is exe or dll), and a name before the extension.
void CheckClientFile(const std::string& sValue) {
  std::string sName, sExtension;
  try {
    bootstrapper::SplitClientAppFileName(sValue, sName, sExtension);
  } catch (const std::exception&) {
    sName.clear();  // refused below, in the tool's words
  }
  if (sName.empty()) {
    throw CUsageError("--client-file: '" + sValue +
                      "' is not a client file name (name.exe or name.dll, without a folder)");
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
    if (string.pszName == bootstrapper::sc_pszClientAppFileNameResource) {
      CheckClientFile(string.sValue);
    } else if (string.pszName == bootstrapper::sc_pszDirectoryServersResource) {
      CheckDirectoryServers(string.sValue);
    } else if (string.pszName == bootstrapper::sc_pszOfflineStartResource &&
               string.sValue != "yes" && string.sValue != "no") {
      throw CUsageError("--offline-start: '" + string.sValue + "' is neither yes nor no");
    }
  }
  AddKeySlots(parsed, parsed.strings);
  BrandExecutable(parsed.sExe, parsed.strings, parsed.bShow);
  if (parsed.bShow && ReadExeBranding(parsed.sExe).bUnbranded) {
    std::printf(
        "(unbranded: still carries the values the build ships with; brand it with --client-file "
        "and --directory-servers before publishing it)\n");
  }
  return sc_nExitOk;
}

const CCommandRegistration s_registration({"brand",
                                           "read or rewrite the branding strings of a bootstrapper",
                                           sc_szUsage, RunBrand});

}  // namespace
}  // namespace larchtool
