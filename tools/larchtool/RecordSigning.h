// The release record's sequence number, expiry and signature as publish and sign set them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocols/ClientConfigDBKeyRecord.h"

namespace larchtool {

// The options "--sign-key KEYFILE" and "--expires DAYS" (1 to 3650, 30 when not given).
struct SSigningArgs {
  std::string sKeyFile;  // empty: not signed
  uint32_t uDays = 30;
  bool bDaysGiven = false;
};

// Takes args[u] (and its value, moving u) when it is one of the two options; throws CUsageError
// for a bad value. CheckSigningArgs refuses --expires without --sign-key.
bool ParseSigningArg(const std::vector<std::string>& args, size_t& u, SSigningArgs& signing);
void CheckSigningArgs(const SSigningArgs& signing);

// Every change of the record raises its sequence number (the first is 1), so that a client
// refuses a replayed older record.
uint64_t RaiseSequenceNum(Weft::CClientConfigRecord& record);
// Sets the expiry time to now + the days and signs: the last change before the record is
// written. Returns the expiry time.
uint64_t SignRecord(Weft::CClientConfigRecord& record, const common::CSigningKey& key,
                    uint32_t uDays);
// Drops the signature and the expiry time, which only a signature makes trustworthy.
void MakeUnsigned(Weft::CClientConfigRecord& record);

// A guard against a change that would lock bootstrappers out: throws "TEXT (or give --force)",
// or with bForce prints "larchtool COMMAND: warning: TEXT" on stderr.
void Guard(bool bForce, const char* pszCommand, const std::string& sText);
// Guards a signature by another key than the record's present one: bootstrappers that do not
// know the new key would refuse every record from then on.
void GuardKeyChange(const Weft::CClientConfigRecord& record, const common::CSigningKey& key,
                    const std::string& sKeyFile, bool bForce, const char* pszCommand);

// "sequence N, signed, expires YYYY-MM-DD" or "sequence N, not signed".
std::string RecordSummary(const Weft::CClientConfigRecord& record);

}  // namespace larchtool
