// larchtool keygen: makes the operator's release-signing key pair.
#include <cstdio>
#include <string>
#include <vector>

#include "Command.h"
#include "KeyFile.h"
#include "security/Sha256.h"

namespace larchtool {
namespace {

const char sc_szUsage[] =
    "usage: larchtool keygen KEYFILE\n"
    "\n"
    "Makes a new key pair for signing releases: the secret key in KEYFILE (readable by its\n"
    "owner only; keep it off the servers and back it up) and the public key in KEYFILE.pub,\n"
    "which 'larchtool brand --public-key' builds into bootstrappers. Never overwrites a file.\n";

int RunKeygen(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::fputs(sc_szUsage, stdout);
    return sc_nExitOk;
  }
  if (args.size() != 1 || args[0].empty() || args[0][0] == '-') {
    throw CUsageError("give exactly one KEYFILE");
  }
  common::CSigningKey key = common::CSigningKey::Generate();
  WriteKeyFiles(args[0], key);
  std::printf("secret key: %s\npublic key: %s%s %s\n", args[0].c_str(), args[0].c_str(),
              sc_pszPublicKeySuffix,
              common::ToLowerHex(key.Public().data(), key.Public().size()).c_str());
  return sc_nExitOk;
}

const CCommandRegistration s_registration({"keygen", "makes a key pair for signing releases",
                                           sc_szUsage, RunKeygen});

}  // namespace
}  // namespace larchtool
