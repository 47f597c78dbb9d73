#include "protocols/ClientConfigDBKeyRecord.h"

#include <cstring>
#include <string>

#include "support/Assert.h"
#include "support/ByteOrder.h"

namespace Weft {
namespace {

const uint32_t sc_uIndexCapacity = 3;

void AddU32Field(common::CMultiFieldBlob& blob, uint32_t uFieldName, uint32_t u32Value) {
  uint8_t au8[4];
  common::StoreLittleEndian32(au8, u32Value);
  blob.AddField(uFieldName, au8, sizeof(au8));
}

}  // namespace

CClientConfigRecord::CClientConfigRecord(uint32_t u32VersionNum,
                                         uint32_t u32CurrentClientBootstrapVersion,
                                         uint32_t u32CurrentClientAppPackageVersion)
    : CMultiFieldBlob(sc_uIndexCapacity, 0) {
  AddU32Field(*this, eVersionNum, u32VersionNum);
  AddU32Field(*this, eCurrentClientBootstrapVersion, u32CurrentClientBootstrapVersion);
  AddU32Field(*this, eCurrentClientAppPackageVersion, u32CurrentClientAppPackageVersion);
}

CClientConfigRecord::CClientConfigRecord(const uint8_t* pSerialized, uint32_t uSize)
    : CMultiFieldBlob(eCopyImmediately, pSerialized, uSize, sc_uIndexCapacity, 0, nullptr) {}

CClientConfigRecord::~CClientConfigRecord() = default;

void CClientConfigRecord::ValidateFields() const {
  bool abSeen[3] = {false, false, false};
  static const char* const s_apszBadField[3] = {
      "Bad VersionNum field in ClientConfigRecord",
      "Bad eCurrentClientBootstrapVersion field in CClientConfigRecord",
      "Bad eCurrentClientAppPackageVersion field in CClientConfigRecord"};
  for (index_iterator it = begin(); it != end(); ++it) {
    uint32_t uFieldName = it.GetNumericFieldName();
    if (uFieldName > eCurrentClientAppPackageVersion) continue;
    if (it.GetSizeOfFieldData() != sizeof(uint32_t)) {
      throw CValidateFieldsException(s_apszBadField[uFieldName]);
    }
    abSeen[uFieldName] = true;
  }
  if (!abSeen[0] || !abSeen[1] || !abSeen[2]) {
    throw CValidateFieldsException("Missing field in CClientConfigRecord");
  }
}

const uint8_t* CClientConfigRecord::GetSerializedBlob(
    SizeOfFieldData_t* pReturnSizeOfSerializedVersion) const {
  ValidateFields();
  return CMultiFieldBlob::GetSerializedBlob(pReturnSizeOfSerializedVersion);
}

void CClientConfigRecord::CheckClassInvariant() const {}

uint32_t CClientConfigRecord::GetVersionField(uint32_t uFieldName) const {
  SizeOfFieldData_t uSizeOfFieldData = 0;
  const uint8_t* pFieldData = FindFieldData(uFieldName, &uSizeOfFieldData);
  uint32_t u32VersionNum = 0;
  LARCH_DEBUG_ASSERT(pFieldData);
  // The report shows the expression as written.
  // clang-format off
  LARCH_DEBUG_ASSERT(uSizeOfFieldData == sizeof( u32VersionNum ));
  // clang-format on
  if (!pFieldData || uSizeOfFieldData != sizeof(u32VersionNum)) return 0;
  u32VersionNum = common::LoadLittleEndian32(pFieldData);
  return u32VersionNum;
}

uint32_t CClientConfigRecord::GetCurrentClientBootstrapVersion() const {
  return GetVersionField(eCurrentClientBootstrapVersion);
}

uint32_t CClientConfigRecord::GetCurrentClientAppPackageVersion() const {
  return GetVersionField(eCurrentClientAppPackageVersion);
}

bool CClientConfigRecord::GetFixedField(uint32_t uFieldName, const char* pszName, void* pOut,
                                        size_t uSize) const {
  SizeOfFieldData_t uSizeOfFieldData = 0;
  const uint8_t* pFieldData = FindFieldData(CFieldName(uFieldName), &uSizeOfFieldData);
  if (!pFieldData) return false;
  if (uSizeOfFieldData != uSize) {
    throw CValidateFieldsException(std::string("Bad ") + pszName + " field in CClientConfigRecord");
  }
  std::memcpy(pOut, pFieldData, uSize);
  return true;
}

bool CClientConfigRecord::GetU64Field(uint32_t uFieldName, const char* pszName,
                                      uint64_t& u64Value) const {
  uint8_t au8[8];
  if (!GetFixedField(uFieldName, pszName, au8, sizeof(au8))) return false;
  u64Value = common::LoadLittleEndian64(au8);
  return true;
}

void CClientConfigRecord::SetU64Field(uint32_t uFieldName, uint64_t u64Value) {
  uint8_t au8[8];
  common::StoreLittleEndian64(au8, u64Value);
  SetField(CFieldName(uFieldName), au8, sizeof(au8));
}

bool CClientConfigRecord::GetPackageDigest(bool bBootstrapper, SPackageDigest& digest) const {
  const uint32_t uSizeField = bBootstrapper ? eBootstrapPackageSize : eClientAppPackageSize;
  const uint32_t uHashField = bBootstrapper ? eBootstrapPackageSha256 : eClientAppPackageSha256;
  const char* pszSize = bBootstrapper ? "BootstrapPackageSize" : "ClientAppPackageSize";
  const char* pszHash = bBootstrapper ? "BootstrapPackageSha256" : "ClientAppPackageSha256";
  const bool bSize = GetU64Field(uSizeField, pszSize, digest.u64Size);
  const bool bHash = GetFixedField(uHashField, pszHash, digest.hash.data(), digest.hash.size());
  if (bSize != bHash) {
    throw CValidateFieldsException(std::string("Bad ") + (bSize ? pszHash : pszSize) +
                                   " field in CClientConfigRecord");
  }
  return bSize;
}

void CClientConfigRecord::SetPackageDigest(bool bBootstrapper, const SPackageDigest& digest) {
  SetU64Field(bBootstrapper ? eBootstrapPackageSize : eClientAppPackageSize, digest.u64Size);
  SetField(CFieldName(bBootstrapper ? eBootstrapPackageSha256 : eClientAppPackageSha256),
           digest.hash.data(), digest.hash.size());
}

namespace {
constexpr size_t sc_uDeltaOfferSize = 4 + 8 + std::tuple_size<common::Sha256Digest>::value;
}  // namespace

bool CClientConfigRecord::GetClientAppDeltas(std::vector<SDeltaOffer>& offers) const {
  offers.clear();
  SizeOfFieldData_t uSize = 0;
  const uint8_t* pData = FindFieldData(CFieldName(eClientAppDeltas), &uSize);
  if (!pData) return false;
  if (uSize == 0 || uSize % sc_uDeltaOfferSize != 0) {
    throw CValidateFieldsException("Bad ClientAppDeltas field in CClientConfigRecord");
  }
  for (const uint8_t* p = pData; p < pData + uSize; p += sc_uDeltaOfferSize) {
    SDeltaOffer offer;
    offer.u32FromVersion = common::LoadLittleEndian32(p);
    offer.digest.u64Size = common::LoadLittleEndian64(p + 4);
    std::memcpy(offer.digest.hash.data(), p + 12, offer.digest.hash.size());
    offers.push_back(offer);
  }
  return true;
}

void CClientConfigRecord::SetClientAppDeltas(const std::vector<SDeltaOffer>& offers) {
  if (offers.empty()) {
    if (FieldExists(CFieldName(eClientAppDeltas))) RemoveField(CFieldName(eClientAppDeltas));
    return;
  }
  std::vector<uint8_t> bytes(offers.size() * sc_uDeltaOfferSize);
  uint8_t* p = bytes.data();
  for (const SDeltaOffer& offer : offers) {
    common::StoreLittleEndian32(p, offer.u32FromVersion);
    common::StoreLittleEndian64(p + 4, offer.digest.u64Size);
    std::memcpy(p + 12, offer.digest.hash.data(), offer.digest.hash.size());
    p += sc_uDeltaOfferSize;
  }
  SetField(CFieldName(eClientAppDeltas), bytes.data(),
           static_cast<SizeOfFieldData_t>(bytes.size()));
}

bool CClientConfigRecord::GetSequenceNum(uint64_t& u64Sequence) const {
  return GetU64Field(eSequenceNum, "SequenceNum", u64Sequence);
}

void CClientConfigRecord::SetSequenceNum(uint64_t u64Sequence) {
  SetU64Field(eSequenceNum, u64Sequence);
}

bool CClientConfigRecord::GetExpiryTime(uint64_t& u64Seconds) const {
  return GetU64Field(eExpiryTime, "ExpiryTime", u64Seconds);
}

void CClientConfigRecord::SetExpiryTime(uint64_t u64Seconds) {
  SetU64Field(eExpiryTime, u64Seconds);
}

// Built afresh: an image that had a field removed keeps spare room, so the bytes would depend on
// the record's history instead of its fields.
std::vector<uint8_t> CClientConfigRecord::SignedImage() const {
  common::CMultiFieldBlob unsignedCopy(GetNumFields(), 0);
  for (index_iterator it = begin(); it != end(); ++it) {
    std::string sName = it.GetFieldName();
    if (sName.size() == 4 &&
        common::LoadLittleEndian32(reinterpret_cast<const uint8_t*>(sName.data())) == eSignature) {
      continue;
    }
    SizeOfFieldData_t uSize = 0;
    const uint8_t* pData = it.GetFieldData(&uSize);
    unsignedCopy.AddField(sName, pData, uSize);
  }
  SizeOfFieldData_t uSize = 0;
  const uint8_t* pImage = unsignedCopy.GetSerializedBlob(&uSize);
  return std::vector<uint8_t>(pImage, pImage + uSize);
}

void CClientConfigRecord::Sign(const common::CSigningKey& key) {
  std::vector<uint8_t> image = SignedImage();
  common::Signature signature = key.Sign(image.data(), image.size());
  SetField(CFieldName(eSignature), signature.data(), signature.size());
}

void CClientConfigRecord::RemoveSignature() {
  if (IsSigned()) RemoveField(CFieldName(eSignature));
}

bool CClientConfigRecord::IsSignedBy(const common::PublicKey& key) const {
  common::Signature signature;
  if (!GetFixedField(eSignature, "Signature", signature.data(), signature.size())) return false;
  std::vector<uint8_t> image = SignedImage();
  return common::VerifySignature(key, image.data(), image.size(), signature);
}

}  // namespace Weft
