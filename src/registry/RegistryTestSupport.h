// Helpers shared by the registry tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/Assert.h"

namespace registry_test {

// Records the failed checks while it lives.
class CAssertRecorder : public common::IAssertObserver {
 public:
  CAssertRecorder() { common::CAssertObserverRegistry::Get().Register(this); }
  ~CAssertRecorder() override { common::CAssertObserverRegistry::Get().Unregister(this); }
  // Each check as "NAME: EXPRESSION".
  void OnAssert(const char*, const char* pszCheckName, const char* pszExpression, const char*,
                unsigned) override {
    m_checks.push_back(std::string(pszCheckName ? pszCheckName : "") + ": " + pszExpression);
  }
  const std::vector<std::string>& Checks() const { return m_checks; }

 private:
  std::vector<std::string> m_checks;
};

// The message of the exception that fn throws, or "" when it throws nothing.
template <class Exception, class Fn>
std::string MessageOf(Fn fn) {
  try {
    fn();
  } catch (const Exception& e) {
    return e.what();
  }
  return "";
}

}  // namespace registry_test

namespace registry_test {

inline std::string ReadFileBytes(const std::string& sPath) {
  std::ifstream in(sPath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::string& sPath, const std::string& sBytes) {
  std::ofstream out(sPath, std::ios::binary | std::ios::trunc);
  out.write(sBytes.data(), std::streamsize(sBytes.size()));
}

inline std::string U32(uint32_t u) {
  return std::string{char(u & 0xFF), char((u >> 8) & 0xFF), char((u >> 16) & 0xFF),
                     char((u >> 24) & 0xFF)};
}

// The 4-byte field name of a numeric id.
inline std::string Id(uint32_t u) {
  return U32(u);
}

// A blob image written field by field, in the given order, with uSpare zero bytes after them.
inline std::string MakeBlob(const std::vector<std::pair<std::string, std::string>>& fields,
                            uint32_t uSpare = 0) {
  std::string sRecords;
  for (const auto& field : fields) {
    uint16_t uName = uint16_t(field.first.size());
    sRecords += std::string{char(uName & 0xFF), char(uName >> 8)};
    sRecords += U32(uint32_t(field.second.size())) + field.first + field.second;
  }
  return std::string{1, 'P'} + U32(uint32_t(10 + sRecords.size())) + U32(uSpare) + sRecords +
         std::string(uSpare, '\0');
}

// An independent reader of a blob image: the fields by name. Any inconsistency is a test
// failure and gives an empty map.
inline std::map<std::string, std::string> ParseBlob(const std::string& sImage) {
  std::map<std::string, std::string> fields;
  auto u32At = [&](size_t uPos) {
    return uint32_t(uint8_t(sImage[uPos])) | uint32_t(uint8_t(sImage[uPos + 1])) << 8 |
           uint32_t(uint8_t(sImage[uPos + 2])) << 16 | uint32_t(uint8_t(sImage[uPos + 3])) << 24;
  };
  if (sImage.size() < 10 || sImage[0] != 1 || sImage[1] != 'P') {
    ADD_FAILURE() << "not a plaintext blob image";
    return {};
  }
  uint32_t uSize = u32At(2), uSpare = u32At(6);
  if (uint64_t(uSize) + uSpare != sImage.size()) {
    ADD_FAILURE() << "header says " << uSize << "+" << uSpare << ", image has " << sImage.size();
    return {};
  }
  for (size_t uPos = 10; uPos < uSize;) {
    if (uSize - uPos < 6) {
      ADD_FAILURE() << "partial field header";
      return {};
    }
    size_t uName = uint8_t(sImage[uPos]) | size_t(uint8_t(sImage[uPos + 1])) << 8;
    size_t uData = u32At(uPos + 2);
    if (uPos + 6 + uName + uData > uSize) {
      ADD_FAILURE() << "field past the end";
      return {};
    }
    std::string sName = sImage.substr(uPos + 6, uName);
    if (!fields.emplace(sName, sImage.substr(uPos + 6 + uName, uData)).second) {
      ADD_FAILURE() << "field " << sName << " twice";
    }
    uPos += 6 + uName + uData;
  }
  return fields;
}

}  // namespace registry_test
