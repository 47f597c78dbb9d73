// Whether a client config record may be acted on. With release keys branded into the program,
// the record must be signed by one of them, must not be older than one already accepted (its
// sequence number) and must not have expired, so that a server cannot serve a forged, replayed
// or stale release. Without keys nothing vouches for the record, and it is taken as it comes.
// Either way the package sizes and hashes it carries bind the downloads to it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocols/ClientConfigDBKeyRecord.h"
#include "security/SigningKey.h"

namespace bootstrapper {

using SPackageDigest = Weft::CClientConfigRecord::SPackageDigest;
using SDeltaOffer = Weft::CClientConfigRecord::SDeltaOffer;

// What an accepted record publishes.
struct SRelease {
  int32_t nBootStrapperVersion = 0;
  int32_t nClientVersion = 0;
  std::optional<SPackageDigest> bootStrapperDigest;  // none: the package is not checked
  std::optional<SPackageDigest> clientDigest;
  // The delta packages to the published client version, each from an older one.
  std::vector<SDeltaOffer> clientDeltas;
  // The record's sequence number, to be kept as the highest seen; 0 when there is nothing to
  // keep (no keys).
  uint64_t u64SequenceNum = 0;

  // The delta offered from an installed client version; null when there is none.
  const SDeltaOffer* ClientDeltaFrom(int32_t nInstalled) const;
};

class CReleaseCheck {
 public:
  // u64SeenSequence: the highest sequence number accepted so far; u64NowUtc: seconds since
  // 1970-01-01 UTC.
  CReleaseCheck(std::vector<common::PublicKey> keys, uint64_t u64SeenSequence, uint64_t u64NowUtc)
      : m_keys(std::move(keys)), m_u64SeenSequence(u64SeenSequence), m_u64NowUtc(u64NowUtc) {}

  // Throws the refusal texts ("release record is not signed", ...) and the record's own "Bad
  // ... field in CClientConfigRecord" ones.
  SRelease Check(const Weft::CClientConfigRecord& record) const;

 private:
  void CheckSignature(const Weft::CClientConfigRecord& record) const;
  uint64_t CheckSequenceNum(const Weft::CClientConfigRecord& record) const;
  void CheckExpiryTime(const Weft::CClientConfigRecord& record) const;

  std::vector<common::PublicKey> m_keys;
  uint64_t m_u64SeenSequence;
  uint64_t m_u64NowUtc;
};

// The UTC date of a time in seconds since 1970-01-01, as "YYYY-MM-DD".
std::string UtcDateText(uint64_t u64Seconds);

}  // namespace bootstrapper
