// The client config record: which bootstrapper version and which client application package
// version the operator publishes. A blob with three numeric fields, each a little-endian u32:
//   0 "VersionNum"                      the record's own layout version
//   1 "CurrentClientBootstrapVersion"   the published bootstrapper version
//   2 "CurrentClientAppPackageVersion"  the published client application package version
// Fields with other numeric names may be present and are ignored by readers of those three.
//
// Later fields make a release verifiable (numbers in docs/ARCHITECTURE.md): each published
// package's size (u64) and SHA-256, a sequence number (u64) that every publish raises, an expiry
// time (u64, seconds since 1970-01-01 UTC) and an Ed25519 signature over the record's image
// without the signature field. The image is canonical (the index is in name order), so the
// signature survives any reader that keeps the bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "blob/MultiFieldBlob.h"
#include "security/Sha256.h"
#include "security/SigningKey.h"

namespace Weft {

class CClientConfigRecord : public common::CMultiFieldBlob {
 public:
  enum EFieldName : uint32_t {
    eVersionNum = 0,
    eCurrentClientBootstrapVersion = 1,
    eCurrentClientAppPackageVersion = 2,
    // 3 and 4 name the published components (the operator's, see the publish layout).
    eBootstrapPackageSize = 5,
    eBootstrapPackageSha256 = 6,
    eClientAppPackageSize = 7,
    eClientAppPackageSha256 = 8,
    eSequenceNum = 9,
    eExpiryTime = 10,
    eSignature = 11,
    // The deltas offered for the published client version: per delta its "from" version (u32),
    // then its package's size (u64) and SHA-256, 44 bytes each.
    eClientAppDeltas = 12,
  };

  // A published package as the record vouches for it.
  struct SPackageDigest {
    uint64_t u64Size = 0;
    common::Sha256Digest hash{};
  };

  // A delta package from an older client version to the published one.
  struct SDeltaOffer {
    uint32_t u32FromVersion = 0;
    SPackageDigest digest;
  };

  class CValidateFieldsException : public common::CMultiFieldBlob::CBlobException {
   public:
    using CBlobException::CBlobException;
  };

  // A record with the three fields.
  CClientConfigRecord(uint32_t u32VersionNum, uint32_t u32CurrentClientBootstrapVersion,
                      uint32_t u32CurrentClientAppPackageVersion);
  // A record loaded from a copy of a serialized blob image of exactly uSize bytes; throws the
  // blob's load errors.
  CClientConfigRecord(const uint8_t* pSerialized, uint32_t uSize);
  ~CClientConfigRecord() override;

  // Throws CValidateFieldsException when one of the three fields is missing or not 4 bytes.
  void ValidateFields() const;

  // The image, once the fields are valid.
  const uint8_t* GetSerializedBlob(
      SizeOfFieldData_t* pReturnSizeOfSerializedVersion) const override;
  // The record keeps no invariant of its own.
  void CheckClassInvariant() const override;

  // 0 (after a report) when the field is missing or not 4 bytes.
  uint32_t GetCurrentClientBootstrapVersion() const;
  uint32_t GetCurrentClientAppPackageVersion() const;

  // The verifying fields. A getter returns false when the record does not carry the field and
  // throws CValidateFieldsException ("Bad SequenceNum field in CClientConfigRecord", ...) when
  // it carries it with the wrong length (a digest: both fields or neither).
  bool GetPackageDigest(bool bBootstrapper, SPackageDigest& digest) const;
  void SetPackageDigest(bool bBootstrapper, const SPackageDigest& digest);
  // False when no delta is offered; throws "Bad ClientAppDeltas field in CClientConfigRecord"
  // for a field that is not a whole number of offers. Setting none removes the field.
  bool GetClientAppDeltas(std::vector<SDeltaOffer>& offers) const;
  void SetClientAppDeltas(const std::vector<SDeltaOffer>& offers);
  bool GetSequenceNum(uint64_t& u64Sequence) const;
  void SetSequenceNum(uint64_t u64Sequence);
  bool GetExpiryTime(uint64_t& u64Seconds) const;
  void SetExpiryTime(uint64_t u64Seconds);
  bool IsSigned() const { return FieldExists(CFieldName(eSignature)); }
  // Signs the record as it is now (a previous signature is replaced).
  void Sign(const common::CSigningKey& key);
  void RemoveSignature();
  // True when the record carries a signature that the key made over its current fields.
  bool IsSignedBy(const common::PublicKey& key) const;
  // The bytes a signature covers: the image without the signature field.
  std::vector<uint8_t> SignedImage() const;

 private:
  uint32_t GetVersionField(uint32_t uFieldName) const;
  // False when absent; throws when the field is there with another length than uSize.
  bool GetFixedField(uint32_t uFieldName, const char* pszName, void* pOut, size_t uSize) const;
  bool GetU64Field(uint32_t uFieldName, const char* pszName, uint64_t& u64Value) const;
  void SetU64Field(uint32_t uFieldName, uint64_t u64Value);
};

}  // namespace Weft
