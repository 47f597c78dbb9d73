// Helpers for the blob's tests: building images by hand and comparing stored images.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "blob/MultiFieldBlob.h"
#include "support/Assert.h"

namespace blob_test {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& b, uint16_t u) {
  b.push_back(uint8_t(u));
  b.push_back(uint8_t(u >> 8));
}
inline void Put32(Bytes& b, uint32_t u) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(u >> (8 * i)));
}

// A plaintext image with these records in this order and no spare capacity.
inline Bytes Image(const std::vector<std::pair<std::string, std::string>>& records) {
  Bytes body;
  for (const auto& r : records) {
    Put16(body, static_cast<uint16_t>(r.first.size()));
    Put32(body, static_cast<uint32_t>(r.second.size()));
    body.insert(body.end(), r.first.begin(), r.first.end());
    body.insert(body.end(), r.second.begin(), r.second.end());
  }
  Bytes image = {1, 0x50};
  Put32(image, static_cast<uint32_t>(10 + body.size()));
  Put32(image, 0);
  image.insert(image.end(), body.begin(), body.end());
  return image;
}

// The image as the blob hands it out for storage.
inline Bytes Stored(const common::CMultiFieldBlob& blob) {
  common::CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
  const uint8_t* p = blob.GetSerializedBlob(&uSize);
  return Bytes(p, p + uSize);
}

template <class E>
void ExpectThrowText(const std::function<void()>& fn, const std::string& sText) {
  try {
    fn();
    ADD_FAILURE() << "no exception, expected: " << sText;
  } catch (const E& e) {
    EXPECT_EQ(sText, e.what());
  } catch (const std::exception& e) {
    ADD_FAILURE() << "other exception: " << e.what() << ", expected: " << sText;
  }
}

// Loads the image in each of the three load modes and expects the same refusal each time.
template <class E>
void ExpectLoadRefused(const Bytes* pImage, uint32_t uExpected, const std::string& sText,
                       const uint8_t* pKey = nullptr) {
  using common::CMultiFieldBlob;
  for (auto eMode : {CMultiFieldBlob::eCopyOnWrite, CMultiFieldBlob::eCopyImmediately,
                     CMultiFieldBlob::eTakeOwnershipOfMallocedSerializedBlob}) {
    Bytes copy = pImage ? *pImage : Bytes();
    void* p = nullptr;
    if (pImage) {
      p = eMode == CMultiFieldBlob::eTakeOwnershipOfMallocedSerializedBlob
              ? std::malloc(copy.size() ? copy.size() : 1)
              : copy.data();
      if (eMode == CMultiFieldBlob::eTakeOwnershipOfMallocedSerializedBlob && !copy.empty()) {
        std::memcpy(p, copy.data(), copy.size());
      }
    }
    ExpectThrowText<E>([&] { CMultiFieldBlob blob(eMode, p, uExpected, 0, 0, pKey); }, sText);
    // Lent memory is left as it was.
    if (pImage && eMode != CMultiFieldBlob::eTakeOwnershipOfMallocedSerializedBlob) {
      EXPECT_EQ(*pImage, copy);
    }
  }
}

// Every assertion that fires during a test fails it, unless the test announced it with a
// CExpectAssert; the reports themselves answer Ignore under test.
class CAssertWatch : public common::IAssertObserver {
 public:
  static CAssertWatch& Get() {
    static CAssertWatch* s_pWatch = [] {
      auto* p = new CAssertWatch;
      common::CAssertObserverRegistry::Get().Register(p);
      return p;
    }();
    return *s_pWatch;
  }
  void OnAssert(const char* pszKind, const char* pszCheckName, const char* pszExpression,
                const char* pszFile, unsigned uLine) override {
    if (m_nExpected > 0) {
      --m_nExpected;
      m_sLastCheck = pszCheckName;
      return;
    }
    ADD_FAILURE() << pszKind << " fired: " << pszCheckName << " (" << pszExpression << ") at "
                  << pszFile << ":" << uLine;
  }
  int m_nExpected = 0;
  std::string m_sLastCheck;
};

// Expects exactly one assertion with this check name before the object goes.
class CExpectAssert {
 public:
  explicit CExpectAssert(std::string sCheckName) : m_sCheckName(std::move(sCheckName)) {
    CAssertWatch::Get().m_nExpected = 1;
    CAssertWatch::Get().m_sLastCheck.clear();
  }
  ~CExpectAssert() {
    EXPECT_EQ(0, CAssertWatch::Get().m_nExpected)
        << "expected assertion did not fire: " << m_sCheckName;
    EXPECT_EQ(m_sCheckName, CAssertWatch::Get().m_sLastCheck);
    CAssertWatch::Get().m_nExpected = 0;
  }

 private:
  std::string m_sCheckName;
};

}  // namespace blob_test
