#include "bootstrapper/ReleaseCheck.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/TestUtil.h"

namespace bootstrapper {
namespace {

using Weft::CClientConfigRecord;
using CFieldName = CClientConfigRecord::CFieldName;
using larch_test::ErrorOf;

constexpr uint64_t sc_u64Now = 1800000000;  // 2027-01-15 08:00 UTC

common::Sha256Digest Filled(uint8_t u8) {
  common::Sha256Digest digest;
  digest.fill(u8);
  return digest;
}

common::CSigningKey Key(uint8_t u8Seed) {
  common::KeySeed seed{};
  seed.fill(u8Seed);
  return common::CSigningKey::FromSeed(seed);
}

// Published versions 3 and 4 with the client package's digest, sequence 7, valid until a
// second after now; fnEdit changes it before it is signed with key 1.
CClientConfigRecord SignedRecord(const std::function<void(CClientConfigRecord&)>& fnEdit = {}) {
  CClientConfigRecord record(1, 3, 4);
  SPackageDigest digest;
  digest.u64Size = 1234;
  digest.hash = Filled(0xAB);
  record.SetPackageDigest(false, digest);
  record.SetSequenceNum(7);
  record.SetExpiryTime(sc_u64Now + 1);
  if (fnEdit) fnEdit(record);
  record.Sign(Key(1));
  return record;
}

std::string Refusal(const std::vector<common::PublicKey>& keys, const CClientConfigRecord& record,
                    uint64_t u64Seen = 7) {
  return ErrorOf([&] { CReleaseCheck(keys, u64Seen, sc_u64Now).Check(record); });
}

TEST(ReleaseCheck, WithAKeyEveryRefusalHasItsText) {
  const std::vector<common::PublicKey> keys = {Key(1).Public()};
  const uint8_t au8Short[4] = {1, 2, 3, 4};
  struct SCase {
    std::function<void(CClientConfigRecord&)> fnAfterSigning;
    std::function<void(CClientConfigRecord&)> fnBeforeSigning;
    const char* pszError;
  };
  const SCase aCases[] = {
      {[](CClientConfigRecord& r) { r.RemoveSignature(); }, {}, "release record is not signed"},
      {[](CClientConfigRecord& r) { r.Sign(Key(2)); },
       {},
       "release record signature does not verify"},
      {[](CClientConfigRecord& r) { r.SetSequenceNum(8); },
       {},
       "release record signature does not verify"},
      {[&](CClientConfigRecord& r) {
         r.SetField(CFieldName(CClientConfigRecord::eSignature), au8Short, 4);
       },
       {},
       "Bad Signature field in CClientConfigRecord"},
      {{},
       [](CClientConfigRecord& r) { r.RemoveField(CFieldName(CClientConfigRecord::eSequenceNum)); },
       "Missing SequenceNum field in CClientConfigRecord"},
      {{},
       [](CClientConfigRecord& r) { r.RemoveField(CFieldName(CClientConfigRecord::eExpiryTime)); },
       "Missing ExpiryTime field in CClientConfigRecord"},
      {{},
       [&](CClientConfigRecord& r) {
         r.SetField(CFieldName(CClientConfigRecord::eSequenceNum), au8Short, 4);
       },
       "Bad SequenceNum field in CClientConfigRecord"},
      {{},
       [](CClientConfigRecord& r) { r.SetSequenceNum(6); },
       "release record is older than one already seen (6 < 7)"},
      {{},
       [](CClientConfigRecord& r) { r.SetExpiryTime(sc_u64Now); },
       "release record expired on 2027-01-15"},
      {{},
       [](CClientConfigRecord& r) {
         r.RemoveField(CFieldName(CClientConfigRecord::eClientAppPackageSha256));
       },
       "Bad ClientAppPackageSha256 field in CClientConfigRecord"},
  };
  for (const SCase& c : aCases) {
    CClientConfigRecord record = SignedRecord(c.fnBeforeSigning);
    if (c.fnAfterSigning) c.fnAfterSigning(record);
    EXPECT_EQ(Refusal(keys, record), c.pszError);
  }
}

TEST(ReleaseCheck, AcceptedRecordGivesVersionsDigestsAndSequence) {
  // The second slot holds the key that replaces the first.
  const CClientConfigRecord record =
      SignedRecord([](CClientConfigRecord& r) { r.SetSequenceNum(9); });
  for (const auto& keys : {std::vector<common::PublicKey>{Key(1).Public()},
                           std::vector<common::PublicKey>{Key(2).Public(), Key(1).Public()}}) {
    SRelease release = CReleaseCheck(keys, 9, sc_u64Now).Check(record);
    EXPECT_EQ(release.nBootStrapperVersion, 3);
    EXPECT_EQ(release.nClientVersion, 4);
    EXPECT_FALSE(release.bootStrapperDigest);
    ASSERT_TRUE(release.clientDigest);
    EXPECT_EQ(release.clientDigest->u64Size, 1234u);
    EXPECT_EQ(release.clientDigest->hash, Filled(0xAB));
    EXPECT_EQ(release.u64SequenceNum, 9u);
  }
}

// Without a key nothing vouches for the signature, the sequence or the expiry; the digests
// still bind the downloads, so a malformed one is refused all the same.
TEST(ReleaseCheck, WithoutKeysTheRecordIsTakenAsItComes) {
  CClientConfigRecord unsigned1(1, 3, 4);
  CClientConfigRecord foreign = SignedRecord([](CClientConfigRecord& r) {
    r.SetSequenceNum(1);
    r.SetExpiryTime(1);
  });
  foreign.SetSequenceNum(2);  // the signature no longer verifies
  for (const CClientConfigRecord* pRecord : {&unsigned1, &foreign}) {
    SRelease release = CReleaseCheck({}, 7, sc_u64Now).Check(*pRecord);
    EXPECT_EQ(release.nClientVersion, 4);
    EXPECT_EQ(release.u64SequenceNum, 0u);
  }
  const uint8_t au8Short[4] = {1, 2, 3, 4};
  unsigned1.SetField(CFieldName(CClientConfigRecord::eBootstrapPackageSha256), au8Short, 4);
  EXPECT_EQ(Refusal({}, unsigned1), "Bad BootstrapPackageSha256 field in CClientConfigRecord");
  CClientConfigRecord badDeltas(1, 3, 4);
  badDeltas.SetField(CFieldName(CClientConfigRecord::eClientAppDeltas), au8Short, 4);
  EXPECT_EQ(Refusal({}, badDeltas), "Bad ClientAppDeltas field in CClientConfigRecord");
}

TEST(ReleaseCheck, UtcDates) {
  EXPECT_EQ(UtcDateText(0), "1970-01-01");
  EXPECT_EQ(UtcDateText(951782400), "2000-02-29");
  EXPECT_EQ(UtcDateText(951868799), "2000-02-29");
  EXPECT_EQ(UtcDateText(sc_u64Now), "2027-01-15");
  EXPECT_EQ(UtcDateText(4107542400), "2100-03-01");
  EXPECT_EQ(UtcDateText(253402300799), "9999-12-31");
}

}  // namespace
}  // namespace bootstrapper
