// Helpers for the configuration tests: exact exception texts, recorded assertions, and records
// built from raw fields (including malformed ones that the setters never produce).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "config/ConfigRecord.h"
#include "support/Assert.h"

namespace config_test {

// Runs fn and expects an exception of type E whose text is exactly sText.
template <class E, class Fn>
void ExpectThrowText(Fn fn, const std::string& sText) {
  try {
    fn();
    ADD_FAILURE() << "no exception; expected \"" << sText << "\"";
  } catch (const E& e) {
    EXPECT_EQ(sText, e.what());
  } catch (const std::exception& e) {
    ADD_FAILURE() << "wrong exception type, text \"" << e.what() << "\"";
  }
}

// Records the check names of failed assertions while it exists.
class CAssertRecorder : public common::IAssertObserver {
 public:
  CAssertRecorder() { common::CAssertObserverRegistry::Get().Register(this); }
  ~CAssertRecorder() override { common::CAssertObserverRegistry::Get().Unregister(this); }
  void OnAssert(const char*, const char* pszCheckName, const char*, const char*,
                unsigned) override {
    m_names.push_back(pszCheckName);
  }
  std::vector<std::string> m_names;
};

typedef std::vector<std::pair<std::string, std::string>> Fields;

inline std::string Id(uint32_t uId) {
  return std::string{char(uId), char(uId >> 8), char(uId >> 16), char(uId >> 24)};
}

inline std::string Byte(uint8_t u8) {
  return std::string(1, char(u8));
}

// The image of a blob holding exactly these fields (names and data as raw bytes).
inline std::string BlobImage(const Fields& fields) {
  common::CMultiFieldBlob blob;
  for (const auto& field : fields) {
    blob.AddField(common::CMultiFieldBlob::CFieldName(field.first.data(), field.first.size()),
                  field.second.data(), field.second.size());
  }
  common::CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
  const uint8_t* p = blob.GetSerializedBlob(&uSize);
  return std::string(reinterpret_cast<const char*>(p), uSize);
}

// The image of a valid or malformed item from its raw fields.
inline std::string ItemImage(const Fields& fields) {
  return BlobImage(fields);
}

// A record over the image, not validated (so that it may hold malformed items).
inline common::CConfigRecord UnvalidatedRecord(const std::string& sImage) {
  void* p = std::malloc(sImage.size());
  std::memcpy(p, sImage.data(), sImage.size());
  return common::CConfigRecord(p, common::CMultiFieldBlob::eTakeOwnershipOfMallocedSerializedBlob,
                               uint32_t(sImage.size()), nullptr, false);
}

// The image as handed out (a record validates first).
inline std::string ImageOf(const common::CMultiFieldBlob& blob) {
  common::CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
  const uint8_t* p = blob.GetSerializedBlob(&uSize);
  return std::string(reinterpret_cast<const char*>(p), uSize);
}

inline std::string RecordImage(const common::CConfigRecord& record) {
  return ImageOf(record);
}

// The data of a field, "<absent>" when there is none.
inline std::string FieldData(const common::CMultiFieldBlob& blob, const std::string& sName) {
  common::CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
  const uint8_t* p = blob.FindFieldData(sName, &uSize);
  return p ? std::string(reinterpret_cast<const char*>(p), uSize) : "<absent>";
}

inline std::string FieldData(const common::CMultiFieldBlob& blob, uint32_t uId) {
  return FieldData(blob, Id(uId));
}

}  // namespace config_test
