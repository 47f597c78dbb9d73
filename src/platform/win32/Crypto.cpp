#include "platform/Crypto.h"

// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

#include <cstring>
#include <vector>

namespace platform {

namespace {

bool Failed(NTSTATUS nStatus) {
  if (BCRYPT_SUCCESS(nStatus)) return false;
  ::SetLastError(ERROR_INVALID_DATA);
  return true;
}

// An algorithm provider, closed on every path.
class CAlgorithm {
 public:
  CAlgorithm(LPCWSTR pszAlgorithm, ULONG uFlags) {
    if (Failed(::BCryptOpenAlgorithmProvider(&m_hAlgorithm, pszAlgorithm, nullptr, uFlags))) {
      m_hAlgorithm = nullptr;
    }
  }
  ~CAlgorithm() {
    if (m_hAlgorithm) ::BCryptCloseAlgorithmProvider(m_hAlgorithm, 0);
  }
  CAlgorithm(const CAlgorithm&) = delete;
  CAlgorithm& operator=(const CAlgorithm&) = delete;
  BCRYPT_ALG_HANDLE Get() const { return m_hAlgorithm; }

 private:
  BCRYPT_ALG_HANDLE m_hAlgorithm = nullptr;
};

// An AES-128 key in CBC mode.
class CAesKey {
 public:
  explicit CAesKey(const uint8_t* pKey) : m_algorithm(BCRYPT_AES_ALGORITHM, 0) {
    if (!m_algorithm.Get()) return;
    if (Failed(::BCryptSetProperty(
            m_algorithm.Get(), BCRYPT_CHAINING_MODE,
            reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_CBC)),
            sizeof(BCRYPT_CHAIN_MODE_CBC), 0))) {
      return;
    }
    if (Failed(::BCryptGenerateSymmetricKey(m_algorithm.Get(), &m_hKey, nullptr, 0,
                                            const_cast<PUCHAR>(pKey), sc_uAes128KeySize, 0))) {
      m_hKey = nullptr;
    }
  }
  ~CAesKey() {
    if (m_hKey) ::BCryptDestroyKey(m_hKey);
  }
  CAesKey(const CAesKey&) = delete;
  CAesKey& operator=(const CAesKey&) = delete;
  BCRYPT_KEY_HANDLE Get() const { return m_hKey; }

 private:
  CAlgorithm m_algorithm;
  BCRYPT_KEY_HANDLE m_hKey = nullptr;
};

bool Hash(LPCWSTR pszAlgorithm, const uint8_t* pKey, size_t uKeySize, const uint8_t* pData,
          size_t uDataSize, uint8_t* pOut, size_t uOutSize) {
  CAlgorithm algorithm(pszAlgorithm, pKey ? BCRYPT_ALG_HANDLE_HMAC_FLAG : 0);
  if (!algorithm.Get()) return false;
  BCRYPT_HASH_HANDLE hHash = nullptr;
  if (Failed(::BCryptCreateHash(algorithm.Get(), &hHash, nullptr, 0, const_cast<PUCHAR>(pKey),
                                static_cast<ULONG>(uKeySize), 0))) {
    return false;
  }
  bool bOk = !Failed(::BCryptHashData(hHash, const_cast<PUCHAR>(pData),
                                      static_cast<ULONG>(uDataSize), 0)) &&
             !Failed(::BCryptFinishHash(hHash, pOut, static_cast<ULONG>(uOutSize), 0));
  ::BCryptDestroyHash(hHash);
  return bOk;
}

}  // namespace

bool Aes128CbcEncrypt(const uint8_t* pKey, const uint8_t* pIV, const uint8_t* pPlain,
                      size_t uPlainSize, uint8_t* pCipher) {
  CAesKey key(pKey);
  if (!key.Get()) return false;
  uint8_t au8IV[sc_uAesBlockSize];  // the call advances the vector it is given
  std::memcpy(au8IV, pIV, sizeof(au8IV));
  ULONG uOut = 0;
  ULONG uCipherSize = static_cast<ULONG>(Aes128CbcCipherSize(uPlainSize));
  if (Failed(::BCryptEncrypt(key.Get(), const_cast<PUCHAR>(pPlain), static_cast<ULONG>(uPlainSize),
                             nullptr, au8IV, sizeof(au8IV), pCipher, uCipherSize, &uOut,
                             BCRYPT_BLOCK_PADDING))) {
    return false;
  }
  return uOut == uCipherSize;
}

bool Aes128CbcDecrypt(const uint8_t* pKey, const uint8_t* pIV, const uint8_t* pCipher,
                      size_t uCipherSize, uint8_t* pPlain, size_t* pPlainSize) {
  if (uCipherSize == 0 || uCipherSize % sc_uAesBlockSize != 0) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  CAesKey key(pKey);
  if (!key.Get()) return false;
  uint8_t au8IV[sc_uAesBlockSize];
  std::memcpy(au8IV, pIV, sizeof(au8IV));
  // Without the padding flag, then the padding is checked here: the same rules on every
  // system, whatever the provider accepts.
  ULONG uOut = 0;
  if (Failed(::BCryptDecrypt(key.Get(), const_cast<PUCHAR>(pCipher),
                             static_cast<ULONG>(uCipherSize), nullptr, au8IV, sizeof(au8IV), pPlain,
                             static_cast<ULONG>(uCipherSize), &uOut, 0)) ||
      uOut != uCipherSize) {
    return false;
  }
  uint8_t u8Pad = pPlain[uCipherSize - 1];
  bool bPadOk = u8Pad >= 1 && u8Pad <= sc_uAesBlockSize;
  for (size_t i = 0; bPadOk && i < u8Pad; ++i) bPadOk = pPlain[uCipherSize - 1 - i] == u8Pad;
  if (!bPadOk) {
    ::SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  *pPlainSize = uCipherSize - u8Pad;
  return true;
}

bool HmacSha1(const uint8_t* pKey, size_t uKeySize, const uint8_t* pData, size_t uDataSize,
              uint8_t* pMac) {
  static const uint8_t sc_u8NoKey = 0;
  return Hash(BCRYPT_SHA1_ALGORITHM, uKeySize ? pKey : &sc_u8NoKey, uKeySize, pData, uDataSize,
              pMac, sc_uHmacSha1Size);
}

bool Md5(const uint8_t* pData, size_t uDataSize, uint8_t* pDigest) {
  return Hash(BCRYPT_MD5_ALGORITHM, nullptr, 0, pData, uDataSize, pDigest, sc_uMd5Size);
}

bool GetRandomBytes(uint8_t* pBuffer, size_t uSize) {
  return !Failed(::BCryptGenRandom(nullptr, pBuffer, static_cast<ULONG>(uSize),
                                   BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

}  // namespace platform
