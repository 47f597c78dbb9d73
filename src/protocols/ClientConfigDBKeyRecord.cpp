#include "protocols/ClientConfigDBKeyRecord.h"

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

}  // namespace Weft
