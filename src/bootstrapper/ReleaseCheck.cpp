#include "bootstrapper/ReleaseCheck.h"

#include <stdexcept>

namespace bootstrapper {
namespace {

std::optional<SPackageDigest> DigestOf(const Weft::CClientConfigRecord& record,
                                       bool bBootstrapper) {
  SPackageDigest digest;
  if (!record.GetPackageDigest(bBootstrapper, digest)) return std::nullopt;
  return digest;
}

}  // namespace

SRelease CReleaseCheck::Check(const Weft::CClientConfigRecord& record) const {
  SRelease release;
  if (!m_keys.empty()) {
    CheckSignature(record);
    release.u64SequenceNum = CheckSequenceNum(record);
    CheckExpiryTime(record);
  }
  release.nBootStrapperVersion = static_cast<int32_t>(record.GetCurrentClientBootstrapVersion());
  release.nClientVersion = static_cast<int32_t>(record.GetCurrentClientAppPackageVersion());
  release.bootStrapperDigest = DigestOf(record, true);
  release.clientDigest = DigestOf(record, false);
  record.GetClientAppDeltas(release.clientDeltas);
  return release;
}

const SDeltaOffer* SRelease::ClientDeltaFrom(int32_t nInstalled) const {
  for (const SDeltaOffer& offer : clientDeltas) {
    if (nInstalled > 0 && offer.u32FromVersion == static_cast<uint32_t>(nInstalled)) return &offer;
  }
  return nullptr;
}

void CReleaseCheck::CheckSignature(const Weft::CClientConfigRecord& record) const {
  if (!record.IsSigned()) throw std::runtime_error("release record is not signed");
  for (const common::PublicKey& key : m_keys) {
    if (record.IsSignedBy(key)) return;
  }
  throw std::runtime_error("release record signature does not verify");
}

uint64_t CReleaseCheck::CheckSequenceNum(const Weft::CClientConfigRecord& record) const {
  uint64_t u64Sequence = 0;
  if (!record.GetSequenceNum(u64Sequence)) {
    throw Weft::CClientConfigRecord::CValidateFieldsException(
        "Missing SequenceNum field in CClientConfigRecord");
  }
  if (u64Sequence < m_u64SeenSequence) {
    throw std::runtime_error("release record is older than one already seen (" +
                             std::to_string(u64Sequence) + " < " +
                             std::to_string(m_u64SeenSequence) + ")");
  }
  return u64Sequence;
}

void CReleaseCheck::CheckExpiryTime(const Weft::CClientConfigRecord& record) const {
  uint64_t u64Expiry = 0;
  if (!record.GetExpiryTime(u64Expiry)) {
    throw Weft::CClientConfigRecord::CValidateFieldsException(
        "Missing ExpiryTime field in CClientConfigRecord");
  }
  if (m_u64NowUtc >= u64Expiry) {
    throw std::runtime_error("release record expired on " + UtcDateText(u64Expiry));
  }
}

// Days to the civil calendar (proleptic Gregorian), computed rather than asked of the C
// library, whose broken-down time is neither thread-safe nor wide enough everywhere.
std::string UtcDateText(uint64_t u64Seconds) {
  const int64_t n64Days = static_cast<int64_t>(u64Seconds / 86400) + 719468;
  const int64_t n64Era = n64Days / 146097;
  const int64_t n64DayOfEra = n64Days - n64Era * 146097;
  const int64_t n64YearOfEra =
      (n64DayOfEra - n64DayOfEra / 1460 + n64DayOfEra / 36524 - n64DayOfEra / 146096) / 365;
  const int64_t n64DayOfYear =
      n64DayOfEra - (365 * n64YearOfEra + n64YearOfEra / 4 - n64YearOfEra / 100);
  const int64_t n64MonthIndex = (5 * n64DayOfYear + 2) / 153;  // March = 0
  const int64_t n64Day = n64DayOfYear - (153 * n64MonthIndex + 2) / 5 + 1;
  const int64_t n64Month = n64MonthIndex < 10 ? n64MonthIndex + 3 : n64MonthIndex - 9;
  const int64_t n64Year = n64YearOfEra + n64Era * 400 + (n64Month <= 2 ? 1 : 0);
  auto TwoDigits = [](int64_t n) { return (n < 10 ? "0" : "") + std::to_string(n); };
  return std::to_string(n64Year) + "-" + TwoDigits(n64Month) + "-" + TwoDigits(n64Day);
}

}  // namespace bootstrapper
