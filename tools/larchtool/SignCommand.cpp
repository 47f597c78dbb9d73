// larchtool sign: signs the published record again with a later expiry, so that a deployment
// with nothing new to publish stays current (run it from a timer well within the expiry).
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "../../server/PublishLayout.h"
#include "Command.h"
#include "KeyFile.h"
#include "RecordSigning.h"
#include "ReleaseDirectory.h"

namespace larchtool {
namespace {

const char sc_szUsage[] =
    "usage: larchtool sign --dir PUBLISH --sign-key KEYFILE [--expires DAYS] [--force]\n"
    "\n"
    "Signs the client config record of the publish directory again, with the next sequence\n"
    "number and an expiry DAYS days from now (1 to 3650; 30 when not given). Bootstrappers\n"
    "refuse an expired record: run this regularly, well before the expiry. A record signed\n"
    "with another key is refused unless --force (bootstrappers must know the new key).\n";

int RunSign(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::fputs(sc_szUsage, stdout);
    return sc_nExitOk;
  }
  std::string sDir;
  SSigningArgs signing;
  bool bForce = false;
  for (size_t u = 0; u < args.size(); ++u) {
    if (ParseSigningArg(args, u, signing)) continue;
    if (args[u] == "--force") {
      bForce = true;
      continue;
    }
    if (args[u] != "--dir") throw CUsageError("unknown argument '" + args[u] + "'");
    if (u + 1 >= args.size()) throw CUsageError("--dir needs a value");
    sDir = args[++u];
  }
  if (sDir.empty()) throw CUsageError("--dir PUBLISH is required");
  if (signing.sKeyFile.empty()) throw CUsageError("--sign-key KEYFILE is required");

  CReleaseDirectory dir(sDir);
  common::CSigningKey key = ReadSecretKeyFile(signing.sKeyFile);
  std::unique_ptr<Weft::CClientConfigRecord> pRecord = ReadPublishedRecord(sDir);
  if (!pRecord) throw std::runtime_error("nothing published in " + sDir + ": nothing to sign");
  GuardKeyChange(*pRecord, key, signing.sKeyFile, bForce, "sign");
  RaiseSequenceNum(*pRecord);
  SignRecord(*pRecord, key, signing.uDays);
  dir.WriteRecord(*pRecord);
  std::printf("signed %s: %s\n", InDir(sDir, larchserver::sc_szClientConfigRecordFile).c_str(),
              RecordSummary(*pRecord).c_str());
  return sc_nExitOk;
}

const CCommandRegistration s_registration(
    {"sign", "signs a publish directory's record again with a later expiry", sc_szUsage, RunSign});

}  // namespace
}  // namespace larchtool
