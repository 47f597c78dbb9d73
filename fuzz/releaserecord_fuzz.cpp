// Loads arbitrary bytes as a client config record the way the bootstrapper receives one, then
// reads every field the release checks read. Damaged images and malformed fields must end in an
// exception with a text. An accepted record must give a signed image that is canonical (loading
// it and taking the signed image again yields the same bytes), and signing it must verify with
// the signing key and no other. Any assertion is a finding.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include "FuzzSupport.h"
#include "protocols/ClientConfigDBKeyRecord.h"

using fuzz_support::Check;
using Weft::CClientConfigRecord;

namespace {

const common::CSigningKey& FixedKey() {
  static const common::CSigningKey s_key = common::CSigningKey::FromSeed(common::KeySeed{7});
  return s_key;
}

void ReadVerifyingFields(const CClientConfigRecord& record) {
  CClientConfigRecord::SPackageDigest digest;
  uint64_t u64 = 0;
  record.GetPackageDigest(true, digest);
  record.GetPackageDigest(false, digest);
  record.GetSequenceNum(u64);
  record.GetExpiryTime(u64);
  std::vector<CClientConfigRecord::SDeltaOffer> offers;
  if (record.GetClientAppDeltas(offers)) Check(!offers.empty());
  // A record never signed by the fixed key verifies with it only by a forgery.
  Check(!record.IsSignedBy(common::PublicKey{}));
}

void CheckSigning(CClientConfigRecord& record) {
  std::vector<uint8_t> image = record.SignedImage();
  CClientConfigRecord reloaded(image.data(), static_cast<uint32_t>(image.size()));
  Check(reloaded.SignedImage() == image);
  record.Sign(FixedKey());
  Check(record.IsSignedBy(FixedKey().Public()));
  Check(!record.IsSignedBy(common::PublicKey{1}));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize) {
  fuzz_support::AbortOnAssert();
  std::unique_ptr<CClientConfigRecord> pRecord;
  try {
    pRecord.reset(new CClientConfigRecord(pData, static_cast<uint32_t>(uSize)));
    pRecord->ValidateFields();
    ReadVerifyingFields(*pRecord);
  } catch (const std::exception& e) {
    Check(*e.what());
    return 0;
  }
  CheckSigning(*pRecord);
  return 0;
}
