// Loads arbitrary bytes as the client config record a configuration server sends and judges it
// as the bootstrapper does, with and without a release key, signed by that key or as it came.
// A refusal must be an exception with a text; an accepted record with a key must be signed by
// it and not older than the sequence number seen. Any assertion is a finding.
//
// Input: one byte (bit 0: a key is branded; bit 1: the record is signed with it first; bits 2
// to 4: the sequence number seen), then the record's image.
#include <cstdint>
#include <exception>
#include <memory>
#include <vector>

#include "FuzzSupport.h"
#include "bootstrapper/ReleaseCheck.h"
#include "protocols/ClientConfigDBKeyRecord.h"

using fuzz_support::Check;
using Weft::CClientConfigRecord;

namespace {

constexpr uint64_t sc_u64Now = 1800000000;

const common::CSigningKey& Key() {
  static const common::CSigningKey s_key = common::CSigningKey::FromSeed(common::KeySeed{7});
  return s_key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize) {
  fuzz_support::AbortOnAssert();
  if (uSize < 1) return 0;
  const uint8_t u8Mode = pData[0];
  const uint64_t u64Seen = (u8Mode >> 2) & 7;
  std::unique_ptr<CClientConfigRecord> pRecord;
  try {
    pRecord.reset(new CClientConfigRecord(pData + 1, static_cast<uint32_t>(uSize - 1)));
    pRecord->ValidateFields();  // as the client does on receipt
    if (u8Mode & 2) pRecord->Sign(Key());
  } catch (const std::exception& e) {
    Check(*e.what());
    return 0;
  }
  std::vector<common::PublicKey> keys;
  if (u8Mode & 1) keys.push_back(Key().Public());
  try {
    const bootstrapper::SRelease release =
        bootstrapper::CReleaseCheck(keys, u64Seen, sc_u64Now).Check(*pRecord);
    if (keys.empty()) {
      Check(release.u64SequenceNum == 0);
    } else {
      Check(pRecord->IsSignedBy(Key().Public()) && release.u64SequenceNum >= u64Seen);
    }
  } catch (const std::exception& e) {
    Check(*e.what());
  }
  return 0;
}
