// The client config record: which bootstrapper version and which client application package
// version the operator publishes. A blob with three numeric fields, each a little-endian u32:
//   0 "VersionNum"                      the record's own layout version
//   1 "CurrentClientBootstrapVersion"   the published bootstrapper version
//   2 "CurrentClientAppPackageVersion"  the published client application package version
// Fields with other numeric names may be present and are ignored.
#pragma once

#include <cstdint>

#include "blob/MultiFieldBlob.h"

namespace Weft {

class CClientConfigRecord : public common::CMultiFieldBlob {
 public:
  enum EFieldName : uint32_t {
    eVersionNum = 0,
    eCurrentClientBootstrapVersion = 1,
    eCurrentClientAppPackageVersion = 2,
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

 private:
  uint32_t GetVersionField(uint32_t uFieldName) const;
};

}  // namespace Weft
