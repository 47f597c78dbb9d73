// Cryptographic primitives: AES-128 in CBC mode with PKCS #7 padding, HMAC-SHA1 and MD5, and a
// source of random bytes. The build picks the provider: the operating system's cryptography
// services on Windows, a cryptography library elsewhere. The functions never throw; they
// return false on failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

constexpr size_t sc_uAes128KeySize = 16;
constexpr size_t sc_uAesBlockSize = 16;
constexpr size_t sc_uHmacSha1Size = 20;
constexpr size_t sc_uMd5Size = 16;

// The ciphertext length for uPlainSize bytes: rounded down to whole blocks, plus one block.
inline size_t Aes128CbcCipherSize(size_t uPlainSize) {
  return uPlainSize / sc_uAesBlockSize * sc_uAesBlockSize + sc_uAesBlockSize;
}

// Encrypts uPlainSize bytes into pCipher, which holds Aes128CbcCipherSize(uPlainSize) bytes.
bool Aes128CbcEncrypt(const uint8_t* pKey, const uint8_t* pIV, const uint8_t* pPlain,
                      size_t uPlainSize, uint8_t* pCipher);

// Decrypts uCipherSize bytes (a non-zero multiple of the block size) into pPlain, which holds
// uCipherSize bytes, and removes the padding; *pPlainSize is the length without it. False for a
// bad length or bad padding.
bool Aes128CbcDecrypt(const uint8_t* pKey, const uint8_t* pIV, const uint8_t* pCipher,
                      size_t uCipherSize, uint8_t* pPlain, size_t* pPlainSize);

// HMAC with SHA-1 over the data; pMac receives sc_uHmacSha1Size bytes.
bool HmacSha1(const uint8_t* pKey, size_t uKeySize, const uint8_t* pData, size_t uDataSize,
              uint8_t* pMac);

// MD5 digest; pDigest receives sc_uMd5Size bytes.
bool Md5(const uint8_t* pData, size_t uDataSize, uint8_t* pDigest);

// Bytes from the system's cryptographic random source.
bool GetRandomBytes(uint8_t* pBuffer, size_t uSize);

// Upper-case hexadecimal of the bytes ("0A1B...").
inline std::string ToUpperHex(const uint8_t* pData, size_t uSize) {
  static const char sc_szDigits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(uSize * 2);
  for (size_t i = 0; i < uSize; ++i) {
    s += sc_szDigits[pData[i] >> 4];
    s += sc_szDigits[pData[i] & 15];
  }
  return s;
}

}  // namespace platform
