#include "security/Sha256.h"

#include <sodium.h>

#include <stdexcept>
#include <vector>

#include "platform/File.h"
#include "security/SodiumInit.h"

namespace common {

struct CSha256::SState {
  crypto_hash_sha256_state state;
};

CSha256::CSha256() : m_pState(new SState) {
  EnsureSodium();
  crypto_hash_sha256_init(&m_pState->state);
}

CSha256::~CSha256() {
  sodium_memzero(m_pState, sizeof(*m_pState));
  delete m_pState;
}

void CSha256::Update(const void* pData, size_t uSize) {
  crypto_hash_sha256_update(&m_pState->state, static_cast<const unsigned char*>(pData), uSize);
  m_u64Fed += uSize;
}

Sha256Digest CSha256::Final() {
  Sha256Digest digest;
  crypto_hash_sha256_final(&m_pState->state, digest.data());
  crypto_hash_sha256_init(&m_pState->state);
  m_u64Fed = 0;
  return digest;
}

Sha256Digest CSha256::Digest(const void* pData, size_t uSize) {
  CSha256 hash;
  hash.Update(pData, uSize);
  return hash.Final();
}

bool HashFile(const std::string& sPath, Sha256Digest& hash, uint64_t& u64Size) {
  platform::CFile file;
  if (!file.Open(sPath, platform::CFile::eRead)) return false;
  CSha256 sha;
  std::vector<uint8_t> buffer(1 << 20);
  for (;;) {
    const int64_t n64Read = file.Read(buffer.data(), buffer.size());
    if (n64Read < 0) return false;
    if (n64Read == 0) break;
    sha.Update(buffer.data(), static_cast<size_t>(n64Read));
  }
  u64Size = sha.BytesFed();
  hash = sha.Final();
  return true;
}

std::string ToLowerHex(const uint8_t* pData, size_t uSize) {
  std::string sText(uSize * 2 + 1, '\0');
  sodium_bin2hex(&sText[0], sText.size(), pData, uSize);
  sText.pop_back();
  return sText;
}

bool FromHex(const std::string& sText, uint8_t* pOut, size_t uSize) {
  if (sText.size() != uSize * 2) return false;
  if (uSize == 0) return true;  // pOut may then be null, which the decoder does not take
  size_t uWritten = 0;
  const char* pszEnd = nullptr;
  return sodium_hex2bin(pOut, uSize, sText.c_str(), sText.size(), nullptr, &uWritten, &pszEnd) ==
             0 &&
         uWritten == uSize && pszEnd == sText.c_str() + sText.size();
}

}  // namespace common
