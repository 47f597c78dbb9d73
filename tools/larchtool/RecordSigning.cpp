#include "RecordSigning.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "Command.h"
#include "bootstrapper/ReleaseCheck.h"

namespace larchtool {
namespace {

constexpr uint32_t sc_uMaxExpiryDays = 3650;
constexpr uint64_t sc_u64SecondsPerDay = 86400;

}  // namespace

using Weft::CClientConfigRecord;

bool ParseSigningArg(const std::vector<std::string>& args, size_t& u, SSigningArgs& signing) {
  const std::string& sArg = args[u];
  if (sArg != "--sign-key" && sArg != "--expires") return false;
  if (u + 1 >= args.size()) throw CUsageError(sArg + " needs a value");
  const std::string& sValue = args[++u];
  if (sArg == "--sign-key") {
    signing.sKeyFile = sValue;
  } else {
    signing.uDays = ParseNumberOption("--expires", "number of days", sValue, 1, sc_uMaxExpiryDays);
    signing.bDaysGiven = true;
  }
  return true;
}

void CheckSigningArgs(const SSigningArgs& signing) {
  if (signing.bDaysGiven && signing.sKeyFile.empty()) {
    throw CUsageError("--expires needs --sign-key KEYFILE");
  }
}

uint64_t RaiseSequenceNum(CClientConfigRecord& record) {
  uint64_t u64Sequence = 0;
  record.GetSequenceNum(u64Sequence);
  record.SetSequenceNum(++u64Sequence);
  return u64Sequence;
}

uint64_t SignRecord(CClientConfigRecord& record, const common::CSigningKey& key, uint32_t uDays) {
  int64_t n64Now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  uint64_t u64Expiry =
      static_cast<uint64_t>(std::max<int64_t>(n64Now, 0)) + uDays * sc_u64SecondsPerDay;
  record.SetExpiryTime(u64Expiry);
  record.Sign(key);
  return u64Expiry;
}

void MakeUnsigned(CClientConfigRecord& record) {
  record.RemoveSignature();
  record.RemoveField(CClientConfigRecord::CFieldName(CClientConfigRecord::eExpiryTime));
}

void Guard(bool bForce, const char* pszCommand, const std::string& sText) {
  if (!bForce) throw std::runtime_error(sText + " (or give --force)");
  std::fprintf(stderr, "larchtool %s: warning: %s\n", pszCommand, sText.c_str());
}

void GuardKeyChange(const CClientConfigRecord& record, const common::CSigningKey& key,
                    const std::string& sKeyFile, bool bForce, const char* pszCommand) {
  if (!record.IsSigned() || record.IsSignedBy(key.Public())) return;
  Guard(bForce, pszCommand,
        "the record is signed with another key than " + sKeyFile +
            "'s: bootstrappers that do not know its public key would refuse every record from "
            "now on; first publish a bootstrapper branded with both keys");
}

std::string RecordSummary(const CClientConfigRecord& record) {
  uint64_t u64Sequence = 0, u64Expiry = 0;
  std::string sText = record.GetSequenceNum(u64Sequence) ? "sequence " + std::to_string(u64Sequence)
                                                         : std::string("no sequence number");
  if (!record.IsSigned()) return sText + ", not signed";
  sText += ", signed";
  if (record.GetExpiryTime(u64Expiry)) sText += ", expires " + bootstrapper::UtcDateText(u64Expiry);
  return sText;
}

}  // namespace larchtool
